// What a transport server needs of the camera it serves. Implemented by the simulated device and by a
// replayed recording, so that both run on the same listener code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/device/out_packet.h"

namespace orvane {
namespace kvsim {

struct TrafficStats {
    uint64_t bytes_out = 0;
    uint64_t frames_sent = 0;
    uint64_t frames_skipped = 0;
};

class ServedCamera {
  public:
    virtual ~ServedCamera() = default;

    // Serial number for log lines.
    virtual std::string servedSerial() = 0;
    virtual void onConnect() = 0;
    virtual void onDisconnect() = 0;
    virtual void receive(const uint8_t* data, size_t n) = 0;
    // Timed work; call it after receive/consume and whenever nextEventMicros() has passed.
    virtual void service() = 0;
    // Microseconds until service() has timed work to do; -1 when nothing is timed.
    virtual int64_t nextEventMicros() = 0;
    // Zero-copy views of the next output bytes, valid until consumeOutput, onConnect or onDisconnect.
    virtual size_t gatherOutput(OutputSlice* slices, size_t max_slices, size_t max_bytes) = 0;
    virtual void consumeOutput(size_t n) = 0;
    virtual bool hasOutput() = 0;
    // False while replies pile up unread: the transport then stops reading requests.
    virtual bool acceptsInput() = 0;
    virtual bool disconnectRequested() = 0;
    virtual bool disconnectIsAbortive() = 0;
    virtual TrafficStats trafficStats() = 0;
};

}  // namespace kvsim
}  // namespace orvane
