// The library's protocol layer wired to a simulated camera, the way a video source wires it: one transport
// stream, a receive controller with its thread, and the three processors (image receiver, parameter
// processor, register processor, in that order). The camera sits behind loopback TCP (tcp_stream to a
// TcpCameraServer) or behind the libusb test double (libusb_stream to a UsbCamera).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kvdepth.h"
#include "protocol/cam_control_processor.h"
#include "protocol/device_param_processor.h"
#include "protocol/device_receive_controller.h"
#include "sim_camera.h"
#include "stream/image_receiver_processor.h"
#include "transport/ITransferStream.h"

namespace conformance {

using kvtest::CameraEnd;
using kvtest::DeviceConfig;
using kvtest::faultPlan;
using kvtest::imageOf;
using kvtest::nextTcpAddress;
using kvtest::SimDevice;
using kvtest::Transport;
using kvtest::waitFor;

// The host side.
class HostLink {
  public:
    explicit HostLink(orvane::ITransferStream* stream);  // takes ownership
    ~HostLink();

    // Opens the stream, attaches the processors and starts the receive thread; false on failure.
    bool start();
    void stop();
    // Keep-alive at a short interval, so that silence is noticed within a test's time.
    void keepAlive(int interval_ms, int dead_ms);
    void setCommandTimeout(int ms);

    // Cuts the empty-queue buffers for a frame layout and enqueues `count` of them. Each buffer is
    // followed by guard bytes that must never change.
    void enqueueBuffers(const std::vector<orvane::SubBufferInfo>& layout, int count);
    bool guardsIntact() const;
    // Waits for a finished frame; false when none came in time.
    bool fetchFrame(KV_FRAME_DATA& frame, int timeout_ms);
    // Gives a fetched frame's buffer back.
    void requeue(const KV_FRAME_DATA& frame);

    bool offline() const { return offline_events_.load() > 0; }
    bool waitOffline(int timeout_ms) const;
    int offlineEvents() const { return offline_events_.load(); }

    orvane::DeviceParamProcessor param;
    orvane::CamControlProcessor registers;
    orvane::KvFrameBufferQueue empty_queue;
    orvane::ImageReceiverProcessor images{orvane::kPacketTypeImage, empty_queue};
    orvane::DeviceReceiveController controller;
    std::unique_ptr<orvane::ITransferStream> stream;

    static constexpr uint8_t kGuardByte = 0xA5;
    static constexpr size_t kGuardSize = 4096;

  private:
    static void onEvent(KV_EVENT_INFO* event, void* user);

    struct Buffer {
        std::vector<uint8_t> memory;
        size_t used = 0;
        std::vector<orvane::SubBufferInfo> layout;
    };
    std::vector<std::unique_ptr<Buffer>> buffers_;
    std::atomic<int> offline_events_{0};
    std::atomic<int> last_event_{0};
    bool started_ = false;
};

}  // namespace conformance
