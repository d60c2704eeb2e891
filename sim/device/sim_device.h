// One simulated camera. Transport-neutral: a transport hands it the host's bytes (receive), lets it do its
// timed work (service) and takes its output bytes (gatherOutput/consumeOutput or readOutput). The device
// keeps at most about one frame of images queued: when the host reads slower than the frame rate, frames
// are skipped, never buffered.
//
// A transport calls onConnect when a host starts talking to the camera (a TCP connection is accepted, a USB
// device is opened) and onDisconnect when it goes away.
//
// Thread safety: every public member may be called from any thread; one transport drives a device at a time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device/clock.h"
#include "sim/device/device_types.h"
#include "sim/device/fault_hook.h"
#include "sim/device/out_packet.h"
#include "sim/device/scene.h"
#include "sim/device/served_camera.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {

struct DeviceConfig {
    DeviceIdentity identity;
    Calibration calibration;
    DeviceSettings initial;            // settings at power-on
    double fps = 30.0;                 // frame rate while streaming; 0 or below: as fast as the host reads
    std::string descriptor_file_text;  // served instead of the generated descriptor when not empty
    uint64_t timestamp_origin_us = 0;  // frame timestamps start here (microseconds)
    size_t config_memory_size = kDefaultConfigMemory;
    bool stamp_frames = true;  // the first 8 bytes of each image carry its sequence number and timestamp
};

struct DeviceStats {
    uint64_t connections = 0;
    uint64_t requests = 0;
    uint64_t ignored_requests = 0;  // unknown or malformed
    uint64_t frames_queued = 0;
    uint64_t frames_sent = 0;     // frames whose last image the transport took
    uint64_t frames_skipped = 0;  // frame times that passed while the host had not taken the previous frame
    uint64_t images_sent = 0;
    uint64_t bytes_out = 0;
    uint64_t renders = 0;  // images rendered by the scene (re-used images are not counted)
};

class SimDevice : public ServedCamera {
  public:
    explicit SimDevice(DeviceConfig config, std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>());

    // ---- transport side ----
    void onConnect() override;
    void onDisconnect() override;
    void receive(const uint8_t* data, size_t n) override;
    // Generates due frames. Call it after receive/consume and whenever nextEventMicros() has passed.
    void service() override;
    // Microseconds until service() has timed work to do; -1 when nothing is timed (idle, or a due frame
    // waits for the host to take the previous one).
    int64_t nextEventMicros() override;
    // Views of the next output bytes (zero copy). They stay valid until consumeOutput, onConnect or
    // onDisconnect, which the transport holding them calls itself.
    size_t gatherOutput(OutputSlice* slices, size_t max_slices, size_t max_bytes) override;
    void consumeOutput(size_t n) override;
    size_t readOutput(uint8_t* dst, size_t max);
    // For transports that pull (a bulk IN transfer): does the timed work and waits until output can be
    // read, `timeout_us` has passed or wakeWaiters() is called. True when output is ready.
    bool waitForOutput(uint64_t timeout_us);
    void wakeWaiters();
    bool hasOutput() override;
    // False while replies pile up unread: the transport then stops reading requests.
    bool acceptsInput() override;
    bool disconnectRequested() override;
    // Whether the disconnect the fault plan asks for is an abort (a TCP reset) rather than a clean close.
    bool disconnectIsAbortive() override;
    // Bytes queued for the host and not yet taken by the transport.
    size_t pendingOutputBytes();

    // ---- content and faults ----
    void setScene(std::shared_ptr<Scene> scene);
    void setFaultHook(std::shared_ptr<FaultHook> hook);
    // Called with one line per command (the verbose log); null switches it off.
    void setCommandLog(std::function<void(const std::string&)> log);

