// The library's protocol layer against the independent simulator: the bulk exchanges, keep-alive and the
// offline event, frames through the image receiver checked against the scene's ground truth, and the
// library's reaction to the simulator's link and image faults. Reply decoding, reply timeouts and register
// packets are pinned byte by byte against a scripted device in tests/protocol. The same tests run over
// loopback TCP (tcp_stream) and over the libusb test double (libusb_stream); the transport is chosen when
// the suite is built.
#include <gtest/gtest.h>

#include <cstring>

#include "conformance_rig.h"
#include "sim/scene/scene_catalog.h"
#include "sim/wire/packets.h"

namespace conformance {
namespace {

using orvane::SubBufferInfo;
using orvane::kvsim::FaultHook;
using orvane::kvsim::makeSyntheticScene;
namespace kv = orvane::kvsim;

constexpr int32_t kDepth = 0x00010000;
constexpr int32_t kLeftIr = 0x00040000;
constexpr int32_t kRightIr = 0x00080000;
constexpr int32_t kColor = 0x00100000;
constexpr int kWorkAll = kv::kWorkDepth | kv::kWorkInfrared | kv::kWorkColor;

class Conformance : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        if (GetParam() == Transport::kUsb) usb_.SetUp();
    }
    void TearDown() override {
        host.reset();
        camera.reset();
        if (GetParam() == Transport::kUsb) usb_.TearDown();
    }

    void connect(DeviceConfig config = DeviceConfig(), std::shared_ptr<FaultHook> faults = nullptr,
                 std::shared_ptr<kv::Scene> scene = nullptr) {
        auto device = std::make_shared<SimDevice>(config);
        if (scene) device->setScene(scene);
        if (faults) device->setFaultHook(faults);
        camera = std::make_unique<CameraEnd>(GetParam(), device);
        ASSERT_TRUE(camera->ready());
        host = std::make_unique<HostLink>(camera->makeStream());
        ASSERT_TRUE(host->start());
    }
    SimDevice& dev() { return camera->device(); }
    orvane::DeviceParamProcessor& param() { return host->param; }

    // Layout of the images the work mode sends, at the current resolution modes.
    std::vector<SubBufferInfo> layoutFor(int work_mode) {
        const kv::DeviceSettings s = dev().settings();
        const kv::ResolutionMode* d = kv::findResolutionMode(s.depth_mode);
        const kv::ResolutionMode* c = kv::findResolutionMode(s.color_mode);
        const int32_t dpx = d->stream_width * d->stream_height;
        std::vector<SubBufferInfo> layout;
        if (work_mode & kv::kWorkDepth) layout.push_back({kDepth, dpx * 2});
        if (work_mode & kv::kWorkInfrared) {
            layout.push_back({kLeftIr, dpx});
            layout.push_back({kRightIr, dpx});
        }
        if (work_mode & kv::kWorkColor) layout.push_back({kColor, c->stream_width * c->stream_height * 3});
        return layout;
    }
    void startStreaming(int work_mode, int buffers = 3) {
        host->enqueueBuffers(layoutFor(work_mode), buffers);
        ASSERT_EQ(param().ChangeDeviceMode(work_mode), 0);
    }

    std::unique_ptr<CameraEnd> camera;
    std::unique_ptr<HostLink> host;
    kvtest::UsbLibrary usb_;
};

uint32_t stampOf(const KV_IMAGE_DATA& img) {
    return kv::getU32(static_cast<const uint8_t*>(img.buffer));
}

// ---- commands ----------------------------------------------------------------------------------------

