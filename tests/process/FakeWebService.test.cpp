#include "tests/support/FakeWebService.hpp"

#include <SFML/Network/Http.hpp>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

// The client speaks HTTP/1.0 through sf::Http; the fake must answer it and record what was asked.
TEST(FakeWebService, AnswersScriptedPathsAndRecordsRequests) {
    FakeWebService service;
    ASSERT_TRUE(service.start());
    service.setReply("/api/login", {200, "{\"name\":\"x\"}", "application/json", 0ms});

    sf::Http http("http://127.0.0.1");
    const sf::Http::Response login =
        http.sendRequest(sf::Http::Request("/api/login?token=a%20b", sf::Http::Request::Get), sf::seconds(5));
    EXPECT_EQ(login.getStatus(), sf::Http::Response::Ok);
    EXPECT_EQ(login.getBody(), "{\"name\":\"x\"}");
    const sf::Http::Response missing =
        http.sendRequest(sf::Http::Request("/avatars/none.png", sf::Http::Request::Get), sf::seconds(5));
    EXPECT_EQ(missing.getStatus(), sf::Http::Response::NotFound);

    ASSERT_TRUE(service.waitForRequests(2, 5s));
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/api/login");
    ASSERT_EQ(requests[0].params.count("token"), 1u);
    EXPECT_EQ(requests[0].params.find("token")->second, "a b");
    EXPECT_EQ(requests[1].path, "/avatars/none.png");
    service.stop();
}
