// The fault plan on a hand-driven simulated camera (stepped clock): each fault shows in the bytes a raw
// client reads, and the same seed gives the same bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/faults/fault_plan.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::DeviceHarness;

constexpr uint64_t kPeriod = 33334;

FaultSettings settings(const std::string& text) {
    FaultSettings s;
    std::string error;
    EXPECT_TRUE(parseFaultSettings(text, s, &error)) << text << ": " << error;
    return s;
}

// A camera with a plan; the connection is restarted so that the plan starts with it.
struct Faulty {
    explicit Faulty(const std::string& text) : plan(std::make_shared<FaultPlan>(settings(text), h.clock)) {
        h.device.setFaultHook(plan);
        h.device.onConnect();
    }
    Bytes readAll() {
        Bytes out;
        uint8_t buf[65536];
        for (size_t n; (n = h.device.readOutput(buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
        return out;
    }
    void post(const Bytes& payload) { h.post(payload, next_id++); }

    DeviceHarness h;
    std::shared_ptr<FaultPlan> plan;
    uint8_t next_id = 1;
};

// A fixed exchange: requests, then two frames of depth and infrared at 160x120.
Bytes scriptedSession(const std::string& faults) {
    Faulty f(faults);
    for (int i = 0; i < 5; ++i) f.post(pingRequest());
    f.post(codeOnlyRequest(kCmdDeviceInfo));
    f.post(descriptorRequest());
    f.post(u16Request(kCmdDepthResolution, 0));
    f.post(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared));
    const Bytes first = f.readAll();
    f.h.advance(kPeriod);
    return test::Concat({first, f.readAll()});
}

TEST(FaultSettingsText, ParsesEveryItemAndCombinesRepeatedOptions) {
    FaultSettings s;
    std::string error;
    ASSERT_TRUE(
        parseFaultSettings("seed=0x10,close-after-bytes=1000,flip=0.001,insert=1e-4,garbage=5,stall=300:64,"
                           "no-keepalive=3,drop=0x80000002,delay=1:250,wrong-code=0x8000000c,"
                           "wrong-length=11:5,bad-descriptor-checksum,oversize-images=10,"
                           "unknown-cam-id=7:3,unknown-pixel-format",
                           s, &error))
        << error;
    EXPECT_EQ(s.seed, 16u);
    EXPECT_EQ(s.close_after_bytes, 1000u);
    EXPECT_FALSE(s.reset);
    EXPECT_DOUBLE_EQ(s.flip_rate, 0.001);
    EXPECT_DOUBLE_EQ(s.insert_rate, 1e-4);
    EXPECT_EQ(s.garbage_max, 5u);
    EXPECT_EQ(s.stall_ms, 300u);
    EXPECT_EQ(s.stall_after_bytes, 64u);
    EXPECT_TRUE(s.no_keepalive);
    EXPECT_EQ(s.keepalives_answered, 3u);
    EXPECT_EQ(s.drop_replies, std::vector<uint32_t>{0x80000002u});
    ASSERT_EQ(s.delay_replies.size(), 1u);
    EXPECT_EQ(s.delay_replies[0], std::make_pair(1u, 250u));
    EXPECT_EQ(s.wrong_code_replies, std::vector<uint32_t>{0x8000000Cu});
    ASSERT_EQ(s.wrong_length_replies.size(), 1u);
    EXPECT_EQ(s.wrong_length_replies[0], std::make_pair(11u, 5u));
    EXPECT_TRUE(s.bad_descriptor_checksum);
    EXPECT_EQ(s.oversize_bytes, 10u);
    EXPECT_EQ(s.unknown_cam_id, 7);
    EXPECT_EQ(s.unknown_cam_every, 3u);
    EXPECT_EQ(s.unknown_pixel_format, 9);
    EXPECT_EQ(s.unknown_format_every, 1u);
    ASSERT_TRUE(parseFaultSettings("reset-after-frames=4,drop=2", s, &error));
    EXPECT_TRUE(s.reset);
    EXPECT_EQ(s.close_after_frames, 4u);
    EXPECT_EQ(s.drop_replies.size(), 2u) << "a second option adds to the first";
    EXPECT_TRUE(s.any());
    EXPECT_FALSE(FaultSettings().any());

    for (const char* bad : {"", "flip", "flip=0", "flip=1.5", "close-after-bytes=0", "close-after-frames=x",
                            "stall=0", "delay=5", "wrong-length=3:60000", "unknown-cam-id=3",
                            "unknown-cam-id=9:0", "unknown-pixel-format=6", "bad-descriptor-checksum=1",
                            "explode", "seed=-1", "drop=0x", "garbage=0", "seed=1,,"}) {
        FaultSettings t;
        error.clear();
        EXPECT_FALSE(parseFaultSettings(bad, t, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(FaultPlanOnDevice, CloseAfterBytesLetsExactlyThatManyBytesOut) {
    for (const char* text : {"close-after-bytes=100", "reset-after-bytes=100"}) {
        Faulty f(text);
        for (int i = 0; i < 10; ++i) f.post(pingRequest());  // 240 bytes of replies
        EXPECT_FALSE(f.h.device.disconnectRequested());
        Bytes out = f.readAll();
        EXPECT_EQ(out.size(), 100u) << text;
        EXPECT_TRUE(f.h.device.disconnectRequested());
        EXPECT_EQ(f.h.device.disconnectIsAbortive(), text[0] == 'r');
        EXPECT_EQ(f.plan->stats().disconnects, 1u);
        // A new connection starts counting again.
        f.h.device.onDisconnect();
        f.h.device.onConnect();
        EXPECT_FALSE(f.h.device.disconnectRequested());
    }
}

TEST(FaultPlanOnDevice, CloseAfterFramesSendsThatManyFramesAndStillAnswers) {
    Faulty f("close-after-frames=2");
    f.post(u16Request(kCmdDepthResolution, 0));
    f.post(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared));
    size_t images = 0;
    for (int period = 0; period < 5; ++period) {
        if (period > 0) f.h.advance(kPeriod);
        for (const WirePacket& p : f.h.drain()) images += p.has_image;
        EXPECT_TRUE(period < 2 || f.h.device.disconnectRequested()) << "closed after the second frame";
    }
    EXPECT_EQ(images, 6u) << "two frames of three images";
    EXPECT_GT(f.plan->stats().images_withheld, 0u);
    f.post(pingRequest());
    EXPECT_EQ(f.h.drain().size(), 1u) << "replies still go out";
}

TEST(FaultPlanOnDevice, FlipsAndInsertsAtTheirRateAndTheSeedFixesTheBytes) {
    const Bytes clean = scriptedSession("seed=1");
    ASSERT_GT(clean.size(), 100000u);

    const Bytes flipped = scriptedSession("seed=3,flip=0.001");
    ASSERT_EQ(flipped.size(), clean.size());
    size_t differ = 0;
    for (size_t i = 0; i < clean.size(); ++i) differ += clean[i] != flipped[i];
    const double expected = 0.001 * static_cast<double>(clean.size());
    EXPECT_GT(differ, expected * 0.6);
    EXPECT_LT(differ, expected * 1.4);
    EXPECT_EQ(scriptedSession("seed=3,flip=0.001"), flipped) << "same seed, same bytes";
    EXPECT_NE(scriptedSession("seed=4,flip=0.001"), flipped);

    const Bytes inserted = scriptedSession("seed=3,insert=0.001");
    const size_t extra = inserted.size() - clean.size();
    EXPECT_GT(extra, expected * 0.6);
    EXPECT_LT(extra, expected * 1.4);
    EXPECT_EQ(scriptedSession("seed=3,insert=0.001"), inserted);
    // Removing the inserted bytes leaves the clean stream: every other byte is untouched and in order.
    size_t j = 0;
    for (size_t i = 0; i < inserted.size() && j < clean.size(); ++i) j += inserted[i] == clean[j];
    EXPECT_EQ(j, clean.size());
}

TEST(FaultPlanOnDevice, StallHoldsTheOutputForItsTimeOnce) {
    Faulty f("stall=500:30");
    for (int i = 0; i < 4; ++i) f.post(pingRequest());
    EXPECT_EQ(f.readAll().size(), 30u);
    EXPECT_FALSE(f.h.device.hasOutput());
    f.h.advance(499000);
    EXPECT_TRUE(f.readAll().empty());
    f.h.advance(1000);
    EXPECT_EQ(f.readAll().size(), 96u - 30u);
    f.post(pingRequest());
    EXPECT_EQ(f.readAll().size(), 24u) << "one stall per connection";
    EXPECT_EQ(f.plan->stats().stalls, 1u);
}

TEST(FaultPlanOnDevice, KeepAlivesGoUnansweredAfterTheFirstFew) {
    Faulty f("no-keepalive=2");
    for (int i = 0; i < 5; ++i) f.post(keepAliveRequest());
    f.post(pingRequest());
    std::vector<WirePacket> replies = f.h.drain();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(getU32(replies[0].payload.data()), kCmdKeepAlive);
    EXPECT_EQ(getU32(replies[1].payload.data()), kCmdKeepAlive);
    EXPECT_EQ(replies[2].payload, pingReply());
    EXPECT_EQ(f.plan->stats().keepalives_ignored, 3u);
}

TEST(FaultPlanOnDevice, ChosenRepliesAreDroppedOrDelayedAndOthersPass) {
    Faulty f("drop=0x80000002,delay=1:250");
    f.post(u16Request(kCmdLaserPower, 33));        // the set reply passes
    f.post(u16Request(query(kCmdLaserPower), 0));  // dropped
    f.post(codeOnlyRequest(kCmdDeviceInfo));       // held back
    f.post(pingRequest());
    std::vector<WirePacket> now = f.h.drain();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(getU32(now[0].payload.data()), kCmdLaserPower);
    EXPECT_EQ(now[1].payload, pingReply());
    EXPECT_EQ(f.h.device.settings().laser_power, 33) << "a dropped reply's command still takes effect";
    EXPECT_EQ(f.h.device.nextEventMicros(), 250000);
    f.h.advance(249000);
    EXPECT_TRUE(f.readAll().empty());
    f.h.advance(1000);
    std::vector<WirePacket> late = f.h.drain();
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].header.packet_id, 3);
    EXPECT_EQ(late[0].payload.size(), 108u);
    FaultStats s = f.plan->stats();
    EXPECT_EQ(s.replies_dropped, 1u);
    EXPECT_EQ(s.replies_delayed, 1u);
}

TEST(FaultPlanOnDevice, RepliesWithWrongCodeWrongLengthOrBadChecksumStayWellFramed) {
    Faulty f("wrong-code=0x80000003,wrong-length=0x8000000b:5,bad-descriptor-checksum");
    f.post(u16Request(query(kCmdWorkMode), 0));
    f.post(camGainRequest(query(kCmdCamGain), 0, 0));
    f.post(descriptorRequest());
    f.post(firmwareXmlRequest());
    std::vector<WirePacket> r = f.h.drain();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(getU32(r[0].payload.data()), 0x80000103u);
    EXPECT_EQ(r[1].payload.size(), 5u);
    EXPECT_EQ(r[1].header.length, 5u);
    std::optional<DescriptorReply> d = decodeDescriptorReply(r[2].payload);
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->checksum_ok);
    EXPECT_EQ(d->text, f.h.device.descriptorText()) << "only the checksum byte is wrong";
    EXPECT_TRUE(decodeFirmwareXmlReply(r[3].payload)) << "other replies are untouched";
}

TEST(FaultPlanOnDevice, ImagesGrowBeyondTheirGeometryOrCarryUnknownIdsAndFormats) {
    Faulty f("oversize-images=100,unknown-cam-id=9:2,unknown-pixel-format=12:3");
    f.post(u16Request(kCmdDepthResolution, 0));  // 160x120
    f.post(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared));
    std::vector<WirePacket> images;
    for (int period = 0; period < 2; ++period) {
        if (period > 0) f.h.advance(kPeriod);
        for (WirePacket& p : f.h.drain())
            if (p.has_image) images.push_back(std::move(p));
    }
    ASSERT_EQ(images.size(), 6u);
    for (size_t i = 0; i < images.size(); ++i) {
        const WirePacket& img = images[i];
        const size_t geometry = static_cast<size_t>(img.image.width) * img.image.height *
                                (i % 3 == 0 ? 2 : 1);  // depth first, then the two infrared images
        EXPECT_EQ(img.payload.size(), geometry + 100) << i;
        EXPECT_EQ(img.header.length, kImageHeaderSize + kTimestampExtraLen + geometry + 100);
        EXPECT_EQ(img.image.cam_id == 9, (i + 1) % 2 == 0) << i;
        EXPECT_EQ(img.image.pixel_format == 12, (i + 1) % 3 == 0) << i;
    }
    FaultStats s = f.plan->stats();
    EXPECT_EQ(s.oversized_images, 6u);
    EXPECT_EQ(s.unknown_cam_ids, 3u);
    EXPECT_EQ(s.unknown_formats, 2u);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
