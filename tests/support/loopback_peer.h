// The far end of a loopback TCP link, as plain sockets: a listener that accepts the library's connections
// (a camera stand-in) and a client that connects to a simulated camera. Every wait has a time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

using PeerMillis = std::chrono::milliseconds;
constexpr PeerMillis kPeerDeadline{10000};

// Listens on ip:port (port 0: a free one) and keeps the connections it accepts, in order; closes them all
// when it goes.
class LoopbackListener {
  public:
    explicit LoopbackListener(const std::string& ip, uint16_t port = 0, int receive_buffer = 0,
                              int backlog = 16);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    bool hasPending() const;
    // Accepts one connection; its descriptor, or -1 when none came in time.
    int accept(PeerMillis limit = kPeerDeadline);
    // Accepts until n connections were taken; false when fewer came in time.
    bool waitConnections(size_t n, PeerMillis limit = kPeerDeadline);
    // The connections taken so far, after accepting those already waiting.
    size_t connections();
    int connection(size_t i) const { return conns_.at(i); }
    // Closes an accepted connection; with `reset` the peer sees a reset instead of an orderly close.
    void closePeer(int fd, bool reset = false);
    // Fills the accept queue of a listener made with backlog 0, so that every later handshake stalls.
    bool fillBacklog();

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> conns_;
};

// A connected client socket to ip:port, or -1.
int connectTo(const std::string& ip, uint16_t port);
bool sendAll(int fd, const std::string& bytes);
// Exactly n bytes, or fewer when the peer ends the stream or the time is up.
std::string readExactly(int fd, size_t n, PeerMillis limit = kPeerDeadline);

enum class PeerEnd { kOrderly, kReset, kTimeout };
// Reads, appending to `out`, until the other side ends the stream one way or the other.
PeerEnd readToEnd(int fd, std::string& out, PeerMillis limit = kPeerDeadline);

}  // namespace kvtest
