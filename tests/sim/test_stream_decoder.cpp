// Splitting a byte stream into packets: chunking, garbage, bad headers, malformed and oversized packets.
#include <gtest/gtest.h>

#include "sim/wire/stream_decoder.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::concat;
using test::hex;

Bytes imagePacket(uint8_t cam, uint16_t w, uint16_t h, uint8_t format, uint8_t index, const Bytes& extra,
                  const Bytes& data) {
    ImageHeader im;
    im.width = w;
    im.height = h;
    im.cam_id = cam;
    im.pixel_format = format;
    im.frame_index = index;
    im.extra_len = static_cast<uint8_t>(extra.size());
    return concat(encodeImagePrefix(0, im, extra.data(), data.size()), data);
}

TEST(StreamDecoder, SplitsPacketsFedOneByteAtATime) {
    Bytes stream = concat(encodePacket(kPacketParam, 9, hex("01 00 00 00")),
                          encodeRegisterPacket(RegisterAccess{0x10, 0x20, 2, 1}));
    StreamDecoder d;
    std::vector<WirePacket> out;
    for (uint8_t b : stream) d.feed(&b, 1, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].header.packet_id, 9);
    EXPECT_EQ(out[0].payload, hex("01 00 00 00"));
    EXPECT_EQ(out[1].header.type, kPacketRegister);
    EXPECT_EQ(out[1].payload, hex("10 00 00 00 20 00 00 00 02 01"));
    EXPECT_TRUE(d.idle());
}

TEST(StreamDecoder, SkipsGarbageBetweenPackets) {
    Bytes stream = concat(hex("00 fe 01 77 fe"), encodePacket(kPacketParam, 1, hex("aa")));
    stream = concat(stream, hex("fe fe 01"));
    stream = concat(stream, encodePacket(kPacketParam, 2, hex("bb")));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].payload, hex("aa"));
    EXPECT_EQ(out[1].payload, hex("bb"));
    EXPECT_GE(d.stats().garbage_bytes, 5u);
}

// Regression: garbage ending in "fe 01" right before a packet made "fe 01 fe 01" a false sync and the packet
// behind it was lost.
TEST(StreamDecoder, FindsPacketWhoseSyncOverlapsAFalseSync) {
    Bytes stream = concat(hex("fe 01"), encodePacket(kPacketParam, 8, hex("5a 5b")));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 8);
    EXPECT_EQ(out[0].payload, hex("5a 5b"));
    EXPECT_EQ(d.stats().bad_headers, 1u);
}

TEST(StreamDecoder, RecoversSyncAfterARepeatedFirstByte) {
    // fe 01 fe fe 01 fe 01: the device side falls back inside the pattern and syncs on the last four bytes.
    Bytes stream = concat(hex("fe 01 fe"), encodePacket(kPacketParam, 3, hex("cc")));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 3);
    EXPECT_EQ(out[0].payload, hex("cc"));
}

TEST(StreamDecoder, DropsBadVersionAndFindsAPacketInsideTheDroppedHeader) {
    // The 12 bytes after the first sync form a version-3 header; a real packet starts inside them.
    Bytes stream =
        hex("fe 01 fe 01 03 00 00 fe 01 fe 01 04 05 00 00 00"
            "00 00 00 04 00 00 00 aa bb cc dd");
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 5);
    EXPECT_EQ(out[0].payload, hex("aa bb cc dd"));
    EXPECT_EQ(d.stats().bad_headers, 1u);
}

TEST(StreamDecoder, DropsHeaderWithLengthAboveTheLimit) {
    Bytes stream = concat(hex("fe 01 fe 01 04 01 00 00 00 00 00 00 00 00 4b 00"),
                          encodePacket(kPacketParam, 6, hex("01")));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 6);
    EXPECT_EQ(d.stats().bad_headers, 1u);
}

TEST(StreamDecoder, ZeroLengthPacketIsDelivered) {
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(encodePacket(kPacketParam, 4, Bytes()), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].payload.empty());
}

TEST(StreamDecoder, ImagePacketSeparatesSubHeaderExtraBytesAndData) {
    Bytes stream =
        imagePacket(kCamLeftIr, 4, 2, kPixMono8, 9, hex("07 08 09"), hex("01 02 03 04 05 06 07 08"));
    StreamDecoder d;
    std::vector<WirePacket> out;
    for (size_t i = 0; i < stream.size(); i += 5)
        d.feed(stream.data() + i, std::min<size_t>(5, stream.size() - i), out);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].has_image);
    EXPECT_EQ(out[0].image.width, 4);
    EXPECT_EQ(out[0].image.frame_index, 9);
    EXPECT_EQ(out[0].extra, hex("07 08 09"));
    EXPECT_EQ(out[0].payload, hex("01 02 03 04 05 06 07 08"));
    EXPECT_EQ(out[0].header.length, 8u + 12 + 3);
}

TEST(StreamDecoder, ImageTooShortForItsSubHeaderIsSkippedWhole) {
    Bytes bad = hex("fe 01 fe 01 04 00 02 00 00 00 00 00 08 00 00 00 11 22 33 44 55 66 77 88");
    Bytes stream = concat(bad, encodePacket(kPacketParam, 1, hex("ab")));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].malformed);
    EXPECT_FALSE(out[0].has_image);
    EXPECT_EQ(out[1].payload, hex("ab"));
}

TEST(StreamDecoder, ExtraLengthBeyondThePacketIsMalformed) {
    // length 14: sub-header + 2 bytes, but extra_len says 200.
    Bytes bad =
        hex("fe 01 fe 01 04 00 02 00 00 00 00 00 0e 00 00 00"
            "01 00 01 00 00 00 00 00 00 00 01 c8 ee ee");
    Bytes stream = concat(bad, encodePacket(kPacketParam, 2, hex("cd")));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].malformed);
    EXPECT_EQ(out[1].payload, hex("cd"));
}

TEST(StreamDecoder, PayloadAboveTheKeepLimitIsSkippedNotStored) {
    Bytes big(5000, 0x5a);
    Bytes stream = concat(encodePacket(kPacketParam, 1, big), encodePacket(kPacketParam, 2, hex("01")));
    StreamDecoder d(1024);
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].truncated);
    EXPECT_TRUE(out[0].payload.empty());
    EXPECT_EQ(out[0].header.length, 5000u);
    EXPECT_EQ(out[1].payload, hex("01"));
}

TEST(StreamDecoder, ResetDropsAPacketInProgress) {
    Bytes first = encodePacket(kPacketParam, 1, hex("01 02 03 04"));
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(first.data(), first.size() - 2, out);
    EXPECT_FALSE(d.idle());
    d.reset();
    d.feed(encodePacket(kPacketParam, 2, hex("05")), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 2);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
