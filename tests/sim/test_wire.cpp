// The simulator's wire encoding against bytes written out by hand from the packet tables.
#include <gtest/gtest.h>

#include "sim/wire/packets.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::hex;

TEST(WireFraming, BlockIsSyncThenHeaderLittleEndian) {
    PacketHeader h;
    h.packet_id = 0x2a;
    h.type = kPacketParam;
    h.length = 8;
    uint8_t block[16];
    encodeBlock(h, block);
    EXPECT_EQ(Bytes(block, block + 16), hex("fe 01 fe 01 04 2a 00 00 00 00 00 00 08 00 00 00"));

    h.length = 0x4AFFFF;
    encodeBlock(h, block);
    EXPECT_EQ(Bytes(block + 12, block + 16), hex("ff ff 4a 00"));
}

TEST(WireFraming, DecodesHeaderAndRejectsBadVersionOrLength) {
    PacketHeader h = decodeHeader(hex("04 07 02 11 22 33 44 55 1c 00 4a 00").data());
    EXPECT_EQ(h.version, 4);
    EXPECT_EQ(h.packet_id, 7);
    EXPECT_EQ(h.type, kPacketImage);
    EXPECT_EQ(h.reserved[0], 0x11);
    EXPECT_EQ(h.reserved[4], 0x55);
    EXPECT_EQ(h.length, 0x4A001Cu);
    EXPECT_TRUE(headerAcceptable(h));

    EXPECT_TRUE(headerAcceptable(decodeHeader(hex("04 00 00 00 00 00 00 00 ff ff 4a 00").data())));
    EXPECT_FALSE(headerAcceptable(decodeHeader(hex("04 00 00 00 00 00 00 00 00 00 4b 00").data())));
    EXPECT_FALSE(headerAcceptable(decodeHeader(hex("03 00 00 00 00 00 00 00 08 00 00 00").data())));
}

TEST(WireFraming, ImagePrefixCountsSubHeaderExtraBytesAndData) {
    ImageHeader image;
    image.width = 1280;
    image.height = 960;
    image.timestamp_low = 0x89abcdef;
    image.cam_id = kCamDepth;
    image.pixel_format = kPixDepth16;
    image.frame_index = 0x7f;
    image.extra_len = kTimestampExtraLen;
    uint8_t extra[4];
    encodeTimestampExtra(0x0000001289abcdefull, extra);
    Bytes prefix = encodeImagePrefix(0, image, extra, 1280 * 960 * 2);
    // length = 12 + 4 + 2457600 = 0x258010
    EXPECT_EQ(prefix, hex("fe 01 fe 01 04 00 02 00 00 00 00 00 10 80 25 00"
                          "00 05 c0 03 ef cd ab 89 03 01 7f 04"
                          "12 00 00 00"));

    ImageHeader back = decodeImageHeader(prefix.data() + kBlockSize);
    EXPECT_EQ(back.width, 1280);
    EXPECT_EQ(back.height, 960);
    EXPECT_EQ(back.timestamp_low, 0x89abcdefu);
    EXPECT_EQ(back.cam_id, kCamDepth);
    EXPECT_EQ(back.pixel_format, kPixDepth16);
    EXPECT_EQ(back.frame_index, 0x7f);
    EXPECT_EQ(back.extra_len, 4);
}

TEST(WireFraming, BytesPerPixelFollowTheWireFormatTable) {
    const int expected[] = {1, 2, 2, 3, 1, 2, 1, 0, 0};
    for (uint8_t f = 0; f < 9; ++f) EXPECT_EQ(bytesPerPixel(f), expected[f]) << "format " << int(f);
    EXPECT_EQ(bytesPerPixel(255), 0);
}

