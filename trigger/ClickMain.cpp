// brannoc-click: counts one death in the running client, as a click in its button window would.

#include "trigger/ClickSocket.hpp"
#include "trigger/Notice.hpp"

int main() {
    const ClickSocket::Outcome outcome = ClickSocket::request(std::chrono::seconds(1));
    if (outcome != ClickSocket::Outcome::Sent)
        Notice::line(ClickSocket::failureLine(outcome));
    return ClickSocket::exitStatus(outcome);
}
