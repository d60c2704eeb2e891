// The replay script and the replayed camera on hand-made conversations, with a hand-stepped clock.
#include <gtest/gtest.h>

#include <memory>

#include "sim/replay/replay_device.h"
#include "sim/wire/packets.h"
#include "sim/wire/stream_decoder.h"

namespace {

using namespace orvane::kvsim;

constexpr uint64_t kMs = 1000000;  // nanoseconds

Bytes workMode(uint16_t mode) {
    return u16Request(kCmdWorkMode, mode);
}
Bytes registerPayload(const RegisterAccess& access) {
    Bytes packet = encodeRegisterPacket(access);
    return Bytes(packet.begin() + kBlockSize, packet.end());
}
Bytes image(uint8_t frame_index, uint8_t fill) {
    ImageHeader h;
    h.width = 4;
    h.height = 2;
    h.pixel_format = kPixMono8;
    h.frame_index = frame_index;
    Bytes out = encodeImagePrefix(9, h, nullptr, 8);
    out.insert(out.end(), 8, fill);
    return out;
}

// A recorded conversation: requests with their replies, the replies cut into small reads.
struct Conversation {
    std::vector<RecordedChunk> chunks;
    uint64_t now_ns = 0;

    void send(uint8_t type, uint8_t id, const Bytes& payload) {
        chunks.push_back({false, now_ns += kMs, encodePacket(type, id, payload)});
    }
    void answer(uint8_t type, uint8_t id, const Bytes& payload) { arrive(encodePacket(type, id, payload)); }
    void arrive(const Bytes& bytes, uint64_t after_ns = kMs) {
        now_ns += after_ns;
        for (size_t at = 0; at < bytes.size(); at += 5) {
            const size_t n = std::min<size_t>(5, bytes.size() - at);
            chunks.push_back({true, now_ns, Bytes(bytes.begin() + at, bytes.begin() + at + n)});
        }
    }
};

// The conversation most tests replay: the device information, two different answers to one query, an
// unanswered register write, a reply reported before its request, garbage, a streaming session of three
// images 100 ms apart and a second one whose first image was reported before its start request.
Conversation recorded() {
    Conversation c;
    DeviceInfoRecord info;
    info.serial = "KVREC0000007";
    c.send(kPacketParam, 9, codeOnlyRequest(kCmdDeviceInfo));
    c.answer(kPacketParam, 9, deviceInfoReply(info));
    c.send(kPacketParam, 1, codeOnlyRequest(query(kCmdWorkMode)));
    c.answer(kPacketParam, 1, shortReply(query(kCmdWorkMode), 0, 0));
    c.arrive({0xfe, 0x01, 0x00, 0x17});  // line noise
    c.send(kPacketRegister, 0, registerPayload({5, 77, 2, 0}));
    c.answer(kPacketParam, 2, shortReply(kCmdLaserPower, 0, 50));  // the tap reported the reply first
    c.send(kPacketParam, 2, u16Request(kCmdLaserPower, 50));
    c.send(kPacketParam, 3, workMode(1));
    c.answer(kPacketParam, 3, shortReply(kCmdWorkMode, 0, 1));
    for (uint8_t i = 0; i < 3; ++i) c.arrive(image(i, static_cast<uint8_t>(0xa0 + i)), (i ? 100 : 99) * kMs);
    c.send(kPacketParam, 4, workMode(0));
    c.answer(kPacketParam, 4, shortReply(kCmdWorkMode, 0, 0));
    c.send(kPacketParam, 5, codeOnlyRequest(query(kCmdWorkMode)));
    c.answer(kPacketParam, 5, shortReply(query(kCmdWorkMode), 1, 0));
    c.arrive(image(0, 0xb0));  // the second session's start request reported after its first image
    c.send(kPacketParam, 6, workMode(1));
    c.answer(kPacketParam, 6, shortReply(kCmdWorkMode, 0, 1));
    c.arrive(image(1, 0xb1));
    return c;
}

// Everything the device has to send now, as packets.
std::vector<WirePacket> drainDevice(ReplayDevice& device, StreamDecoder& decoder) {
    std::vector<WirePacket> out;
    OutputSlice slices[8];
    device.service();
    while (size_t n = device.gatherOutput(slices, 8, 1 << 20)) {
        size_t total = 0;
        for (size_t i = 0; i < n; ++i)
            decoder.feed(slices[i].data, slices[i].len, out), total += slices[i].len;
        device.consumeOutput(total);
    }
    return out;
}

class ReplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto script = std::make_shared<ReplayScript>();
        std::string error;
        ASSERT_TRUE(ReplayScript::build(recorded().chunks, script.get(), &error)) << error;
        script_ = script;
    }
    void start(ReplayOptions options = {}) {
        device_ = std::make_unique<ReplayDevice>(script_, options, clock_);
        device_->onConnect();
    }
    std::vector<WirePacket> ask(uint8_t type, uint8_t id, const Bytes& payload) {
        Bytes bytes = encodePacket(type, id, payload);
        device_->receive(bytes.data(), bytes.size());
        return drain();
    }
    std::vector<WirePacket> drain() { return drainDevice(*device_, decoder_); }

    std::shared_ptr<const ReplayScript> script_;
    std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
    std::unique_ptr<ReplayDevice> device_;
    StreamDecoder decoder_;
};

