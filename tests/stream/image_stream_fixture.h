// Image packets and a receive path (in-memory stream, real parser and controller, image receiver) to drive
// them through.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "kvdepth.h"
#include "memory_stream.h"
#include "protocol/device_receive_controller.h"
#include "scripted_device.h"
#include "stream/image_receiver_processor.h"

namespace kvtest {

// Wire pixel formats and cam ids as the device sends them.
enum WirePixelFormat : uint8_t { kWireMono8 = 0, kWireDepth16 = 1, kWireRgb24 = 3 };
enum WireCam : uint8_t { kCamLeftIr = 0, kCamRightIr = 1, kCamColor = 2, kCamDepth = 3, kCamAux = 4 };

// Image packets are built by the support library's encoder, written independently of the library's.
using ImagePacket = ImagePacketFields;
inline Bytes EncodeImagePacket(const ImagePacket& p) {
    return MakeImagePacket(p);
}

// Image bytes that tell frames and sensors apart.
inline Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

inline bool HoldsPattern(const void* memory, size_t size, uint8_t seed) {
    const Bytes expected = Pattern(size, seed);
    return memory != nullptr && std::memcmp(memory, expected.data(), size) == 0;
}

// A w x h image of the given sensor with bytes-per-pixel matching its format.
inline ImagePacket Image(uint8_t cam, uint8_t pixel_format, uint16_t width, uint16_t height,
                         uint8_t frame_index, uint8_t seed) {
    ImagePacket p;
    p.cam_id = cam;
    p.pixel_format = pixel_format;
    p.width = width;
    p.height = height;
    p.frame_index = frame_index;
    p.timestamp = 1000u + frame_index;
    const size_t bpp = pixel_format == kWireDepth16 ? 2 : pixel_format == kWireRgb24 ? 3 : 1;
    p.data = Pattern(size_t{width} * height * bpp, seed);
    return p;
}

// A copy of the packet with one change.
template <typename Change>
ImagePacket Changed(ImagePacket p, Change change) {
    change(p);
    return p;
}

// A 4x2 depth image (16 bytes) and a 4x2 left infrared image (8 bytes) make the usual small frame.
inline ImagePacket Depth(uint8_t frame_index, uint8_t seed = 0x10) {
    return Image(kCamDepth, kWireDepth16, 4, 2, frame_index, seed);
}
inline ImagePacket LeftIr(uint8_t frame_index, uint8_t seed = 0x80) {
    return Image(kCamLeftIr, kWireMono8, 4, 2, frame_index, seed);
}

// Application memory for frames; filled with a marker so untouched bytes can be recognised.
struct AppBuffer {
    static constexpr uint8_t kUntouched = 0xCD;
    explicit AppBuffer(size_t size) : bytes(size, kUntouched) {}
    bool Untouched(size_t offset, size_t size) const {
        for (size_t i = offset; i < offset + size; ++i) {
            if (bytes[i] != kUntouched) return false;
        }
        return true;
    }
    uint8_t* data() { return bytes.data(); }
    Bytes bytes;
};

// The receive path of one device without the thread: tests feed whole packets and pump them one by one.
class ImageStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.set_underlay_stream(&stream);
        controller.AddProcessor(&receiver);
        controller.parser().set_timeout(200);
    }

    void TearDown() override { controller.StopReceive(); }

    // Wraps application memory with the layout and hands it to the receiver, as the camera's enqueue does.
    std::shared_ptr<orvane::KvFrameBuffer> Enqueue(AppBuffer& memory,
                                                   const std::vector<orvane::SubBufferInfo>& layout) {
        auto buffer =
            orvane::KvFrameBuffer::Create(memory.data(), static_cast<int32_t>(memory.bytes.size()), layout);
        EXPECT_NE(nullptr, buffer);
        empty_queue.enqueue(buffer);
        return buffer;
    }

    // New application memory, enqueued with the layout; it lives as long as the test.
    AppBuffer& EnqueueNew(size_t size = 64,
                          const std::vector<orvane::SubBufferInfo>& layout = DepthAndIrLayout()) {
        app_buffers.emplace_back(size);
        Enqueue(app_buffers.back(), layout);
        return app_buffers.back();
    }

    // Feeds the packets and runs the receive path until every fed byte was consumed.
    void Send(std::initializer_list<ImagePacket> packets) {
        for (const ImagePacket& p : packets) stream.Feed(EncodeImagePacket(p));
        Pump();
    }
    void Pump() {
        for (int guard = 0; stream.inbound().queued_bytes() > 0 && guard < 10000; ++guard) {
            controller.DoReceiveEvents();
        }
        ASSERT_EQ(0u, stream.inbound().queued_bytes());
    }

    // The next finished frame; fails the test when there is none.
    KV_FRAME_DATA Fetch() {
        KV_FRAME_DATA frame;
        std::memset(&frame, 0, sizeof(frame));
        EXPECT_EQ(0, receiver.GetFrames(&frame));
        return frame;
    }

    // Expects exactly one finished frame holding `valid_count` images and fetches it.
    KV_FRAME_DATA FetchOnlyFrame(int valid_count) {
        EXPECT_EQ(1, receiver.get_buffered_frame_num());
        KV_FRAME_DATA frame = Fetch();
        EXPECT_EQ(valid_count, frame.validCount);
        return frame;
    }

    static std::vector<orvane::SubBufferInfo> DepthAndIrLayout() {
        return {{KV_COMPONENT_DEPTH, 16}, {KV_COMPONENT_LEFT_IR, 8}};
    }

    std::deque<AppBuffer> app_buffers;  // outlives the receiver that points into it
    MemoryStream stream;
    orvane::KvFrameBufferQueue empty_queue;
    orvane::ImageReceiverProcessor receiver{orvane::kPacketTypeImage, empty_queue};
    orvane::DeviceReceiveController controller;
};

}  // namespace kvtest
