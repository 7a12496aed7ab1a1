"""A raw client of brannoc-server's realtime protocol, for the overlay's browser test, benchmark and
screenshot: each message is a frame (32-bit big-endian size, then the data), the data the message
name and its fields, strings as a 32-bit big-endian length and the bytes."""

import socket
import struct


def _string(text):
    data = text.encode() if isinstance(text, str) else bytes(text)
    return struct.pack(">I", len(data)) + data


def frame(name, *fields):
    data = _string(name) + b"".join(_string(field) for field in fields)
    return struct.pack(">I", len(data)) + data


class TallyClient:
    """One connection to the server; it drops clients silent for 6 s, so each lives briefly."""

    def __init__(self, port=34567, host="127.0.0.1", timeout=5.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)

    def whoami(self, user, display):
        self.sock.sendall(frame("whoami", user, display))

    def increment(self):
        self.sock.sendall(frame("increment"))

    def ping(self):
        self.sock.sendall(frame("ping"))

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
