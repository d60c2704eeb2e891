// The simulated camera driven by hand: replies to every command, refusals, configuration memory,
// registers, streaming and pacing, trigger mode, scenes and the fault seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sim/device/descriptor.h"
#include "sim/device/scene.h"
#include "sim/device/sim_device.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::DeviceHarness;
using test::hex;
using test::replyI16;
using test::replyI32;

TEST(SimDeviceCommands, PingVersionAndInfoReportTheConfiguredIdentity) {
    DeviceHarness plain;  // ping and version share code 0 and differ by payload
    EXPECT_EQ(plain.request(pingRequest()).payload, hex("00 00 00 00 00 00 00 00"));
    EXPECT_EQ(plain.request(firmwareVersionRequest()).payload,
              hex("00 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00"));

    DeviceConfig c;
    c.identity.serial = "ABCDEF123456";
    c.identity.model = "Model X";
    c.identity.hw_major = 3;
    c.identity.hw_minor = 7;
    c.identity.fw_major = 1;
    c.identity.fw_minor = 9;
    c.identity.fw_patch = 4;
    DeviceHarness h(c);
    WirePacket r = h.request(codeOnlyRequest(kCmdDeviceInfo));
    ASSERT_EQ(r.payload.size(), 108u);
    std::optional<DeviceInfoRecord> info = decodeDeviceInfoReply(r.payload);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->serial, "ABCDEF123456");
    EXPECT_EQ(info->model, "Model X");
    EXPECT_EQ(info->hw_major, 3);
    EXPECT_EQ(info->hw_minor, 7);
    EXPECT_EQ(h.request(firmwareVersionRequest()).payload,
              hex("00 00 00 00 01 00 00 00 09 00 00 00 04 00 00 00"));
}

TEST(SimDeviceCommands, RepliesCarryTheRequestPacketId) {
    DeviceHarness h;
    for (uint8_t id : {0, 1, 200, 255}) {
        std::vector<WirePacket> r = h.send(pingRequest(), id);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].header.packet_id, id);
        EXPECT_EQ(r[0].header.type, kPacketParam);
        EXPECT_EQ(r[0].header.version, 4);
    }
}

TEST(SimDeviceCommands, EveryShortSettingReadsBackWhatWasSet) {
    struct Case {
        uint32_t code;
        uint16_t value;
    };
    const Case cases[] = {{kCmdLaserPower, 42},   {kCmdWorkMode, 0},    {kCmdDepthResolution, 3},
                          {kCmdRgbResolution, 1}, {kCmdTriggerMode, 1}, {kCmdFramesPerTrigger, 7},
                          {kCmdLaserAuto, 1}};
    DeviceHarness h;
    for (const Case& c : cases) {
        WirePacket set = h.request(u16Request(c.code, c.value));
        ASSERT_EQ(set.payload.size(), 8u) << commandName(c.code);
        EXPECT_EQ(getU32(set.payload.data()), c.code);
        EXPECT_EQ(replyI16(set, 4), 0) << commandName(c.code);
        EXPECT_EQ(replyI16(set, 6), c.value) << commandName(c.code);
        WirePacket get = h.request(u16Request(query(c.code), c.code == kCmdLaserAuto ? 1 : 0));
        ASSERT_EQ(get.payload.size(), 8u);
        EXPECT_EQ(getU32(get.payload.data()), query(c.code));
        EXPECT_EQ(replyI16(get, 4), c.value) << commandName(c.code);
    }
    DeviceSettings s = h.device.settings();
    EXPECT_EQ(s.laser_power, 42);
    EXPECT_EQ(s.depth_mode, 3);
    EXPECT_EQ(s.color_mode, 1);
    EXPECT_TRUE(s.trigger_mode);
    EXPECT_EQ(s.frames_per_trigger, 7);
    EXPECT_TRUE(s.laser_auto);
}

