#pragma once

#include "tests/support/FakeWebService.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Starts the fake web service on 127.0.0.1:80, the client's fixed address, before each test and
// stops it after. Targets not given a reply get a 404 page.
class WebServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()) << "cannot bind 127.0.0.1:80"; }
    void TearDown() override { service.stop(); }

    // Replies with the body and status; the content type says what the body is meant to be.
    void reply(const std::string& target, std::string body, int status = 200,
               std::string contentType = "text/plain");
    // The request targets in the order they arrived.
    std::vector<std::string> targets() const;

    FakeWebService service;
};

// The header field names the client sent, sorted; the server's own address entries left out.
std::vector<std::string> clientFieldNames(const FakeWebService::Request& request);

// Checks a form POST as the client sends it: target, body, its length, and no fields but the ones
// the library adds itself.
void expectFormPost(const FakeWebService::Request& request, const std::string& target,
                    const std::string& body);

// The bytes of a PNG of the given size, written by SFML and read back.
std::string makePng(unsigned width, unsigned height);
