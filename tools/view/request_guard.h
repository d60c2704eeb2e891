// Which requests the viewer answers. The server listens on one address, and a browser tab of any other
// site could still send requests there (or reach it through a DNS name rebound to that address): only
// requests that name the viewer's own address in Host, and in Origin when one is sent, are served.
#pragma once

#include <string>

namespace orvane {
namespace tool {

class RequestGuard {
  public:
    RequestGuard(std::string address, int port);

    // `host` is the Host header (null when missing), `origin` the Origin header (null when not sent).
    bool allows(const char* host, const char* origin) const;

    // "http://127.0.0.1:8080/"
    std::string pageUrl() const;

  private:
    bool isOwnHost(const std::string& host) const;

    std::string address_;
    int port_;
};

}  // namespace tool
}  // namespace orvane
