// USB only: the enumerator finds simulated cameras on the libusb test double (with and without readable
// serial numbers, several at once, with different bulk packet sizes), several streams run side by side,
// and unplugging a camera mid-stream fails the transfers with LIBUSB_ERROR_NO_DEVICE.
#include <libusb.h>

#include <gtest/gtest.h>

#include <cstring>

#include "conformance_rig.h"
#include "sim/device/scene.h"
#include "sim/wire/packets.h"
#include "transport/libusb_stream.h"
#include "transport/usbcluster_libusb.h"

namespace conformance {
namespace {

namespace kv = orvane::kvsim;

class UsbConformance : public ::testing::Test {
  protected:
    void SetUp() override { usb_.SetUp(); }
    void TearDown() override {
        hosts.clear();
        cameras.clear();
        usb_.TearDown();
    }

    CameraEnd& plug(const std::string& serial, uint16_t packet_size, bool readable) {
        DeviceConfig config;
        config.identity.serial = serial;
        cameras.push_back(std::make_unique<CameraEnd>(Transport::kUsb, std::make_shared<SimDevice>(config),
                                                      packet_size, readable));
        return *cameras.back();
    }
    HostLink& open(orvane::ITransferStream* stream) {
        hosts.push_back(std::make_unique<HostLink>(stream));
        EXPECT_TRUE(hosts.back()->start());
        return *hosts.back();
    }

    std::vector<std::unique_ptr<CameraEnd>> cameras;
    std::vector<std::unique_ptr<HostLink>> hosts;
    kvtest::UsbLibrary usb_;
};

TEST_F(UsbConformance, TheEnumeratorFindsEveryCameraAndReachesEachBySerialOrOrdinal) {
    plug("KVUSB0000001", 512, true);
    plug("KVUSB0000002", 1024, false);
    plug("KVUSB0000003", 64, true);
    EXPECT_EQ(orvane::UsbCluster::GetNum(), 3);
    EXPECT_EQ(orvane::UsbCluster::GetDeviceList(),
              (std::vector<std::string>{"KVUSB0000001", "KVUSB0000003"}));
    EXPECT_EQ(orvane::UsbCluster::GetStreamIDs(), (std::vector<std::string>{"1", "2", "3"}));

    HostLink& by_serial = open(orvane::UsbCluster::GetStream("KVUSB0000003"));
    HostLink& by_ordinal = open(orvane::UsbCluster::GetStream("2"));
    HostLink& first = open(cameras[0]->makeStream());
    const std::pair<HostLink*, const char*> expected[] = {
        {&by_serial, "KVUSB0000003"}, {&by_ordinal, "KVUSB0000002"}, {&first, "KVUSB0000001"}};
    for (const auto& e : expected) {
        orvane::DeviceInfo info{};
        ASSERT_EQ(e.first->param.QueryInfo(&info), 0) << e.second;
        EXPECT_STREQ(info.serial_number, e.second);
        EXPECT_EQ(e.first->stream->GetInterface(), 2);
    }
    orvane::libusb_stream missing("KVUSB0000009");
    EXPECT_NE(missing.Open(), 0);
}

TEST_F(UsbConformance, CamerasWithDifferentPacketSizesStreamSideBySide) {
    plug("KVUSB0000011", 512, true);
    plug("KVUSB0000012", 1024, true);
    HostLink& a = open(cameras[0]->makeStream());
    HostLink& b = open(cameras[1]->makeStream());
    for (HostLink* h : {&a, &b}) {
        ASSERT_EQ(h->param.SetDepthResolution(1), 0);
        int mode = -1;
        ASSERT_EQ(h->param.GetDeviceDepthResolution(&mode), 0);
        ASSERT_EQ(mode, 1);
        h->enqueueBuffers({{0x00010000, 320 * 240 * 2}, {0x00040000, 320 * 240}, {0x00080000, 320 * 240}}, 3);
        ASSERT_EQ(h->param.ChangeDeviceMode(kv::kWorkDepth | kv::kWorkInfrared), 0);
    }
    for (int n = 0; n < 4; ++n) {
        for (HostLink* h : {&a, &b}) {
            KV_FRAME_DATA frame{};
            ASSERT_TRUE(h->fetchFrame(frame, 5000));
            ASSERT_EQ(frame.validCount, 3);
            const auto* depth = static_cast<const uint8_t*>(frame.image[0].buffer);
            EXPECT_EQ(kv::getU16(depth + 2 * (200 * 320 + 300)),
                      kv::PatternScene::depthAt(300, 200, 320, 240));
            const auto* ir = static_cast<const uint8_t*>(frame.image[2].buffer);
            EXPECT_EQ(ir[100 * 320 + 17],
                      kv::PatternScene::infraredAt(17, 100, frame.image[2].componentID == 0x00080000));
            h->requeue(frame);
        }
    }
    for (HostLink* h : {&a, &b}) EXPECT_TRUE(h->guardsIntact());
}

TEST_F(UsbConformance, UnplugMidStreamFailsTheTransfersAndRaisesTheOfflineEvent) {
    CameraEnd& cam = plug("KVUSB0000021", 512, true);
    HostLink& h = open(cam.makeStream());
    h.enqueueBuffers({{0x00010000, 640 * 480 * 2}}, 2);
    ASSERT_EQ(h.param.ChangeDeviceMode(kv::kWorkDepth), 0);
    KV_FRAME_DATA frame{};
    ASSERT_TRUE(h.fetchFrame(frame, 5000));
    h.requeue(frame);
    cam.cut();
    ASSERT_TRUE(h.waitOffline(5000)) << "no keep-alive needed: the transfer itself fails";
    EXPECT_EQ(h.controller.parser().get_lasterror(), LIBUSB_ERROR_NO_DEVICE);
    const std::vector<::kvsim::usb::TransferRecord> log = cam.usb()->usb().transfers();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_NE(h.param.Ping(-1), 0);
    EXPECT_TRUE(h.guardsIntact());
}

}  // namespace
}  // namespace conformance
