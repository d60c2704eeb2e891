#include "transport/libusb_stream.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "transport/usbcluster_libusb.h"

namespace orvane {

namespace {

constexpr int kInterfaceUsb = 2;  // KV_INTERFACE_USB
constexpr int kSendChunk = 4096;
constexpr int kIdSize = 56;
constexpr int kSerialSize = sizeof(usb_handle::serial);

// GET_DESCRIPTOR of a string, standard device-to-host request.
constexpr uint8_t kRequestTypeIn = 0x80;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint16_t kStringDescriptor = 0x0300;
constexpr int kStringReplySize = 256;

bool isBulk(const libusb_endpoint_descriptor& ep) {
    return (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
}

// Frees an active configuration descriptor when leaving scope.
struct ConfigGuard {
    libusb_config_descriptor* config = nullptr;
    ~ConfigGuard() {
        if (config != nullptr) libusb_free_config_descriptor(config);
    }
};

// The serial text of a string descriptor reply: UTF-16LE code units after the 2-byte header,
// narrowed to their low byte and cut to fit `out`.
void narrowSerial(const unsigned char* reply, int reply_len, char* out, int out_size) {
    int n = 0;
    for (int pos = 2; pos + 1 < reply_len && n < out_size - 1; pos += 2)
        out[n++] = static_cast<char>(reply[pos]);
    out[n] = '\0';
}

}  // namespace

int check_usb_interface(const libusb_interface* iface, const libusb_device_descriptor* desc,
                        usb_handle* usb) {
    if (iface == nullptr || desc == nullptr || usb == nullptr) return -1;
    if (desc->idVendor != kUsbVendorId || desc->idProduct != kUsbProductId) return -1;
    if (iface->num_altsetting < 1 || iface->altsetting == nullptr) return -1;
    const libusb_interface_descriptor& alt = iface->altsetting[0];
    if (alt.bNumEndpoints != 2 || alt.endpoint == nullptr) return -1;
    if (alt.endpoint[0].bmAttributes != LIBUSB_TRANSFER_TYPE_BULK) return -1;

    usb_handle found = *usb;
    bool have_in = false;
    bool have_out = false;
    for (int i = 0; i < alt.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[i];
        if (!isBulk(ep)) return -1;
        if (alt.bInterfaceProtocol == 1) found.zero_mask = ep.wMaxPacketSize - 1;
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            found.ep_in = ep.bEndpointAddress;
            found.rx_unit = ep.wMaxPacketSize;
            have_in = true;
        } else {
            found.ep_out = ep.bEndpointAddress;
            have_out = true;
        }
    }
    // Two endpoints of one direction leave the other unset; a packet size outside what the staging
    // buffer holds (or zero) would make every read wrong.
    if (!have_in || !have_out) return -1;
    if (found.rx_unit < 1 || found.rx_unit > kUsbMaxPacketSize) return -1;
    *usb = found;
    return 1;
}

int check_usb_interfaces(const libusb_config_descriptor* config, const libusb_device_descriptor* desc,
                         usb_handle* usb) {
    if (config == nullptr || config->interface == nullptr) return -1;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        if (check_usb_interface(&config->interface[i], desc, usb) == 1) return i;
    }
    return -1;
}

struct libusb_stream::stream_impl {
    char id[kIdSize] = {};
    std::atomic<int> timeout{0};  // set by the owner, read by the sending and receiving threads
    unsigned char rx_buf[kUsbMaxPacketSize];
    int rx_left = 0;
    unsigned char* rx_pos = rx_buf;
    usb_handle* usb = nullptr;
    // Reads and writes share the connection; Open and Close replace it. The receive thread closes the
    // stream when it fails, possibly while another thread is inside Send: the handle must not be
    // freed under that call.
    std::shared_mutex connection;

    // Examines one device and, when it is the wanted camera, claims its interface and sets `usb`.
    // sn: the serial number to match (serial mode), or null (ordinal mode: any camera).
    bool check_device_common(libusb_device* dev, const char* sn);
    bool check_device(libusb_device* dev) { return check_device_common(dev, nullptr); }
    bool check_device_sn(libusb_device* dev, const char* sn) { return check_device_common(dev, sn); }

