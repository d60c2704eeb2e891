// The simulated bus, its devices and the default bulk pipe.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "usb_double_internal.h"

namespace kvsim {
namespace usb {

namespace {

constexpr size_t kTransferLogLimit = 10000;
constexpr int kMaxStringUnits = 126;  // bLength is one byte: 2 + 2 * 126 = 254

std::atomic<int> g_outstanding_lists{0};
std::atomic<int> g_outstanding_configs{0};

uint16_t firstInPacketSize(const DeviceSetup& setup) {
    for (const InterfaceSetup& iface : setup.interfaces) {
        if (iface.alt_settings.empty()) continue;
        for (const EndpointSetup& ep : iface.alt_settings[0].endpoints) {
            if (ep.address & LIBUSB_ENDPOINT_IN) return ep.max_packet_size;
        }
    }
    return 512;
}

std::vector<uint8_t> stringDescriptor(const std::u16string& text) {
    const size_t units = std::min<size_t>(text.size(), kMaxStringUnits);
    std::vector<uint8_t> desc;
    desc.push_back(static_cast<uint8_t>(2 + 2 * units));
    desc.push_back(LIBUSB_DT_STRING);
    for (size_t i = 0; i < units; ++i) {
        desc.push_back(static_cast<uint8_t>(text[i] & 0xFF));
        desc.push_back(static_cast<uint8_t>(text[i] >> 8));
    }
    return desc;
}

std::vector<uint8_t> languageDescriptor(const std::vector<uint16_t>& languages) {
    const size_t count = std::min<size_t>(languages.size(), kMaxStringUnits);
    std::vector<uint8_t> desc;
    desc.push_back(static_cast<uint8_t>(2 + 2 * count));
    desc.push_back(LIBUSB_DT_STRING);
    for (size_t i = 0; i < count; ++i) {
        desc.push_back(static_cast<uint8_t>(languages[i] & 0xFF));
        desc.push_back(static_cast<uint8_t>(languages[i] >> 8));
    }
    return desc;
}

libusb_config_descriptor* buildConfig(const DeviceSetup& setup) {
    auto* config = static_cast<libusb_config_descriptor*>(calloc(1, sizeof(libusb_config_descriptor)));
    config->bLength = LIBUSB_DT_CONFIG_SIZE;
    config->bDescriptorType = LIBUSB_DT_CONFIG;
    config->bNumInterfaces = static_cast<uint8_t>(setup.interfaces.size());
    config->bConfigurationValue = 1;
    config->bmAttributes = 0x80;
    config->MaxPower = 250;
    size_t total = LIBUSB_DT_CONFIG_SIZE;
    auto* ifaces =
        static_cast<libusb_interface*>(calloc(setup.interfaces.size() + 1, sizeof(libusb_interface)));
    for (size_t i = 0; i < setup.interfaces.size(); ++i) {
        const auto& alts = setup.interfaces[i].alt_settings;
        ifaces[i].num_altsetting = static_cast<int>(alts.size());
        if (alts.empty()) continue;
        auto* descs = static_cast<libusb_interface_descriptor*>(
            calloc(alts.size(), sizeof(libusb_interface_descriptor)));
        for (size_t a = 0; a < alts.size(); ++a) {
            libusb_interface_descriptor& d = descs[a];
            d.bLength = LIBUSB_DT_INTERFACE_SIZE;
            d.bDescriptorType = LIBUSB_DT_INTERFACE;
            d.bInterfaceNumber = static_cast<uint8_t>(i);
            d.bAlternateSetting = static_cast<uint8_t>(a);
            d.bNumEndpoints = static_cast<uint8_t>(alts[a].endpoints.size());
            d.bInterfaceClass = alts[a].interface_class;
            d.bInterfaceSubClass = alts[a].interface_subclass;
            d.bInterfaceProtocol = alts[a].interface_protocol;
            total += LIBUSB_DT_INTERFACE_SIZE;
            if (alts[a].endpoints.empty()) continue;
            auto* eps = static_cast<libusb_endpoint_descriptor*>(
                calloc(alts[a].endpoints.size(), sizeof(libusb_endpoint_descriptor)));
            for (size_t e = 0; e < alts[a].endpoints.size(); ++e) {
                eps[e].bLength = LIBUSB_DT_ENDPOINT_SIZE;
                eps[e].bDescriptorType = LIBUSB_DT_ENDPOINT;
                eps[e].bEndpointAddress = alts[a].endpoints[e].address;
                eps[e].bmAttributes = alts[a].endpoints[e].attributes;
                eps[e].wMaxPacketSize = alts[a].endpoints[e].max_packet_size;
                total += LIBUSB_DT_ENDPOINT_SIZE;
            }
            d.endpoint = eps;
        }
        ifaces[i].altsetting = descs;
    }
    config->interface = ifaces;
    config->wTotalLength = static_cast<uint16_t>(std::min<size_t>(total, 0xFFFF));
    return config;
}

}  // namespace

void freeConfig(libusb_config_descriptor* config) {
    if (config == nullptr) return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            free(const_cast<libusb_endpoint_descriptor*>(iface.altsetting[a].endpoint));
        }
        free(const_cast<libusb_interface_descriptor*>(iface.altsetting));
    }
    free(const_cast<libusb_interface*>(config->interface));
    free(config);
    --g_outstanding_configs;
}

