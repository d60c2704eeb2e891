#include "request_guard.h"

#include <utility>

namespace orvane {
namespace tool {

RequestGuard::RequestGuard(std::string address, int port) : address_(std::move(address)), port_(port) {}

bool RequestGuard::isOwnHost(const std::string& host) const {
    const std::string port = ":" + std::to_string(port_);
    if (host == address_ + port || (port_ == 80 && host == address_)) return true;
    // "localhost" always names this machine, so it cannot be a rebound foreign name.
    return address_ == "127.0.0.1" && (host == "localhost" + port || (port_ == 80 && host == "localhost"));
}

bool RequestGuard::allows(const char* host, const char* origin) const {
    if (!host || !isOwnHost(host)) return false;
    if (!origin) return true;  // same-origin page loads and non-browser clients send none
    const std::string text = origin;
    const std::string scheme = "http://";
    return text.compare(0, scheme.size(), scheme) == 0 && isOwnHost(text.substr(scheme.size()));
}

std::string RequestGuard::pageUrl() const {
    return "http://" + address_ + ":" + std::to_string(port_) + "/";
}

}  // namespace tool
}  // namespace orvane
