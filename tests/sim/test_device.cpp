// The simulated camera driven by hand, for what the conformance suites cannot see through the library:
// refusals, configuration memory, streaming at every mode and pacing, trigger mode, scene calibration and
// the fault seam. Ordinary command round trips are covered by the conformance suites.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "sim/device/descriptor.h"
#include "sim/device/scene.h"
#include "sim/device/sim_device.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::DeviceHarness;
using test::Frame;
using test::framesOf;
using test::Hex;
using test::replyI16;
using test::replyI32;

TEST(SimDeviceCommands, ReportsFailureForValuesOutOfRangeAndKeepsTheOldValue) {
    DeviceHarness h;
    WirePacket r = h.request(camGainRequest(kCmdCamGain, 0, kIrGainMax + 1));
    EXPECT_EQ(replyI16(r, 4), -1);
    EXPECT_EQ(replyI16(r, 6), 16);
    const Bytes refused16[] = {camGainRequest(kCmdCamGain, 2, 5),  // colour uses the RGB form
                               camGainRequest(query(kCmdCamGain), 5, 0), u16Request(kCmdLaserPower, 101),
                               u16Request(kCmdDepthResolution, 5),       u16Request(kCmdRgbResolution, 0),
                               u16Request(kCmdFramesPerTrigger, 0),      u16Request(kCmdWorkMode, 0x10)};
    for (const Bytes& request : refused16)
        EXPECT_EQ(replyI16(h.request(request), 4), -1) << &request - refused16;
    const int32_t bad_gains[3] = {1, 256, 3}, good_gains[3] = {1, 2, 3};
    const Bytes refused32[] = {
        rgbGainSetRequest(2, bad_gains), rgbGainSetRequest(1, good_gains),  // not the colour sensor
        camValueRequest(kCmdRgbExposure, 2, 0), camValueRequest(kCmdRgbExposure, 2, kExposureMax + 1),
        camValueRequest(kCmdRgbAwb, 2, 2)};
    for (const Bytes& request : refused32)
        EXPECT_EQ(replyI32(h.request(request), 4), -1) << &request - refused32;
    EXPECT_EQ(h.request(switchRequest(kCmdUndistort, 2)).payload, Hex("08 00 00 00 01 00 00 00"));

    auto fields = [](const DeviceSettings& s) {
        return std::make_tuple(s.work_mode, s.depth_mode, s.color_mode, s.laser_power, s.ir_gain[0],
                               s.rgb_gain[1], s.exposure, s.awb, s.frames_per_trigger, s.undistort);
    };
    EXPECT_EQ(fields(h.device.settings()), fields(DeviceSettings()));
}

TEST(SimDeviceCommands, IgnoresUnknownAndTruncatedCommandsLikeARealDevice) {
    DeviceHarness h;
    EXPECT_TRUE(h.send(codeOnlyRequest(0x55), 1).empty());
    EXPECT_TRUE(h.send(codeOnlyRequest(query(kCmdSaveToFlash)), 2).empty());
    EXPECT_TRUE(h.send(Hex("02 00 00 00 05"), 3).empty());  // laser power without its value
    EXPECT_TRUE(h.send(Hex("00 00"), 4).empty());           // not even a command code
    EXPECT_TRUE(h.send(Bytes(100, 0), 5, kPacketImage).empty());
    EXPECT_EQ(h.device.stats().ignored_requests, 5u);
    EXPECT_EQ(h.device.settings().laser_power, DeviceSettings().laser_power);
    // Still answering afterwards.
    EXPECT_EQ(h.request(pingRequest()).header.type, kPacketParam);
}

TEST(SimDeviceCommands, OversizedRequestIsSkippedWithoutBeingStored) {
    DeviceHarness h;
    Bytes huge(SimDevice::kMaxRequestPayload + 1, 0);
    EXPECT_TRUE(h.send(huge, 1).empty());
    EXPECT_EQ(h.request(pingRequest()).payload.size(), 8u);
}

