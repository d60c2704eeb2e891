// A fault plan for a simulated camera: what goes wrong, when, and with which random choices. Plug it into
// a device with SimDevice::setFaultHook. Every random choice comes from the plan's seed and restarts with
// each connection, so the same requests give the same bytes, connection after connection.
//
// Counts of bytes and frames are per connection. Faults on replies pick the reply by the command code it
// echoes in its first four bytes (query codes carry bit 31: the descriptor reply echoes 0x8000000C).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/device/clock.h"
#include "sim/device/fault_hook.h"

namespace orvane {
namespace kvsim {

struct FaultSettings {
    uint64_t seed = 1;

    // The connection ends after this many bytes or frames (0: never); abortively (a TCP reset, a USB
    // device gone) when `reset` is set. After `close_after_frames` frames no further image goes out.
    uint64_t close_after_bytes = 0;
    uint64_t close_after_frames = 0;
    bool reset = false;

    // Output corruption: each byte is flipped (XOR with a non-zero value) with probability flip_rate; a
    // random byte is inserted before each byte with probability insert_rate.
    double flip_rate = 0;
    double insert_rate = 0;
    // 1 to garbage_max random bytes (never 0xFE, so no sync pattern forms) in front of every packet.
    uint32_t garbage_max = 0;

    // After stall_after_bytes bytes the output stops for stall_ms milliseconds (once per connection).
    uint32_t stall_ms = 0;
    uint64_t stall_after_bytes = 0;

    // Keep-alive requests after the first `keepalives_answered` go unanswered.
    bool no_keepalive = false;
    uint32_t keepalives_answered = 0;

    // Replies, by echoed command code.
    std::vector<uint32_t> drop_replies;
    std::vector<std::pair<uint32_t, uint32_t>> delay_replies;         // code, milliseconds
    std::vector<uint32_t> wrong_code_replies;                         // the code word gets 0x100 added
    std::vector<std::pair<uint32_t, uint32_t>> wrong_length_replies;  // code, new payload length
    bool bad_descriptor_checksum = false;

    // Images: oversize_bytes more data bytes than the sub-header's geometry (the header's length counts
    // them); cam ids and pixel formats the host does not know, on every n-th image (counting from 1).
    uint32_t oversize_bytes = 0;
    int unknown_cam_id = -1;  // -1: off
    uint32_t unknown_cam_every = 1;
    int unknown_pixel_format = -1;
    uint32_t unknown_format_every = 1;

    bool any() const;
};

// Parses a fault list (see faultHelpText); false with a message for anything it cannot use. Items add to
// `out`, so several --fault options combine.
bool parseFaultSettings(const std::string& text, FaultSettings& out, std::string* error);
// Lines for kvsim --help.
std::string faultHelpText();

// What the plan has done so far (all connections).
struct FaultStats {
    uint64_t connections = 0;
    uint64_t flipped_bytes = 0;
    uint64_t inserted_bytes = 0;
    uint64_t garbage_bytes = 0;
    uint64_t stalls = 0;
    uint64_t keepalives_ignored = 0;
    uint64_t replies_dropped = 0;
    uint64_t replies_delayed = 0;
    uint64_t wrong_codes = 0;
    uint64_t wrong_lengths = 0;
    uint64_t bad_checksums = 0;
    uint64_t oversized_images = 0;
    uint64_t unknown_cam_ids = 0;
    uint64_t unknown_formats = 0;
    uint64_t images_withheld = 0;  // images after close_after_frames
    uint64_t disconnects = 0;
};

class FaultPlan : public FaultHook {
  public:
    // `clock` must be the device's clock, so that stalls and delays follow the device's time.
    explicit FaultPlan(FaultSettings settings,
                       std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>());

    const FaultSettings& settings() const { return settings_; }
    FaultStats stats();

    void onConnect() override;
    bool onRequest(const WirePacket& request, const StreamCounters& counters) override;
    bool onOutgoing(OutPacket& packet, const StreamCounters& counters) override;
    uint64_t holdMicros(const OutPacket& packet, const StreamCounters& counters) override;
    size_t outputAllowance(const StreamCounters& counters) override;
    bool disconnectNow(const StreamCounters& counters) override;
    bool abortiveDisconnect() override { return settings_.reset; }

  private:
    uint64_t next();            // the plan's random sequence
    uint64_t gap(double rate);  // bytes up to the next event of a byte-wise rate
    uint8_t garbageByte();
    void corrupt(OutPacket& packet);  // flips and inserts
    static bool replyCode(const OutPacket& packet, uint32_t& code);

    const FaultSettings settings_;
    const std::shared_ptr<Clock> clock_;
    std::mutex mutex_;
    FaultStats stats_;
    // Per connection.
    uint64_t rng_ = 0;
    uint64_t stream_pos_ = 0;  // bytes of queued packets so far (the positions flips and inserts count in)
    uint64_t next_flip_ = 0;
    uint64_t next_insert_ = 0;
    uint64_t images_ = 0;
    uint64_t frames_passed_ = 0;
    uint64_t keepalives_ = 0;
    bool stall_started_ = false;
    uint64_t stall_until_us_ = 0;
    bool disconnected_ = false;
};

}  // namespace kvsim
}  // namespace orvane
