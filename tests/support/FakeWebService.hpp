#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

// A scripted stand-in for the web service: an HTTP server on 127.0.0.1 (port 80 by default) on its
// own thread that answers each path with the reply the test set for it (404 otherwise) and records
// every request.
class FakeWebService {
public:
    struct Reply {
        int status = 200;
        std::string body;
        std::string contentType = "text/plain";
        std::chrono::milliseconds delay{0}; // held back this long before answering
    };

    struct Request {
        std::string method;
        std::string path;
        std::multimap<std::string, std::string> params; // query string, decoded
        std::multimap<std::string, std::string> headers;
        std::string body;
    };

    explicit FakeWebService(int port = 80);
    ~FakeWebService();
    FakeWebService(const FakeWebService&) = delete;
    FakeWebService& operator=(const FakeWebService&) = delete;

    // Binds and starts serving; false when the port cannot be bound.
    bool start();
    void stop();

    // Every later request for path (query excluded) gets this reply.
    void setReply(const std::string& path, Reply reply);

    std::vector<Request> requests() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout);

private:
    int port_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Reply> replies_;
    std::vector<Request> requests_;
};
