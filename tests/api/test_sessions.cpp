// Whole application sessions through the public header, over loopback TCP and over the libusb test double.
#include <atomic>
#include <cmath>
#include <cstring>

#include "api_fixture.h"
#include "sim/scene/scene_catalog.h"
#include "sim/wire/packets.h"

namespace apitest {
namespace {

constexpr int32_t kImagingComponents =
    KV_COMPONENT_DEPTH | KV_COMPONENT_LEFT_IR | KV_COMPONENT_RIGHT_IR | KV_COMPONENT_COLOR;

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

TEST_P(Session, InformationAndFeaturesOfEveryKindReachTheDevice) {
    KV_DEVICE_BASE_INFO info{};
    ASSERT_EQ(KVGetDeviceInfo(h_, &info), KV_STATUS_OK);
    EXPECT_EQ(info.iface, GetParam() == Transport::kTcp ? KV_INTERFACE_ETHERNET : KV_INTERFACE_USB);
    EXPECT_EQ(text(info.id, 32), "KVSIM0000001");
    EXPECT_EQ(text(info.modelName, 32), "KV-S1 Simulator");
    EXPECT_EQ(info.firmwareVersion.major * 100 + info.firmwareVersion.minor * 10 + info.firmwareVersion.patch,
              230);
    EXPECT_EQ(info.initStatus, 0);

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

    // Image mode: a new frame size and a new intrinsic at the new image size.
    ASSERT_EQ(KVEnableComponents(h_, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    uint32_t before = 0, after = 0, count = 0;
    KV_ENUM_ENTRY modes[8];
    ASSERT_EQ(KVGetFrameBufferSize(h_, &before), KV_STATUS_OK);
    ASSERT_EQ(KVGetEnumEntryInfo(h_, KV_COMPONENT_DEPTH, KV_FEATURE_IMAGE_MODE, modes, 8, &count),
              KV_STATUS_OK);
    ASSERT_GE(count, 5u);
    ASSERT_EQ(KVSetEnum(h_, KV_COMPONENT_DEPTH, KV_FEATURE_IMAGE_MODE, modes[4].value), KV_STATUS_OK);
    EXPECT_TRUE(waitFor([&] { return settings().depth_mode == 4; }, 3000));
    ASSERT_EQ(KVGetFrameBufferSize(h_, &after), KV_STATUS_OK);
    const int32_t width = getInt(KV_COMPONENT_DEPTH, KV_FEATURE_IMAGE_WIDTH);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(after, static_cast<uint32_t>(width * getInt(KV_COMPONENT_DEPTH, KV_FEATURE_IMAGE_HEIGHT) * 2));
    EXPECT_NE(before, after);
    KV_CAMERA_INTRINSIC k{};
    ASSERT_EQ(KVGetStruct(h_, KV_COMPONENT_DEPTH, KV_FEATURE_INTRINSIC, &k, sizeof(k)), KV_STATUS_OK);
    EXPECT_FLOAT_EQ(k.data[0], 1100.0f);

    // The trigger-mode record goes to the device; only its low parameter byte is sent.
    const KV_TRIGGER_MODE record{1, 0x1203};
    ASSERT_EQ(KVSetStruct(h_, KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE_STRUCT, &record, 4), KV_STATUS_OK);
    EXPECT_TRUE(waitFor([&] { return settings().trigger_record_mode == 1; }, 3000));
    EXPECT_EQ(settings().trigger_record_param, 0x03);
    KV_TRIGGER_MODE back{};
    ASSERT_EQ(KVGetStruct(h_, KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE_STRUCT, &back, 4), KV_STATUS_OK);
    EXPECT_EQ(back.mode, 1);
}

TEST_P(Session, CaptureByFetchThenByCallbackReusesTheBuffersInOrder) {
    ASSERT_EQ(KVEnableComponents(h_, kImagingComponents), KV_STATUS_OK);
    enqueue(h_, 3);
    ASSERT_EQ(KVStartCapture(h_), KV_STATUS_OK);
    int32_t last = -1;
    for (int i = 0; i < 8; ++i) {
        KV_FRAME_DATA frame{};
        ASSERT_EQ(KVFetchFrame(h_, &frame, 3000), KV_STATUS_OK);
        ASSERT_EQ(frame.validCount, 4);
        EXPECT_GT(frame.image[0].imageIndex, last);
        last = frame.image[0].imageIndex;
        ASSERT_EQ(KVEnqueueBuffer(h_, frame.userBuffer, frame.bufferSize), KV_STATUS_OK);
    }

    struct Sink {
        KV_DEV_HANDLE h;
        std::atomic<int> frames{0};
    } sink{h_};
    auto onFrame = [](KV_FRAME_DATA* frame, void* user) {
        auto* s = static_cast<Sink*>(user);
        if (frame->validCount == 4) ++s->frames;
        KVEnqueueBuffer(s->h, frame->userBuffer, frame->bufferSize);  // allowed inside the callback
    };
    ASSERT_EQ(KVRegisterCallback(h_, onFrame, &sink), KV_STATUS_OK);
    KV_FRAME_DATA frame{};
    EXPECT_EQ(KVFetchFrame(h_, &frame, 0), KV_STATUS_WRONG_MODE);
    EXPECT_TRUE(waitFor([&] { return sink.frames >= 5; }, 5000));
    ASSERT_EQ(KVRegisterCallback(h_, nullptr, nullptr), KV_STATUS_OK);
    const int delivered = sink.frames;
    EXPECT_EQ(KVFetchFrame(h_, &frame, 3000), KV_STATUS_OK);
    EXPECT_EQ(sink.frames, delivered);  // never called again once unregistered
    ASSERT_EQ(KVStopCapture(h_), KV_STATUS_OK);
    ASSERT_EQ(KVCloseDevice(h_), KV_STATUS_OK);
}

TEST_P(Session, TriggerRegistersDescriptorAndPassThrough) {
    ASSERT_EQ(KVSetBool(h_, KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE, true), KV_STATUS_OK);
    ASSERT_EQ(KVSetInt(h_, KV_COMPONENT_DEVICE, KV_FEATURE_FRAME_PER_TRIGGER, 2), KV_STATUS_OK);
    ASSERT_EQ(KVEnableComponents(h_, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    enqueue(h_, 4);
    ASSERT_EQ(KVStartCapture(h_), KV_STATUS_OK);
    KV_FRAME_DATA frame{};
    EXPECT_EQ(KVFetchFrame(h_, &frame, 300), KV_STATUS_TIMEOUT);  // nothing until triggered
    ASSERT_EQ(KVSendSoftTrigger(h_), KV_STATUS_OK);
    EXPECT_EQ(KVFetchFrame(h_, &frame, 3000), KV_STATUS_OK);
    EXPECT_EQ(KVFetchFrame(h_, &frame, 3000), KV_STATUS_OK);
    ASSERT_EQ(KVStopCapture(h_), KV_STATUS_OK);
    ASSERT_EQ(KVSetBool(h_, KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE, false), KV_STATUS_OK);
    EXPECT_TRUE(waitFor([&] { return !settings().trigger_mode; }, 3000));

    int32_t value = 0;
    ASSERT_EQ(KVReadRegister(h_, KV_COMPONENT_LEFT_IR, 0, &value), KV_STATUS_OK);
    EXPECT_EQ(value, 0x1A21);
    ASSERT_EQ(KVWriteRegister(h_, KV_COMPONENT_COLOR, 5, 77), KV_STATUS_OK);
    EXPECT_TRUE(waitFor([&] { return end_->device().readRegister(2, 5) == 77u; }, 3000));  // not acknowledged

    const std::string expected = end_->device().descriptorText();
    std::vector<char> descriptor(expected.size() + 1, 'x');
    EXPECT_EQ(KVGetDeviceDescriptor(h_, descriptor.data(), static_cast<int32_t>(expected.size())),
              KV_STATUS_WRONG_SIZE);
    ASSERT_EQ(KVGetDeviceDescriptor(h_, descriptor.data(), static_cast<int32_t>(descriptor.size())),
              KV_STATUS_OK);
    EXPECT_EQ(std::string(descriptor.data()), expected);

    // Pass-through belongs to the application only once the receive thread is stopped.
    const orvane::kvsim::DeviceStats stats = end_->device().stats();
    ASSERT_EQ(KVCloseInternalReceiver(h_), KV_STATUS_OK);
    const auto ping =
        orvane::kvsim::encodePacket(orvane::kvsim::kPacketParam, 9, orvane::kvsim::pingRequest());
    ASSERT_EQ(KVSendThrough(h_, ping.data(), static_cast<int32_t>(ping.size())), KV_STATUS_OK);
    std::vector<uint8_t> reply;
    waitFor(
        [&] {
            uint8_t chunk[64];
            int32_t got = 0;
            if (KVReceivedThrough(h_, chunk, sizeof(chunk), &got) == 0 && got > 0)
                reply.insert(reply.end(), chunk, chunk + got);
            return reply.size() >= 16;
        },
        5000);
    ASSERT_GE(reply.size(), 16u);
    EXPECT_EQ(memcmp(reply.data(), orvane::kvsim::kSyncPattern, 4), 0);
    EXPECT_GT(end_->device().stats().requests, stats.requests);
    ASSERT_EQ(KVOpenInternalReceiver(h_), KV_STATUS_OK);
    EXPECT_EQ(getInt(KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER), settings().laser_power);
}

TEST_P(Session, OfflineMidCaptureRaisesOneEventThenCloseAndReopenWork) {
    struct Events {
        std::atomic<int> offline{0};
    } events;
    ASSERT_EQ(KVRegisterEventCallback(
                  h_,
                  [](KV_EVENT_INFO* e, void* u) {
                      if (e->eventId == KV_EVENT_DEVICE_OFFLINE) ++static_cast<Events*>(u)->offline;
                  },
                  &events),
              KV_STATUS_OK);
    ASSERT_EQ(KVEnableComponents(h_, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    enqueue(h_, 2);
    ASSERT_EQ(KVStartCapture(h_), KV_STATUS_OK);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(KVFetchFrame(h_, &frame, 3000), KV_STATUS_OK);
    const std::string address = end_->address();
    end_->cut();
    ASSERT_TRUE(waitFor([&] { return events.offline > 0; }, 15000));
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
    EXPECT_EQ(events.offline, 1);
    EXPECT_EQ(KVCloseDevice(again), KV_STATUS_OK);
    if (server) server->stop();
}

const KV_IMAGE_DATA* imageOf(const KV_FRAME_DATA& frame, int32_t component) {
    for (int i = 0; i < frame.validCount; ++i)
        if (frame.image[i].componentID == component) return &frame.image[i];
    return nullptr;
}

class Geometry : public ApiTest {};

// A wall at 1500 mm: conversions against the camera's intrinsic, registration into the colour image and
// undistortion of a captured infrared image.
TEST_F(Geometry, WallSceneConvertsRegistersAndUndistortsThroughTheHeader) {
    kvtest::DeviceConfig config;
    config.stamp_frames = false;
    auto device = std::make_shared<kvtest::SimDevice>(config);
    std::string error;
    device->setScene(orvane::kvsim::makeScene("wall", &error));
    CameraEnd end(Transport::kTcp, device);
    KV_DEV_HANDLE h = open(end);
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH | KV_COMPONENT_LEFT_IR | KV_COMPONENT_COLOR), 0);
    enqueue(h, 2);
    ASSERT_EQ(KVStartCapture(h), 0);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(KVFetchFrame(h, &frame, 3000), 0);
    const KV_IMAGE_DATA* depth = imageOf(frame, KV_COMPONENT_DEPTH);
    const KV_IMAGE_DATA* ir = imageOf(frame, KV_COMPONENT_LEFT_IR);
    ASSERT_TRUE(depth && ir);
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

    // Every depth pixel into the colour image: the flat wall stays at 1500 mm there.
    std::vector<KV_VECT_3F> points(static_cast<size_t>(w) * rows);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < w; ++x) points[y * w + x] = {(float)x, (float)y, (float)mm[y * w + x]};
    std::vector<KV_VECT_3F> cloud(points.size());
    ASSERT_EQ(KVDepthToWorld(h, points.data(), cloud.data(), 0, (int32_t)points.size()), 0);
    int32_t cw = 0, ch = 0;
    ASSERT_EQ(KVGetInt(h, KV_COMPONENT_COLOR, KV_FEATURE_IMAGE_WIDTH, &cw), 0);
    ASSERT_EQ(KVGetInt(h, KV_COMPONENT_COLOR, KV_FEATURE_IMAGE_HEIGHT, &ch), 0);
    std::vector<uint16_t> registered(static_cast<size_t>(cw) * ch);
    EXPECT_EQ(
        KVRegisterWorldToColor(h, cloud.data(), 0, (int32_t)cloud.size(), registered.data(), cw * ch * 2 - 1),
        KV_STATUS_OUT_OF_MEMORY);
    ASSERT_EQ(
        KVRegisterWorldToColor(h, cloud.data(), 0, (int32_t)cloud.size(), registered.data(), cw * ch * 2), 0);
    EXPECT_NEAR(registered[ch / 2 * cw + cw / 2], 1500, 1);

    // Undistorting with no distortion leaves the captured image as it was.
    std::vector<uint8_t> out(static_cast<size_t>(ir->size));
    KV_IMAGE_DATA dst = *ir;
    dst.buffer = out.data();
    const KV_CAMERA_DISTORTION none{};
    ASSERT_EQ(KVUndistortImage(&k, &none, nullptr, ir, &dst), 0);
    EXPECT_EQ(dst.pixelFormat, KV_PIXEL_FORMAT_MONO8);
    const auto* in = static_cast<const uint8_t*>(ir->buffer);
    size_t moved = 0;
    for (size_t i = 0; i < out.size(); ++i) moved += std::abs(out[i] - in[i]) > 1;
    // Only the outermost row and column, interpolated against the border, may differ.
    EXPECT_LE(moved, static_cast<size_t>(ir->width + ir->height)) << "pixels changed by more than 1";
    EXPECT_EQ(KVStopCapture(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, Session, ::testing::Values(Transport::kTcp, Transport::kUsb),
                         [](const auto& info) { return std::string(kvtest::transportName(info.param)); });

}  // namespace
}  // namespace apitest
