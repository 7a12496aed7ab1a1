#include "tests/web/FakeWebService.hpp"

#include <SFML/Graphics/Image.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

bool FakeWebService::start() {
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        ReceivedRequest copy{request.method, request.target, request.version, {}, request.body};
        for (const auto& [name, value] : request.headers)
            if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
                name != "LOCAL_PORT")
                copy.headers.emplace(name, value);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(std::move(copy));
        const auto found = replies_.find(request.target);
        if (found == replies_.end()) {
            response.status = 404;
            response.set_content("<html><body><h1>404 Not Found</h1></body></html>", "text/html");
            return;
        }
        response.status = found->second.status;
        response.set_content(found->second.body, found->second.contentType);
    };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    // Bound here, not on the thread, so a request made right after start() finds the port open.
    if (!server_.bind_to_port("127.0.0.1", 80))
        return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    return true;
}

void FakeWebService::stop() {
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

void FakeWebService::reply(const std::string& target, std::string body, int status, std::string contentType) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[target] = Reply{std::move(body), status, std::move(contentType)};
}

std::vector<ReceivedRequest> FakeWebService::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void expectFormPost(const ReceivedRequest& request, const std::string& target, const std::string& body) {
    const auto field = [&request](const std::string& name) {
        const auto found = request.headers.find(name);
        return found == request.headers.end() ? std::string("<absent>") : found->second;
    };
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, target);
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(field("content-length"), std::to_string(body.size()));
    EXPECT_EQ(field("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(fieldNames(request),
              (std::vector<std::string>{"content-length", "content-type", "from", "host", "user-agent"}));
}

std::vector<std::string> fieldNames(const ReceivedRequest& request) {
    std::vector<std::string> names;
    for (const auto& field : request.headers)
        names.push_back(field.first);
    std::sort(names.begin(), names.end());
    return names;
}

std::string makePng(unsigned width, unsigned height) {
    sf::Image image;
    image.create(width, height, sf::Color(200, 40, 90));
    const std::string path = "/tmp/brannoc-web-test-" + std::to_string(getpid()) + ".png";
    if (!image.saveToFile(path))
        return {};
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
}