TEST(SimDeviceCommands, InfraredGainsPerSensorWithAutomaticAsMinusOne) {
    DeviceHarness h;
    WirePacket set = h.request(camGainRequest(kCmdCamGain, 0, 33));
    EXPECT_EQ(set.payload, hex("0b 00 00 00 00 00 21 00"));
    set = h.request(camGainRequest(kCmdCamGain, 1, 0xffff));
    EXPECT_EQ(replyI16(set, 4), 0);
    EXPECT_EQ(h.request(camGainRequest(query(kCmdCamGain), 0, 0)).payload, hex("0b 00 00 80 00 00 21 00"));
    EXPECT_EQ(h.request(camGainRequest(query(kCmdCamGain), 1, 0)).payload, hex("0b 00 00 80 00 00 ff ff"));
}

TEST(SimDeviceCommands, ReportsFailureForValuesOutOfRangeAndKeepsTheOldValue) {
    DeviceHarness h;
    WirePacket r = h.request(camGainRequest(kCmdCamGain, 0, kIrGainMax + 1));
    EXPECT_EQ(replyI16(r, 4), -1);
    EXPECT_EQ(replyI16(r, 6), 16);
    EXPECT_EQ(replyI16(h.request(camGainRequest(kCmdCamGain, 2, 5)), 4), -1);  // colour uses the RGB form
    EXPECT_EQ(replyI16(h.request(camGainRequest(query(kCmdCamGain), 5, 0)), 4), -1);
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdLaserPower, 101)), 4), -1);
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdDepthResolution, 5)), 4), -1);
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdRgbResolution, 0)), 4), -1);
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdFramesPerTrigger, 0)), 4), -1);
    EXPECT_EQ(replyI16(h.request(u16Request(kCmdWorkMode, 0x10)), 4), -1);
    const int32_t bad_gains[3] = {1, 256, 3};
    EXPECT_EQ(replyI32(h.request(rgbGainSetRequest(2, bad_gains)), 4), -1);
    const int32_t good_gains[3] = {1, 2, 3};
    EXPECT_EQ(replyI32(h.request(rgbGainSetRequest(1, good_gains)), 4), -1);  // not the colour sensor
    EXPECT_EQ(replyI32(h.request(camValueRequest(kCmdRgbExposure, 2, 0)), 4), -1);
    EXPECT_EQ(replyI32(h.request(camValueRequest(kCmdRgbExposure, 2, kExposureMax + 1)), 4), -1);
    EXPECT_EQ(replyI32(h.request(camValueRequest(kCmdRgbAwb, 2, 2)), 4), -1);
    EXPECT_EQ(h.request(switchRequest(kCmdUndistort, 2)).payload, hex("08 00 00 00 01 00 00 00"));

    DeviceSettings s = h.device.settings();
    DeviceSettings d;
    EXPECT_EQ(s.ir_gain[0], d.ir_gain[0]);
    EXPECT_EQ(s.laser_power, d.laser_power);
    EXPECT_EQ(s.depth_mode, d.depth_mode);
    EXPECT_EQ(s.color_mode, d.color_mode);
    EXPECT_EQ(s.frames_per_trigger, d.frames_per_trigger);
    EXPECT_EQ(s.work_mode, 0);
    EXPECT_EQ(s.rgb_gain[1], d.rgb_gain[1]);
    EXPECT_EQ(s.exposure, d.exposure);
    EXPECT_EQ(s.awb, d.awb);
}

TEST(SimDeviceCommands, ColourGainsSetWithTheirOwnCodeAndReadWithTheSharedGainQuery) {
    DeviceHarness h;
    const int32_t gains[3] = {10, 200, 255};
    EXPECT_EQ(h.request(rgbGainSetRequest(2, gains)).payload,
              hex("0e 00 00 00 00 00 00 00 0a 00 00 00 c8 00 00 00 ff 00 00 00"));
    EXPECT_EQ(h.request(rgbGainQueryRequest(2)).payload,
              hex("0b 00 00 80 00 00 00 00 0a 00 00 00 c8 00 00 00 ff 00 00 00"));
    EXPECT_EQ(replyI32(h.request(rgbGainQueryRequest(0)), 4), -1);
}

