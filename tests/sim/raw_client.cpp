#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace orvane {
namespace kvsim {
namespace test {

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& condition, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(2));
    }
    return true;
}

bool RawClient::connect(const std::string& address, uint16_t port, Millis timeout) {
    close();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return false;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            fd_ = fd;
            decoder_.reset();
            held.clear();
            closed_by_peer_ = false;
            return true;
        }
        ::close(fd);
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(10));
    }
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::sendBytes(const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::sendRequest(const Bytes& payload, uint8_t packet_id, uint8_t type) {
    return sendBytes(encodePacket(type, packet_id, payload));
}

bool RawClient::readSome(Millis wait, std::vector<WirePacket>& out) {
    if (fd_ < 0 || closed_by_peer_) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (r <= 0) return true;  // nothing yet
    ssize_t n = ::recv(fd_, buf_.data(), buf_.size(), 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        closed_by_peer_ = true;
        return false;
    }
    if (n > 0) {
        bytes_received += static_cast<uint64_t>(n);
        decoder_.feed(buf_.data(), static_cast<size_t>(n), out);
    }
    return true;
}

std::optional<WirePacket> RawClient::await(const std::function<bool(const WirePacket&)>& match,
                                           Millis timeout,
                                           const std::function<bool(const WirePacket&)>& keep) {
    for (size_t i = 0; i < held.size(); ++i) {
        if (match(held[i])) {
            WirePacket p = std::move(held[i]);
            held.erase(held.begin() + static_cast<long>(i));
            return p;
        }
    }
    const auto deadline = Clock::now() + timeout;
    std::vector<WirePacket> fresh;
    while (Clock::now() < deadline) {
        fresh.clear();
        if (!readSome(Millis(20), fresh)) return std::nullopt;
        std::optional<WirePacket> found;
        for (WirePacket& p : fresh) {
            if (!found && match(p)) {
                found = std::move(p);
            } else if (found || !keep || keep(p)) {  // what follows the match is kept for later
                held.push_back(std::move(p));
            }
        }
        if (found) return found;
    }
    return std::nullopt;
}

std::optional<WirePacket> RawClient::request(const Bytes& payload, Millis timeout) {
    const uint8_t id = next_id++;
    if (!sendRequest(payload, id)) return std::nullopt;
    return await(
        [id](const WirePacket& p) { return p.header.type == kPacketParam && p.header.packet_id == id; },
        timeout, [](const WirePacket& p) { return !p.has_image; });
}

bool RawClient::awaitClosed(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    std::vector<WirePacket> ignored;
    while (Clock::now() < deadline) {
        if (!readSome(Millis(20), ignored)) return true;
        ignored.clear();
    }
    return false;
}

}  // namespace test
}  // namespace kvsim
}  // namespace orvane
