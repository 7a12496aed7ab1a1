#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One request as it reached the fake web service.
struct ReceivedRequest {
    std::string method;
    // The request line's target byte for byte, before any path normalisation.
    std::string target;
    std::string version;
    // Only the fields the client sent; the server's own address entries are left out.
    std::multimap<std::string, std::string> headers;
    std::string body;
};

// A web service on 127.0.0.1:80, the client's fixed address, served from a thread. Replies are
// looked up by request target; any other target gets a 404 HTML page.
class FakeWebService {
public:
    ~FakeWebService() { stop(); }

    // False when the port cannot be bound.
    bool start();
    void stop();

    void reply(const std::string& target, std::string body, int status = 200,
               std::string contentType = "text/plain");
    std::vector<ReceivedRequest> received() const;

private:
    struct Reply {
        std::string body;
        int status;
        std::string contentType;
    };

    httplib::Server server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<ReceivedRequest> received_;
};

// Starts the fake service before each test and stops it after.
class WebServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()) << "cannot bind 127.0.0.1:80"; }
    void TearDown() override { service.stop(); }

    FakeWebService service;
};

// Checks a form POST as the client sends it: target, body, its length, and only the fields the
// library adds itself.
void expectFormPost(const ReceivedRequest& request, const std::string& target, const std::string& body);

// The header field names of a request, sorted, for comparing against what the library adds.
std::vector<std::string> fieldNames(const ReceivedRequest& request);

// The bytes of a PNG of the given size, written by SFML and read back.
std::string makePng(unsigned width, unsigned height);