TEST(SimDeviceCommands, ExposureMinusOneIsAutomaticAndAFixedValueReadsBack) {
    DeviceHarness h;
    EXPECT_EQ(h.request(camValueRequest(query(kCmdRgbExposure), 2, 0)).payload,
              hex("10 00 00 80 00 00 00 00 ff ff ff ff"));  // automatic at power-on
    EXPECT_EQ(h.request(camValueRequest(kCmdRgbExposure, 2, 100)).payload,
              hex("10 00 00 00 00 00 00 00 64 00 00 00"));
    EXPECT_EQ(replyI32(h.request(camValueRequest(query(kCmdRgbExposure), 2, 0)), 8), 100);
    EXPECT_EQ(replyI32(h.request(camValueRequest(kCmdRgbExposure, 2, -1)), 4), 0);
    EXPECT_EQ(replyI32(h.request(camValueRequest(query(kCmdRgbExposure), 2, 0)), 8), -1);

    EXPECT_EQ(h.request(camValueRequest(kCmdRgbAwb, 2, 0)).payload,
              hex("11 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(replyI32(h.request(camValueRequest(query(kCmdRgbAwb), 2, 0)), 8), 0);
}

TEST(SimDeviceCommands, UndistortAndHistogramSwitchesAnswerTheirQueryForm) {
    DeviceHarness h;
    EXPECT_EQ(h.request(switchRequest(kCmdUndistort, kSwitchQuery)).payload, hex("08 00 00 00 00 00 00 00"));
    EXPECT_EQ(h.request(switchRequest(kCmdUndistort, 1)).payload, hex("08 00 00 00 00 01 00 00"));
    // The host accepts only the plain code 8 here, so the reply must not carry the query bit.
    EXPECT_EQ(h.request(switchRequest(kCmdUndistort, kSwitchQuery)).payload, hex("08 00 00 00 00 01 00 00"));
    EXPECT_EQ(h.request(switchRequest(kCmdHistogram, 1)).payload, hex("12 00 00 00 00 01 00 00"));
    EXPECT_EQ(h.request(switchRequest(kCmdHistogram, kSwitchQuery)).payload, hex("12 00 00 00 00 01 00 00"));
    EXPECT_TRUE(h.device.settings().undistort);
    EXPECT_TRUE(h.device.settings().histogram);
}

TEST(SimDeviceCommands, TriggerModeRecordSetsModeAndParameter) {
    DeviceHarness h;
    EXPECT_EQ(h.request(structTriggerRequest(2, 0x34)).payload, hex("17 00 00 00 00 00 02 00"));
    EXPECT_EQ(h.request(u16Request(query(kCmdStructTrigger), 0)).payload, hex("17 00 00 80 02 00 34 00"));
    EXPECT_EQ(h.request(u16Request(query(kCmdTriggerMode), 0)).payload, hex("09 00 00 80 01 00 00 00"));
    h.request(structTriggerRequest(0, 0));
    EXPECT_FALSE(h.device.settings().trigger_mode);
}

TEST(SimDeviceCommands, KeepAliveIntrinsicAndDeveloperMode) {
    DeviceHarness h;
    std::vector<WirePacket> r = h.send(keepAliveRequest(), 77);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].header.packet_id, 77);
    EXPECT_EQ(r[0].payload, hex("e0 00 00 00 00 00 00 00"));

    WirePacket k = h.request(codeOnlyRequest(kCmdIntrinsic));
    ASSERT_EQ(k.payload.size(), 48u);
    ByteReader rd(k.payload);
    EXPECT_EQ(rd.u32(), kCmdIntrinsic);
    EXPECT_FLOAT_EQ(rd.f32(), 1100.0f);  // fx at the 1280x960 reference size
    rd.skip(4 * 8);
    EXPECT_EQ(rd.u16(), 1280);
    EXPECT_EQ(rd.u16(), 960);

    EXPECT_EQ(h.request(u16Request(kCmdDeveloperMode, 0)).payload, hex("f2 00 00 00 00 00 01 00"));
    EXPECT_TRUE(h.device.settings().developer_mode);
}