    // Turns a libusb result into the stream's: bytes moved, or a negative libusb code.
    static int transferResult(int r, int transferred);
    void resetStaging() {
        rx_left = 0;
        rx_pos = rx_buf;
    }
};

bool libusb_stream::stream_impl::check_device_common(libusb_device* dev, const char* sn) {
    const bool serial_mode = sn != nullptr;
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != 0) return false;
    if (desc.idVendor != kUsbVendorId || desc.idProduct != kUsbProductId) return false;

    usb_handle found;
    memset(&found, 0, sizeof(found));
    found.bus = libusb_get_bus_number(dev);
    found.address = libusb_get_device_address(dev);

    int chosen = -1;
    {
        ConfigGuard config;
        const int r = libusb_get_active_config_descriptor(dev, &config.config);
        if (r == LIBUSB_ERROR_NOT_FOUND) {
            if (serial_mode)
                printf("check_device(): Device %4x:%4x is unconfigured\n", desc.idVendor, desc.idProduct);
            return false;
        }
        if (r != 0) return false;
        if (config.config == nullptr) {
            if (serial_mode) printf("check_device(): Sanity check failed after getting active config\n");
            return false;
        }
        chosen = check_usb_interfaces(config.config, &desc, &found);
    }
    if (chosen < 0) return false;

    libusb_device_handle* handle = nullptr;
    if (libusb_open(dev, &handle) != 0) return false;
    if (libusb_claim_interface(handle, chosen) != 0) {
        libusb_close(handle);
        return false;
    }
    auto give_up = [&] {
        libusb_release_interface(handle, chosen);
        libusb_close(handle);
        return false;
    };

    unsigned char reply[kStringReplySize];
    const int lang_len = libusb_control_transfer(handle, kRequestTypeIn, kRequestGetDescriptor,
                                                 kStringDescriptor, 0, reply, sizeof(reply), 0);
    if (lang_len < 1) {
        if (serial_mode) printf("check_device(): Failed to get languages count\n");
        return give_up();
    }
    std::vector<uint16_t> languages;
    for (int pos = 2; pos + 1 < lang_len; pos += 2) {
        languages.push_back(static_cast<uint16_t>(reply[pos] | (reply[pos + 1] << 8)));
    }

    char serial[kSerialSize] = {};
    // Without a serial-number string there is nothing to ask for (index 0 is the language list).
    if (desc.iSerialNumber != 0) {
        for (uint16_t lang : languages) {
            const int n = libusb_control_transfer(handle, kRequestTypeIn, kRequestGetDescriptor,
                                                  kStringDescriptor | desc.iSerialNumber, lang, reply,
                                                  sizeof(reply), 0);
            if (n > 0) {
                narrowSerial(reply, std::min<int>(n, sizeof(reply)), serial, kSerialSize);
                break;
            }
        }
    }
    if (serial_mode && strcmp(serial, sn) != 0) return give_up();

    found.dev = libusb_ref_device(dev);
    found.handle = handle;
    found.interface = chosen;
    memcpy(found.serial, serial, sizeof(found.serial));
    usb = new usb_handle(found);
    return true;
}

int libusb_stream::stream_impl::transferResult(int r, int transferred) {
    // A time-out still hands over whatever arrived before it (usually nothing).
    if (r == 0 || r == LIBUSB_ERROR_TIMEOUT) return std::max(transferred, 0);
    return r < 0 ? r : LIBUSB_ERROR_OTHER;
}

libusb_stream::libusb_stream(const char* id) : m_id(id != nullptr ? id : ""), m_impl(new stream_impl) {
    snprintf(m_impl->id, sizeof(m_impl->id), "%s", m_id.c_str());
}

libusb_stream::~libusb_stream() {
    Close();
}

int libusb_stream::GetInterface() {
    return kInterfaceUsb;
}

const char* libusb_stream::GetStreamID() {
    return m_id.c_str();
}

