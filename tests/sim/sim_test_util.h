// Helpers shared by the simulator's tests: hex literals, a device driven by hand and frames grouped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "memory_stream.h"
#include "sim/device/sim_device.h"
#include "sim/wire/packets.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {
namespace test {

// Hex texts ("fe 01 fe 01") and joined byte strings.
using kvtest::Concat;
using kvtest::Hex;

// A simulated camera with a hand-stepped clock and a host that reads everything at once.
class DeviceHarness {
  public:
    explicit DeviceHarness(DeviceConfig config = DeviceConfig())
        : clock(std::make_shared<ManualClock>()), device(std::move(config), clock) {
        device.onConnect();
    }

    // Sends one request without reading anything.
    void post(const Bytes& payload, uint8_t packet_id, uint8_t type = kPacketParam) {
        Bytes packet = encodePacket(type, packet_id, payload);
        device.receive(packet.data(), packet.size());
    }
    // Sends one request and returns every packet read afterwards (including any held back before).
    std::vector<WirePacket> send(const Bytes& payload, uint8_t packet_id, uint8_t type = kPacketParam) {
        post(payload, packet_id, type);
        return drain();
    }
    // The one parameter reply to a request; an empty payload with id 0xEE when there was none or several.
    // Images read meanwhile are held back for the next drain().
    WirePacket request(const Bytes& payload) {
        uint8_t id = next_id++;
        std::vector<WirePacket> all = send(payload, id);
        WirePacket reply;
        int replies = 0;
        for (WirePacket& p : all) {
            if (p.header.type == kPacketParam && p.header.packet_id == id) {
                reply = std::move(p);
                ++replies;
            } else {
                held.push_back(std::move(p));
            }
        }
        if (replies != 1) {
            reply = WirePacket();
            reply.header.packet_id = 0xEE;
        }
        return reply;
    }
    // Everything held back plus all output the device has now.
    std::vector<WirePacket> drain(size_t chunk = 1 << 20) {
        std::vector<WirePacket> packets = std::move(held);
        held.clear();
        std::vector<uint8_t> buf(chunk);
        for (;;) {
            size_t n = device.readOutput(buf.data(), buf.size());
            if (n == 0) break;
            decoder.feed(buf.data(), n, packets);
        }
        return packets;
    }
    // Advances time and lets the device do its timed work.
    void advance(uint64_t micros) {
        clock->advance(micros);
        device.service();
    }

    std::shared_ptr<ManualClock> clock;
    SimDevice device;
    StreamDecoder decoder;
    std::vector<WirePacket> held;
    uint8_t next_id = 1;
};

// The images of one frame, in the order they came.
struct Frame {
    std::vector<WirePacket> images;
    const WirePacket* byCam(uint8_t cam) const {
        for (const WirePacket& p : images)
            if (p.image.cam_id == cam) return &p;
        return nullptr;
    }
};

// The images among `packets`, grouped into frames by their frame index.
inline std::vector<Frame> framesOf(std::vector<WirePacket> packets) {
    std::vector<Frame> frames;
    for (WirePacket& p : packets) {
        if (!p.has_image) continue;
        if (frames.empty() || frames.back().images.back().image.frame_index != p.image.frame_index)
            frames.emplace_back();
        frames.back().images.push_back(std::move(p));
    }
    return frames;
}

inline int16_t replyI16(const WirePacket& p, size_t offset) {
    return p.payload.size() >= offset + 2 ? static_cast<int16_t>(getU16(p.payload.data() + offset)) : -12345;
}
inline int32_t replyI32(const WirePacket& p, size_t offset) {
    return p.payload.size() >= offset + 4 ? static_cast<int32_t>(getU32(p.payload.data() + offset)) : -12345;
}

}  // namespace test
}  // namespace kvsim
}  // namespace orvane
