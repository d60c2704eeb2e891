// Faults that end a connection, seen through each transport: over loopback TCP (an orderly close or a
// reset, read from a plain socket) and on the libusb test double (the camera is unplugged). The TCP cameras
// listen on 127.0.0.85 and up.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "loopback_peer.h"
#include "sim/wire/packets.h"
#include "sim_camera.h"
#include "transport/usbcluster_libusb.h"

namespace orvane {
namespace kvsim {
namespace {

const kvtest::TcpAddressRange kAddresses("127.0.0.", 85, 2);

std::shared_ptr<SimDevice> deviceWith(const std::string& faults) {
    auto device = std::make_shared<SimDevice>(DeviceConfig());
    device->setFaultHook(kvtest::faultPlan(faults));
    return device;
}

std::string pings(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        Bytes p = encodePacket(kPacketParam, static_cast<uint8_t>(i), pingRequest());
        out.append(p.begin(), p.end());
    }
    return out;
}

// A close ends the stream in order after exactly those bytes; a reset aborts it.
TEST(FaultsOverTcp, CloseOrResetAfterBytesEndsTheStreamAfterThoseBytes) {
    const struct {
        const char* plan;
        kvtest::PeerEnd end;
    } rows[] = {{"close-after-bytes=50", kvtest::PeerEnd::kOrderly},
                {"reset-after-bytes=50", kvtest::PeerEnd::kReset}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.plan);
        kvtest::CameraEnd cam(kvtest::Transport::kTcp, deviceWith(row.plan));
        ASSERT_TRUE(cam.ready());
        const int fd = kvtest::connectTo(cam.address(), kDefaultCameraPort);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(kvtest::sendAll(fd, pings(5)));
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

TEST(FaultsOverUsb, AFaultPlanDisconnectUnplugsTheCamera) {
    ::kvsim::usb::Bus::reset();
    ASSERT_EQ(UsbCluster::InitUsbLib(), 0);
    {
        kvtest::CameraEnd cam(kvtest::Transport::kUsb, deviceWith("close-after-bytes=30"));
        std::unique_ptr<ITransferStream> stream(cam.makeStream());
        ASSERT_TRUE(stream && stream->Open() == 0);
        stream->set_timeout(500);
        const std::string requests = pings(3);  // three 24-byte replies follow
        ASSERT_EQ(stream->Send(requests.data(), static_cast<int>(requests.size())), 60);
        std::string got;
        char buf[512];
        for (int i = 0, n = 0; i < 20 && got.size() < 30 && (n = stream->Receive(buf, sizeof buf)) >= 0; ++i)
            got.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(got.size(), 30u);
        EXPECT_EQ(stream->Receive(buf, sizeof buf), LIBUSB_ERROR_NO_DEVICE);
        EXPECT_FALSE(cam.usb()->plugged());
    }
    UsbCluster::DeinitUsbLib();
    ::kvsim::usb::Bus::reset();
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