TEST_P(Conformance, ConfigurationDownloadAndFlashSaveLandInTheDeviceMemory) {
    connect();
    auto& p = param();
    std::vector<int8_t> image(20000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<int8_t>((i * 131 + (i >> 7)) & 0xff);
    ASSERT_EQ(p.SetConfigData(512, image.data()), 0);
    kv::Bytes memory = dev().configMemory();
    EXPECT_TRUE(
        std::equal(image.begin(), image.begin() + 256, reinterpret_cast<const int8_t*>(memory.data() + 512)));

    ASSERT_EQ(p.SetConfigDataAsync(image.data(), static_cast<int>(image.size())), 0);
    memory = dev().configMemory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), reinterpret_cast<const int8_t*>(memory.data())));
    EXPECT_EQ(memory[20000], 0) << "the last segment is padded with zeros";

    // Flash save: length, verify flag, the segment checksum over that length.
    const uint32_t length = static_cast<uint32_t>(image.size());
    uint32_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 4) {
        uint8_t w[4] = {0, 0, 0, 0};
        std::memcpy(w, image.data() + i, std::min<size_t>(4, image.size() - i));
        sum += kv::getU32(w);
    }
    orvane::DeviceConfigUpdateParam save{};
    kv::putU32(save.bytes, length);
    kv::putU32(save.bytes + 4, 1);
    kv::putU32(save.bytes + 8, sum);
    ASSERT_EQ(p.SaveConfigToFlash(&save, 3000), 0);
    EXPECT_EQ(dev().flashSaves(), 1u);
    kv::Bytes flash = dev().flashImage();
    ASSERT_EQ(flash.size(), length);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), reinterpret_cast<const int8_t*>(flash.data())));

    kv::putU32(save.bytes + 8, sum + 1);
    EXPECT_EQ(p.SaveConfigToFlash(&save, 3000), 4) << "the device reports the checksum mismatch";
    EXPECT_EQ(dev().flashSaves(), 1u);
}

// ---- keep-alive and the offline event -------------------------------------------------------------------

// Keep-alive silence, a closed link, and a close or reset in the middle of a reply: one offline event each,
// and the receive thread ends.
TEST_P(Conformance, EveryWayOfLosingTheLinkRaisesOneOfflineEvent) {
    for (const char* fault : {"no-keepalive=2", "", "close-after-bytes=3000", "reset-after-bytes=3000"}) {
        SCOPED_TRACE(fault);
        connect(DeviceConfig(), *fault ? faultPlan(fault) : nullptr);
        host->keepAlive(50, 600);
        host->setCommandTimeout(500);
        if (std::string(fault).find("-after-bytes") != std::string::npos) {
            std::vector<uint8_t> descriptor;
            const int result = param().GetDeviceDescriptor(descriptor);
            EXPECT_TRUE(result == 1 || result == 2) << "the reply is cut off: " << result;
        } else {
            EXPECT_EQ(param().Ping(-1), 0) << "commands are answered until then";
            if (!*fault) camera->cut();
        }
        ASSERT_TRUE(host->waitOffline(5000));
        EXPECT_EQ(host->offlineEvents(), 1);
        EXPECT_FALSE(host->controller.IsRunning());
        host->setCommandTimeout(100);
        EXPECT_NE(param().Ping(-1), 0) << "nobody receives any more";
        TearDown();
        SetUp();
    }
}

// ---- frames ----------------------------------------------------------------------------------------------

TEST_P(Conformance, FramesThroughTheImageReceiverMatchTheScenesGroundTruth) {
    auto scene = makeSyntheticScene("room", nullptr);
    connect(DeviceConfig(), nullptr, scene);
    startStreaming(kWorkAll);

    KV_FRAME_DATA frame{};
    ASSERT_TRUE(host->fetchFrame(frame, 5000));
    ASSERT_EQ(frame.validCount, 4);
    const KV_IMAGE_DATA* depth = imageOf(frame, kDepth);
    const KV_IMAGE_DATA* left = imageOf(frame, kLeftIr);
    const KV_IMAGE_DATA* right = imageOf(frame, kRightIr);
    const KV_IMAGE_DATA* color = imageOf(frame, kColor);
    ASSERT_TRUE(depth && left && right && color);
    EXPECT_EQ(depth->width, 640);
    EXPECT_EQ(depth->height, 480);
    EXPECT_EQ(depth->pixelFormat, KV_PIXEL_FORMAT_DEPTH16);
    EXPECT_EQ(depth->size, 640 * 480 * 2);
    EXPECT_EQ(left->pixelFormat, KV_PIXEL_FORMAT_MONO8);
    EXPECT_EQ(color->size, 640 * 480 * 3);
    const uint32_t seq = stampOf(*depth);
    EXPECT_EQ(stampOf(*color), seq);
    EXPECT_EQ(depth->timestamp, color->timestamp);
    EXPECT_EQ(static_cast<uint32_t>(depth->timestamp),
              kv::getU32(static_cast<const uint8_t*>(depth->buffer) + 4));

    // Depth carries the true value everywhere: no byte is lost or moved on the way through the host. How
    // the rendering matches the served calibrations is the scene suite's business.
    const kv::Intrinsic truth_k = dev().calibration().depth.scaledTo(640, 480);
    const auto* d = static_cast<const uint8_t*>(depth->buffer);
    size_t wrong = 0;
    for (int v = 0; v < 480; ++v) {
        for (int u = (v == 0 ? 4 : 0); u < 640; ++u)  // skipping the stamp
            wrong += kv::getU16(d + 2 * (v * 640 + u)) != scene->trueDepth(truth_k, u, v, seq);
    }
    EXPECT_EQ(wrong, 0u);
    // The next frame follows with a later timestamp and a larger image index.
    host->requeue(frame);
    KV_FRAME_DATA next{};
    ASSERT_TRUE(host->fetchFrame(next, 5000));
    EXPECT_GT(imageOf(next, kDepth)->imageIndex, depth->imageIndex);
    EXPECT_GT(imageOf(next, kDepth)->timestamp, depth->timestamp);
    EXPECT_EQ(param().ChangeDeviceMode(0), 0);
    EXPECT_TRUE(host->guardsIntact());
}