TEST_F(ReplayTest, ScriptPairsRepliesAcrossReadsReorderingAndNoise) {
    const ScriptStats& s = script_->stats();
    EXPECT_EQ(s.requests, 8u);
    EXPECT_EQ(s.replies, 7u);
    EXPECT_EQ(script_->recordedSerial(), "KVREC0000007");
    EXPECT_EQ(s.images, 5u);
    EXPECT_EQ(s.unmatched_replies, 0u);
    EXPECT_GT(s.dropped_bytes, 0u);
    ASSERT_EQ(script_->sessions().size(), 2u);
    EXPECT_EQ(script_->sessions()[1].images.size(), 2u);
    const ImageSession& session = script_->sessions()[0];
    EXPECT_EQ(session.images[0].offset_us, 100000u);
    EXPECT_EQ(session.images[2].offset_us, 300000u);
    EXPECT_EQ(session.loop_span_us, 300000u);
    EXPECT_EQ(*session.images[1].packet, image(1, 0xa1));
}

TEST_F(ReplayTest, AnswersRequestsAsRecorded) {
    start();
    struct Case {
        const char* what;
        uint8_t type;
        Bytes request;
        std::vector<Bytes> replies;  // expected payloads
    };
    const Bytes modeQuery = codeOnlyRequest(query(kCmdWorkMode));
    auto power = [](uint16_t value) { return u16Request(kCmdLaserPower, value); };
    const Case cases[] = {
        {"first answer", kPacketParam, modeQuery, {shortReply(query(kCmdWorkMode), 0, 0)}},
        {"second answer", kPacketParam, modeQuery, {shortReply(query(kCmdWorkMode), 1, 0)}},
        {"last one again", kPacketParam, modeQuery, {shortReply(query(kCmdWorkMode), 1, 0)}},
        {"reply recorded first", kPacketParam, power(50), {shortReply(kCmdLaserPower, 0, 50)}},
        {"unanswered write", kPacketRegister, registerPayload({5, 77, 2, 0}), {}},
        {"unrecorded setting refused", kPacketParam, power(60), {shortReply(kCmdLaserPower, -1, 0)}},
        {"unrecorded keep-alive", kPacketParam, keepAliveRequest(), {keepAliveReply()}},
        {"unrecorded register read", kPacketRegister, registerPayload({6, 0, 2, 1}), {}},
    };
    uint8_t id = 40;
    for (const Case& c : cases) {
        std::vector<WirePacket> got = ask(c.type, ++id, c.request);
        ASSERT_EQ(got.size(), c.replies.size()) << c.what;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].payload, c.replies[i]) << c.what;
            EXPECT_EQ(got[i].header.packet_id, id) << c.what;
        }
    }
    EXPECT_EQ(device_->stats().unknown_requests, 3u);
}

TEST_F(ReplayTest, SendsImagesAtTheRecordedPace) {
    struct Case {
        double speed;
        bool loop;
        uint64_t at_ms;  // after the start request
        size_t images;   // sent by then
    };
    // Images at 100, 200 and 300 ms; a loop pass lasts 300 ms.
    const Case cases[] = {{1, false, 99, 0}, {1, false, 100, 1}, {1, false, 300, 3},   {1, false, 900, 3},
                          {2, false, 50, 1}, {2, false, 149, 2}, {0.5, false, 399, 1}, {1, true, 399, 3},
                          {1, true, 400, 4}, {1, true, 699, 6},  {4, true, 175, 7}};
    for (const Case& c : cases) {
        ReplayOptions options;
        options.speed = c.speed;
        options.loop = c.loop;
        start(options);
        ask(kPacketParam, 7, workMode(1));
        clock_->advance(c.at_ms * 1000);
        size_t images = 0;
        for (const WirePacket& p : drain()) images += p.has_image ? 1 : 0;
        EXPECT_EQ(images, c.images) << "speed " << c.speed << " loop " << c.loop << " at " << c.at_ms
                                    << " ms";
        EXPECT_TRUE(ask(kPacketParam, 8, workMode(0)).size() == 1);
        clock_->advance(1000000);
        EXPECT_EQ(drain().size(), 0u) << "images after the stop";
    }
}

