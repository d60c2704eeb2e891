// Splits a byte stream into packets. Used by the simulated device for the host's requests and by test
// and benchmark clients for the device's output. Bytes arrive in any chunking; nothing read from the
// stream is trusted: headers with another version or an oversized length are dropped and the search for
// the sync pattern resumes inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {

struct WirePacket {
    PacketHeader header;
    bool has_image = false;  // type 2 with a well-formed sub-header
    ImageHeader image;
    Bytes extra;             // the image's extra bytes
    Bytes payload;           // parameter/register payload, or the image data of a type-2 packet
    bool truncated = false;  // the payload was larger than the keep limit and was skipped, not stored
    bool malformed = false;  // type 2 too short for its sub-header and extra bytes; payload skipped
};

struct DecoderStats {
    uint64_t packets = 0;
    uint64_t garbage_bytes = 0;  // bytes dropped while searching for the sync pattern
    uint64_t bad_headers = 0;    // headers dropped for their version or length
};

class StreamDecoder {
  public:
    // Payloads above `keep_limit` bytes are skipped and reported as truncated.
    explicit StreamDecoder(size_t keep_limit = kMaxPacketLength) : keep_limit_(keep_limit) {}

    // Consumes all `n` bytes; complete packets are appended to `out` in stream order.
    void feed(const uint8_t* data, size_t n, std::vector<WirePacket>& out);
    void feed(const Bytes& data, std::vector<WirePacket>& out) { feed(data.data(), data.size(), out); }

    // Back to sync search, dropping a packet in progress.
    void reset();

    const DecoderStats& stats() const { return stats_; }
    bool idle() const { return state_ == State::kSync && matched_ == 0; }

  private:
    enum class State { kSync, kHeader, kImageHeader, kExtra, kPayload, kSkip };

    void searchSync(const uint8_t* data, size_t n, size_t& pos);
    void headerComplete(std::vector<WirePacket>& out);
    void imageHeaderComplete(std::vector<WirePacket>& out);
    void startPayload(std::vector<WirePacket>& out);
    void finish(std::vector<WirePacket>& out);

    size_t keep_limit_;
    State state_ = State::kSync;
    size_t matched_ = 0;  // sync bytes matched so far
    uint8_t scratch_[kHeaderSize];
    size_t scratch_fill_ = 0;
    uint32_t remaining_ = 0;  // payload bytes still to come for the packet in progress
    WirePacket current_;
    DecoderStats stats_;
};

}  // namespace kvsim
}  // namespace orvane
