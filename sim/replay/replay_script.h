// A recorded device session turned into what a replayed camera needs: the device's reply to every request
// the host sent, and the image packets with their times. Built from the raw byte stream of both directions
// (the chunks a stream tap saw, in time order), cut at arbitrary read boundaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/wire/byte_order.h"

namespace orvane {
namespace kvsim {

// One piece of the recorded byte stream.
struct RecordedChunk {
    bool from_device = false;
    uint64_t time_ns = 0;
    Bytes bytes;
};

// An image packet exactly as the device sent it (block, sub-header, extra bytes, data).
struct RecordedImage {
    uint64_t offset_us = 0;  // arrival time after the start of its streaming session
    bool frame_end = false;  // the last image of its frame
    std::shared_ptr<const Bytes> packet;
};

// The images of one streaming session (from a work-mode start to the next).
struct ImageSession {
    std::vector<RecordedImage> images;
    // Time from the first to the last image plus one frame interval: one pass when looping.
    uint64_t loop_span_us = 0;
    // Frame indices one pass uses (last - first + 1, modulo 256 as the wire's index): a looped pass adds
    // this to each index so that they go on counting.
    uint8_t index_span = 0;
};

struct ScriptStats {
    uint64_t requests = 0;
    uint64_t replies = 0;
    uint64_t unmatched_replies = 0;  // device packets that answer no recorded request
    uint64_t images = 0;
    uint64_t dropped_bytes = 0;  // bytes of either direction that formed no packet
};

class ReplayScript {
  public:
    // Splits and pairs the stream. False with a message when it holds no device conversation at all.
    static bool build(const std::vector<RecordedChunk>& chunks, ReplayScript* out, std::string* error);

    // Key of a request: its packet type and payload (the packet id differs from session to session).
    static std::string requestKey(uint8_t type, const Bytes& payload);

    // Whether the request was seen, and the device's replies to it in recorded order (whole packets,
    // without reply for a request the device left unanswered).
    const std::vector<Bytes>* repliesTo(const std::string& key) const;
    const std::vector<ImageSession>& sessions() const { return sessions_; }
    // The serial number in the recorded device information, or empty.
    std::string recordedSerial() const;
    const ScriptStats& stats() const { return stats_; }

  private:
    friend class ReplayScriptBuilder;
    std::map<std::string, std::vector<Bytes>> replies_;
    std::vector<ImageSession> sessions_;
    ScriptStats stats_;
};

// Builds a script piece by piece, so that a long recording is never held twice.
class ReplayScriptBuilder {
  public:
    ReplayScriptBuilder();
    ~ReplayScriptBuilder();
    ReplayScriptBuilder(const ReplayScriptBuilder&) = delete;
    ReplayScriptBuilder& operator=(const ReplayScriptBuilder&) = delete;

    // The next piece of the stream, in recorded order.
    void add(bool from_device, uint64_t time_ns, const uint8_t* data, size_t n);
    // As ReplayScript::build.
    bool finish(ReplayScript* out, std::string* error);

  private:
    class Walker;
    ReplayScript script_;
    std::unique_ptr<Walker> walker_;
};

// The host's request to start (true) or stop (false) streaming, if the packet is one.
bool isWorkModeRequest(uint8_t type, const Bytes& payload, bool* start);

}  // namespace kvsim
}  // namespace orvane
