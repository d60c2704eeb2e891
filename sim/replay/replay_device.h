// A camera that replays a recorded session: it answers each request with the device's recorded reply to
// the same request and, while the host streams, sends the recorded image packets at their recorded pace.
// The host's library therefore receives the same bytes, and so the same frames, as it did live.
//
// Repeated identical requests get the recorded replies in order, the last one again once they run out. A
// request the recording never saw is refused ({code, -1, 0}; keep-alives and pings acknowledged), a
// register read never seen stays unanswered, and both are logged. Each new connection starts the
// recorded conversation from the beginning.
//
// Thread safety: every public member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/device/clock.h"
#include "sim/device/out_packet.h"
#include "sim/device/served_camera.h"
#include "sim/replay/replay_script.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {

struct ReplayOptions {
    std::string serial = "REPLAY";  // for log lines
    bool loop = false;              // start a finished session again at its first image
    double speed = 1.0;             // 2 plays twice as fast; 0.01 to 100 (others play at 1)
};

struct ReplayStats {
    uint64_t requests = 0;
    uint64_t replayed_replies = 0;
    uint64_t unknown_requests = 0;  // never seen in the recording
    uint64_t images_queued = 0;
    uint64_t passes = 0;  // completed passes through a session's images
    TrafficStats traffic;
};

class ReplayDevice : public ServedCamera {
  public:
    ReplayDevice(std::shared_ptr<const ReplayScript> script, ReplayOptions options,
                 std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>());

    // Called with one line per request (the verbose log); null switches it off.
    void setCommandLog(std::function<void(const std::string&)> log);
    ReplayStats stats();

    std::string servedSerial() override { return options_.serial; }
    void onConnect() override;
    void onDisconnect() override;
    void receive(const uint8_t* data, size_t n) override;
    void service() override;
    int64_t nextEventMicros() override;
    size_t gatherOutput(OutputSlice* slices, size_t max_slices, size_t max_bytes) override;
    void consumeOutput(size_t n) override;
    bool hasOutput() override;
    bool acceptsInput() override;
    bool disconnectRequested() override { return false; }
    bool disconnectIsAbortive() override { return false; }
    TrafficStats trafficStats() override;

    // Images wait (never dropped) while this much image data is queued for a slow host.
    static constexpr size_t kMaxQueuedImageBytes = 64 * 1024 * 1024;
    static constexpr size_t kMaxPendingReplies = 1024 * 1024;
    static constexpr size_t kMaxRequestPayload = 64 * 1024;

  private:
    void resetLocked();
    void log(const std::string& line);
    void handleRequest(const WirePacket& p);
    void refuse(const WirePacket& p);
    void sendReply(const Bytes& recorded, uint8_t packet_id);
    void startStreaming();
    void serviceLocked(uint64_t now);
    bool nextImageDue(uint64_t* due_us) const;

    std::mutex mutex_;
    std::shared_ptr<const ReplayScript> script_;
    const ReplayOptions options_;
    std::shared_ptr<Clock> clock_;
    std::function<void(const std::string&)> command_log_;
    StreamDecoder decoder_;
    OutputQueue output_;
    std::map<std::string, size_t> cursors_;  // replies already used per request

    bool streaming_ = false;
    size_t sessions_started_ = 0;
    const ImageSession* playing_ = nullptr;
    size_t next_image_ = 0;
    uint64_t pass_ = 0;
    uint64_t session_start_us_ = 0;
    ReplayStats stats_;
};

}  // namespace kvsim
}  // namespace orvane