// ---- Set-ups ------------------------------------------------------------------------------------

std::u16string utf16(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) out.push_back(static_cast<char16_t>(c));
    return out;
}

DeviceSetup cameraSetup(const std::string& serial, uint16_t packet_size) {
    DeviceSetup setup;
    AltSettingSetup alt;
    alt.endpoints.push_back({0x81, LIBUSB_TRANSFER_TYPE_BULK, packet_size});
    alt.endpoints.push_back({0x01, LIBUSB_TRANSFER_TYPE_BULK, packet_size});
    setup.interfaces.push_back({{alt}});
    if (serial.empty()) {
        setup.serial_index = 0;
    } else {
        setup.serials[0x0409] = utf16(serial);
    }
    return setup;
}

// ---- BulkPipe -----------------------------------------------------------------------------------

BulkPipe::BulkPipe(uint16_t in_packet_size) : packet_size_(in_packet_size) {}

void BulkPipe::feed(const void* data, size_t len) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::lock_guard<std::mutex> lock(mu_);
    if (len == 0) {
        in_.push_back({{}, true});
    }
    const size_t step = packet_size_ > 0 ? packet_size_ : len;
    for (size_t pos = 0; pos < len; pos += step) {
        const size_t n = std::min(step, len - pos);
        in_.push_back({std::vector<uint8_t>(bytes + pos, bytes + pos + n), pos + n == len});
    }
    in_bytes_ += len;
    in_cv_.notify_all();
}

size_t BulkPipe::pendingIn() const {
    std::lock_guard<std::mutex> lock(mu_);
    return in_bytes_;
}

void BulkPipe::clearIn() {
    std::lock_guard<std::mutex> lock(mu_);
    in_.clear();
    in_bytes_ = 0;
}

std::vector<uint8_t> BulkPipe::written() const {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

std::vector<uint8_t> BulkPipe::takeWritten() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<uint8_t> out;
    out.swap(out_);
    return out;
}

bool BulkPipe::waitWritten(size_t bytes, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> lock(mu_);
    return out_cv_.wait_for(lock, deadline, [&] { return out_total_ >= bytes; });
}

int BulkPipe::onBulkOut(const uint8_t* data, int len) {
    std::lock_guard<std::mutex> lock(mu_);
    if (len > 0) out_.insert(out_.end(), data, data + len);
    out_total_ += static_cast<size_t>(std::max(len, 0));
    out_cv_.notify_all();
    return len;
}

int BulkPipe::onBulkIn(uint8_t* data, int len, unsigned timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t generation = cancel_generation_;
    auto ready = [&] { return !in_.empty() || cancel_generation_ != generation || disconnected_; };
    if (timeout_ms == 0) {
        in_cv_.wait(lock, ready);
    } else if (!in_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    if (disconnected_) return LIBUSB_ERROR_NO_DEVICE;
    if (cancel_generation_ != generation) return LIBUSB_ERROR_INTERRUPTED;

    int copied = 0;
    while (!in_.empty()) {
        Packet packet = std::move(in_.front());
        in_.pop_front();
        const int size = static_cast<int>(packet.bytes.size());
        in_bytes_ -= static_cast<size_t>(size);
        if (size > len - copied) return LIBUSB_ERROR_OVERFLOW;
        if (size > 0) memcpy(data + copied, packet.bytes.data(), static_cast<size_t>(size));
        copied += size;
        const bool short_packet = packet_size_ > 0 && size < packet_size_;
        if (packet.ends_transfer || short_packet || copied == len) break;
    }
    return copied;
}

void BulkPipe::cancelPending() {
    std::lock_guard<std::mutex> lock(mu_);
    ++cancel_generation_;
    in_cv_.notify_all();
}

void BulkPipe::disconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    disconnected_ = true;
    in_cv_.notify_all();
}