TEST(SimDeviceConfig, StoresSegmentsAndRefusesBadChecksumOrOffset) {
    DeviceHarness h;
    Bytes data(256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    auto ack = [&h](const Bytes& request) {
        std::optional<SegmentAck> a = decodeSegmentAck(h.request(request).payload);
        return a ? std::make_pair(a->status, a->index) : std::make_pair(99u, 99u);
    };
    EXPECT_EQ(ack(configSegmentRequest(512, data.data(), 256)), std::make_pair(0u, 2u));
    Bytes corrupt = configSegmentRequest(768, data.data(), 256);
    corrupt[20] ^= 0xff;
    EXPECT_EQ(ack(corrupt), std::make_pair(1u, 3u));
    EXPECT_EQ(ack(configSegmentRequest(100, data.data(), 256)).first, 2u);
    EXPECT_EQ(ack(configSegmentRequest(kDefaultConfigMemory, data.data(), 256)).first, 2u);

    Bytes memory = h.device.configMemory();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + 512));
    EXPECT_TRUE(std::all_of(memory.begin() + 768, memory.begin() + 1024, [](uint8_t b) { return b == 0; }));
}

// A checked save and its checksum mismatch are covered end to end by the conformance suite.
TEST(SimDeviceConfig, FlashSaveRefusesAnOverlongLengthAndLengthZeroSavesEverything) {
    DeviceHarness h;
    uint8_t too_long[20] = {};
    putU32(too_long, kDefaultConfigMemory + 1);
    EXPECT_EQ(getU32(h.request(flashSaveRequest(too_long)).payload.data() + 4), 2u);
    EXPECT_EQ(h.device.flashSaves(), 0u);
    uint8_t whole[20] = {};  // length 0: everything, no check
    WirePacket r = h.request(flashSaveRequest(whole));
    EXPECT_EQ(Bytes(r.payload.begin(), r.payload.begin() + 8), Hex("05 00 00 00 00 00 00 00"));
    EXPECT_EQ(h.device.flashImage().size(), kDefaultConfigMemory);
}

// ---- streaming
// ----------------------------------------------------------------------------------------------

uint64_t timestampOf(const WirePacket& p) {
    uint64_t high = p.extra.size() >= 4 ? getU32(p.extra.data()) : 0;
    return (high << 32) | p.image.timestamp_low;
}

TEST(SimDeviceStreaming, SendsWellFormedFramesAtEveryResolutionMode) {
    for (int mode = 0; mode < kResolutionModeCount; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        DeviceHarness h;
        int color_mode = mode == 0 ? 1 : mode;
        h.request(u16Request(kCmdDepthResolution, static_cast<uint16_t>(mode)));
        h.request(u16Request(kCmdRgbResolution, static_cast<uint16_t>(color_mode)));
        h.request(u16Request(kCmdWorkMode, kWorkAll));
        std::vector<Frame> frames = framesOf(h.drain());
        ASSERT_EQ(frames.size(), 1u);
        const Frame& f = frames[0];
        ASSERT_EQ(f.images.size(), 5u);
        const ResolutionMode* d = findResolutionMode(mode);
        const ResolutionMode* c = findResolutionMode(color_mode);
        struct Expect {
            uint8_t cam, format;
            int w, h;
        } expect[] = {{kCamDepth, kPixDepth16, d->stream_width, d->stream_height},
                      {kCamLeftIr, kPixMono8, d->stream_width, d->stream_height},
                      {kCamRightIr, kPixMono8, d->stream_width, d->stream_height},
                      {kCamColor, kPixRgb24, c->stream_width, c->stream_height},
                      {kCamAux, kPixMono8, 2048, 1}};
        for (const Expect& e : expect) {
            const WirePacket* p = f.byCam(e.cam);
            ASSERT_NE(p, nullptr) << int(e.cam);
            EXPECT_EQ(p->image.width, e.w);
            EXPECT_EQ(p->image.height, e.h);
            EXPECT_EQ(p->image.pixel_format, e.format);
            EXPECT_EQ(p->payload.size(), static_cast<size_t>(e.w) * e.h * bytesPerPixel(e.format));
            EXPECT_EQ(p->header.length, p->payload.size() + kImageHeaderSize + 4);
            EXPECT_EQ(p->image.extra_len, 4);
            EXPECT_EQ(p->image.frame_index, 1);
            EXPECT_EQ(timestampOf(*p), timestampOf(f.images[0]));
        }
    }
}

