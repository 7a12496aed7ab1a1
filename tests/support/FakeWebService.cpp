#include "tests/support/FakeWebService.hpp"

#include <httplib.h>

FakeWebService::FakeWebService(int port) : port_(port), server_(std::make_unique<httplib::Server>()) {
    const auto answer = [this](const httplib::Request& request, httplib::Response& response) {
        Reply reply{404, "", "text/plain", std::chrono::milliseconds(0)};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(Request{request.method,
                                        request.path,
                                        {request.params.begin(), request.params.end()},
                                        {request.headers.begin(), request.headers.end()},
                                        request.body});
            const auto found = replies_.find(request.path);
            if (found != replies_.end())
                reply = found->second;
            changed_.notify_all();
        }
        if (reply.delay.count() > 0)
            std::this_thread::sleep_for(reply.delay);
        response.status = reply.status;
        response.set_content(reply.body, reply.contentType.c_str());
    };
    server_->Get(".*", answer);
    server_->Post(".*", answer);
}

FakeWebService::~FakeWebService() {
    stop();
}

bool FakeWebService::start() {
    if (thread_.joinable())
        return true;
    if (!server_->bind_to_port("127.0.0.1", port_))
        return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void FakeWebService::stop() {
    if (!thread_.joinable())
        return;
    server_->stop();
    thread_.join();
}

void FakeWebService::setReply(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[path] = std::move(reply);
}

std::vector<FakeWebService::Request> FakeWebService::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool FakeWebService::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}
