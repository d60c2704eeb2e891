// USB enumeration of the cameras (vendor 0x04B4, product 0x1003) and the serial-number helpers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "transport/ITransferStream.h"

struct libusb_device;
struct libusb_device_handle;

namespace orvane {

// Size of the buffer get_sn writes into.
constexpr size_t kUsbSerialTextSize = 128;

class UsbCluster {
  public:
    // libusb_init / libusb_exit on the default context; the registry calls them once each.
    static int InitUsbLib();
    static void DeinitUsbLib();
    // Cameras in libusb's device list; -1 when the list cannot be read.
    static int GetNum();
    // "1" ... "N" for N = GetNum().
    static std::vector<std::string> GetStreamIDs();
    // Serial numbers of the cameras whose serial can be read, in libusb's list order.
    static std::vector<std::string> GetDeviceList();
    // A new, unopened libusb_stream for the identifier (null for a null id); the caller owns it.
    static ITransferStream* GetStream(const char* id);
};

// 1 for a camera (readable descriptor with the cameras' vendor and product id), else -1.
int check_device_num(libusb_device* dev);
// Reads the camera's serial number into out (kUsbSerialTextSize bytes, always terminated).
// 1 on success, -1 when dev is not a camera, -2 when the serial cannot be read.
int get_sn(libusb_device* dev, char* out);
// ASCII form of string descriptor `index`, read with a buffer of `size` bytes (127 for get_dev_string);
// "(error)" when it cannot be read or there is no handle.
std::string get_dev_string(libusb_device_handle* handle, int index);
std::string get_dev_string_ascii(libusb_device_handle* handle, int size, int index);

}  // namespace orvane
