#include "server/realtime/store/Storage.hpp"

#include "text/SafeText.hpp"

namespace server {

std::string undoMessage(const std::string& user, const std::string& time, bool counted) {
    return "undid the increment of " + SafeText::printable(user) + " at " + time +
           (counted ? "" : " (a forgotten user: the total only)");
}

} // namespace server