TEST(SimDeviceStreaming, SlowHostMakesFramesSkippedNotBuffered) {
    DeviceHarness h;
    h.request(u16Request(kCmdDepthResolution, 3));
    h.post(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared), 40);  // frame 1 queued, not read
    const size_t frame_bytes = 1280 * 960 * 4 + 3 * (kBlockSize + kImageHeaderSize + 4);
    for (int i = 0; i < 20; ++i) {
        h.advance(33334);
        ASSERT_LE(h.device.pendingOutputBytes(), frame_bytes + 24);  // one frame and the unread reply
    }
    EXPECT_EQ(h.device.stats().frames_skipped, 20u);
    std::vector<Frame> frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    h.advance(33334);
    frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].images[0].image.frame_index, 22);  // sensor frames kept counting while skipped
    EXPECT_EQ(h.device.stats().frames_sent, 2u);
}

TEST(SimDeviceStreaming, RepliesOvertakeQueuedImagesAtPacketBoundaries) {
    DeviceHarness h;
    h.request(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared));
    h.drain();         // frame 1
    h.advance(40000);  // frame 2 queued; start reading it
    uint8_t partial[100];
    ASSERT_EQ(h.device.readOutput(partial, sizeof partial), sizeof partial);
    std::vector<WirePacket> packets;
    h.decoder.feed(partial, sizeof partial, packets);
    Bytes ping = encodePacket(kPacketParam, 99, pingRequest());
    h.device.receive(ping.data(), ping.size());
    packets = h.drain();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].image.cam_id, kCamDepth);  // the started image is finished first
    EXPECT_EQ(packets[1].header.packet_id, 99);
    EXPECT_EQ(packets[1].header.type, kPacketParam);
    EXPECT_EQ(packets[2].image.cam_id, kCamLeftIr);
    EXPECT_EQ(packets[3].image.cam_id, kCamRightIr);
}

TEST(SimDeviceStreaming, StoppingOrDisconnectingDropsFramesNotYetStarted) {
    DeviceHarness h;
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    h.drain();         // frame 1
    h.advance(40000);  // frame 2 queued, not read
    EXPECT_GT(h.device.pendingOutputBytes(), 0u);
    std::vector<WirePacket> r = h.send(u16Request(kCmdWorkMode, 0), 50);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].header.packet_id, 50);
    h.advance(400000);
    EXPECT_TRUE(h.drain().empty());

    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    h.advance(40000);  // a frame queued, not read
    h.device.onDisconnect();
    EXPECT_EQ(h.device.settings().work_mode, 0);
    EXPECT_EQ(h.device.pendingOutputBytes(), 0u);
}

TEST(SimDeviceTrigger, FramesComeOnlyAfterTriggerOnceAsManyAsFramesPerTrigger) {
    DeviceHarness h;
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdTriggerOnce, 0)), 4), -1);  // not in trigger mode
    h.request(u16Request(kCmdTriggerMode, 1));
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdTriggerOnce, 0)), 4), -2);  // not streaming
    h.request(u16Request(kCmdFramesPerTrigger, 3));
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    for (int i = 0; i < 10; ++i) h.advance(40000);
    EXPECT_TRUE(framesOf(h.drain()).empty());

    WirePacket t = h.request(u16Request(kCmdTriggerOnce, 0));
    EXPECT_EQ(t.payload.size(), 8u);
    EXPECT_EQ(replyI16(t, 4), 0);
    std::vector<Frame> frames = framesOf(h.drain());
    for (int i = 0; i < 10; ++i) {
        h.advance(40000);
        for (const Frame& f : framesOf(h.drain())) frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].images[0].image.frame_index, 1);
    EXPECT_EQ(frames[2].images[0].image.frame_index, 3);
}

