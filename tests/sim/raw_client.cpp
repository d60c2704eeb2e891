#include "raw_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "loopback_peer.h"

namespace orvane {
namespace kvsim {
namespace test {

using Clock = std::chrono::steady_clock;

bool RawClient::connect(const std::string& address, uint16_t port) {
    close();
    fd_ = kvtest::connectTo(address, port);
    decoder_.reset();
    held.clear();
    closed_by_peer_ = false;
    return fd_ >= 0;
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::sendBytes(const Bytes& bytes) {
    return kvtest::sendAll(fd_, std::string(bytes.begin(), bytes.end()));
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
