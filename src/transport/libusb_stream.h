// USB byte stream over one bulk IN / bulk OUT pair of a camera, through libusb-1.0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/ITransferStream.h"

// libusb's types, declared here so that users of the stream need not see libusb.h.
struct libusb_device;
struct libusb_device_handle;
struct libusb_interface;
struct libusb_config_descriptor;
struct libusb_device_descriptor;

namespace orvane {

constexpr uint16_t kUsbVendorId = 0x04B4;
constexpr uint16_t kUsbProductId = 0x1003;
// Camera serial numbers have this length; a stream identifier of this length is a serial number,
// anything else is a decimal ordinal among the connected cameras.
constexpr size_t kUsbSerialLength = 12;
// Largest bulk packet the stream can stage (USB 3 bulk endpoints).
constexpr int kUsbMaxPacketSize = 1024;

// What the device check found; one per open stream.
struct usb_handle {
    libusb_device* dev;  // one reference held while the stream is open
    libusb_device_handle* handle;
    int interface;
    uint8_t bus;
    uint8_t address;
    int zero_mask;  // protocol-1 interfaces: endpoint packet size - 1
    uint8_t ep_in;
    uint8_t ep_out;
    char serial[130];
    // Packet size of this device's bulk IN endpoint: the unit the stream reads in. Kept per device,
    // since cameras on USB 2 and USB 3 ports differ (512 / 1024).
    int rx_unit;
};

// 1 when the interface qualifies for the camera's stream (alternate setting 0 with exactly one bulk IN
// and one bulk OUT endpoint, IN packet size 1..kUsbMaxPacketSize) and the device is a camera; the
// endpoints, zero_mask and rx_unit are then stored in *usb. -1 otherwise, *usb untouched.
int check_usb_interface(const libusb_interface* iface, const libusb_device_descriptor* desc, usb_handle* usb);
// Index of the first qualifying interface of the configuration (filling *usb as above), or -1.
int check_usb_interfaces(const libusb_config_descriptor* config, const libusb_device_descriptor* desc,
                         usb_handle* usb);

class libusb_stream : public ITransferStream {
  public:
    // id: a 12-character serial number, or a decimal ordinal ("1" is the first camera in libusb's list).
    explicit libusb_stream(const char* id);
    ~libusb_stream() override;  // closes the device if still open
    libusb_stream(const libusb_stream&) = delete;
    libusb_stream& operator=(const libusb_stream&) = delete;

    int GetInterface() override;  // KV_INTERFACE_USB
    const char* GetStreamID() override;
    int Open() override;
    int Send(const char* buf, int len) override;
    int Receive(char* buf, int len) override;
    void set_timeout(int ms) override;
    int get_timeout() override;
    int Close() override;

    struct stream_impl;

  private:
    std::string m_id;
    std::unique_ptr<stream_impl> m_impl;
};

}  // namespace orvane
