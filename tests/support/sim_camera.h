// A simulated camera for any suite: reachable over loopback TCP (a TcpCameraServer on an address of the
// suite's own range) or over the libusb test double (a UsbCamera on the double's bus), plus the small
// helpers every simulator-backed suite needs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kvdepth.h"
#include "sim/device/sim_device.h"
#include "sim/faults/fault_plan.h"
#include "sim/tcp/tcp_server.h"
#include "sim/usbattach/usb_camera.h"
#include "transport/ITransferStream.h"

namespace kvtest {

using orvane::kvsim::DeviceConfig;
using orvane::kvsim::SimDevice;

enum class Transport { kTcp, kUsb };
const char* transportName(Transport t);
// The transport as the name suffix of a test instantiated for it.
std::string transportSuffix(const ::testing::TestParamInfo<Transport>& info);

// The loopback addresses this test executable may listen on: `prefix` + first .. first+count-1, e.g.
// ("127.0.0.", 71, 10) for 127.0.0.71 to 127.0.0.80. Set it once, before the first camera; a suite can do
// so at namespace scope with a TcpAddressRange object.
void setTcpAddressRange(const std::string& prefix, int first, int count);
struct TcpAddressRange {
    TcpAddressRange(const std::string& prefix, int first, int count) {
        setTcpAddressRange(prefix, first, count);
    }
};
// The next address of the range, handed out in turn (a test failure when no range was set).
std::string nextTcpAddress();

// Waits for a condition with a deadline, yielding in between.
bool waitFor(const std::function<bool()>& condition, int timeout_ms);

// The FaultPlan of a --fault text (EXPECTs that it parses).
std::shared_ptr<orvane::kvsim::FaultPlan> faultPlan(const std::string& text);

// The first image of `component` in a frame, or null.
const KV_IMAGE_DATA* imageOf(const KV_FRAME_DATA& frame, int32_t component);

// The libusb test double's library on an empty bus from SetUp to TearDown, which also checks that every
// device list was given back: for a whole test program (AddGlobalTestEnvironment(new UsbLibrary)) or
// called by a fixture around each test.
class UsbLibrary : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
};

// A simulated camera reachable over one transport.
class CameraEnd {
  public:
    CameraEnd(Transport transport, std::shared_ptr<SimDevice> device, uint16_t usb_packet_size = 512,
              bool readable_serial = true);
    ~CameraEnd();
    CameraEnd(const CameraEnd&) = delete;
    CameraEnd& operator=(const CameraEnd&) = delete;

    SimDevice& device() { return *device_; }
    std::shared_ptr<SimDevice> sharedDevice() { return device_; }
    bool ready() const { return ready_; }
    Transport transport() const { return transport_; }
    // The loopback address of a TCP camera (empty for USB).
    const std::string& address() const { return address_; }
    // A new, unopened stream to this camera (the caller owns it).
    orvane::ITransferStream* makeStream();
    // The link goes away: the TCP server stops (closing the connection), the USB camera is unplugged.
    void cut();
    // A TCP camera still holds a connection (it turns any other client away meanwhile).
    bool tcpConnected() { return server_ && server_->stats().connected; }
    orvane::kvsim::UsbCamera* usb() { return usb_.get(); }

  private:
    Transport transport_;
    std::shared_ptr<SimDevice> device_;
    std::string address_;
    std::unique_ptr<orvane::kvsim::TcpCameraServer> server_;
    std::shared_ptr<orvane::kvsim::UsbCamera> usb_;
    bool ready_ = false;
};

}  // namespace kvtest
