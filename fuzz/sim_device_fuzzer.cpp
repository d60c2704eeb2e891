// Host bytes into a simulated camera: request decoding, command handling, configuration memory, registers
// and, once a request starts streaming, frame output. Whatever the host sends, the device keeps answering
// with well-formed packets.
//
// Input: [16-bit seed of piece sizes and clock steps] [host bytes...]
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "sim/device/sim_device.h"
#include "sim/wire/stream_decoder.h"

namespace {

namespace kv = orvane::kvsim;

// Frames cost rendering time without telling the fuzzer anything new: every image is left blank.
class BlankScene : public kv::Scene {
  public:
    void render(const kv::RenderContext&, uint8_t*, size_t) override {}
};

// Takes everything the device has queued; the host side decoder checks it is well-formed packets.
void DrainOutput(kv::SimDevice& device, kv::StreamDecoder& host, std::vector<kv::WirePacket>& replies) {
    kv::OutputSlice slices[16];
    for (;;) {
        const size_t count = device.gatherOutput(slices, 16, 1 << 20);
        if (count == 0) return;
        size_t taken = 0;
        for (size_t i = 0; i < count; ++i) {
            // Image data is not looked at: only the small packets are decoded.
            host.feed(slices[i].data, std::min<size_t>(slices[i].len, 4096), replies);
            if (slices[i].len > 4096) host.reset();
            taken += slices[i].len;
        }
        device.consumeOutput(taken);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::InputReader in(data, size);
    kvfuzz::Rng rng(in.U16());
    auto clock = std::make_shared<kv::ManualClock>();
    kv::DeviceConfig config;
    config.stamp_frames = false;
    // The smallest images to start with; requests may still ask for larger ones.
    config.initial.depth_mode = 0;
    config.initial.color_mode = 1;
    kv::SimDevice device(config, clock);
    device.setScene(std::make_shared<BlankScene>());
    device.onConnect();

    kv::StreamDecoder host;
    std::vector<kv::WirePacket> replies;
    const uint8_t* bytes = in.rest();
    const size_t n = in.rest_size();
    for (size_t pos = 0; pos < n;) {
        const uint32_t r = rng.Next();
        const size_t piece = std::min<size_t>(n - pos, 1 + r % 64);
        device.receive(bytes + pos, piece);
        pos += piece;
        // Now and then a frame time passes.
        if ((r >> 8) % 4 == 0) clock->advance(40000);
        device.service();
        DrainOutput(device, host, replies);
    }
    for (const kv::WirePacket& reply : replies) {
        FUZZ_CHECK(!reply.malformed);
        FUZZ_CHECK(reply.header.length <= kv::kMaxPacketLength);
    }
    device.onDisconnect();
    return 0;
}