// A looped pass must look like a camera that keeps streaming: frame indices go on counting (across the
// wire's 8-bit wrap) and timestamps go on rising (across the 32-bit low word), the pixels stay as recorded.
TEST(ReplayLoop, LoopedPassesGoOnCountingFrameIndicesAndTimestamps) {
    const uint64_t first_stamp = 0xffff0000u;
    Conversation c;
    c.send(kPacketParam, 1, workMode(1));
    c.answer(kPacketParam, 1, shortReply(kCmdWorkMode, 0, 1));
    for (uint8_t i = 0; i < 2; ++i) {
        ImageHeader h;
        h.width = 4;
        h.height = 2;
        h.pixel_format = kPixMono8;
        h.frame_index = static_cast<uint8_t>(254 + i);
        h.extra_len = kTimestampExtraLen;
        const uint64_t stamp = first_stamp + i * 100000u;
        h.timestamp_low = static_cast<uint32_t>(stamp);
        uint8_t extra[kTimestampExtraLen];
        encodeTimestampExtra(stamp, extra);
        Bytes packet = encodeImagePrefix(9, h, extra, 8);
        packet.insert(packet.end(), 8, static_cast<uint8_t>(0xc0 + i));
        c.arrive(packet, 100 * kMs);
    }
    auto script = std::make_shared<ReplayScript>();
    std::string error;
    ASSERT_TRUE(ReplayScript::build(c.chunks, script.get(), &error)) << error;
    ASSERT_EQ(script->sessions().size(), 1u);
    const uint64_t span_us = script->sessions()[0].loop_span_us;
    auto clock = std::make_shared<ManualClock>();
    ReplayOptions options;
    options.loop = true;
    ReplayDevice device(script, options, clock);
    device.onConnect();
    const Bytes start = encodePacket(kPacketParam, 2, workMode(1));
    device.receive(start.data(), start.size());
    StreamDecoder decoder;
    std::vector<WirePacket> images;
    for (int step = 0; step < 200 && images.size() < 6; ++step) {
        clock->advance(10000);
        for (const WirePacket& p : drainDevice(device, decoder))
            if (p.has_image) images.push_back(p);
    }
    ASSERT_GE(images.size(), 6u);
    for (size_t k = 0; k < 6; ++k) {
        const WirePacket& p = images[k];
        ASSERT_EQ(p.extra.size(), kTimestampExtraLen);
        const uint64_t stamp = p.image.timestamp_low | static_cast<uint64_t>(getU32(p.extra.data())) << 32;
        EXPECT_EQ(p.image.frame_index, static_cast<uint8_t>(254 + k)) << "image " << k;
        EXPECT_EQ(stamp, first_stamp + (k % 2) * 100000u + (k / 2) * span_us) << "image " << k;
        EXPECT_EQ(p.payload, Bytes(8, static_cast<uint8_t>(0xc0 + k % 2))) << "image " << k;
    }
}

TEST(ReplayScript, ImagesReportedBeforeTheFirstStartRequestJoinItsSession) {
    Conversation c;
    c.arrive(image(0, 1));
    c.send(kPacketParam, 1, workMode(1));
    c.answer(kPacketParam, 1, shortReply(kCmdWorkMode, 0, 1));
    c.arrive(image(1, 2));
    ReplayScript script;
    std::string error;
    ASSERT_TRUE(ReplayScript::build(c.chunks, &script, &error)) << error;
    ASSERT_EQ(script.sessions().size(), 1u);
    EXPECT_EQ(script.sessions()[0].images.size(), 2u);
}

TEST(ReplayScript, RejectsStreamsWithoutAConversation) {
    const std::vector<std::vector<RecordedChunk>> inputs = {
        {},
        {{true, 1, Bytes(300, 0x55)}},
        {{false, 1, encodePacket(kPacketParam, 1, pingRequest())}},
    };
    for (const auto& chunks : inputs) {
        ReplayScript script;
        std::string error;
        EXPECT_FALSE(ReplayScript::build(chunks, &script, &error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