    // ---- inspection ----
    const DeviceIdentity& identity() const { return config_.identity; }
    DeviceSettings settings();
    DeviceStats stats();
    TrafficStats trafficStats() override;
    std::string servedSerial() override { return config_.identity.serial; }
    Bytes configMemory();
    Bytes flashImage();
    uint32_t flashSaves();
    uint32_t readRegister(uint8_t cam_id, uint32_t reg_id);
    std::string descriptorText();  // what a descriptor request returns now
    std::string firmwareXml();
    const Calibration& calibration() const { return config_.calibration; }
    double fps() const { return config_.fps; }

    static constexpr size_t kMaxRequestPayload = 64 * 1024;
    static constexpr size_t kMaxPendingReplies = 1024 * 1024;
    static constexpr uint8_t kSensorCount = 3;  // register files: left IR, right IR, colour
    static constexpr uint32_t kChipIdRegister = 0x0000;

  private:
    void log(const char* fmt, ...);
    void handleRequest(const WirePacket& packet);
    void handleParam(const WirePacket& packet);
    void handleRegister(const WirePacket& packet);
    void reply(uint8_t packet_id, Bytes payload);
    void replyRegister(const RegisterAccess& access);
    void push(OutPacket packet);
    void ignore(const WirePacket& packet, const char* why);
    void contentChanged() { cache_.clear(); }

    void handleSegment(const WirePacket& packet);
    void handleFlashSave(const WirePacket& packet);
    void setWorkMode(uint16_t mode);

    void serviceLocked(uint64_t now);
    int64_t nextEventLocked(uint64_t now);
    int64_t nextFrameLocked(uint64_t now);
    bool outputReadyLocked();
    void emitFrame(uint64_t now);
    std::shared_ptr<Bytes> imageFor(uint8_t cam_id, uint8_t pixel_format, int width, int height,
                                    uint32_t sequence, uint64_t timestamp);
    void queueImage(uint8_t cam_id, uint8_t pixel_format, int width, int height, std::shared_ptr<Bytes> data,
                    uint32_t sequence, uint64_t timestamp, bool frame_end);
    std::shared_ptr<Bytes> auxRecord(uint32_t sequence, uint64_t timestamp);
    uint64_t periodMicros() const;
    uint64_t timestampAt(uint64_t now) const { return config_.timestamp_origin_us + (now - created_us_); }
    size_t gatherLocked(OutputSlice* slices, size_t max_slices, size_t max_bytes);
    void consumeLocked(size_t n);
    std::string descriptorLocked() const;

    std::mutex mutex_;
    std::condition_variable output_cv_;
    uint64_t wake_generation_ = 0;
    DeviceConfig config_;
    std::shared_ptr<Clock> clock_;
    uint64_t created_us_;
    DeviceSettings settings_;
    StreamDecoder decoder_{kMaxRequestPayload};
    OutputQueue output_;
    std::shared_ptr<Scene> scene_;
    std::shared_ptr<FaultHook> hook_;
    std::function<void(const std::string&)> command_log_;

    bool connected_ = false;
    uint32_t sequence_ = 0;
    uint64_t next_due_ = 0;
    uint32_t pending_triggers_ = 0;
    StreamCounters counters_;
    DeviceStats stats_;

    Bytes config_memory_;
    Bytes flash_;
    uint32_t flash_saves_ = 0;
    std::map<uint32_t, uint32_t> registers_[kSensorCount];

    struct CacheKey {
        uint8_t cam_id;
        int width, height;
        bool operator<(const CacheKey& o) const {
            if (cam_id != o.cam_id) return cam_id < o.cam_id;
            if (width != o.width) return width < o.width;
            return height < o.height;
        }
    };
    std::map<CacheKey, std::shared_ptr<Bytes>> cache_;

    // Packets a fault plan holds back, in the order they were pushed, each with its due time.
    struct HeldPacket {
        uint64_t due_us;
        OutPacket packet;
    };
    std::deque<HeldPacket> held_;
    void releaseHeldLocked(uint64_t now);
    void queueLocked(OutPacket packet);
};

}  // namespace kvsim
}  // namespace orvane
