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
#include "sim/device/sim_device.h"
#include "sim/faults/fault_plan.h"
#include "sim/tcp/tcp_server.h"
#include "sim/usbattach/usb_camera.h"
#include "stream/image_receiver_processor.h"
#include "transport/ITransferStream.h"

namespace conformance {

using orvane::kvsim::DeviceConfig;
using orvane::kvsim::SimDevice;

enum class Transport { kTcp, kUsb };
const char* transportName(Transport t);

// Loopback addresses of this suite: 127.0.0.71 to 127.0.0.80, handed out in turn.
std::string nextTcpAddress();

// A simulated camera reachable over one transport.
class CameraEnd {
  public:
    CameraEnd(Transport transport, std::shared_ptr<SimDevice> device, uint16_t usb_packet_size = 512,
              bool readable_serial = true);
    ~CameraEnd();

    SimDevice& device() { return *device_; }
    std::shared_ptr<SimDevice> sharedDevice() { return device_; }
    bool ready() const { return ready_; }
    // A new, unopened stream to this camera (the caller owns it).
    orvane::ITransferStream* makeStream();
    // The link goes away: the TCP server stops (closing the connection), the USB camera is unplugged.
    void cut();
    orvane::kvsim::UsbCamera* usb() { return usb_.get(); }

  private:
    Transport transport_;
    std::shared_ptr<SimDevice> device_;
    std::string address_;
    std::unique_ptr<orvane::kvsim::TcpCameraServer> server_;
    std::shared_ptr<orvane::kvsim::UsbCamera> usb_;
    bool ready_ = false;
};

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

// Waits for a condition with a deadline, yielding in between.
bool waitFor(const std::function<bool()>& condition, int timeout_ms);

// The FaultPlan of a --fault text (EXPECTs that it parses).
std::shared_ptr<orvane::kvsim::FaultPlan> faultPlan(const std::string& text);

}  // namespace conformance
