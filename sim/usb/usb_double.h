// A stand-in for libusb-1.0 that presents simulated USB devices.
//
// Link kvsim_usb instead of the system libusb: it exports the libusb functions a host-side USB
// transport needs (see README.md for the list and their exact behaviour) with libusb's own signatures,
// and answers them from devices that a test or a simulator plugs into one process-wide bus:
//
//     auto cam = kvsim::usb::Bus::plug(kvsim::usb::cameraSetup("KV0000000001", 1024));
//     cam->pipe().feed(bytes, n);          // the device sends on bulk IN
//     ... host code reads and writes ...
//     auto written = cam->pipe().written(); // what the host sent on bulk OUT
//
// Everything here is thread-safe: one thread may sit in a bulk IN transfer while another writes bulk
// OUT and the test thread feeds data, injects faults or unplugs the device.
#pragma once

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvsim {
namespace usb {

// ---- What a device looks like -------------------------------------------------------------------

struct EndpointSetup {
    uint8_t address = 0x81;  // bit 7 set: IN (device to host)
    uint8_t attributes = LIBUSB_TRANSFER_TYPE_BULK;
    uint16_t max_packet_size = 512;
};

struct AltSettingSetup {
    uint8_t interface_class = LIBUSB_CLASS_VENDOR_SPEC;
    uint8_t interface_subclass = 0;
    uint8_t interface_protocol = 0;
    std::vector<EndpointSetup> endpoints;
};

// An interface is numbered by its position in DeviceSetup::interfaces; an empty alt_settings list
// makes an interface without any alternate setting.
struct InterfaceSetup {
    std::vector<AltSettingSetup> alt_settings;
};

// What libusb_get_active_config_descriptor reports.
enum class ActiveConfig {
    kPresent,   // the configuration built from DeviceSetup::interfaces
    kNotFound,  // LIBUSB_ERROR_NOT_FOUND: the device is unconfigured
    kEmpty,     // success, but no descriptor is handed out (null)
    kError,     // LIBUSB_ERROR_IO
};

// Faults that hold until changed (Device::setFaults). A code of 0 means "no fault"; otherwise it is
// the libusb error code the call returns.
struct DeviceFaults {
    int descriptor_error = 0;  // libusb_get_device_descriptor
    ActiveConfig active_config = ActiveConfig::kPresent;
    int open_error = 0;      // libusb_open
    int claim_error = 0;     // libusb_claim_interface
    int language_error = 0;  // GET_DESCRIPTOR of string 0 (the language list)
    int serial_error = 0;    // GET_DESCRIPTOR of the serial-number string, in every language
};

struct DeviceSetup {
    uint16_t vendor_id = 0x04B4;
    uint16_t product_id = 0x1003;
    uint8_t bus_number = 1;
    uint8_t device_address = 0;  // 0: the next free address on the simulated bus
    uint8_t serial_index = 3;    // iSerialNumber of the device descriptor; 0 for none
    std::vector<InterfaceSetup> interfaces;
    // Language ids reported by string descriptor 0. Empty: the device stalls that request.
    std::vector<uint16_t> languages = {0x0409};
    // Serial-number text per language id; a language without an entry stalls the request.
    std::map<uint16_t, std::u16string> serials;
    // When not empty: returned verbatim (cut to the request's length) for every serial request,
    // whatever the language, so that malformed or oversized descriptors can be presented.
    std::vector<uint8_t> raw_serial_descriptor;
    DeviceFaults faults;
};

// A camera as the USB transport expects it: one vendor interface whose alternate setting 0 has bulk
// IN 0x81 and bulk OUT 0x01 of packet_size bytes, and `serial` in US English (no serial if empty).
DeviceSetup cameraSetup(const std::string& serial, uint16_t packet_size = 512);

// Widens 8-bit text to UTF-16 code units one for one.
std::u16string utf16(const std::string& text);

// ---- Bulk endpoints -----------------------------------------------------------------------------

// The device side of the bulk endpoints. The double calls it without holding any of its own locks,
// from whichever host thread issued the transfer, so implementations must be thread-safe.
class EndpointHandler {
  public:
    virtual ~EndpointHandler() = default;
    // The host sent len bytes on bulk OUT. Return the number of bytes the device accepted (0..len) or
    // a negative libusb error code.
    virtual int onBulkOut(const uint8_t* data, int len) = 0;
    // The host asks for up to len bytes on bulk IN and is prepared to wait timeout_ms (0: without
    // limit). Return the bytes placed in data (0..len), LIBUSB_ERROR_TIMEOUT when nothing came in
    // time, or another negative libusb error code.
    virtual int onBulkIn(uint8_t* data, int len, unsigned timeout_ms) = 0;
    // Wake every onBulkIn that is waiting and make it return promptly (any result). Called when a
    // handle is closed; the double then reports the proper error itself.
    virtual void cancelPending() {}
    // The device was unplugged: like cancelPending, and every later onBulkIn must return at once too
    // (a transfer may be between the double's checks and the handler when the device goes).
    virtual void disconnect() { cancelPending(); }
};

// The default handler: bytes fed by the test come out of bulk IN in packets of the IN endpoint's
// size, bytes written to bulk OUT are recorded.
//
// Each feed() is one device-side transfer: it is cut into packets and ends the host's transfer with
// its last packet, as a device would with a short or zero-length packet. A host transfer takes packets
// until its length is filled or a feed ends; it never joins bytes of two feeds. A packet that does not
// fit into the space left in the host's buffer is dropped and the transfer fails with
// LIBUSB_ERROR_OVERFLOW, as on a real bus when the host asks for less than a whole packet.
class BulkPipe : public EndpointHandler {
  public:
    explicit BulkPipe(uint16_t in_packet_size);

    void feed(const void* data, size_t len);
    void feed(const std::vector<uint8_t>& data) { feed(data.data(), data.size()); }
    size_t pendingIn() const;  // bytes fed and not yet read by the host
    void clearIn();

    std::vector<uint8_t> written() const;  // every byte the host wrote, in order
    std::vector<uint8_t> takeWritten();    // the same, and forget them
    // Waits until at least `bytes` bytes have been written in total (counting taken ones), or until
    // the deadline; returns whether they were.
    bool waitWritten(size_t bytes, std::chrono::milliseconds deadline) const;

    int onBulkOut(const uint8_t* data, int len) override;
    int onBulkIn(uint8_t* data, int len, unsigned timeout_ms) override;
    void cancelPending() override;
    void disconnect() override;

  private:
    struct Packet {
        std::vector<uint8_t> bytes;
        bool ends_transfer;
    };
    const uint16_t packet_size_;
    mutable std::mutex mu_;
    mutable std::condition_variable in_cv_;
    mutable std::condition_variable out_cv_;
    std::deque<Packet> in_;
    size_t in_bytes_ = 0;
    uint64_t cancel_generation_ = 0;
    bool disconnected_ = false;
    std::vector<uint8_t> out_;
    size_t out_total_ = 0;
};

// ---- Devices and the bus ------------------------------------------------------------------------

struct TransferRecord {
    bool in;           // bulk IN (true) or OUT
    uint8_t endpoint;  // endpoint address as the host gave it
    int requested;     // length the host asked for
    int transferred;   // actual length reported to the host
    int result;        // libusb result code of the call
};

// A simulated device. Created by Bus::plug; shared by the test and the double (it stays alive while
// the host still holds libusb references to it, even after unplug).
class Device : public std::enable_shared_from_this<Device> {
  public:
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const DeviceSetup& setup() const { return setup_; }  // as plugged (faults: see faults())
    uint8_t busNumber() const { return setup_.bus_number; }
    uint8_t deviceAddress() const { return setup_.device_address; }

    void setFaults(const DeviceFaults& faults);
    DeviceFaults faults() const;
    // One-shot bulk faults, consumed in order by the next transfers of that direction.
    // The next bulk IN delivers at most deliver_bytes from the handler and then reports `code`
    // (e.g. LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE); -1 delivers without limit.
    void queueInResult(int code, int deliver_bytes = 0);
    // The next bulk OUT fails with `code` and delivers nothing (LIBUSB_SUCCESS: it goes through as usual,
    // which lets a fault be aimed at a later transfer).
    void queueOutResult(int code);
    // The next bulk OUT delivers only its first `accepted` bytes and reports success with that count.
    void queueShortOut(int accepted);

    // Device gone: it leaves the bus; waiting transfers and every later transfer, open, claim and
    // control request fail with LIBUSB_ERROR_NO_DEVICE. Descriptors stay readable.
    void unplug();
    bool plugged() const;

    // Replace the device side of the bulk endpoints (null restores the default pipe()).
    void setHandler(std::shared_ptr<EndpointHandler> handler);
    BulkPipe& pipe() { return *pipe_; }  // the default handler, also while another is installed

    std::vector<TransferRecord> transfers() const;  // bulk transfers, oldest first (last 10000)
    void clearTransfers();
    int bulkInCount() const;  // bulk IN transfers issued so far
    int controlTransferCount() const;
    int openHandles() const;        // libusb handles open on this device
    int timesOpened() const;        // successful libusb_open calls so far
    int claimedInterfaces() const;  // interfaces claimed through any handle
    int hostReferences() const;     // libusb references held by the host (the bus's own not counted)

  private:
    friend struct DeviceAccess;
    explicit Device(const DeviceSetup& setup);

    struct OneShot {
        int code;
        int amount;  // bytes to deliver at most; -1: no limit
    };
    DeviceSetup setup_;  // immutable after plug, except faults (guarded by mu_)
    mutable std::mutex mu_;
    bool gone_ = false;
    std::deque<OneShot> in_faults_;
    std::deque<OneShot> out_faults_;
    std::shared_ptr<BulkPipe> pipe_;
    std::shared_ptr<EndpointHandler> handler_;
    std::deque<TransferRecord> log_;
    int bulk_in_count_ = 0;
    int control_count_ = 0;
    int open_handles_ = 0;
    int times_opened_ = 0;
    std::map<int, const void*> claims_;  // interface number -> claiming handle
    libusb_device* ldev_ = nullptr;      // the libusb face of the device, while it exists
};

// The process-wide simulated bus, in libusb's device-list order (order of plugging).
class Bus {
  public:
    static std::shared_ptr<Device> plug(const DeviceSetup& setup);
    // Unplugs every device and clears the bus faults; libusb init counts are left alone.
    static void reset();
    static std::vector<std::shared_ptr<Device>> devices();

    // libusb_get_device_list fails with this code (0: works).
    static void setDeviceListError(int code);
    // Default-context libusb_init calls minus libusb_exit calls.
    static int initCount();
    // Device lists and configuration descriptors handed out and not yet freed.
    static int outstandingDeviceLists();
    static int outstandingConfigDescriptors();
};

}  // namespace usb
}  // namespace kvsim