int libusb_stream::Open() {
    stream_impl& s = *m_impl;
    std::unique_lock<std::shared_mutex> guard(s.connection);
    if (s.usb != nullptr) return 0;
    s.resetStaging();

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0) return 1;

    if (strlen(s.id) == kUsbSerialLength) {
        for (ssize_t i = 0; i < count && s.usb == nullptr; ++i) s.check_device_sn(list[i], s.id);
    } else {
        const long ordinal = strtol(s.id, nullptr, 10);
        std::vector<libusb_device*> cameras;
        for (ssize_t i = 0; i < count; ++i) {
            if (check_device_num(list[i]) == 1) cameras.push_back(list[i]);
        }
        if (ordinal < 1 || ordinal > static_cast<long>(cameras.size())) {
            printf("Invalid device id!\n");
        } else {
            s.check_device(cameras[static_cast<size_t>(ordinal - 1)]);
        }
    }
    libusb_free_device_list(list, 1);
    return s.usb != nullptr ? 0 : 1;
}

int libusb_stream::Send(const char* buf, int len) {
    if (len <= 0) return len;
    std::shared_lock<std::shared_mutex> guard(m_impl->connection);
    usb_handle* usb = m_impl->usb;
    if (usb == nullptr || buf == nullptr) {
        printf(">>>>>>>>> usb_write ret %d\n", -1);
        return -1;
    }
    // libusb takes a non-const buffer for both directions; OUT transfers only read it.
    auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(buf));
    const unsigned timeout = static_cast<unsigned>(std::max(m_impl->timeout.load(), 0));
    for (int sent = 0; sent < len;) {
        const int chunk = std::min(len - sent, kSendChunk);
        int transferred = 0;
        const int r =
            libusb_bulk_transfer(usb->handle, usb->ep_out, data + sent, chunk, &transferred, timeout);
        if (r != 0 || transferred != chunk) {
            printf(">>>>>>>>> usb_write ret %d\n", -1);
            return -1;
        }
        sent += chunk;
    }
    if (usb->zero_mask == 1 && len % 2 == 0) {
        int transferred = 0;
        const int r = libusb_bulk_transfer(usb->handle, usb->ep_out, data, 0, &transferred, timeout);
        if (r != 0 || transferred != 0) {
            printf(">>>>>>>>> usb_write ret %d\n", r != 0 ? r : transferred);
            return -1;
        }
    }
    return len;
}

int libusb_stream::Receive(char* buf, int len) {
    stream_impl& s = *m_impl;
    std::shared_lock<std::shared_mutex> guard(s.connection);
    // Reading a stream that was never opened (or was closed) is a caller error; report it as a
    // failed transport instead of touching a missing handle.
    if (s.usb == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    if (len <= 0 || buf == nullptr) return 0;

    if (s.rx_left > 0) {
        const int n = std::min(len, s.rx_left);
        memcpy(buf, s.rx_pos, static_cast<size_t>(n));
        s.rx_pos += n;
        s.rx_left -= n;
        return n;
    }

    const int unit = s.usb->rx_unit;
    const unsigned timeout = static_cast<unsigned>(std::max(s.timeout.load(), 0));
    int transferred = 0;
    if (len >= unit) {
        // Whole packets straight into the caller's buffer.
        const int want = unit * (len / unit);
        const int r = libusb_bulk_transfer(s.usb->handle, s.usb->ep_in, reinterpret_cast<unsigned char*>(buf),
                                           want, &transferred, timeout);
        return stream_impl::transferResult(r, std::min(transferred, want));
    }

    // Shorter reads take one whole packet into the staging buffer and serve it piecewise.
    const int r = libusb_bulk_transfer(s.usb->handle, s.usb->ep_in, s.rx_buf, unit, &transferred, timeout);
    const int got = stream_impl::transferResult(r, std::min(transferred, unit));
    if (got <= 0) return got;
    const int n = std::min(len, got);
    memcpy(buf, s.rx_buf, static_cast<size_t>(n));
    s.rx_pos = s.rx_buf + n;
    s.rx_left = got - n;
    return n;
}

void libusb_stream::set_timeout(int ms) {
    m_impl->timeout = ms;
}

int libusb_stream::get_timeout() {
    return m_impl->timeout;
}

int libusb_stream::Close() {
    stream_impl& s = *m_impl;
    std::unique_lock<std::shared_mutex> guard(s.connection);
    if (s.usb != nullptr) {
        libusb_release_interface(s.usb->handle, s.usb->interface);
        libusb_close(s.usb->handle);
        libusb_unref_device(s.usb->dev);
        delete s.usb;
        s.usb = nullptr;
    }
    // Bytes staged from the old connection must not be served after a reopen.
    s.resetStaging();
    return 0;
}

}  // namespace orvane
