// Whole application sessions through the public header, over loopback TCP and over the libusb test double.
#include <atomic>
#include <cstring>

#include "api_fixture.h"
#include "sim/scene/scene_catalog.h"

namespace apitest {
namespace {

class Session : public ApiTest, public ::testing::WithParamInterface<Transport> {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        end_ = std::make_unique<CameraEnd>(GetParam(), device_);
        ASSERT_TRUE(end_->ready());
        h_ = open(*end_);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        end_.reset();
        ApiTest::TearDown();
    }
    orvane::kvsim::DeviceSettings settings() { return end_->device().settings(); }
    int32_t getInt(int32_t component, int32_t feature) {
        int32_t v = -1;
        EXPECT_EQ(KVGetInt(h_, component, feature, &v), KV_STATUS_OK) << std::hex << feature;
        return v;
    }

    std::shared_ptr<kvtest::SimDevice> device_ = simDevice();
    std::unique_ptr<CameraEnd> end_;
    KV_DEV_HANDLE h_ = nullptr;
};

TEST_P(Session, InformationFeaturesRegistersAndDescriptorPassThroughTheHeader) {
    KV_DEVICE_BASE_INFO info{};
    ASSERT_EQ(KVGetDeviceInfo(h_, &info), KV_STATUS_OK);
    EXPECT_EQ(info.iface, GetParam() == Transport::kTcp ? KV_INTERFACE_ETHERNET : KV_INTERFACE_USB);
    EXPECT_EQ(text(info.id, 32), "KVSIM0000001");  // the other fields: kvdepth info and list (tests/tool)

    ASSERT_EQ(KVSetInt(h_, KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER, 42), KV_STATUS_OK);
    // Settings are sent without waiting for the device: it applies them in order, a little later.
    EXPECT_TRUE(waitFor([&] { return settings().laser_power == 42; }, 3000));
    EXPECT_EQ(getInt(KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER), 42);
    ASSERT_EQ(KVSetBool(h_, KV_COMPONENT_LASER, KV_FEATURE_AUTO_LASER, true), KV_STATUS_OK);
    bool on = false;
    EXPECT_EQ(KVGetBool(h_, KV_COMPONENT_LASER, KV_FEATURE_AUTO_LASER, &on), KV_STATUS_OK);
    EXPECT_TRUE(on && waitFor([&] { return settings().laser_auto; }, 3000));
    char vendor[8];
    ASSERT_EQ(KVGetString(h_, KV_COMPONENT_DEVICE, KV_FEATURE_VENDOR, vendor, sizeof(vendor)), KV_STATUS_OK);
    EXPECT_STREQ(vendor, "Orvane");

    // A bound feature is the defining component's record.
    KV_FEATURE_INFO bound{};
    ASSERT_EQ(KVGetFeatureInfo(h_, KV_COMPONENT_LEFT_IR, KV_FEATURE_IMAGE_WIDTH, &bound), KV_STATUS_OK);
    EXPECT_EQ(bound.isValid, 1);
    EXPECT_EQ(bound.bindComponentID, KV_COMPONENT_DEPTH);
    EXPECT_EQ(bound.bindFeatureID, KV_FEATURE_IMAGE_WIDTH);

    // The trigger-mode record goes to the device; only its low parameter byte is sent.
    const KV_TRIGGER_MODE record{1, 0x1203};
    ASSERT_EQ(KVSetStruct(h_, KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE_STRUCT, &record, 4), KV_STATUS_OK);
    EXPECT_TRUE(waitFor([&] { return settings().trigger_record_mode == 1; }, 3000));
    EXPECT_EQ(settings().trigger_record_param, 0x03);
    KV_TRIGGER_MODE back{};
    ASSERT_EQ(KVGetStruct(h_, KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE_STRUCT, &back, 4), KV_STATUS_OK);
    EXPECT_EQ(back.mode, 1);

    int32_t value = 0;
    ASSERT_EQ(KVReadRegister(h_, KV_COMPONENT_LEFT_IR, 0, &value), KV_STATUS_OK);
    EXPECT_EQ(value, 0x1A21);
    ASSERT_EQ(KVWriteRegister(h_, KV_COMPONENT_COLOR, 5, 77), KV_STATUS_OK);
    EXPECT_TRUE(waitFor([&] { return end_->device().readRegister(2, 5) == 77u; }, 3000));  // not acknowledged
    const std::string expected = end_->device().descriptorText();
    std::vector<char> descriptor(expected.size() + 1, 'x');
    ASSERT_EQ(KVGetDeviceDescriptor(h_, descriptor.data(), static_cast<int32_t>(descriptor.size())),
              KV_STATUS_OK);
    EXPECT_EQ(std::string(descriptor.data()), expected);
}

TEST_P(Session, OfflineMidCaptureRaisesOneEventThenCloseAndReopenWork) {
    std::atomic<int> offline{0};
    ASSERT_EQ(KVRegisterEventCallback(h_, countOffline, &offline), KV_STATUS_OK);
    ASSERT_EQ(KVEnableComponents(h_, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    enqueue(h_, 2);
    ASSERT_EQ(KVStartCapture(h_), KV_STATUS_OK);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(KVFetchFrame(h_, &frame, 3000), KV_STATUS_OK);
    const std::string address = end_->address();
    end_->cut();
    ASSERT_TRUE(waitFor([&] { return offline > 0; }, 15000));
    EXPECT_NE(KVFetchFrame(h_, &frame, 1000), KV_STATUS_OK);  // returns, with no frame
    EXPECT_EQ(KVCloseDevice(h_), KV_STATUS_OK);

    // The camera comes back where it was.
    std::unique_ptr<orvane::kvsim::TcpCameraServer> server;
    std::shared_ptr<orvane::kvsim::UsbCamera> usb;
    if (GetParam() == Transport::kTcp) {
        server = std::make_unique<orvane::kvsim::TcpCameraServer>(device_, address);
        ASSERT_TRUE(server->start(nullptr));
    } else {
        usb = orvane::kvsim::UsbCamera::plug(device_);
    }
    KV_DEV_HANDLE again = nullptr;
    const KV_STATUS reopened = GetParam() == Transport::kTcp ? KVOpenDeviceWithIP(address.c_str(), &again)
                                                             : KVOpenDevice("KVSIM0000001", &again);
    ASSERT_EQ(reopened, KV_STATUS_OK) << KVErrorString(reopened);
    EXPECT_EQ(again, h_);
    ASSERT_EQ(KVEnableComponents(again, KV_COMPONENT_DEPTH), KV_STATUS_OK);  // brought up afresh
    enqueue(again, 2);
    ASSERT_EQ(KVStartCapture(again), KV_STATUS_OK);
    EXPECT_EQ(KVFetchFrame(again, &frame, 3000), KV_STATUS_OK);
    EXPECT_EQ(offline, 1);
    EXPECT_EQ(KVCloseDevice(again), KV_STATUS_OK);
    if (server) server->stop();
}

class Geometry : public ApiTest {};

// A wall at 1500 mm: conversions of captured pixels against the camera's intrinsic, with padded points.
TEST_F(Geometry, WallSceneRoundTripsThroughTheHeaderWithPaddedPoints) {
    kvtest::DeviceConfig config;
    config.stamp_frames = false;
    auto device = std::make_shared<kvtest::SimDevice>(config);
    std::string error;
    device->setScene(orvane::kvsim::makeScene("wall", &error));
    CameraEnd end(Transport::kTcp, device);
    KV_DEV_HANDLE h = open(end);
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), 0);
    enqueue(h, 2);
    ASSERT_EQ(KVStartCapture(h), 0);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(KVFetchFrame(h, &frame, 3000), 0);
    const KV_IMAGE_DATA* depth = &frame.image[0];
    ASSERT_EQ(depth->componentID, KV_COMPONENT_DEPTH);
    const int w = depth->width, rows = depth->height;
    const auto* mm = static_cast<const uint16_t*>(depth->buffer);
    KV_CAMERA_INTRINSIC k{};
    ASSERT_EQ(KVGetStruct(h, KV_COMPONENT_DEPTH, KV_FEATURE_INTRINSIC, &k, sizeof(k)), 0);

    // Round trip of a few pixels, the world points 16 bytes apart.
    const KV_VECT_3F pixels[3] = {{10, 20, (float)mm[20 * w + 10]},
                                  {(float)w / 2, (float)rows / 2, (float)mm[rows / 2 * w + w / 2]},
                                  {(float)w - 1, (float)rows - 1, (float)mm[w * rows - 1]}};
    float world[3][4];
    KV_VECT_3F back[3];
    ASSERT_EQ(KVDepthToWorld(h, pixels, reinterpret_cast<KV_VECT_3F*>(world), 4, 3), 0);
    ASSERT_EQ(KVWorldToDepth(h, reinterpret_cast<KV_VECT_3F*>(world), back, 4, 3), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(pixels[i].z, 1500.0f, 1.0f);
        EXPECT_NEAR(world[i][0], (pixels[i].x - k.data[2]) * pixels[i].z / k.data[0], 0.01f);
        EXPECT_NEAR(back[i].x, pixels[i].x, 1e-3f);
        EXPECT_NEAR(back[i].y, pixels[i].y, 1e-3f);
    }
    EXPECT_EQ(KVStopCapture(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, Session, ::testing::Values(Transport::kTcp, Transport::kUsb),
                         kvtest::transportSuffix);

}  // namespace
}  // namespace apitest