TEST(WireRequests, ShortRequestsMatchTheCommandTable) {
    EXPECT_EQ(pingRequest(), hex("00 00 00 00"));
    EXPECT_EQ(firmwareVersionRequest(), hex("00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00"));
    EXPECT_EQ(codeOnlyRequest(kCmdDeviceInfo), hex("01 00 00 00"));
    EXPECT_EQ(u16Request(kCmdLaserPower, 75), hex("02 00 00 00 4b 00 00 00"));
    EXPECT_EQ(u16Request(query(kCmdDepthResolution), 0), hex("07 00 00 80 00 00 00 00"));
    EXPECT_EQ(u16Request(query(kCmdLaserAuto), 1), hex("16 00 00 80 01 00 00 00"));
    EXPECT_EQ(switchRequest(kCmdUndistort, kSwitchQuery), hex("08 00 00 00 00 ff 00 00"));
    EXPECT_EQ(switchRequest(kCmdHistogram, 1), hex("12 00 00 00 00 01 00 00"));
    EXPECT_EQ(camGainRequest(kCmdCamGain, 1, 0xffff), hex("0b 00 00 00 01 00 ff ff"));
    EXPECT_EQ(camGainRequest(query(kCmdCamGain), 0, 0), hex("0b 00 00 80 00 00 00 00"));
    EXPECT_EQ(structTriggerRequest(1, 0x34), hex("17 00 00 00 01 00 34 00"));
    EXPECT_EQ(descriptorRequest(), hex("0c 00 00 80 00 00 00 00"));
    EXPECT_EQ(firmwareXmlRequest(), hex("0d 00 00 80 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(keepAliveRequest(), hex("e0 00 00 00 00 00 00 00"));
    EXPECT_EQ(u16Request(kCmdDeveloperMode, 0), hex("f2 00 00 00 00 00 00 00"));
}

TEST(WireRequests, ColourRequestsUseInt32FieldsAndTheSharedGainQueryCode) {
    const int32_t gains[3] = {10, 20, 300};
    EXPECT_EQ(rgbGainSetRequest(2, gains),
              hex("0e 00 00 00 02 00 00 00 0a 00 00 00 14 00 00 00 2c 01 00 00"));
    // The colour gain query carries 0x8000000B, the code of the infrared gain query, not 0x8000000E.
    EXPECT_EQ(rgbGainQueryRequest(2), hex("0b 00 00 80 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(camValueRequest(kCmdRgbExposure, 2, -1), hex("10 00 00 00 02 00 00 00 ff ff ff ff"));
    EXPECT_EQ(camValueRequest(query(kCmdRgbAwb), 2, 0), hex("11 00 00 80 02 00 00 00 00 00 00 00"));
}

TEST(WireConfig, SegmentRequestPadsShortDataAndSumsWords) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    Bytes seg = configSegmentRequest(256, data, 5);
    ASSERT_EQ(seg.size(), 268u);
    // words 0x04030201 + 0x00000005
    EXPECT_EQ(Bytes(seg.begin(), seg.begin() + 17),
              hex("04 00 00 00 00 01 00 00 06 02 03 04 01 02 03 04 05"));
    for (size_t i = 17; i < seg.size(); ++i) ASSERT_EQ(seg[i], 0) << i;

    std::optional<SegmentRequest> back = decodeSegmentRequest(seg);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->offset, 256u);
    EXPECT_EQ(back->checksum, 0x04030206u);
    EXPECT_EQ(back->data[4], 5);
    EXPECT_FALSE(decodeSegmentRequest(Bytes(seg.begin(), seg.end() - 1)));
}

TEST(WireConfig, ChecksumWrapsModulo2To32) {
    Bytes ones(256, 0xff);
    EXPECT_EQ(segmentChecksum(ones.data(), ones.size()), 0xffffffc0u);  // 64 * 0xffffffff
}

TEST(WireConfig, FlashSaveAndAcknowledgements) {
    uint8_t param[20];
    for (int i = 0; i < 20; ++i) param[i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(flashSaveRequest(param),
              hex("05 00 00 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14"));
    EXPECT_EQ(segmentAck(1, 512, 0x11223344),
              hex("04 00 00 00 01 00 00 00 02 00 00 00 00 02 00 00 44 33 22 11"
                  "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    Bytes save = flashSaveReply(0);
    ASSERT_EQ(save.size(), 40u);
    EXPECT_EQ(Bytes(save.begin(), save.begin() + 8), hex("05 00 00 00 00 00 00 00"));

    std::optional<SegmentAck> ack = decodeSegmentAck(segmentAck(0, 0x300, 0));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, 0u);
    EXPECT_EQ(ack->index, 3u);
    EXPECT_FALSE(decodeSegmentAck(flashSaveReply(0)));  // right size, wrong code
    EXPECT_FALSE(decodeSegmentAck(hex("04 00 00 00 00 00 00 00")));
}

TEST(WireReplies, ShortRepliesAndVersion) {
    EXPECT_EQ(pingReply(), hex("00 00 00 00 00 00 00 00"));
    EXPECT_EQ(firmwareVersionReply(2, 3, 0), hex("00 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00"));
    EXPECT_EQ(shortReply(query(kCmdDepthResolution), 3, 0), hex("07 00 00 80 03 00 00 00"));
    EXPECT_EQ(shortReply(kCmdCamGain, -1, 54), hex("0b 00 00 00 ff ff 36 00"));
    EXPECT_EQ(switchReply(kCmdUndistort, 0, 1), hex("08 00 00 00 00 01 00 00"));
    EXPECT_EQ(wordsReply(query(kCmdRgbExposure), {0, -1}), hex("10 00 00 80 00 00 00 00 ff ff ff ff"));
    EXPECT_EQ(keepAliveReply(), hex("e0 00 00 00 00 00 00 00"));
}

TEST(WireReplies, DeviceInfoRecordLayout) {
    DeviceInfoRecord info;
    info.word0 = 0x04b41003;
    info.hw_major = 1;
    info.hw_minor = 2;
    info.serial = "KVSIM0000001";
    info.model = "M";
    Bytes b = deviceInfoReply(info);
    ASSERT_EQ(b.size(), 108u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 24), hex("01 00 00 00 03 10 b4 04 01 00 02 00"
                                                    "4b 56 53 49 4d 30 30 30 30 30 30 31"));
    for (size_t i = 24; i < 44; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[44], 'M');
    for (size_t i = 45; i < 108; ++i) ASSERT_EQ(b[i], 0) << i;

    std::optional<DeviceInfoRecord> back = decodeDeviceInfoReply(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serial, "KVSIM0000001");
    EXPECT_EQ(back->model, "M");
    EXPECT_EQ(back->hw_minor, 2);
}

TEST(WireReplies, DeviceInfoDecoderStaysInsideItsFields) {
    Bytes b = deviceInfoReply(DeviceInfoRecord());
    std::fill(b.begin() + 12, b.begin() + 44, 'S');  // serial without terminator
    std::fill(b.begin() + 44, b.end(), 'M');         // model without terminator
    std::optional<DeviceInfoRecord> back = decodeDeviceInfoReply(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serial, std::string(32, 'S'));
    EXPECT_EQ(back->model, std::string(64, 'M'));
    EXPECT_FALSE(decodeDeviceInfoReply(Bytes(b.begin(), b.end() - 1)));
    b[0] = 2;
    EXPECT_FALSE(decodeDeviceInfoReply(b));
}

TEST(WireReplies, DescriptorReplyCarriesTheLowByteOfTheByteSum) {
    // '<' 'a' '/' '>' = 0x3c + 0x61 + 0x2f + 0x3e = 0x10a
    EXPECT_EQ(descriptorReply("<a/>"), hex("0c 00 00 80 00 00 0a 00 3c 61 2f 3e"));
    EXPECT_EQ(firmwareXmlReply("<x/>"), hex("0d 00 00 80 00 00 00 00 3c 78 2f 3e"));

    std::optional<DescriptorReply> d = decodeDescriptorReply(descriptorReply("<a/>"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->text, "<a/>");
    EXPECT_TRUE(d->checksum_ok);
    Bytes corrupt = descriptorReply("<a/>");
    corrupt[9] ^= 0x01;
    d = decodeDescriptorReply(corrupt);
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->checksum_ok);

    d = decodeDescriptorReply(hex("0c 00 00 80 00 00 00 00"));
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->text.empty());
    EXPECT_FALSE(decodeDescriptorReply(hex("0c 00 00 80 00 00 00")));
    EXPECT_FALSE(decodeDescriptorReply(hex("0d 00 00 80 00 00 00 00")));
    EXPECT_EQ(decodeFirmwareXmlReply(hex("0d 00 00 00 00 00 00 00 41")), std::optional<std::string>("A"));
}

TEST(WireRegisters, PacketIsOne26ByteBlockWithPacketIdZero) {
    RegisterAccess a;
    a.reg_id = 0x3012;
    a.value = 0x155;
    a.cam_id = 1;
    a.is_read = 1;
    EXPECT_EQ(encodeRegisterPacket(a), hex("fe 01 fe 01 04 00 01 00 00 00 00 00 0a 00 00 00"
                                           "12 30 00 00 55 01 00 00 01 01"));
    std::optional<RegisterAccess> back = decodeRegisterPayload(hex("12 30 00 00 55 01 00 00 01 00"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->reg_id, 0x3012u);
    EXPECT_EQ(back->value, 0x155u);
    EXPECT_EQ(back->is_read, 0);
    EXPECT_FALSE(decodeRegisterPayload(hex("12 30 00 00 55 01 00 00 01")));
    EXPECT_FALSE(decodeRegisterPayload(hex("12 30 00 00 55 01 00 00 01 00 00")));
}

TEST(WireBytes, ReaderPastTheEndYieldsZeroAndReportsIt) {
    Bytes b = hex("01 02 03");
    ByteReader r(b);
    EXPECT_EQ(r.u16(), 0x0201);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u8(), 0);  // stays failed, does not read the remaining byte
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(WireBytes, CommandNamesMarkTheQueryForm) {
    EXPECT_EQ(commandName(kCmdDepthResolution), "depth resolution");
    EXPECT_EQ(commandName(query(kCmdDepthResolution)), "depth resolution?");
    EXPECT_EQ(commandName(0x55), "unknown 0x55");
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
