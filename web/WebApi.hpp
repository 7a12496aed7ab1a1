#pragma once

#include <SFML/Network/Http.hpp>

#include <string>
#include <utility>
#include <vector>

// "http://" + the compiled-in web service host + "/"; every web request goes there, on port 80.
extern const std::string webBaseUrl;

// One POST to "/./php/endpoints/<endpoint>.php". Owned by the caller for one call.
struct WebApi {
    std::string host;
    std::string endpoint;
    std::string params;
    sf::Http http;
    sf::Http::Request request;

    explicit WebApi(std::string endpointName);

    // Replaces the parameter text with "&key=value" for each pair, unencoded.
    void setParams(std::vector<std::pair<std::string, std::string>> pairs);

    // Posts "token=" + token + params with no time limit and returns the reply body, whatever its
    // status; an empty text when the service cannot be reached.
    std::string send(std::string token);
};
