#include "tests/web/WebServiceTest.hpp"

#include <SFML/Graphics/Image.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

void WebServiceTest::reply(const std::string& target, std::string body, int status, std::string contentType) {
    service.setReply(target, FakeWebService::Reply{status, std::move(body), std::move(contentType), {}});
}

std::vector<std::string> WebServiceTest::targets() const {
    std::vector<std::string> result;
    for (const auto& request : service.requests())
        result.push_back(request.path);
    return result;
}

std::vector<std::string> clientFieldNames(const FakeWebService::Request& request) {
    std::vector<std::string> names;
    for (const auto& field : request.headers)
        if (field.first != "REMOTE_ADDR" && field.first != "REMOTE_PORT" && field.first != "LOCAL_ADDR" &&
            field.first != "LOCAL_PORT")
            names.push_back(field.first);
    std::sort(names.begin(), names.end());
    return names;
}

void expectFormPost(const FakeWebService::Request& request, const std::string& target,
                    const std::string& body) {
    const auto field = [&request](const std::string& name) {
        const auto found = request.headers.find(name);
        return found == request.headers.end() ? std::string("<absent>") : found->second;
    };
    EXPECT_EQ(request.method, "POST");
    // The fake keeps the path as it came, "/./" included.
    EXPECT_EQ(request.path, target);
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(field("content-length"), std::to_string(body.size()));
    EXPECT_EQ(field("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(clientFieldNames(request),
              (std::vector<std::string>{"content-length", "content-type", "from", "host", "user-agent"}));
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