TEST(SimDeviceTrigger, ATriggeredFrameWaitsForTheHostInsteadOfBeingSkipped) {
    DeviceHarness h;
    h.request(u16Request(kCmdTriggerMode, 1));
    h.request(u16Request(kCmdFramesPerTrigger, 2));
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    Bytes trigger = encodePacket(kPacketParam, 9, u16Request(kCmdTriggerOnce, 0));
    h.device.receive(trigger.data(), trigger.size());
    for (int i = 0; i < 10; ++i) h.advance(40000);  // nothing read meanwhile
    EXPECT_EQ(h.device.nextEventMicros(), -1);
    EXPECT_EQ(h.device.stats().frames_skipped, 0u);
    std::vector<WirePacket> packets = h.drain();
    h.advance(40000);
    for (const WirePacket& p : h.drain()) packets.push_back(p);
    EXPECT_EQ(framesOf(packets).size(), 2u);
}

// ---- scenes and calibration
// ------------------------------------------------------------------------------------

class RecordingScene : public Scene {
  public:
    explicit RecordingScene(bool animated) : animated_(animated) {}
    bool animated() const override { return animated_; }
    void render(const RenderContext& ctx, uint8_t* pixels, size_t size) override {
        contexts.push_back(ctx);
        std::memset(pixels, 0x33, size);
    }
    std::vector<RenderContext> contexts;

  private:
    bool animated_;
};

TEST(SimDeviceScene, StreamsAreRenderedWithTheDescriptorCalibrationScaledToTheImage) {
    DeviceConfig c;
    Calibration custom;
    custom.depth = Intrinsic{800, 820, 600, 450, 1280, 960};
    custom.color = Intrinsic{900, 910, 610, 470, 1280, 960};
    c.descriptor_file_text = buildDefaultDescriptor(DeviceIdentity(), custom, 2, 2);
    DeviceHarness h(c);
    auto scene = std::make_shared<RecordingScene>(false);
    h.device.setScene(scene);
    h.request(u16Request(kCmdWorkMode, kWorkDepth | kWorkColor));
    ASSERT_EQ(scene->contexts.size(), 2u);
    for (const RenderContext& ctx : scene->contexts) {
        ASSERT_EQ(ctx.width, 640);
        if (ctx.cam_id == kCamDepth) {
            EXPECT_FLOAT_EQ(ctx.intrinsic.fx, 400);
            EXPECT_FLOAT_EQ(ctx.intrinsic.fy, 410);
            EXPECT_FLOAT_EQ(ctx.intrinsic.cx, 300);
        } else {
            EXPECT_EQ(ctx.cam_id, kCamColor);
            EXPECT_FLOAT_EQ(ctx.intrinsic.fx, 450);
            EXPECT_FLOAT_EQ(ctx.intrinsic.cy, 235);
        }
        EXPECT_FLOAT_EQ(ctx.calibration->color_from_depth[3], 25.0f);
    }
}

// ---- the fault seam
// -----------------------------------------------------------------------------------------

TEST(SimDeviceFaults, EditedReplyBodyLeavesSharedImagesIntact) {
    DeviceHarness h;
    struct ZeroImages : FaultHook {
        bool onOutgoing(OutPacket& p, const StreamCounters&) override {
            if (p.kind == OutPacket::kImage && p.cam_id == kCamDepth)
                std::fill(p.editableBody().begin(), p.editableBody().end(), 0);
            return true;
        }
    };
    h.device.setFaultHook(std::make_shared<ZeroImages>());
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    std::vector<Frame> first = framesOf(h.drain());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(getU16(first[0].images[0].payload.data() + (479 * 640 + 639) * 2), 0);  // the hook's copy
    h.device.setFaultHook(nullptr);
    h.advance(40000);
    std::vector<Frame> frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(getU16(frames[0].images[0].payload.data() + (479 * 640 + 639) * 2), 2000);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