TEST(SimDeviceCommands, IgnoresUnknownAndTruncatedCommandsLikeARealDevice) {
    DeviceHarness h;
    EXPECT_TRUE(h.send(codeOnlyRequest(0x55), 1).empty());
    EXPECT_TRUE(h.send(codeOnlyRequest(query(kCmdSaveToFlash)), 2).empty());
    EXPECT_TRUE(h.send(hex("02 00 00 00 05"), 3).empty());  // laser power without its value
    EXPECT_TRUE(h.send(hex("00 00"), 4).empty());           // not even a command code
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

TEST(SimDeviceCommands, LogsOneLinePerCommand) {
    DeviceHarness h;
    std::vector<std::string> lines;
    h.device.setCommandLog([&](const std::string& l) { lines.push_back(l); });
    h.request(u16Request(query(kCmdDepthResolution), 0));
    h.sendRaw(encodeRegisterPacket(RegisterAccess{0x10, 0, 0, 1}));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("KVSIM0000001 <- depth resolution? (id 1, 8 bytes)"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("register read cam 0 reg 0x10"), std::string::npos) << lines[1];
}

TEST(SimDeviceRegisters, ReadsWritesAndKeepsAFilePerSensor) {
    DeviceHarness h;
    std::vector<WirePacket> r =
        h.sendRaw(encodeRegisterPacket(RegisterAccess{SimDevice::kChipIdRegister, 0, 2, 1}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].header.type, kPacketRegister);
    EXPECT_EQ(r[0].header.packet_id, 0);
    EXPECT_EQ(r[0].payload, hex("00 00 00 00 32 2b 00 00 02 01"));

    // A write is not echoed: an echo could end the wait of a read sent right after it.
    EXPECT_TRUE(h.sendRaw(encodeRegisterPacket(RegisterAccess{0x3012, 0xdeadbeef, 1, 0})).empty());
    r = h.sendRaw(encodeRegisterPacket(RegisterAccess{0x3012, 0, 1, 1}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].payload, hex("12 30 00 00 ef be ad de 01 01"));
    r = h.sendRaw(encodeRegisterPacket(RegisterAccess{0x3012, 0, 0, 1}));  // other sensor: untouched
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(getU32(r[0].payload.data() + 4), 0u);
    EXPECT_EQ(h.device.readRegister(1, 0x3012), 0xdeadbeefu);

    EXPECT_TRUE(h.sendRaw(encodeRegisterPacket(RegisterAccess{0x10, 0, 3, 1})).empty());  // no such sensor
    EXPECT_TRUE(h.send(hex("10 00 00 00 00 00 00 00 00 01 00"), 0, kPacketRegister).empty());  // 11 bytes
}

TEST(SimDeviceConfig, StoresSegmentsAndRefusesBadChecksumOrOffset) {
    DeviceHarness h;
    Bytes data(256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    std::optional<SegmentAck> ack =
        decodeSegmentAck(h.request(configSegmentRequest(512, data.data(), 256)).payload);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, 0u);
    EXPECT_EQ(ack->index, 2u);

    Bytes corrupt = configSegmentRequest(768, data.data(), 256);
    corrupt[20] ^= 0xff;
    ack = decodeSegmentAck(h.request(corrupt).payload);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, 1u);
    EXPECT_EQ(ack->index, 3u);

    ack = decodeSegmentAck(h.request(configSegmentRequest(100, data.data(), 256)).payload);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, 2u);
    ack = decodeSegmentAck(h.request(configSegmentRequest(kDefaultConfigMemory, data.data(), 256)).payload);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, 2u);

    Bytes memory = h.device.configMemory();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + 512));
    EXPECT_TRUE(std::all_of(memory.begin() + 768, memory.begin() + 1024, [](uint8_t b) { return b == 0; }));
}

