#include "web/WebApi.hpp"

#include <SFML/System/Time.hpp>

#include <exception>

const std::string webBaseUrl = std::string("http://") + BRANNOC_WEB_HOST + "/";

WebApi::WebApi(std::string endpointName)
    : host(webBaseUrl), endpoint(std::move(endpointName)), request("/", sf::Http::Request::Get, "") {
    // Port 0 lets the library pick the HTTP default, 80.
    http.setHost(host, 0);
    // The library prefixes the missing "/", so the request line reads "/./php/endpoints/...".
    request.setUri("./php/endpoints/" + endpoint + ".php");
    request.setMethod(sf::Http::Request::Post);
}

void WebApi::setParams(std::vector<std::pair<std::string, std::string>> pairs) {
    // Deliberately unencoded: the service reads the raw bytes.
    params.clear();
    for (const auto& [key, value] : pairs)
        params += "&" + key + "=" + value;
    request.setBody(params);
}

std::string WebApi::send(std::string token) {
    request.setBody("token=" + token + params);
    try {
        return http.sendRequest(request, sf::Time::Zero).getBody();
    } catch (const std::exception&) {
        // Only allocation can fail here (a reply too large to hold); treat it as no reply.
        return {};
    }
}