// ---- Device -------------------------------------------------------------------------------------

Device::Device(const DeviceSetup& setup)
    : setup_(setup), pipe_(std::make_shared<BulkPipe>(firstInPacketSize(setup))), handler_(pipe_) {}

Device::~Device() = default;

void Device::setFaults(const DeviceFaults& faults) {
    std::lock_guard<std::mutex> lock(mu_);
    setup_.faults = faults;
}

DeviceFaults Device::faults() const {
    std::lock_guard<std::mutex> lock(mu_);
    return setup_.faults;
}

void Device::queueInResult(int code, int deliver_bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    in_faults_.push_back({code, deliver_bytes});
}

void Device::queueOutResult(int code) {
    std::lock_guard<std::mutex> lock(mu_);
    out_faults_.push_back({code, -1});
}

void Device::queueShortOut(int accepted) {
    std::lock_guard<std::mutex> lock(mu_);
    out_faults_.push_back({0, accepted});
}

void Device::unplug() {
    std::shared_ptr<Device> self = shared_from_this();  // the bus may hold the last other owner
    BusState& bus = busState();
    {
        std::lock_guard<std::mutex> lock(bus.mu);
        bus.plugged.erase(std::remove(bus.plugged.begin(), bus.plugged.end(), self), bus.plugged.end());
        if (ldev_ != nullptr && ldev_->bus_ref) {
            ldev_->bus_ref = false;
            unrefLocked(ldev_);
        }
    }
    std::shared_ptr<EndpointHandler> handler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        gone_ = true;
        handler = handler_;
    }
    handler->disconnect();
    if (handler != pipe_) pipe_->disconnect();
}

bool Device::plugged() const {
    std::lock_guard<std::mutex> lock(mu_);
    return !gone_;
}

void Device::setHandler(std::shared_ptr<EndpointHandler> handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = handler ? std::move(handler) : pipe_;
}

std::vector<TransferRecord> Device::transfers() const {
    std::lock_guard<std::mutex> lock(mu_);
    return std::vector<TransferRecord>(log_.begin(), log_.end());
}

void Device::clearTransfers() {
    std::lock_guard<std::mutex> lock(mu_);
    log_.clear();
}

int Device::bulkInCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return bulk_in_count_;
}

int Device::controlTransferCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return control_count_;
}

int Device::openHandles() const {
    std::lock_guard<std::mutex> lock(mu_);
    return open_handles_;
}

int Device::timesOpened() const {
    std::lock_guard<std::mutex> lock(mu_);
    return times_opened_;
}

int Device::claimedInterfaces() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(claims_.size());
}

int Device::hostReferences() const {
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    if (ldev_ == nullptr) return 0;
    return ldev_->refs - (ldev_->bus_ref ? 1 : 0);
}

// ---- Bus ----------------------------------------------------------------------------------------

BusState& busState() {
    static BusState* state = new BusState;  // never destroyed: libusb calls may come from exit handlers
    return *state;
}

void unrefLocked(libusb_device* dev) {
    if (dev == nullptr || dev->refs <= 0) return;
    if (--dev->refs == 0) {
        DeviceAccess::ldev(*dev->device) = nullptr;
        delete dev;
    }
}

std::shared_ptr<Device> Bus::plug(const DeviceSetup& setup) {
    std::shared_ptr<Device> device = DeviceAccess::create(setup);
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    DeviceSetup& stored = DeviceAccess::setup(*device);
    if (stored.device_address == 0) {
        uint8_t& next = bus.next_address[stored.bus_number];
        if (++next == 0) next = 1;
        stored.device_address = next;
    }
    auto* ldev = new libusb_device;
    ldev->device = device;
    ldev->refs = 1;
    ldev->bus_ref = true;
    DeviceAccess::ldev(*device) = ldev;
    bus.plugged.push_back(device);
    return device;
}

void Bus::reset() {
    std::vector<std::shared_ptr<Device>> all = devices();
    for (const auto& device : all) device->unplug();
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    bus.list_error = 0;
}

std::vector<std::shared_ptr<Device>> Bus::devices() {
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    return bus.plugged;
}

void Bus::setDeviceListError(int code) {
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    bus.list_error = code;
}

