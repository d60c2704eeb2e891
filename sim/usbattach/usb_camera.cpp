#include "sim/usbattach/usb_camera.h"

#include <algorithm>
#include <chrono>

namespace orvane {
namespace kvsim {

namespace usbdouble = ::kvsim::usb;

UsbCameraLink::UsbCameraLink(std::shared_ptr<SimDevice> device) : device_(std::move(device)) {
    device_->onConnect();
}

UsbCameraLink::~UsbCameraLink() = default;

void UsbCameraLink::setUsbDevice(const std::shared_ptr<usbdouble::Device>& usb) {
    usb_ = usb;
}

bool UsbCameraLink::unplugIfAsked() {
    if (gone_.load()) return true;
    if (!device_->disconnectRequested()) return false;
    // Called from inside a transfer: the double holds none of its locks while it calls us.
    std::lock_guard<std::mutex> lock(unplug_mutex_);
    if (gone_.load()) return true;
    if (std::shared_ptr<usbdouble::Device> usb = usb_.lock()) {
        usb->unplug();  // calls disconnect() below
    } else {
        disconnect();
    }
    return true;
}

int UsbCameraLink::onBulkOut(const uint8_t* data, int len) {
    if (gone_.load() || unplugIfAsked()) return LIBUSB_ERROR_NO_DEVICE;
    if (len > 0) device_->receive(data, static_cast<size_t>(len));
    return std::max(len, 0);
}

int UsbCameraLink::onBulkIn(uint8_t* data, int len, unsigned timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const uint64_t generation = cancel_generation_.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (gone_.load() || unplugIfAsked()) return LIBUSB_ERROR_NO_DEVICE;
        if (len <= 0) return 0;
        const size_t n = device_->readOutput(data, static_cast<size_t>(len));
        if (n > 0) return static_cast<int>(n);
        // A closed handle ends its waiting transfer early; a host reading through another handle just
        // sees a transfer that found nothing, and asks again.
        if (cancel_generation_.load() != generation) return LIBUSB_ERROR_TIMEOUT;
        unsigned slice = kWaitSliceMs;
        if (timeout_ms != 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return LIBUSB_ERROR_TIMEOUT;
            slice = static_cast<unsigned>(std::min<long long>(left, kWaitSliceMs));
        }
        device_->waitForOutput(static_cast<uint64_t>(slice) * 1000);
    }
}

void UsbCameraLink::cancelPending() {
    ++cancel_generation_;
    device_->wakeWaiters();
}

void UsbCameraLink::disconnect() {
    if (gone_.exchange(true)) return;
    ++cancel_generation_;
    device_->onDisconnect();  // wakes every waiter
}

std::shared_ptr<UsbCamera> UsbCamera::plug(std::shared_ptr<SimDevice> device,
                                           const UsbCameraOptions& options) {
    std::shared_ptr<UsbCamera> cam(new UsbCamera());
    cam->options_ = options;
    cam->device_ = std::move(device);
    cam->link_ = std::make_shared<UsbCameraLink>(cam->device_);
    usbdouble::DeviceSetup setup = usbdouble::cameraSetup(
        options.readable_serial ? cam->device_->identity().serial : std::string(), options.packet_size);
    cam->usb_ = usbdouble::Bus::plug(setup);
    cam->link_->setUsbDevice(cam->usb_);
    cam->usb_->setHandler(cam->link_);
    return cam;
}

UsbCamera::~UsbCamera() {
    // The double may outlive this object (the host can still hold references to the device): give it
    // back its own pipe so that nothing reaches the simulated device any more.
    if (usb_) usb_->setHandler(nullptr);
    if (link_) link_->disconnect();
}

void UsbCamera::unplug() {
    usb_->unplug();
}

bool UsbCamera::plugged() const {
    return usb_->plugged() && !link_->gone();
}

}  // namespace kvsim
}  // namespace orvane
