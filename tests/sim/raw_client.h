// A test client that speaks the camera's bytes directly over a loopback TCP connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "memory_stream.h"
#include "sim/wire/packets.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {
namespace test {

using Millis = std::chrono::milliseconds;

class RawClient {
  public:
    RawClient() = default;
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to a server that is already listening.
    bool connect(const std::string& address, uint16_t port);
    void close();
    bool connected() const { return fd_ >= 0; }

    bool sendBytes(const Bytes& bytes);
    bool sendRequest(const Bytes& payload, uint8_t packet_id, uint8_t type = kPacketParam);

    // Reads until a packet matches (looking at held-back packets first) or the time is up. Packets before
    // the match are held back when `keep` says so, dropped otherwise; packets after it are held back.
    std::optional<WirePacket> await(const std::function<bool(const WirePacket&)>& match, Millis timeout,
                                    const std::function<bool(const WirePacket&)>& keep = nullptr);
    // Sends a parameter request and waits for the reply with its packet id.
    std::optional<WirePacket> request(const Bytes& payload, Millis timeout = Millis(3000));
    // Waits until the server closes the connection.
    bool awaitClosed(Millis timeout);

    std::vector<WirePacket> held;
    uint8_t next_id = 1;
    uint64_t bytes_received = 0;

  private:
    // One read of up to 1 MiB, waiting up to `wait`; false when the peer closed or failed.
    bool readSome(Millis wait, std::vector<WirePacket>& out);

    int fd_ = -1;
    StreamDecoder decoder_;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(1 << 20);
    bool closed_by_peer_ = false;
};

// Polls `condition` until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& condition, Millis timeout) {
    return kvtest::WaitUntil(condition, static_cast<int>(timeout.count()));
}

}  // namespace test
}  // namespace kvsim
}  // namespace orvane
