#include "sim_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "sim/usb/usb_double.h"
#include "transport/libusb_stream.h"
#include "transport/tcp_stream.h"
#include "transport/usbcluster_libusb.h"

namespace kvtest {

namespace {

using Clock = std::chrono::steady_clock;

struct AddressRange {
    std::mutex mutex;
    std::string prefix;
    int first = 0;
    int count = 0;
    int next = 0;
};

AddressRange& addressRange() {
    static AddressRange range;
    return range;
}

}  // namespace

const KV_IMAGE_DATA* imageOf(const KV_FRAME_DATA& frame, int32_t component) {
    for (int i = 0; i < frame.validCount && i < KV_MAX_IMAGES_PER_FRAME; ++i)
        if (frame.image[i].componentID == component) return &frame.image[i];
    return nullptr;
}

void UsbLibrary::SetUp() {
    ::kvsim::usb::Bus::reset();
    ASSERT_EQ(orvane::UsbCluster::InitUsbLib(), 0);
}

void UsbLibrary::TearDown() {
    orvane::UsbCluster::DeinitUsbLib();
    EXPECT_EQ(::kvsim::usb::Bus::outstandingDeviceLists(), 0);
    ::kvsim::usb::Bus::reset();
}

const char* transportName(Transport t) {
    return t == Transport::kTcp ? "tcp" : "usb";
}

std::string transportSuffix(const ::testing::TestParamInfo<Transport>& info) {
    return transportName(info.param);
}

void setTcpAddressRange(const std::string& prefix, int first, int count) {
    AddressRange& range = addressRange();
    std::lock_guard<std::mutex> lock(range.mutex);
    range.prefix = prefix;
    range.first = first;
    range.count = count;
    range.next = 0;
}

std::string nextTcpAddress() {
    AddressRange& range = addressRange();
    std::lock_guard<std::mutex> lock(range.mutex);
    if (range.count <= 0) {
        ADD_FAILURE() << "no loopback address range set for this suite (setTcpAddressRange)";
        return "127.0.0.1";
    }
    return range.prefix + std::to_string(range.first + range.next++ % range.count);
}

bool waitFor(const std::function<bool()>& condition, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::shared_ptr<orvane::kvsim::FaultPlan> faultPlan(const std::string& text) {
    orvane::kvsim::FaultSettings settings;
    std::string error;
    EXPECT_TRUE(orvane::kvsim::parseFaultSettings(text, settings, &error)) << text << ": " << error;
    return std::make_shared<orvane::kvsim::FaultPlan>(settings);
}

CameraEnd::CameraEnd(Transport transport, std::shared_ptr<SimDevice> device, uint16_t usb_packet_size,
                     bool readable_serial)
    : transport_(transport), device_(std::move(device)) {
    if (transport_ == Transport::kTcp) {
        address_ = nextTcpAddress();
        server_ = std::make_unique<orvane::kvsim::TcpCameraServer>(device_, address_);
        std::string error;
        ready_ = server_->start(&error);
        EXPECT_TRUE(ready_) << error;
    } else {
        orvane::kvsim::UsbCameraOptions options;
        options.packet_size = usb_packet_size;
        options.readable_serial = readable_serial;
        usb_ = orvane::kvsim::UsbCamera::plug(device_, options);
        ready_ = usb_ != nullptr;
    }
}

CameraEnd::~CameraEnd() {
    if (server_) server_->stop();
}

orvane::ITransferStream* CameraEnd::makeStream() {
    if (transport_ == Transport::kTcp)
        return new orvane::tcp_stream(address_.c_str(), orvane::kTcpCameraPort);
    // By serial when the camera reports one; otherwise by its place on the bus.
    if (usb_->options().readable_serial)
        return orvane::UsbCluster::GetStream(device_->identity().serial.c_str());
    const auto devices = ::kvsim::usb::Bus::devices();
    const auto it = std::find(devices.begin(), devices.end(), usb_->sharedUsb());
    const std::string ordinal = std::to_string(it - devices.begin() + 1);
    return orvane::UsbCluster::GetStream(ordinal.c_str());
}

void CameraEnd::cut() {
    if (server_) server_->stop();
    if (usb_) usb_->unplug();
}

}  // namespace kvtest
