// The seam through which faults are injected into a simulated camera's byte stream. The device calls the
// hook at each point below; the default hook changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "sim/device/out_packet.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {

struct StreamCounters {
    uint64_t bytes_in = 0;       // request bytes received in this connection
    uint64_t bytes_out = 0;      // bytes taken by the transport in this connection
    uint64_t requests = 0;       // request packets decoded
    uint64_t frames_queued = 0;  // frames whose images were queued
    uint64_t frames_sent = 0;    // frames whose last image the transport took
};

class FaultHook {
  public:
    virtual ~FaultHook() = default;

    // A host connected; the counters start from zero again, and so may the hook's own state.
    virtual void onConnect() {}

    // Raw request bytes as they arrive, before they are decoded; may be rewritten (flipped, cut, extended).
    virtual void onIncoming(Bytes& bytes, const StreamCounters& counters) {
        (void)bytes;
        (void)counters;
    }
    // A decoded request; false makes the device ignore it (no reply, no effect).
    virtual bool onRequest(const WirePacket& request, const StreamCounters& counters) {
        (void)request;
        (void)counters;
        return true;
    }
    // A packet about to be queued; may be edited (header bytes, a private copy of the body); false drops it.
    virtual bool onOutgoing(OutPacket& packet, const StreamCounters& counters) {
        (void)packet;
        (void)counters;
        return true;
    }
    // How long a packet that onOutgoing let through is held back before it is queued, in microseconds of
    // the device's clock; 0 queues it at once. Held packets keep their order among themselves.
    virtual uint64_t holdMicros(const OutPacket& packet, const StreamCounters& counters) {
        (void)packet;
        (void)counters;
        return 0;
    }
    // How many more bytes the transport may take now; 0 stalls the output.
    virtual size_t outputAllowance(const StreamCounters& counters) {
        (void)counters;
        return std::numeric_limits<size_t>::max();
    }
    // True when the transport must drop the connection now.
    virtual bool disconnectNow(const StreamCounters& counters) {
        (void)counters;
        return false;
    }
    // Asked once disconnectNow said yes: true makes the transport abort the connection (a TCP reset)
    // instead of closing it cleanly.
    virtual bool abortiveDisconnect() { return false; }
};

}  // namespace kvsim
}  // namespace orvane
