#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kvtest {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in addressOf(const std::string& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

bool readable(int fd, PeerMillis wait) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) > 0;
}

}  // namespace

LoopbackListener::LoopbackListener(const std::string& ip, uint16_t port, int receive_buffer, int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    sockaddr_in a = addressOf(ip, port);
    socklen_t length = sizeof(a);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd_, backlog) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    for (int fd : conns_)
        if (fd >= 0) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackListener::hasPending() const {
    return readable(fd_, PeerMillis(0));
}

int LoopbackListener::accept(PeerMillis limit) {
    if (!readable(fd_, limit)) return -1;
    const int fd = ::accept(fd_, nullptr, nullptr);
    if (fd >= 0) conns_.push_back(fd);
    return fd;
}

bool LoopbackListener::waitConnections(size_t n, PeerMillis limit) {
    const auto end = Clock::now() + limit;
    while (conns_.size() < n && Clock::now() < end)
        accept(std::chrono::duration_cast<PeerMillis>(end - Clock::now()));
    return conns_.size() >= n;
}

size_t LoopbackListener::connections() {
    while (accept(PeerMillis(0)) >= 0) {
    }
    return conns_.size();
}

void LoopbackListener::closePeer(int fd, bool reset) {
    auto it = std::find(conns_.begin(), conns_.end(), fd);
    if (fd < 0 || it == conns_.end()) return;
    if (reset) {
        const linger abort_on_close{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
    }
    ::close(fd);
    *it = -1;
}

bool LoopbackListener::fillBacklog() {
    sockaddr_in a{};
    socklen_t length = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof(ip));
    const int filler = connectTo(ip, port_);
    if (filler >= 0) conns_.push_back(filler);  // closed with the listener
    return filler >= 0;
}

int connectTo(const std::string& ip, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = addressOf(ip, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0) return fd;
    ::close(fd);
    return -1;
}

bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string readExactly(int fd, size_t n, PeerMillis limit) {
    std::string out;
    const auto end = Clock::now() + limit;
    char buf[65536];
    while (out.size() < n && Clock::now() < end) {
        if (!readable(fd, PeerMillis(100))) continue;
        const ssize_t got = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

PeerEnd readToEnd(int fd, std::string& out, PeerMillis limit) {
    const auto end = Clock::now() + limit;
    char buf[65536];
    while (Clock::now() < end) {
        if (!readable(fd, PeerMillis(20))) continue;
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0)
            return PeerEnd::kOrderly;
        else if (errno == ECONNRESET)
            return PeerEnd::kReset;
    }
    return PeerEnd::kTimeout;
}

}  // namespace kvtest