// ---- faults ------------------------------------------------------------------------------------------

TEST_P(Conformance, CorruptedBytesNeverCrashAndTheLinkRecoversOnceTheyStop) {
    connect(DeviceConfig(), faultPlan("seed=11,flip=3e-6,insert=1e-6"));
    startStreaming(kWorkAll);
    ASSERT_TRUE(waitFor([&] { return dev().stats().frames_sent >= 15; }, 10000));
    dev().setFaultHook(nullptr);
    // A corrupt length may still hold the parser for one long payload; then replies come through again.
    host->setCommandTimeout(500);
    bool answered = false;
    for (int i = 0; i < 20 && !answered; ++i) answered = param().Ping(-1) == 0;
    EXPECT_TRUE(answered);
    EXPECT_EQ(param().ChangeDeviceMode(0), 0);
    EXPECT_TRUE(host->guardsIntact());
    EXPECT_FALSE(host->offline());
}

TEST_P(Conformance, ALinkCutInsideAnImageNeverDeliversThatImageTruncated) {
    // The work-mode reply (24 bytes), one whole 640x480 depth image, then half of the next one.
    constexpr uint64_t kImagePacket = 16 + 12 + 4 + 640 * 480 * 2;
    connect(DeviceConfig(),
            faultPlan("close-after-bytes=" + std::to_string(24 + kImagePacket + kImagePacket / 2)));
    // No keep-alive: the close itself ends the link, and the parser keeps its normal time limit, which a
    // loaded machine cannot exceed halfway through an image.
    startStreaming(kv::kWorkDepth, 3);
    KV_FRAME_DATA frame{};
    ASSERT_TRUE(host->fetchFrame(frame, 5000));
    EXPECT_EQ(stampOf(frame.image[0]), 1u);
    ASSERT_TRUE(host->waitOffline(5000));
    EXPECT_NE(host->images.GetFrames(&frame), 0) << "the cut image completes no frame";
    EXPECT_TRUE(host->guardsIntact());
}

TEST_P(Conformance, OversizedImagesAreDroppedWithoutWritingPastTheirBuffers) {
    auto plan = faultPlan("oversize-images=3000");
    connect(DeviceConfig(), plan);
    ASSERT_EQ(param().SetDepthResolution(0), 0);
    ASSERT_EQ(param().Ping(-1), 0);
    startStreaming(kv::kWorkDepth | kv::kWorkInfrared);
    ASSERT_TRUE(waitFor([&] { return plan->stats().oversized_images >= 15; }, 5000));
    ASSERT_EQ(param().Ping(-1), 0);  // everything sent before the reply has been received
    EXPECT_EQ(host->images.get_buffered_frame_num(), 0);
    EXPECT_TRUE(host->guardsIntact());
    dev().setFaultHook(nullptr);
    KV_FRAME_DATA frame{};
    EXPECT_TRUE(host->fetchFrame(frame, 5000)) << "well-formed images complete frames again";
    EXPECT_TRUE(host->guardsIntact());
}

#ifndef CONFORMANCE_TRANSPORT
#error "CONFORMANCE_TRANSPORT selects the transport of this build of the suite"
#endif
INSTANTIATE_TEST_SUITE_P(Transport, Conformance, ::testing::Values(Transport::CONFORMANCE_TRANSPORT),
                         kvtest::transportSuffix);

}  // namespace
}  // namespace conformance
