// The libusb-1.0 functions the double provides, with libusb's own signatures. Each one checks its
// arguments and hands the work to the simulated device (usb_double.cpp).
#include <cstdlib>
#include <cstring>

#include "usb_double_internal.h"

using kvsim::usb::busState;
using kvsim::usb::BusState;
using kvsim::usb::DeviceAccess;

namespace {

// GET_DESCRIPTOR for a string, as libusb_get_string_descriptor does it.
int getStringDescriptor(libusb_device_handle* handle, uint8_t index, uint16_t langid, unsigned char* data,
                        int length) {
    return DeviceAccess::control(*handle->device, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                 static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | index), langid, data,
                                 static_cast<uint16_t>(length));
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    if (ctx != nullptr) {
        *ctx = new libusb_context;
        return LIBUSB_SUCCESS;
    }
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    ++bus.init_count;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    if (ctx != nullptr) {
        delete ctx;
        return;
    }
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    if (bus.init_count > 0) --bus.init_count;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    // The default context must have been initialised, as with the real library.
    if (ctx == nullptr && bus.init_count == 0) return LIBUSB_ERROR_OTHER;
    if (bus.list_error != 0) return bus.list_error;
    const size_t n = bus.plugged.size();
    auto** out = static_cast<libusb_device**>(calloc(n + 1, sizeof(libusb_device*)));
    if (out == nullptr) return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < n; ++i) {
        libusb_device* dev = DeviceAccess::ldev(*bus.plugged[i]);
        ++dev->refs;
        out[i] = dev;
    }
    *list = out;
    kvsim::usb::countDeviceList(1);
    return static_cast<ssize_t>(n);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) return;
    {
        BusState& bus = busState();
        std::lock_guard<std::mutex> lock(bus.mu);
        if (unref_devices) {
            for (libusb_device** dev = list; *dev != nullptr; ++dev) kvsim::usb::unrefLocked(*dev);
        }
    }
    free(list);
    kvsim::usb::countDeviceList(-1);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev == nullptr) return nullptr;
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev == nullptr) return;
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    kvsim::usb::unrefLocked(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    if (dev == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return DeviceAccess::descriptor(*dev->device, desc);
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    struct libusb_config_descriptor** config) {
    if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return DeviceAccess::activeConfig(*dev->device, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    kvsim::usb::freeConfig(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
    return dev == nullptr ? 0 : dev->device->busNumber();
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    return dev == nullptr ? 0 : dev->device->deviceAddress();
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (dev == nullptr || dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    auto* handle = new libusb_device_handle;
    const int r = DeviceAccess::open(*dev->device, handle);
    if (r != LIBUSB_SUCCESS) {
        delete handle;
        return r;
    }
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    ++dev->refs;
    handle->dev = dev;
    handle->device = dev->device;
    *dev_handle = handle;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) return;
    dev_handle->closed->store(true);
    DeviceAccess::close(*dev_handle->device, dev_handle);
    {
        BusState& bus = busState();
        std::lock_guard<std::mutex> lock(bus.mu);
        kvsim::usb::unrefLocked(dev_handle->dev);
    }
    delete dev_handle;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return DeviceAccess::claim(*dev_handle->device, dev_handle, interface_number);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return DeviceAccess::release(*dev_handle->device, dev_handle, interface_number);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength, unsigned int /*timeout*/) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return DeviceAccess::control(*dev_handle->device, request_type, bRequest, wValue, wIndex, data, wLength);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual_length,
                                     unsigned int timeout) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    // The handle may be closed by another thread while this call waits: keep what it needs.
    std::shared_ptr<kvsim::usb::Device> device = dev_handle->device;
    std::shared_ptr<std::atomic<bool>> closed = dev_handle->closed;
    return DeviceAccess::bulk(*device, dev_handle, closed, endpoint, data, length, actual_length, timeout);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                                   unsigned char* data, int length) {
    if (dev_handle == nullptr || data == nullptr || length < 1) return LIBUSB_ERROR_INVALID_PARAM;
    if (desc_index == 0) return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char tbuf[255];
    int r = getStringDescriptor(dev_handle, 0, 0, tbuf, 4);
    if (r < 0) return r;
    if (r < 4) return LIBUSB_ERROR_IO;
    const uint16_t langid = static_cast<uint16_t>(tbuf[2] | (tbuf[3] << 8));
    r = getStringDescriptor(dev_handle, desc_index, langid, tbuf, sizeof(tbuf));
    if (r < 0) return r;
    if (r < 2 || tbuf[1] != LIBUSB_DT_STRING || tbuf[0] > r) return LIBUSB_ERROR_IO;
    int di = 0;
    for (int si = 2; si + 1 < tbuf[0]; si += 2) {
        if (di >= length - 1) break;
        const bool ascii = (tbuf[si] & 0x80) == 0 && tbuf[si + 1] == 0;
        data[di++] = ascii ? tbuf[si] : '?';
    }
    data[di] = 0;
    return di;
}

}  // extern "C"