TEST(SimDeviceConfig, FlashSaveCopiesMemoryAndChecksWhenAsked) {
    DeviceHarness h;
    Bytes data(256, 0x11);
    h.request(configSegmentRequest(0, data.data(), 256));

    uint8_t param[20] = {};
    putU32(param, 256);    // length
    putU32(param + 4, 1);  // verify
    putU32(param + 8, 1);  // wrong checksum
    WirePacket r = h.request(flashSaveRequest(param));
    ASSERT_EQ(r.payload.size(), 40u);
    EXPECT_EQ(getU32(r.payload.data() + 4), 1u);
    EXPECT_EQ(h.device.flashSaves(), 0u);

    putU32(param + 8, segmentChecksum(data.data(), 256));
    r = h.request(flashSaveRequest(param));
    EXPECT_EQ(Bytes(r.payload.begin(), r.payload.begin() + 8), hex("05 00 00 00 00 00 00 00"));
    EXPECT_EQ(h.device.flashSaves(), 1u);
    EXPECT_EQ(h.device.flashImage(), data);

    uint8_t too_long[20] = {};
    putU32(too_long, kDefaultConfigMemory + 1);
    EXPECT_EQ(getU32(h.request(flashSaveRequest(too_long)).payload.data() + 4), 2u);

    uint8_t whole[20] = {};  // length 0: everything, no check
    EXPECT_EQ(getU32(h.request(flashSaveRequest(whole)).payload.data() + 4), 0u);
    EXPECT_EQ(h.device.flashImage().size(), kDefaultConfigMemory);
}

TEST(SimDeviceTexts, DescriptorReplyChecksumMatchesAndFollowsTheDepthMode) {
    DeviceHarness h;
    std::optional<DescriptorReply> d = decodeDescriptorReply(h.request(descriptorRequest()).payload);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->checksum_ok);
    EXPECT_NE(
        d->text.find("<feature id=\"0x1104\" name=\"image width\" rw=\"1\" hide=\"0\" volatile=\"0\">640<"),
        std::string::npos);
    EXPECT_LE(d->text.size(), kMaxDescriptorLength);

    h.request(u16Request(kCmdDepthResolution, 3));
    d = decodeDescriptorReply(h.request(descriptorRequest()).payload);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->checksum_ok);
    EXPECT_NE(d->text.find("name=\"image width\" rw=\"1\" hide=\"0\" volatile=\"0\">1280<"),
              std::string::npos);
    EXPECT_EQ(d->text, h.device.descriptorText());
}

TEST(SimDeviceTexts, ServesADescriptorLoadedFromAFileAndAFirmwareXmlNamingTheBuild) {
    DeviceConfig c;
    c.descriptor_file_text = "<config version=\"1\"><comprotocol>1.0</comprotocol></config>";
    DeviceHarness h(c);
    std::optional<DescriptorReply> d = decodeDescriptorReply(h.request(descriptorRequest()).payload);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, c.descriptor_file_text);
    EXPECT_TRUE(d->checksum_ok);

    WirePacket r = h.request(firmwareXmlRequest());
    EXPECT_EQ(getU32(r.payload.data()), query(kCmdFirmwareXml));
    std::optional<std::string> xml = decodeFirmwareXmlReply(r.payload);
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<build><hash>kvsim-2.3.0</hash></build>"), std::string::npos);
}

// ---- streaming
// ----------------------------------------------------------------------------------------------

struct Frame {
    std::vector<WirePacket> images;
    const WirePacket* byCam(uint8_t cam) const {
        for (const WirePacket& p : images)
            if (p.image.cam_id == cam) return &p;
        return nullptr;
    }
};

std::vector<Frame> framesOf(const std::vector<WirePacket>& packets) {
    std::vector<Frame> frames;
    for (const WirePacket& p : packets) {
        if (!p.has_image) continue;
        if (frames.empty() || frames.back().images.back().image.frame_index != p.image.frame_index)
            frames.emplace_back();
        frames.back().images.push_back(p);
    }
    return frames;
}

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

