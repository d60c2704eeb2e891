// A video source on a simulated camera, over loopback TCP or the libusb test double, with the application's
// frame buffers and the offline events it saw.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "device/vov_cam_video_source.h"
#include "sim/usb/usb_double.h"
#include "sim/wire/byte_order.h"
#include "sim/wire/packets.h"
#include "sim_camera.h"

namespace vstest {

namespace kv = orvane::kvsim;
using kvtest::imageOf;
using kvtest::Transport;
using kvtest::transportSuffix;
using orvane::VOVCamVideoSource;
using Clock = std::chrono::steady_clock;

constexpr int32_t kDepth = 0x00010000;
constexpr int32_t kPoints = 0x00020000;
constexpr int32_t kLeftIr = 0x00040000;
constexpr int32_t kRightIr = 0x00080000;
constexpr int kDepthAndIr = kv::kWorkDepth | kv::kWorkInfrared;

inline int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class VideoSourceRig : public ::testing::TestWithParam<Transport> {
  public:
    void SetUp() override {
        if (GetParam() == Transport::kUsb) usb_.SetUp();
    }
    void TearDown() override {
        unplug();
        if (GetParam() == Transport::kUsb) usb_.TearDown();
    }

    // A simulated camera and an unopened source on it (any earlier pair goes first).
    void plug(kv::DeviceConfig config = kv::DeviceConfig(), std::shared_ptr<kv::FaultHook> faults = nullptr,
              std::shared_ptr<kv::Scene> scene = nullptr) {
        unplug();
        auto device = std::make_shared<kv::SimDevice>(config);
        if (scene) device->setScene(scene);
        if (faults) device->setFaultHook(faults);
        camera = std::make_unique<kvtest::CameraEnd>(GetParam(), device);
        ASSERT_TRUE(camera->ready());
        stream.reset(camera->makeStream());
        ASSERT_NE(stream, nullptr);
        source = std::make_unique<VOVCamVideoSource>(queue);
        source->SetStream(stream.get());
        source->SetEventCallback(&VideoSourceRig::onEvent, this);
    }
    void unplug() {
        source.reset();
        stream.reset();
        camera.reset();
        if (GetParam() == Transport::kUsb) ::kvsim::usb::Bus::reset();
        queue.clear();
        memory.clear();
        offline_events = 0;
    }
    void plugAndOpen(kv::DeviceConfig config = kv::DeviceConfig(),
                     std::shared_ptr<kv::FaultHook> faults = nullptr,
                     std::shared_ptr<kv::Scene> scene = nullptr) {
        plug(config, faults, scene);
        ASSERT_EQ(source->OpenDevice(), 0);
    }
    // Keep-alive and stall detection at a test's pace: a dead link is noticed within about a second.
    void fastKeepAlive() {
        source->receive_controller.parser().set_timeout(1000);
        source->receive_controller.SetKeepAliveTiming(100, 800);
        source->EnableKeepAlive();
    }
    kv::SimDevice& dev() { return camera->device(); }

    std::vector<orvane::SubBufferInfo> layoutFor(bool points) {
        const kv::ResolutionMode* d = kv::findResolutionMode(dev().settings().depth_mode);
        const int32_t pixels = d->stream_width * d->stream_height;
        std::vector<orvane::SubBufferInfo> layout = {
            {kDepth, pixels * 2}, {kLeftIr, pixels}, {kRightIr, pixels}};
        if (points) layout.push_back({kPoints, pixels * 12});
        return layout;
    }
    void enqueue(int count, bool points) {
        layout = layoutFor(points);
        int32_t total = 0;
        for (const auto& s : layout) total += s.size;
        for (int i = 0; i < count; ++i) {
            memory.push_back(std::make_unique<std::vector<uint8_t>>(static_cast<size_t>(total), 0xA5));
            requeue(memory.back()->data());
        }
    }
    void requeue(void* buffer) {
        ASSERT_NE(buffer, nullptr) << "a frame without its buffer";
        const int32_t size = static_cast<int32_t>(memory.front()->size());
        ASSERT_EQ(queue.enqueue(orvane::KvFrameBuffer::Create(buffer, size, layout)), 0);
    }
    // The result of the work-mode command (4 when it was taken).
    int startStreaming(int buffers = 3, bool points = false) {
        enqueue(buffers, points);
        int32_t mode = kDepthAndIr;
        return source->SetWorkMode(&mode, 4);
    }
    std::vector<std::vector<uint8_t>> snapshot() const {
        std::vector<std::vector<uint8_t>> copy;
        for (const auto& m : memory) copy.push_back(*m);
        return copy;
    }

    static void onEvent(KV_EVENT_INFO* event, void* user) {
        if (event->eventId == KV_EVENT_DEVICE_OFFLINE) ++static_cast<VideoSourceRig*>(user)->offline_events;
    }

    std::unique_ptr<kvtest::CameraEnd> camera;
    std::unique_ptr<orvane::ITransferStream> stream;
    orvane::KvFrameBufferQueue queue;
    std::unique_ptr<VOVCamVideoSource> source;
    std::vector<orvane::SubBufferInfo> layout;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> memory;
    std::atomic<int> offline_events{0};
    kvtest::UsbLibrary usb_;
};

// A frame callback that gives every frame's buffer back and counts its calls; optionally it unregisters
// itself from inside its first call.
struct CallbackSlot {
    static void call(KV_FRAME_DATA* frame, void* user) {
        auto* slot = static_cast<CallbackSlot*>(user);
        slot->in_call = true;
        if (slot->check) slot->check(*frame);
        slot->rig->requeue(frame->userBuffer);
        ++slot->calls;
        if (slot->unregister_inside) slot->rig->source->SetFrameCallback(nullptr, nullptr);
        slot->in_call = false;
    }
    void registerOn(VOVCamVideoSource& source) { source.SetFrameCallback(&CallbackSlot::call, this); }

    VideoSourceRig* rig = nullptr;
    std::function<void(const KV_FRAME_DATA&)> check;
    bool unregister_inside = false;
    std::atomic<int> calls{0};
    std::atomic<bool> in_call{false};
};

// Counts the keep-alive requests the device receives, with the time of each.
struct KeepAliveLog : kv::FaultHook {
    bool onRequest(const kv::WirePacket& request, const kv::StreamCounters&) override {
        if (request.payload.size() >= 4 && kv::getU32(request.payload.data()) == kv::kCmdKeepAlive) {
            std::lock_guard<std::mutex> lock(mutex);
            times.push_back(Clock::now());
        }
        return true;
    }
    std::vector<Clock::time_point> copy() {
        std::lock_guard<std::mutex> lock(mutex);
        return times;
    }
    std::mutex mutex;
    std::vector<Clock::time_point> times;
};

}  // namespace vstest
