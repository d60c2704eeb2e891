// State shared by the double's C++ side (usb_double.cpp) and its libusb functions (libusb_exports.cpp).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "usb_double.h"

// The objects behind libusb's opaque handles. libusb.h only declares them, so the double defines them.
struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    std::shared_ptr<kvsim::usb::Device> device;
    int refs = 0;          // guarded by the bus mutex
    bool bus_ref = false;  // one of refs belongs to the bus while the device is plugged
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    std::shared_ptr<kvsim::usb::Device> device;
    // Shared with transfers in flight, which must not touch the handle once it may be freed.
    std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
};

namespace kvsim {
namespace usb {

struct BusState {
    std::mutex mu;  // taken before any Device mutex, never after
    std::vector<std::shared_ptr<Device>> plugged;
    int list_error = 0;
    int init_count = 0;
    int outstanding_lists = 0;
    int outstanding_configs = 0;
    uint8_t next_address[256] = {};
};

BusState& busState();

// Frees a configuration descriptor built by DeviceAccess::activeConfig.
void freeConfig(libusb_config_descriptor* config);
// Keeps the count of device lists handed out and not yet freed.
void countDeviceList(int delta);

// Drops one reference; frees the libusb face of the device at zero. Caller holds the bus mutex.
void unrefLocked(libusb_device* dev);

// The libusb functions reach into Device through here.
struct DeviceAccess {
    static std::shared_ptr<Device> create(const DeviceSetup& setup);
    static libusb_device*& ldev(Device& d) { return d.ldev_; }
    static DeviceSetup& setup(Device& d) { return d.setup_; }
    static int descriptor(Device& d, libusb_device_descriptor* out);
    static int activeConfig(Device& d, libusb_config_descriptor** out);
    static int open(Device& d, const void* handle);
    static void close(Device& d, const void* handle);
    static int claim(Device& d, const void* handle, int iface);
    static int release(Device& d, const void* handle, int iface);
    static int control(Device& d, uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                       unsigned char* data, uint16_t length);
    static int bulk(Device& d, const void* handle, const std::shared_ptr<std::atomic<bool>>& closed,
                    unsigned char endpoint, unsigned char* data, int length, int* actual, unsigned timeout);
};

}  // namespace usb
}  // namespace kvsim
