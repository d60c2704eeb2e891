// Faults that end a connection, seen by raw clients: over loopback TCP (an orderly close or a reset) and on
// the libusb test double, where a simulated camera is attached to the bus and driven with plain libusb
// calls. Each TCP test listens on its own address, 127.0.0.85 and up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "loopback_peer.h"
#include "sim/faults/fault_plan.h"
#include "sim/tcp/tcp_server.h"
#include "sim/usbattach/usb_camera.h"
#include "sim/wire/packets.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {
namespace {

std::shared_ptr<FaultPlan> planFor(const std::string& text) {
    FaultSettings s;
    std::string error;
    EXPECT_TRUE(parseFaultSettings(text, s, &error)) << error;
    return std::make_shared<FaultPlan>(s);
}

Bytes pings(int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) {
        Bytes p = encodePacket(kPacketParam, static_cast<uint8_t>(i), pingRequest());
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A close ends the stream in order after exactly those bytes; a reset aborts it.
TEST(FaultsOverTcp, CloseOrResetAfterBytesEndsTheStreamAfterThoseBytes) {
    const struct {
        const char* plan;
        const char* address;
        kvtest::PeerEnd end;
    } rows[] = {{"close-after-bytes=50", "127.0.0.85", kvtest::PeerEnd::kOrderly},
                {"reset-after-bytes=50", "127.0.0.86", kvtest::PeerEnd::kReset}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.plan);
        auto device = std::make_shared<SimDevice>(DeviceConfig());
        device->setFaultHook(planFor(row.plan));
        TcpCameraServer server(device, row.address);
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        const int fd = kvtest::connectTo(row.address, kDefaultCameraPort);
        ASSERT_GE(fd, 0);
        const Bytes requests = pings(5);
        ASSERT_TRUE(kvtest::sendAll(fd, std::string(requests.begin(), requests.end())));
        std::string got;
        EXPECT_EQ(kvtest::readToEnd(fd, got, std::chrono::milliseconds(5000)), row.end);
        ::close(fd);
        if (row.end == kvtest::PeerEnd::kReset) {
            EXPECT_LE(got.size(), 50u);
            continue;
        }
        ASSERT_EQ(got.size(), 50u);
        const Bytes first = encodePacket(kPacketParam, 0, pingReply());
        EXPECT_EQ(got.substr(0, first.size()), std::string(first.begin(), first.end()))
            << "the bytes before the cut are intact";
    }
}

// ---- the libusb test double -------------------------------------------------------------------------

class UsbAttach : public ::testing::Test {
  protected:
    void SetUp() override {
        ::kvsim::usb::Bus::reset();
        ASSERT_EQ(libusb_init(nullptr), 0);
    }
    void TearDown() override {
        libusb_exit(nullptr);
        ::kvsim::usb::Bus::reset();
    }

    // Opens the n-th device of the bus and claims its interface.
    libusb_device_handle* open(size_t n) {
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(nullptr, &list);
        libusb_device_handle* h = nullptr;
        if (count > static_cast<ssize_t>(n) && libusb_open(list[n], &h) == 0) {
            if (libusb_claim_interface(h, 0) != 0) {
                libusb_close(h);
                h = nullptr;
            }
        }
        libusb_free_device_list(list, 1);
        return h;
    }
    static int out(libusb_device_handle* h, const Bytes& b) {
        int n = 0;
        int r = libusb_bulk_transfer(h, 0x01, const_cast<uint8_t*>(b.data()), static_cast<int>(b.size()), &n,
                                     1000);
        return r == 0 ? n : r;
    }
    static int in(libusb_device_handle* h, Bytes& b, int len, unsigned timeout) {
        b.assign(static_cast<size_t>(len), 0);
        int n = 0;
        int r = libusb_bulk_transfer(h, 0x81, b.data(), len, &n, timeout);
        b.resize(static_cast<size_t>(n));
        return r;
    }
};

TEST_F(UsbAttach, AFaultPlanDisconnectUnplugsTheCamera) {
    auto device = std::make_shared<SimDevice>(DeviceConfig());
    device->setFaultHook(planFor("close-after-bytes=30"));
    auto cam = UsbCamera::plug(device);
    libusb_device_handle* dev = open(0);
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(out(dev, pings(3)), 60);  // three 24-byte replies follow
    Bytes got, b;
    for (int i = 0; i < 20 && got.size() < 30; ++i) {
        ASSERT_EQ(in(dev, b, 512, 500), 0);
        got.insert(got.end(), b.begin(), b.end());
    }
    EXPECT_EQ(got.size(), 30u);
    EXPECT_EQ(in(dev, b, 512, 500), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(cam->plugged());
    libusb_close(dev);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
