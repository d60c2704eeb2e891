// Simulated cameras on the libusb test double: a SimDevice plugged into the double's bus, its bulk OUT
// endpoint feeding the device's request decoder and its bulk IN endpoint serving the device's output. Host
// code linked against the double (kvsim_usb) enumerates, opens and streams from it as from a camera on a
// USB port.
//
// The camera is one session from plugging to unplugging, as a real one: a host closing and reopening its
// handle finds the device as it left it. A fault plan's disconnect (close or reset after N bytes or
// frames) unplugs the device: pending and later transfers fail with LIBUSB_ERROR_NO_DEVICE.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sim/device/sim_device.h"
#include "usb/usb_double.h"

namespace orvane {
namespace kvsim {

struct UsbCameraOptions {
    // The serial-number string the camera reports (its identity's serial), or none at all: hosts then
    // reach it only by its ordinal.
    bool readable_serial = true;
    // Maximum packet size of both bulk endpoints: 512 on a USB 2 port, 1024 on USB 3.
    uint16_t packet_size = 512;
};

// The device side of the camera's bulk endpoints.
class UsbCameraLink : public ::kvsim::usb::EndpointHandler {
  public:
    explicit UsbCameraLink(std::shared_ptr<SimDevice> device);
    ~UsbCameraLink() override;

    int onBulkOut(const uint8_t* data, int len) override;
    int onBulkIn(uint8_t* data, int len, unsigned timeout_ms) override;
    void cancelPending() override;
    void disconnect() override;

    // The double's device this link serves, unplugged when the fault plan asks for a disconnect.
    void setUsbDevice(const std::shared_ptr<::kvsim::usb::Device>& usb);
    bool gone() const { return gone_.load(); }

    // How long one wait for output lasts at most before the link looks again for a fault's disconnect
    // or a lifted stall.
    static constexpr unsigned kWaitSliceMs = 20;

  private:
    bool unplugIfAsked();

    std::shared_ptr<SimDevice> device_;
    std::weak_ptr<::kvsim::usb::Device> usb_;
    std::atomic<bool> gone_{false};
    std::atomic<uint64_t> cancel_generation_{0};
    std::mutex unplug_mutex_;
};

class UsbCamera {
  public:
    // Plugs a new camera serving `device` into the double's bus (libusb list order is plugging order).
    static std::shared_ptr<UsbCamera> plug(std::shared_ptr<SimDevice> device,
                                           const UsbCameraOptions& options = UsbCameraOptions());
    ~UsbCamera();
    UsbCamera(const UsbCamera&) = delete;
    UsbCamera& operator=(const UsbCamera&) = delete;

    SimDevice& device() { return *device_; }
    std::shared_ptr<SimDevice> sharedDevice() { return device_; }
    ::kvsim::usb::Device& usb() { return *usb_; }
    std::shared_ptr<::kvsim::usb::Device> sharedUsb() { return usb_; }
    const UsbCameraOptions& options() const { return options_; }

    // Pulls the cable: the device leaves the bus and every pending and later transfer fails with
    // LIBUSB_ERROR_NO_DEVICE.
    void unplug();
    bool plugged() const;

  private:
    UsbCamera() = default;

    std::shared_ptr<SimDevice> device_;
    std::shared_ptr<UsbCameraLink> link_;
    std::shared_ptr<::kvsim::usb::Device> usb_;
    UsbCameraOptions options_;
};

}  // namespace kvsim
}  // namespace orvane
