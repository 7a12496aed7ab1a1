#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// How a child process ended.
struct ExitStatus {
    bool exited = false; // ended through exit(); code is valid
    int code = -1;
    bool signalled = false; // killed by a signal; signal is valid
    int signal = 0;

    bool cleanZero() const { return exited && code == 0; }
    std::string describe() const;
};

// One run of a program (normally build/brannoc) with its standard output and error captured line
// by line through pipes. Stops the program (SIGTERM, then SIGKILL) when destroyed.
class ClientProcess {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::string program;                    // empty: BRANNOC_BUILD_DIR/brannoc
        std::vector<std::string> args;          // argv[1...]
        std::string workingDir;                 // empty: BRANNOC_BUILD_DIR
        std::string display;                    // DISPLAY for the child; empty keeps the parent's
        std::string soundConfig;                // ALSOFT_CONF file; empty means ALSOFT_DRIVERS=null
        std::map<std::string, std::string> env; // further variables, set over the inherited ones
    };

    explicit ClientProcess(Options options);
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    // False when the program could not be started (spawnError says why).
    bool started() const { return pid_ > 0; }
    const std::string& spawnError() const { return spawnError_; }
    pid_t pid() const { return pid_; }

    // Complete lines so far, without their line feeds, byte for byte.
    std::vector<std::string> stdoutLines() const;
    std::vector<std::string> stderrLines() const;
    // Everything read so far, including an unfinished last line.
    std::string stdoutText() const;
    std::string stderrText() const;

    // Waits until stdout holds a line equal to text; true when it came in time.
    bool waitForLine(const std::string& text, std::chrono::milliseconds timeout);
    // Waits until stdout holds at least count complete lines.
    bool waitForLines(std::size_t count, std::chrono::milliseconds timeout);

    // True while the program has not ended (reaps it when it has).
    bool running();
    // Waits for the program to end; false on time-out (the program keeps running).
    bool waitForExit(std::chrono::milliseconds timeout);
    // Valid once running() is false or waitForExit returned true.
    const ExitStatus& exitStatus() const { return status_; }

    // SIGTERM, a grace period, then SIGKILL; waits for the end and for both pipes to drain.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

private:
    struct Stream {
        int fd = -1;
        std::string text;
        bool closed = false;
    };

    void readLoop(Stream& stream);
    bool reap(bool block);
    void joinReaders();
    static std::vector<std::string> splitLines(const std::string& text);

    pid_t pid_ = -1;
    bool reaped_ = false;
    ExitStatus status_;
    std::string spawnError_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Stream out_;
    Stream err_;
    std::thread outReader_;
    std::thread errReader_;
};

// Writes an OpenAL Soft configuration to configPath that records everything played into wavPath
// (mono, 16-bit, 44.1 kHz, written in real time from the moment the device opens). Pass configPath
// as Options::soundConfig. False when the file cannot be written.
bool writeWaveCaptureConfig(const std::string& configPath, const std::string& wavPath);

// Fails the current test when the program's error stream holds a sanitizer report. Run it at the
// end of every test that started the client.
void expectNoSanitizerReport(const ClientProcess& process);