TEST(SimDeviceStreaming, ImagesCarryThePatternAndAPerFrameStamp) {
    DeviceHarness h;
    h.request(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared | kWorkColor));
    std::vector<Frame> frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    const WirePacket* depth = frames[0].byCam(kCamDepth);
    const WirePacket* left = frames[0].byCam(kCamLeftIr);
    const WirePacket* right = frames[0].byCam(kCamRightIr);
    const WirePacket* color = frames[0].byCam(kCamColor);
    ASSERT_TRUE(depth && left && right && color);
    // 640x480: depth 600 at the top left, 2000 at the bottom right.
    EXPECT_EQ(getU16(depth->payload.data() + (479 * 640 + 639) * 2), 2000);
    EXPECT_EQ(getU16(depth->payload.data() + (0 * 640 + 100) * 2), 600 + 1400 * 100 / 1118);
    EXPECT_EQ(left->payload[640 + 10], 64);       // x 10: first checkerboard block
    EXPECT_EQ(right->payload[640 + 10], 192);     // seen 8 pixels further right: second block
    EXPECT_EQ(left->payload[640 * 2 + 24], 255);  // a dot: 7 * 24 + 13 * 2 = 194 = 2 * 97
    EXPECT_EQ(color->payload[(479 * 640 + 639) * 3 + 0], 255);
    EXPECT_EQ(color->payload[(479 * 640 + 639) * 3 + 1], 255);
    // First 8 bytes: sequence number and low timestamp.
    EXPECT_EQ(getU32(depth->payload.data()), 1u);
    EXPECT_EQ(getU32(color->payload.data() + 4), depth->image.timestamp_low);

    h.advance(40000);
    frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(getU32(frames[0].byCam(kCamDepth)->payload.data()), 2u);
}

TEST(SimDeviceStreaming, FramesArriveAtTheFrameRateWithRisingIndexAndTimestamp) {
    DeviceConfig c;
    c.fps = 25;  // 40 ms
    DeviceHarness h(c);
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    EXPECT_EQ(framesOf(h.drain()).size(), 1u);  // the first frame is sent at once
    h.advance(39000);
    EXPECT_TRUE(framesOf(h.drain()).empty());
    h.advance(1000);
    std::vector<Frame> frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].images[0].image.frame_index, 2);
    h.advance(40000);
    std::vector<Frame> next = framesOf(h.drain());
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].images[0].image.frame_index, 3);
    EXPECT_EQ(timestampOf(next[0].images[0]) - timestampOf(frames[0].images[0]), 40000u);
}

TEST(SimDeviceStreaming, TimestampHighPartTravelsInTheExtraBytes) {
    DeviceConfig c;
    c.timestamp_origin_us = 0xFFFFFFFFull - 10000;  // crosses 2^32 within the first frame period
    DeviceHarness h(c);
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    std::vector<Frame> first = framesOf(h.drain());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].images[0].extra, hex("00 00 00 00"));
    h.advance(40000);
    std::vector<Frame> second = framesOf(h.drain());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].images[0].extra, hex("01 00 00 00"));
    EXPECT_GT(timestampOf(second[0].images[0]), timestampOf(first[0].images[0]));
}

