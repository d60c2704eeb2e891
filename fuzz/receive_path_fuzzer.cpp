// Device bytes through the whole receive path: parser, receive controller with the parameter, register and
// image processors, frames assembled into guarded application buffers.
//
// Input: [buffers-1 (low 2 bits)] [component mask] [one size byte per set mask bit, in units of 4 bytes]
//        [16-bit seed of read sizes and application actions] [device bytes...]
#include <cstddef>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "kvdepth.h"
#include "protocol/cam_control_processor.h"
#include "protocol/device_param_processor.h"
#include "protocol/device_receive_controller.h"
#include "stream/image_receiver_processor.h"

namespace {

using orvane::KvFrameBuffer;

// Layout entries a mask bit selects; the last two are a repeated and an unknown component.
constexpr int32_t kLayoutComponents[8] = {
    KV_COMPONENT_DEPTH,    KV_COMPONENT_LEFT_IR, KV_COMPONENT_RIGHT_IR, KV_COMPONENT_COLOR,
    KV_COMPONENT_AUX_DATA, KV_COMPONENT_POINT3D, KV_COMPONENT_DEPTH,    0x7fff0000,
};

struct Application {
    std::unique_ptr<kvfuzz::GuardedArena> arena;
    std::vector<std::shared_ptr<KvFrameBuffer>> buffers;
    orvane::KvFrameBufferQueue empty_queue;

    const std::shared_ptr<KvFrameBuffer>* Find(const void* user_buffer) const {
        for (const auto& b : buffers) {
            if (b->buffer == user_buffer) return &b;
        }
        return nullptr;
    }
    void EnqueueAll() {
        empty_queue.clear();
        for (const auto& b : buffers) empty_queue.enqueue(b);
    }
};

void SetUp(kvfuzz::InputReader& in, Application& app) {
    const int buffer_count = 1 + (in.Byte() & 3);
    const uint8_t mask = in.Byte();
    std::vector<orvane::SubBufferInfo> layout;
    size_t frame_size = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((mask & (1u << bit)) == 0) continue;
        orvane::SubBufferInfo info;
        info.componentID = kLayoutComponents[bit];
        info.size = in.Byte() * 4;
        frame_size += static_cast<size_t>(info.size);
        layout.push_back(info);
    }
    app.arena.reset(
        new kvfuzz::GuardedArena(std::vector<size_t>(static_cast<size_t>(buffer_count), frame_size)));
    for (size_t i = 0; i < app.arena->count(); ++i) {
        auto buffer = KvFrameBuffer::Create(app.arena->region(i), static_cast<int32_t>(frame_size), layout);
        FUZZ_CHECK(buffer != nullptr);
        app.buffers.push_back(buffer);
    }
    app.EnqueueAll();
}

// A delivered frame lies in one application buffer, and each image in its component's slice. Adds what the
// frame holds to the digest.
void CheckFrame(const Application& app, const KV_FRAME_DATA& frame, kvfuzz::Digest& digest) {
    const std::shared_ptr<KvFrameBuffer>* owner = app.Find(frame.userBuffer);
    FUZZ_CHECK(owner != nullptr);
    FUZZ_CHECK(frame.bufferSize == (*owner)->size);
    FUZZ_CHECK(frame.validCount >= 0 && frame.validCount <= KV_MAX_IMAGES_PER_FRAME);
    digest.AddValue(owner - app.buffers.data());
    digest.AddValue(frame.validCount);
    for (int i = 0; i < frame.validCount; ++i) {
        const KV_IMAGE_DATA& image = frame.image[i];
        const KvFrameBuffer::SubBufferRecord* slice = (*owner)->FindSubBuffer(image.componentID);
        FUZZ_CHECK(slice != nullptr);
        FUZZ_CHECK(image.buffer == slice->data);
        FUZZ_CHECK(image.size > 0 && image.size <= slice->size);
        FUZZ_CHECK(image.width > 0 && image.height > 0);
        FUZZ_CHECK(static_cast<int64_t>(image.width) * image.height <= image.size);
        digest.Add(&image, offsetof(KV_IMAGE_DATA, buffer));
        digest.Add(&image.width, sizeof(image.width) * 3);
        digest.Add(image.buffer, static_cast<size_t>(image.size));
    }
}

struct Session {
    Application app;
    orvane::DeviceParamProcessor params;
    orvane::CamControlProcessor registers;
    orvane::ImageReceiverProcessor receiver{orvane::kPacketTypeImage, app.empty_queue};
    orvane::DeviceReceiveController controller;
    kvfuzz::Digest digest;

    // What an application may do between two packets, chosen by the seed.
    void ApplicationStep(uint32_t action) {
        switch (action % 8) {
            case 4:
            case 5: {
                KV_FRAME_DATA frame;
                if (receiver.GetFrames(&frame) == 0) {
                    CheckFrame(app, frame, digest);
                    app.empty_queue.enqueue(*app.Find(frame.userBuffer));
                }
                break;
            }
            case 6:
                receiver.PlaceAllBufferToEmptyQ();
                break;
            case 7:
                receiver.ClearBuffers();
                app.EnqueueAll();
                break;
            default:
                break;
        }
    }

    // Receives until the device bytes run out; returns the digest of everything delivered.
    uint64_t Run(kvfuzz::InputReader in, bool whole_reads) {
        SetUp(in, app);
        const uint16_t seed = in.U16();
        kvfuzz::ChunkedStream stream(in.rest(), in.rest_size(), seed, whole_reads);
        kvfuzz::Rng actions(seed ^ 0x5a5a5a5au);
        controller.set_underlay_stream(&stream);
        controller.AddProcessor(&params);
        controller.AddProcessor(&registers);
        controller.AddProcessor(&receiver);
        // The parser records an error once the stream fails, which it does right after its last byte.
        while (controller.parser().get_lasterror() == 0) {
            controller.parser().ReceiveOnePacket();
            app.arena->Check();
            ApplicationStep(actions.Next());
            app.arena->Check();
        }
        KV_FRAME_DATA frame;
        while (receiver.GetFrames(&frame) == 0) CheckFrame(app, frame, digest);
        receiver.ClearBuffers();
        app.arena->Check();
        const std::vector<uint8_t> reply = params.reply_buffer();
        digest.Add(reply.data(), reply.size());
        const std::vector<uint8_t> register_reply = registers.reply_buffer();
        digest.Add(register_reply.data(), register_reply.size());
        controller.set_underlay_stream(nullptr);
        return digest.value();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::QuietLogs();
    // How the transport cuts the bytes, and whether a read now and then delivers nothing, must not change
    // what is received.
    const uint64_t cut = Session().Run(kvfuzz::InputReader(data, size), false);
    const uint64_t whole = Session().Run(kvfuzz::InputReader(data, size), true);
    FUZZ_CHECK(cut == whole);
    return 0;
}
