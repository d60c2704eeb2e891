#include "transport/usbcluster_libusb.h"

#include <libusb.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/libusb_stream.h"

namespace orvane {

namespace {

const char kStringError[] = "(error)";
constexpr int kDevStringSize = 127;

// Frees a device list (dropping the list's references) when leaving scope.
class DeviceList {
  public:
    DeviceList() { m_count = libusb_get_device_list(nullptr, &m_list); }
    ~DeviceList() {
        if (m_count >= 0) libusb_free_device_list(m_list, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    bool ok() const { return m_count >= 0; }
    ssize_t size() const { return m_count < 0 ? 0 : m_count; }
    libusb_device* operator[](ssize_t i) const { return m_list[i]; }

  private:
    libusb_device** m_list = nullptr;
    ssize_t m_count = -1;
};

bool isCamera(const libusb_device_descriptor& desc) {
    return desc.idVendor == kUsbVendorId && desc.idProduct == kUsbProductId;
}

}  // namespace

int check_device_num(libusb_device* dev) {
    libusb_device_descriptor desc;
    if (dev == nullptr || libusb_get_device_descriptor(dev, &desc) != 0) return -1;
    return isCamera(desc) ? 1 : -1;
}

std::string get_dev_string_ascii(libusb_device_handle* handle, int size, int index) {
    if (handle == nullptr || size < 1 || index <= 0 || index > 255) return kStringError;
    std::vector<unsigned char> text(static_cast<size_t>(size) + 1, 0);
    const int n = libusb_get_string_descriptor_ascii(handle, static_cast<uint8_t>(index), text.data(), size);
    if (n < 0) return kStringError;
    // The count comes from the device side: never trust it beyond the buffer.
    const size_t len = strnlen(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(size));
    return std::string(reinterpret_cast<const char*>(text.data()), len);
}

std::string get_dev_string(libusb_device_handle* handle, int index) {
    return get_dev_string_ascii(handle, kDevStringSize, index);
}

int get_sn(libusb_device* dev, char* out) {
    libusb_device_descriptor desc;
    if (dev == nullptr || libusb_get_device_descriptor(dev, &desc) != 0 || !isCamera(desc)) return -1;
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(dev, &handle);
    if (r != 0) {
        printf("check_device(): Couldn't open device, some information will be missing, ret: %d\n", r);
        handle = nullptr;
    }
    const std::string serial = get_dev_string(handle, desc.iSerialNumber);
    if (handle != nullptr) libusb_close(handle);
    if (serial == kStringError) return -2;
    if (out != nullptr) {
        const size_t n = std::min(serial.size(), kUsbSerialTextSize - 1);
        memcpy(out, serial.data(), n);
        out[n] = '\0';
    }
    return 1;
}

int UsbCluster::InitUsbLib() {
    return libusb_init(nullptr);
}

void UsbCluster::DeinitUsbLib() {
    libusb_exit(nullptr);
}

int UsbCluster::GetNum() {
    DeviceList list;
    if (!list.ok()) return -1;
    int count = 0;
    for (ssize_t i = 0; i < list.size(); ++i) {
        if (check_device_num(list[i]) == 1) ++count;
    }
    return count;
}

std::vector<std::string> UsbCluster::GetStreamIDs() {
    std::vector<std::string> ids;
    const int n = GetNum();
    for (int i = 1; i <= n; ++i) ids.push_back(std::to_string(i));
    return ids;
}

std::vector<std::string> UsbCluster::GetDeviceList() {
    std::vector<std::string> serials;
    DeviceList list;
    for (ssize_t i = 0; i < list.size(); ++i) {
        char serial[kUsbSerialTextSize] = {};
        if (get_sn(list[i], serial) == 1) serials.emplace_back(serial);
    }
    return serials;
}

ITransferStream* UsbCluster::GetStream(const char* id) {
    if (id == nullptr) return nullptr;
    return new libusb_stream(id);
}

}  // namespace orvane