int Bus::initCount() {
    BusState& bus = busState();
    std::lock_guard<std::mutex> lock(bus.mu);
    return bus.init_count;
}

int Bus::outstandingDeviceLists() {
    return g_outstanding_lists.load();
}
int Bus::outstandingConfigDescriptors() {
    return g_outstanding_configs.load();
}

void countDeviceList(int delta) {
    g_outstanding_lists += delta;
}

// ---- What the libusb functions do ---------------------------------------------------------------

std::shared_ptr<Device> DeviceAccess::create(const DeviceSetup& setup) {
    return std::shared_ptr<Device>(new Device(setup));
}

int DeviceAccess::descriptor(Device& d, libusb_device_descriptor* out) {
    std::lock_guard<std::mutex> lock(d.mu_);
    if (d.setup_.faults.descriptor_error != 0) return d.setup_.faults.descriptor_error;
    memset(out, 0, sizeof(*out));
    out->bLength = LIBUSB_DT_DEVICE_SIZE;
    out->bDescriptorType = LIBUSB_DT_DEVICE;
    out->bcdUSB = 0x0200;
    out->bMaxPacketSize0 = 64;
    out->idVendor = d.setup_.vendor_id;
    out->idProduct = d.setup_.product_id;
    out->bcdDevice = 0x0100;
    out->iSerialNumber = d.setup_.serial_index;
    out->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int DeviceAccess::activeConfig(Device& d, libusb_config_descriptor** out) {
    ActiveConfig mode;
    {
        std::lock_guard<std::mutex> lock(d.mu_);
        mode = d.setup_.faults.active_config;
    }
    *out = nullptr;
    switch (mode) {
        case ActiveConfig::kNotFound:
            return LIBUSB_ERROR_NOT_FOUND;
        case ActiveConfig::kError:
            return LIBUSB_ERROR_IO;
        case ActiveConfig::kEmpty:
            return LIBUSB_SUCCESS;
        case ActiveConfig::kPresent:
            break;
    }
    *out = buildConfig(d.setup_);  // interfaces never change after plug
    ++g_outstanding_configs;
    return LIBUSB_SUCCESS;
}

int DeviceAccess::open(Device& d, const void*) {
    std::lock_guard<std::mutex> lock(d.mu_);
    if (d.gone_) return LIBUSB_ERROR_NO_DEVICE;
    if (d.setup_.faults.open_error != 0) return d.setup_.faults.open_error;
    ++d.open_handles_;
    ++d.times_opened_;
    return LIBUSB_SUCCESS;
}

void DeviceAccess::close(Device& d, const void* handle) {
    std::shared_ptr<EndpointHandler> handler;
    {
        std::lock_guard<std::mutex> lock(d.mu_);
        for (auto it = d.claims_.begin(); it != d.claims_.end();) {
            it = it->second == handle ? d.claims_.erase(it) : std::next(it);
        }
        --d.open_handles_;
        handler = d.handler_;
    }
    handler->cancelPending();  // a transfer still waiting on this handle must not wait forever
}

int DeviceAccess::claim(Device& d, const void* handle, int iface) {
    std::lock_guard<std::mutex> lock(d.mu_);
    if (d.gone_) return LIBUSB_ERROR_NO_DEVICE;
    if (d.setup_.faults.claim_error != 0) return d.setup_.faults.claim_error;
    if (iface < 0 || iface >= static_cast<int>(d.setup_.interfaces.size())) return LIBUSB_ERROR_NOT_FOUND;
    auto it = d.claims_.find(iface);
    if (it != d.claims_.end()) return it->second == handle ? LIBUSB_SUCCESS : LIBUSB_ERROR_BUSY;
    d.claims_[iface] = handle;
    return LIBUSB_SUCCESS;
}

int DeviceAccess::release(Device& d, const void* handle, int iface) {
    std::lock_guard<std::mutex> lock(d.mu_);
    auto it = d.claims_.find(iface);
    if (it == d.claims_.end() || it->second != handle) return LIBUSB_ERROR_NOT_FOUND;
    d.claims_.erase(it);
    return d.gone_ ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
}

int DeviceAccess::control(Device& d, uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                          unsigned char* data, uint16_t length) {
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lock(d.mu_);
        ++d.control_count_;
        if (d.gone_) return LIBUSB_ERROR_NO_DEVICE;
        const bool string_request = request_type == (LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD) &&
                                    request == LIBUSB_REQUEST_GET_DESCRIPTOR &&
                                    (value >> 8) == LIBUSB_DT_STRING;
        if (!string_request) return LIBUSB_ERROR_PIPE;
        const uint8_t string_index = value & 0xFF;
        const DeviceFaults& faults = d.setup_.faults;
        if (string_index == 0) {
            if (faults.language_error != 0) return faults.language_error;
            if (d.setup_.languages.empty()) return LIBUSB_ERROR_PIPE;
            reply = languageDescriptor(d.setup_.languages);
        } else if (string_index == d.setup_.serial_index) {
            if (faults.serial_error != 0) return faults.serial_error;
            if (!d.setup_.raw_serial_descriptor.empty()) {
                reply = d.setup_.raw_serial_descriptor;
            } else {
                auto it = d.setup_.serials.find(index);
                if (it == d.setup_.serials.end()) return LIBUSB_ERROR_PIPE;
                reply = stringDescriptor(it->second);
            }
        } else {
            return LIBUSB_ERROR_PIPE;
        }
    }
    const size_t n = std::min<size_t>(reply.size(), length);
    if (n > 0) {
        if (data == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
        memcpy(data, reply.data(), n);
    }
    return static_cast<int>(n);
}

int DeviceAccess::bulk(Device& d, const void* handle, const std::shared_ptr<std::atomic<bool>>& closed,
                       unsigned char endpoint, unsigned char* data, int length, int* actual,
                       unsigned timeout) {
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    int result = LIBUSB_SUCCESS;
    int transferred = 0;
    auto finish = [&] {
        std::lock_guard<std::mutex> lock(d.mu_);
        if (d.gone_) {
            result = LIBUSB_ERROR_NO_DEVICE;
            transferred = 0;
        } else if (closed->load()) {
            result = LIBUSB_ERROR_IO;
        }
        d.log_.push_back({in, endpoint, length, transferred, result});
        if (d.log_.size() > kTransferLogLimit) d.log_.pop_front();
        if (actual != nullptr) *actual = transferred;
        return result;
    };
    if (actual != nullptr) *actual = 0;
    if (length < 0 || (length > 0 && data == nullptr)) {
        result = LIBUSB_ERROR_INVALID_PARAM;
        return finish();
    }

    std::shared_ptr<EndpointHandler> handler;
    bool have_shot = false;
    Device::OneShot shot{0, 0};
    {
        std::lock_guard<std::mutex> lock(d.mu_);
        // Only endpoints of an interface claimed through this handle can be used.
        const EndpointSetup* found = nullptr;
        for (const auto& claim : d.claims_) {
            if (claim.second != handle) continue;
            const auto& alts = d.setup_.interfaces[static_cast<size_t>(claim.first)].alt_settings;
            if (alts.empty()) continue;
            for (const EndpointSetup& ep : alts[0].endpoints) {
                if (ep.address == endpoint) found = &ep;
            }
        }
        if (in) ++d.bulk_in_count_;
        if (d.gone_) {
            result = LIBUSB_ERROR_NO_DEVICE;
        } else if (found == nullptr) {
            result = LIBUSB_ERROR_NOT_FOUND;
        } else if ((found->attributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
            result = LIBUSB_ERROR_INVALID_PARAM;
        }
        if (result != LIBUSB_SUCCESS) {
            d.log_.push_back({in, endpoint, length, 0, result});
            if (d.log_.size() > kTransferLogLimit) d.log_.pop_front();
            return result;
        }
        auto& shots = in ? d.in_faults_ : d.out_faults_;
        if (!shots.empty()) {
            have_shot = true;
            shot = shots.front();
            shots.pop_front();
        }
        handler = d.handler_;
    }

    if (in) {
        int want = length;
        if (have_shot && shot.amount >= 0) want = std::min(length, shot.amount);
        if (!have_shot || want > 0) {
            const int r = handler->onBulkIn(data, want, timeout);
            if (r >= 0) {
                transferred = std::min(r, want);
            } else {
                result = r;
            }
        }
        if (have_shot) result = shot.code;
    } else if (have_shot && shot.code != 0) {
        result = shot.code;
    } else {
        const int offer = have_shot && shot.amount >= 0 ? std::min(length, shot.amount) : length;
        const int r = handler->onBulkOut(data, offer);
        if (r >= 0) {
            transferred = std::min(r, offer);
        } else {
            result = r;
        }
    }
    return finish();
}

}  // namespace usb
}  // namespace kvsim
