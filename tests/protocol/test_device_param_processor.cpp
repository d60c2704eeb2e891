// Parameter commands: exact request bytes for every command, reply decoding (good, wrong code, wrong
// length, negative status, short), the wait rules, and reply handling under concurrent traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol_harness.h"

using orvane::DeviceInfo;
using orvane::DeviceParamProcessor;

namespace kvtest {
namespace {

constexpr uint8_t kId = 0x5a;

struct GoldenCase {
    const char* name;
    uint32_t code;        // command code the device sees
    std::string payload;  // request payload as hex
    std::string reply;    // reply payload as hex; empty: the command expects none
    std::function<int(DeviceParamProcessor&)> call;
    std::function<void()> check = nullptr;  // checks the decoded outputs
};

class ParamGolden : public ProtocolHarness {
  protected:
    // Sends the command with a known packet id (pumping: no receive thread) and checks the exact bytes.
    void RunCase(const GoldenCase& c) {
        SCOPED_TRACE(c.name);
        if (!c.reply.empty()) device.OnReply(c.code, Hex(c.reply));
        const size_t before = device.request_count();
        NextIdWillBe(kId);
        EXPECT_EQ(0, c.call(param));
        ASSERT_EQ(before + 1, device.request_count());
        const DeviceRequest request = device.requests().back();
        const Bytes payload = Hex(c.payload);
        EXPECT_EQ(RequestBlockHex(kId, static_cast<uint32_t>(payload.size())) + " " + c.payload,
                  ToHex(request.raw));
        if (c.check) c.check();
        EXPECT_EQ(-1, param.wait_packet_id.load());
        EXPECT_EQ(kId + 1, orvane::kPacketIdCounter.load());
    }
};

TEST_F(ParamGolden, EveryCommandSendsItsExactBytesAndDecodesItsReply) {
    int i1 = 0;
    bool b1 = false;
    int gains[3] = {0, 0, 0}, major = 0, minor = 0;
    orvane::CamIntrinsic intrinsic;
    const std::string intrinsic_hex =
        "06 00 00 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d "
        "1e 1f "
        "20 21 22 23 24 25 26 27 28 29 2a 2b 2c";
    const int rgb_gains[3] = {10, 20, 30};
    KV_TRIGGER_MODE trigger;
    trigger.mode = 1;
    trigger.param = 0x1234;
    // The device record: status word, hardware version, a 32-byte serial and a model name without a
    // terminator inside its 64 bytes.
    DeviceInfo info;
    Bytes serial(32, 0);
    std::memcpy(serial.data(), "KV0123456789", 12);
    const std::string info_hex =
        ToHex(Concat({Hex("01 00 00 00 ee ee ee ee 03 00 09 00"), serial, Bytes(64, 'M')}));

    const std::vector<GoldenCase> cases = {
        {"Ping", 0x00, "00 00 00 00", "00 00 00 00", [](auto& p) { return p.Ping(-1); }},
        {"GetFirmwareVersion", 0x00, "00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00",
         "00 00 00 00 02 00 00 00 07 00 00 00", [&](auto& p) { return p.GetFirmwareVersion(&major, &minor); },
         [&] { EXPECT_EQ(std::make_pair(2, 7), std::make_pair(major, minor)); }},
        {"SetLaserPow", 0x02, "02 00 00 00 c8 00 00 00", "", [](auto& p) { return p.SetLaserPow(200); }},
        {"GetLaserPow", 0x80000002, "02 00 00 80 00 00 00 00", "02 00 00 80 96 00 00 00",
         [&](auto& p) { return p.GetLaserPow(&i1); }, [&] { EXPECT_EQ(150, i1); }},
        {"ChangeDeviceMode", 0x03, "03 00 00 00 03 00 00 00", "03 00 00 00 00 00 00 00",
         [](auto& p) { return p.ChangeDeviceMode(3); }},
        {"GetDeviceMode", 0x80000003, "03 00 00 80 00 00 00 00", "03 00 00 80 06 00 00 00",
         [&](auto& p) { return p.GetDeviceMode(&i1); }, [&] { EXPECT_EQ(6, i1); }},
        {"QueryIntrinsic", 0x06, "06 00 00 00", intrinsic_hex,
         [&](auto& p) { return p.QueryIntrinsic(&intrinsic); },
         [&] { EXPECT_EQ(intrinsic_hex.substr(12), ToHex(Bytes(intrinsic.bytes, intrinsic.bytes + 44))); }},
        {"SetDepthResolution", 0x07, "07 00 00 00 02 00 00 00", "",
         [](auto& p) { return p.SetDepthResolution(2); }},
        {"GetDeviceDepthResolution", 0x80000007, "07 00 00 80 00 00 00 00", "07 00 00 80 01 00",
         [&](auto& p) { return p.GetDeviceDepthResolution(&i1); }, [&] { EXPECT_EQ(1, i1); }},
        {"SetUndistortIRStatus", 0x08, "08 00 00 00 00 01 00 00", "08 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetUndistortIRStatus(true); }},
        {"GetUndistortIRStatus", 0x08, "08 00 00 00 00 ff 00 00", "08 00 00 00 00 01 00 00",
         [&](auto& p) { return p.GetUndistortIRStatus(b1); }, [&] { EXPECT_TRUE(b1); }},
        {"SetCaptureTriggerMode", 0x09, "09 00 00 00 01 00 00 00", "09 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetCaptureTriggerMode(true); }},
        {"GetCaptureTriggerMode", 0x80000009, "09 00 00 80 00 00 00 00", "09 00 00 80 01 00 00 00",
         [&](auto& p) { return p.GetCaptureTriggerMode(&b1); }, [&] { EXPECT_TRUE(b1); }},
        {"TriggerOnce", 0x0A, "0a 00 00 00 00 00 00 00", "0a 00 00 00 00 00 00 00",
         [](auto& p) { return p.TriggerOnce(); }},
        {"SetCamGain", 0x0B, "0b 00 00 00 01 00 2c 01", "0b 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetCamGain(1, 300); }},
        {"GetCamGain", 0x8000000B, "0b 00 00 80 01 00 00 00", "0b 00 00 80 00 00 40 00",
         [&](auto& p) { return p.GetCamGain(1, &i1); }, [&] { EXPECT_EQ(64, i1); }},
        {"SetRgbGain", 0x0E, "0e 00 00 00 02 00 00 00 0a 00 00 00 14 00 00 00 1e 00 00 00",
         "0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         [&](auto& p) { return p.SetRgbGain(2, rgb_gains); }},
        {"GetRgbGain", 0x8000000B, "0b 00 00 80 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "0b 00 00 80 00 00 00 00 0b 00 00 00 16 00 00 00 21 00 00 00",
         [&](auto& p) { return p.GetRgbGain(2, gains); },
         [&] {
             EXPECT_EQ((std::vector<int>{11, 22, 33}), std::vector<int>(gains, gains + 3));
         }},
        {"SetRgbResolution", 0x0F, "0f 00 00 00 01 00 00 00", "",
         [](auto& p) { return p.SetRgbResolution(1); }},
        {"GetRgbResolution", 0x8000000F, "0f 00 00 80 00 00 00 00", "0f 00 00 80 03 00 00 00",
         [&](auto& p) { return p.GetRgbResolution(&i1); }, [&] { EXPECT_EQ(3, i1); }},
        {"SetRgbAutoExpo on", 0x10, "10 00 00 00 02 00 00 00 ff ff ff ff",
         "10 00 00 00 00 00 00 00 00 00 00 00", [](auto& p) { return p.SetRgbAutoExpo(2, true); }},
        {"SetRgbAutoExpo off", 0x10, "10 00 00 00 02 00 00 00 64 00 00 00",
         "10 00 00 00 00 00 00 00 00 00 00 00", [](auto& p) { return p.SetRgbAutoExpo(2, false); }},
        {"GetRgbAutoExpo", 0x80000010, "10 00 00 80 02 00 00 00 00 00 00 00",
         "10 00 00 80 00 00 00 00 ff ff ff ff", [&](auto& p) { return p.GetRgbAutoExpo(2, &b1); },
         [&] { EXPECT_TRUE(b1); }},
        {"SetRgbExpo", 0x10, "10 00 00 00 02 00 00 00 f4 01 00 00", "10 00 00 00 00 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetRgbExpo(2, 500); }},
        {"GetRgbExpo", 0x80000010, "10 00 00 80 02 00 00 00 00 00 00 00",
         "10 00 00 80 00 00 00 00 f4 01 00 00", [&](auto& p) { return p.GetRgbExpo(2, &i1); },
         [&] { EXPECT_EQ(500, i1); }},
        {"SetRgbAWB", 0x11, "11 00 00 00 02 00 00 00 01 00 00 00", "11 00 00 00 00 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetRgbAWB(2, true); }},
        {"GetRgbAWB", 0x80000011, "11 00 00 80 02 00 00 00 00 00 00 00",
         "11 00 00 80 00 00 00 00 01 00 00 00", [&](auto& p) { return p.GetRgbAWB(2, &b1); },
         [&] { EXPECT_TRUE(b1); }},
        {"SetBrightHistoStatus", 0x12, "12 00 00 00 00 01 00 00", "12 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetBrightHistoStatus(true); }},
        {"SetFramePerTrigger", 0x13, "13 00 00 00 05 00 00 00", "13 00 00 00 00 00 00 00",
         [](auto& p) { return p.SetFramePerTrigger(5); }},
        {"GetFramePerTrigger", 0x80000013, "13 00 00 80 00 00 00 00", "13 00 00 80 ff ff 00 00",
         [&](auto& p) { return p.GetFramePerTrigger(&i1); }, [&] { EXPECT_EQ(65535, i1); }},
        {"SetLaserAutoCtrl", 0x16, "16 00 00 00 01 00 00 00", "",
         [](auto& p) { return p.SetLaserAutoCtrl(true); }},
        {"GetLaserAutoCtrl", 0x80000016, "16 00 00 80 01 00 00 00", "16 00 00 80 01 00 00 00",
         [&](auto& p) { return p.GetLaserAutoCtrl(&b1); }, [&] { EXPECT_TRUE(b1); }},
        {"SetCaptureStructTriggerMode", 0x17, "17 00 00 00 01 00 34 00", "17 00 00 00 00 00 00 00",
         [&](auto& p) { return p.SetCaptureStructTriggerMode(trigger); }},
        {"QueryInfo", 0x01, "01 00 00 00", info_hex, [&](auto& p) { return p.QueryInfo(&info); },
         [&] {
             EXPECT_EQ("3.9",
                       std::to_string(info.hardware_major) + "." + std::to_string(info.hardware_minor));
             EXPECT_STREQ("KV0123456789", info.serial_number);
             EXPECT_EQ(std::string(64, 'M'), std::string(info.model_name, 64));
         }},
        {"enterDeveloperMode", 0xF2, "f2 00 00 00 00 00 00 00", "",
         [](auto& p) { return p.enterDeveloperMode(); }},
    };
    for (const GoldenCase& c : cases) {
        i1 = 0;
        b1 = false;
        RunCase(c);
    }
}

// ------------------------------------------------------------------------------------------- decoding

using ParamDecoding = ProtocolHarness;

TEST_F(ParamDecoding, QueriesWithCodeCheckRejectWrongCodeShortRepliesAndANullOutputPointer) {
    struct Query {
        const char* name;
        uint32_t code;
        std::function<int(DeviceParamProcessor&, int*)> call;
    };
    const std::vector<Query> queries = {
        {"GetLaserPow", 0x80000002, [](DeviceParamProcessor& p, int* v) { return p.GetLaserPow(v); }},
        {"GetDeviceMode", 0x80000003, [](DeviceParamProcessor& p, int* v) { return p.GetDeviceMode(v); }},
        {"GetDeviceDepthResolution", 0x80000007,
         [](DeviceParamProcessor& p, int* v) { return p.GetDeviceDepthResolution(v); }},
        {"GetRgbResolution", 0x8000000F,
         [](DeviceParamProcessor& p, int* v) { return p.GetRgbResolution(v); }},
        {"GetLaserAutoCtrl", 0x80000016,
         [](DeviceParamProcessor& p, int* v) {
             bool on = false;
             const int r = p.GetLaserAutoCtrl(v ? &on : nullptr);
             if (r == 0) *v = on;
             return r;
         }},
    };
    for (const Query& q : queries) {
        SCOPED_TRACE(q.name);
        const uint32_t number = q.code & 0x7fffffff;
        int value = -77;
        // The code is compared with the query bit cleared, so both forms pass; a longer reply is fine.
        device.OnReply(q.code, Concat({Le32(number), Hex("01 00 99 99 99")}));
        EXPECT_EQ(0, q.call(param, &value));
        EXPECT_EQ(1, value);
        // Another command's code.
        device.OnReply(q.code, Concat({Le32(number + 1), Hex("01 00 00 00")}));
        EXPECT_EQ(1, q.call(param, &value));
        // Five bytes: a 6-byte read would run past the reply.
        value = -77;
        device.OnReply(q.code, Concat({Le32(q.code), Hex("01")}));
        EXPECT_EQ(1, q.call(param, &value));
        EXPECT_EQ(-77, value);
        device.OnReply(q.code, Hex("02"));
        EXPECT_EQ(1, q.call(param, &value));
        // No output: refused without sending.
        const size_t sent = device.request_count();
        EXPECT_EQ(4, q.call(param, nullptr));
        EXPECT_EQ(sent, device.request_count());
    }
    EXPECT_EQ(4, param.GetCaptureTriggerMode(nullptr));
    EXPECT_EQ(4, param.GetFramePerTrigger(nullptr));
    EXPECT_EQ(20u, device.request_count());  // four per query above, none for these
}

TEST_F(ParamDecoding, LengthCheckedRepliesOfOtherLengthsAreBadReplies) {
    int value = 0;
    bool on = false;
    int gains[3];
    device.OnReply(0x09, Hex("09 00 00 00 00 00 00"));  // 7 bytes
    EXPECT_EQ(1, param.SetCaptureTriggerMode(true));
    device.OnReply(0x80000009, Hex("09 00 00 80 01 00 00 00 00"));  // 9 bytes
    EXPECT_EQ(1, param.GetCaptureTriggerMode(&on));
    device.OnReply(0x80000009, Hex("0a 00 00 80 01 00 00 00"));  // right length, wrong code
    EXPECT_EQ(1, param.GetCaptureTriggerMode(&on));
    device.OnReply(0x0A, Hex("0a 00 00 00"));
    EXPECT_EQ(1, param.TriggerOnce());
    device.OnReply(0x8000000B, Hex("0b 00 00 80 00 00 40 00 00"));
    EXPECT_EQ(1, param.GetCamGain(1, &value));
    device.OnReply(0x8000000B, Hex("0b 00 00 80 00 00 00 00 01 00 00 00 02 00 00 00 03 00 00"));
    EXPECT_EQ(1, param.GetRgbGain(2, gains));
    device.OnReply(0x80000010, Hex("10 00 00 80 00 00 00 00 ff ff ff"));
    EXPECT_EQ(1, param.GetRgbExpo(2, &value));
    device.OnReply(0x80000013, Hex("14 00 00 80 01 00 00 00"));
    EXPECT_EQ(1, param.GetFramePerTrigger(&value));
    device.OnReply(0x06, Hex("06 00 00 00"));
    orvane::CamIntrinsic intrinsic;
    EXPECT_EQ(1, param.QueryIntrinsic(&intrinsic));
    DeviceInfo info;
    device.OnReply(0x01, Concat({Hex("01 00 00 00"), Bytes(103, 0)}));
    EXPECT_EQ(1, param.QueryInfo(&info));
    device.OnReply(0x01, Concat({Hex("01 00 00 80"), Bytes(104, 0)}));  // exact word required
    EXPECT_EQ(1, param.QueryInfo(&info));
}

TEST_F(ParamDecoding, NegativeStatusMeansTheDeviceRefused) {
    int value = 5;
    int gains[3] = {1, 2, 3};
    bool on = false;
    device.OnReply(0x0B, Hex("0b 00 00 00 ff ff 00 00"));
    EXPECT_EQ(4, param.SetCamGain(0, 1));
    device.OnReply(0x8000000B, Hex("0b 00 00 80 fe ff 40 00"));
    EXPECT_EQ(4, param.GetCamGain(0, &value));
    EXPECT_EQ(5, value);
    device.OnReply(0x0E, Concat({Hex("0e 00 00 00 ff ff ff ff"), Bytes(12, 0)}));
    EXPECT_EQ(4, param.SetRgbGain(2, gains));
    device.OnReply(0x80000010, Hex("10 00 00 80 00 00 00 80 ff ff ff ff"));
    EXPECT_EQ(4, param.GetRgbAutoExpo(2, &on));
    device.OnReply(0x11, Hex("11 00 00 00 ff ff ff ff 00 00 00 00"));
    EXPECT_EQ(4, param.SetRgbAWB(2, true));
    // Status 0x7fff / 0x7fffffff are not negative.
    device.OnReply(0x0B, Hex("0b 00 00 00 ff 7f 00 00"));
    EXPECT_EQ(0, param.SetCamGain(0, 1));
}

TEST_F(ParamDecoding, RepliesPeculiarToSingleCommands) {
    int major = 0, minor = 0;
    device.OnReply(0x00, Hex("00 00 00 80 02 00 00 00 07 00 00 00"));
    EXPECT_EQ(5, param.GetFirmwareVersion(&major, &minor));  // first word must be exactly 0
    device.OnReply(0x00, Hex("00 00 00 00 02 00 00 00"));
    EXPECT_EQ(1, param.GetFirmwareVersion(&major, &minor));  // too short for the minor number

    bool enabled = true;
    device.OnReply(0x08, Hex("08 00 00 80 00 01 00 00"));
    EXPECT_EQ(4, param.GetUndistortIRStatus(enabled));
    device.OnReply(0x08, Hex("08 00 00 00 01 01 00 00"));
    EXPECT_EQ(4, param.GetUndistortIRStatus(enabled));
    device.OnReply(0x08, Hex("08 00 00 00 00 02 00 00"));
    EXPECT_EQ(0, param.GetUndistortIRStatus(enabled));
    EXPECT_FALSE(enabled);  // only the value 1 means enabled

    bool automatic = true;
    device.OnReply(0x80000010, Hex("10 00 00 80 00 00 00 00 64 00 00 00"));
    EXPECT_EQ(0, param.GetRgbAutoExpo(2, &automatic));
    EXPECT_FALSE(automatic);
}

TEST_F(ParamDecoding, ReplyWhosePayloadDidNotArriveWholeDecodesAsBadReply) {
    // The parser reports a payload that failed part-way with status -1; its bytes are not a reply.
    device.OnReply(0x80000003, Hex("03 00 00 80 06 00 00 00"));
    int mode = 0;
    ASSERT_EQ(0, param.GetDeviceMode(&mode));
    orvane::DataPacketHeader header;
    header.version = 4;
    header.length = 8;
    char* buffer = nullptr;
    int size = 0;
    ASSERT_TRUE(param.AcceptPacket(&header, nullptr, &buffer, &size));
    ASSERT_EQ(8, size);
    std::memcpy(buffer, "\x03\x00\x00\x80\x07\x00\x00\x00", 8);
    orvane::PacketData data;
    data.data = buffer;
    data.status = -1;
    param.ProcessPacketOverride(&header, data);
    EXPECT_TRUE(param.reply_buffer().empty());
    EXPECT_EQ(8, param.reply_length());
}

// A reply with a foreign packet id never answers a wait: ControllerTest.OnlyTheArmedPacketIdAnswersTheWait.
TEST_F(ParamDecoding, MissingReplyTimesOutWithResultTwo) {
    param.timeout_ms = 30;
    device.Silence(0x80000003);
    int mode = -5;
    EXPECT_EQ(2, param.GetDeviceMode(&mode));
    EXPECT_EQ(-5, mode);
    EXPECT_EQ(-1, param.wait_packet_id.load());
    device.Silence(0x00);
    EXPECT_EQ(2, param.Ping(20));
}

TEST_F(ParamDecoding, SendFailureReturnsItsResultWithoutWaiting) {
    param.timeout_ms = 0;  // a wait would never end
    device.stream().FailSends(-1, 1);
    int mode = 0;
    EXPECT_EQ(1, param.GetDeviceMode(&mode));
    EXPECT_EQ(-1, param.wait_packet_id.load());
    device.stream().FailSends(0, 1);  // a stream that accepts nothing
    EXPECT_EQ(1, param.SetLaserPow(3));
    EXPECT_EQ(0u, device.request_count());
}

TEST_F(ParamDecoding, PingWithoutLimitWaitsForALateReply) {
    param.timeout_ms = 10;
    device.OnReply(0x00, Hex("00 00 00 00"), 60);
    EXPECT_EQ(0, param.Ping(0));   // 0: no limit, although timeout_ms is only 10
    EXPECT_EQ(2, param.Ping(-1));  // -1: timeout_ms
}

TEST_F(ParamDecoding, StrayRepliesDuringCommandsNeverCorruptTheDecodedValue) {
    // Unrelated type-0 packets of all sizes keep arriving while commands run on another thread. Each
    // command must decode its own reply: neither a stray packet resizing the reply buffer during the
    // decode, nor one processed in the moment between disarming and reading the reply may replace it.
    StartThread();
    device.On(0x8000000B, [](const DeviceRequest& r) {
        DeviceReply reply;
        reply.payload = Hex("0b 00 00 80 00 00");
        AppendLe16(&reply.payload, r.payload[4]);  // echo the camid as the gain
        return std::vector<DeviceReply>{reply};
    });
    param.timeout_ms = 10000;
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        // Odd packet ids: the commands below only use even ones, so no stray packet is the awaited reply.
        for (int n = 0; !stop.load(); ++n) {
            const size_t size = 1 + static_cast<size_t>(n * 37) % 400;
            device.Push(0, static_cast<uint8_t>(2 * n + 1), Bytes(size, static_cast<uint8_t>(n)));
            while (!stop.load() && device.stream().inbound().queued_bytes() > 8000) std::this_thread::yield();
        }
    });
    bool decoded = true;
    for (int i = 0; i < 100 && decoded; ++i) {
        int gain = -1;
        NextIdWillBe(static_cast<uint8_t>(2 * i));
        const int result = param.GetCamGain(i, &gain);
        EXPECT_EQ(std::make_pair(0, i), std::make_pair(result, gain));
        decoded = result == 0 && gain == i;
    }
    stop = true;
    noise.join();
}

}  // namespace
}  // namespace kvtest