TEST(SimDeviceStreaming, FrameIndexWrapsAfter255) {
    DeviceConfig c;
    c.fps = 1000;
    DeviceHarness h(c);
    h.request(u16Request(kCmdWorkMode, kWorkAux));
    std::vector<uint8_t> indices;
    for (int i = 0; i < 300; ++i) {
        for (const Frame& f : framesOf(h.drain())) indices.push_back(f.images[0].image.frame_index);
        h.advance(1000);
    }
    ASSERT_GE(indices.size(), 257u);
    EXPECT_EQ(indices[0], 1);
    EXPECT_EQ(indices[254], 255);
    EXPECT_EQ(indices[255], 0);
    EXPECT_EQ(indices[256], 1);
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

TEST(SimDeviceStreaming, StoppingDropsFramesNotYetStartedAndDisconnectStops) {
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
    h.drain();
    h.device.onDisconnect();
    EXPECT_EQ(h.device.settings().work_mode, 0);
    EXPECT_EQ(h.device.pendingOutputBytes(), 0u);
    h.device.onConnect();
    h.advance(100000);
    EXPECT_TRUE(h.drain().empty());
}

TEST(SimDeviceStreaming, AuxiliaryRecordDescribesTheFrame) {
    DeviceHarness h;
    h.request(u16Request(kCmdLaserPower, 55));
    h.request(u16Request(kCmdWorkMode, kWorkAux));
    std::vector<Frame> frames = framesOf(h.drain());
    ASSERT_EQ(frames.size(), 1u);
    const WirePacket& aux = frames[0].images[0];
    ASSERT_EQ(aux.payload.size(), kAuxDataSize);
    EXPECT_EQ(Bytes(aux.payload.begin(), aux.payload.begin() + 4), hex("4b 56 41 58"));
    EXPECT_EQ(getU32(aux.payload.data() + 4), 1u);
    EXPECT_EQ(getU32(aux.payload.data() + 8), aux.image.timestamp_low);
    EXPECT_EQ(getU16(aux.payload.data() + 16), kWorkAux);
    EXPECT_EQ(getU16(aux.payload.data() + 18), 55);
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

TEST(SimDeviceScene, StaticSceneIsRenderedOncePerImageSize) {
    DeviceHarness h;
    auto scene = std::make_shared<RecordingScene>(false);
    h.device.setScene(scene);
    h.request(u16Request(kCmdWorkMode, kWorkDepth | kWorkColor));
    for (int i = 0; i < 10; ++i) {
        h.advance(34000);
        h.drain();
    }
    EXPECT_EQ(scene->contexts.size(), 2u);
    EXPECT_GE(h.device.stats().frames_sent, 10u);

    h.request(u16Request(kCmdDepthResolution, 1));  // new size: one more render
    h.advance(34000);
    h.drain();
    EXPECT_EQ(scene->contexts.size(), 3u);
    h.request(u16Request(kCmdLaserPower, 10));  // a setting the picture may depend on
    h.advance(34000);
    h.drain();
    EXPECT_EQ(scene->contexts.size(), 5u);
}

TEST(SimDeviceScene, AnimatedSceneIsRenderedEveryFrame) {
    DeviceHarness h;
    auto scene = std::make_shared<RecordingScene>(true);
    h.device.setScene(scene);
    h.request(u16Request(kCmdWorkMode, kWorkDepth));
    for (int i = 0; i < 4; ++i) {
        h.advance(34000);
        h.drain();
    }
    ASSERT_EQ(scene->contexts.size(), 5u);
    EXPECT_EQ(scene->contexts[4].sequence, 5u);
}

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

class TestFaults : public FaultHook {
  public:
    bool onRequest(const WirePacket& request, const StreamCounters&) override {
        return !(request.payload.size() >= 4 && getU32(request.payload.data()) == kCmdKeepAlive);
    }
    bool onOutgoing(OutPacket& packet, const StreamCounters&) override {
        if (packet.kind == OutPacket::kParamReply) packet.editableBody()[3] ^= 0x80;
        return true;
    }
    size_t outputAllowance(const StreamCounters& c) override {
        return c.bytes_out < limit ? limit - c.bytes_out : 0;
    }
    bool disconnectNow(const StreamCounters& c) override { return c.requests >= 5; }
    uint64_t limit = SIZE_MAX;
};

TEST(SimDeviceFaults, HookSeesRequestsRepliesAndPacesTheOutput) {
    DeviceHarness h;
    auto faults = std::make_shared<TestFaults>();
    h.device.setFaultHook(faults);
    EXPECT_TRUE(h.send(keepAliveRequest(), 1).empty());
    std::vector<WirePacket> r = h.send(pingRequest(), 2);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].payload, hex("00 00 00 80 00 00 00 00"));  // flipped by the hook, in a private copy

    faults->limit = h.device.stats().bytes_out + 10;
    Bytes ping = encodePacket(kPacketParam, 3, pingRequest());
    h.device.receive(ping.data(), ping.size());
    uint8_t buf[64];
    EXPECT_EQ(h.device.readOutput(buf, sizeof buf), 10u);
    EXPECT_EQ(h.device.readOutput(buf, sizeof buf), 0u);
    EXPECT_FALSE(h.device.hasOutput());
    faults->limit = SIZE_MAX;
    EXPECT_TRUE(h.device.hasOutput());
    EXPECT_EQ(h.device.readOutput(buf, sizeof buf), 14u);

    EXPECT_FALSE(h.device.disconnectRequested());
    h.send(pingRequest(), 4);
    h.send(pingRequest(), 5);
    EXPECT_TRUE(h.device.disconnectRequested());
}

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
