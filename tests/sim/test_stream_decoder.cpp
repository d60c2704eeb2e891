// Splitting a byte stream into packets: chunking, garbage, bad headers, malformed and oversized packets.
#include <gtest/gtest.h>

#include "sim/wire/stream_decoder.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::Concat;
using test::Hex;

Bytes param(uint8_t id, const char* payload) {
    return encodePacket(kPacketParam, id, Hex(payload));
}

// Garbage, false syncs and refused headers before good packets: the good packets all come through.
TEST(StreamDecoder, ResynchronisesAfterGarbageAndRefusedHeaders) {
    struct Case {
        const char* what;
        Bytes stream;
        std::vector<uint8_t> ids;
        std::vector<Bytes> payloads;
        int bad_headers;  // -1: not checked
        uint64_t min_garbage;
    };
    // clang-format off
    const Case cases[] = {
        {"garbage between packets",
         Concat({Hex("00 fe 01 77 fe"), param(1, "aa"), Hex("fe fe 01"), param(2, "bb")}), {1, 2},
         {Hex("aa"), Hex("bb")}, -1, 5},
        // fe 01 fe fe 01 fe 01: the decoder falls back inside the pattern and syncs on the last four bytes.
        {"repeated first sync byte", Concat({Hex("fe 01 fe"), param(3, "cc")}), {3}, {Hex("cc")}, -1, 0},
        // The 12 bytes after the first sync form a version-3 header; a real packet starts inside them.
        {"bad version hiding a packet",
         Hex("fe 01 fe 01 03 00 00 fe 01 fe 01 04 05 00 00 00 00 00 00 04 00 00 00 aa bb cc dd"), {5},
         {Hex("aa bb cc dd")}, 1, 0},
        {"length above the limit",
         Concat({Hex("fe 01 fe 01 04 01 00 00 00 00 00 00 00 00 4b 00"), param(6, "01")}), {6}, {Hex("01")},
         1, 0},
        {"zero-length packet", encodePacket(kPacketParam, 4, Bytes()), {4}, {Bytes()}, 0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StreamDecoder d;
        std::vector<WirePacket> out;
        d.feed(c.stream, out);
        ASSERT_EQ(out.size(), c.ids.size());
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].header.packet_id, c.ids[i]);
            EXPECT_EQ(out[i].payload, c.payloads[i]);
        }
        if (c.bad_headers >= 0) {
            EXPECT_EQ(d.stats().bad_headers, static_cast<uint64_t>(c.bad_headers));
        }
        EXPECT_GE(d.stats().garbage_bytes, c.min_garbage);
    }
}

// Regression: garbage ending in "fe 01" right before a packet made "fe 01 fe 01" a false sync and the packet
// behind it was lost.
TEST(StreamDecoder, FindsPacketWhoseSyncOverlapsAFalseSync) {
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(Concat({Hex("fe 01"), param(8, "5a 5b")}), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 8);
    EXPECT_EQ(out[0].payload, Hex("5a 5b"));
    EXPECT_EQ(d.stats().bad_headers, 1u);
}

TEST(StreamDecoder, PacketsFedOneByteAtATimeComeOutWholeWithImagePartsSeparated) {
    const ImageHeader im{4, 2, 0, kCamLeftIr, kPixMono8, 9, 3};  // 4x2 mono, frame 9, 3 extra bytes
    const Bytes extra = Hex("07 08 09"), data = Hex("01 02 03 04 05 06 07 08");
    Bytes stream = Concat({param(9, "01 00 00 00"), encodeRegisterPacket(RegisterAccess{0x10, 0x20, 2, 1}),
                           encodeImagePrefix(0, im, extra.data(), data.size()), data});
    StreamDecoder d;
    std::vector<WirePacket> out;
    for (uint8_t b : stream) d.feed(&b, 1, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].header.packet_id, 9);
    EXPECT_EQ(out[0].payload, Hex("01 00 00 00"));
    EXPECT_EQ(out[1].header.type, kPacketRegister);
    EXPECT_EQ(out[1].payload, Hex("10 00 00 00 20 00 00 00 02 01"));
    ASSERT_TRUE(out[2].has_image);
    EXPECT_EQ(out[2].image.width, 4);
    EXPECT_EQ(out[2].image.frame_index, 9);
    EXPECT_EQ(out[2].extra, extra);
    EXPECT_EQ(out[2].payload, data);
    EXPECT_EQ(out[2].header.length, 8u + 12 + 3);
    EXPECT_TRUE(d.idle());
}

TEST(StreamDecoder, MalformedImageIsSkippedWholeAndTheNextPacketKept) {
    const Bytes bad[] = {
        // length 8: too short for the 12-byte sub-header
        Hex("fe 01 fe 01 04 00 02 00 00 00 00 00 08 00 00 00 11 22 33 44 55 66 77 88"),
        // length 14: sub-header + 2 bytes, but extra_len says 200
        Hex("fe 01 fe 01 04 00 02 00 00 00 00 00 0e 00 00 00 01 00 01 00 00 00 00 00 00 00 01 c8 ee ee"),
    };
    for (const Bytes& b : bad) {
        StreamDecoder d;
        std::vector<WirePacket> out;
        d.feed(Concat({b, param(1, "ab")}), out);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_TRUE(out[0].malformed);
        EXPECT_FALSE(out[0].has_image);
        EXPECT_EQ(out[1].payload, Hex("ab"));
    }
}

TEST(StreamDecoder, PayloadAboveTheKeepLimitIsSkippedNotStored) {
    Bytes stream = Concat({encodePacket(kPacketParam, 1, Bytes(5000, 0x5a)), param(2, "01")});
    StreamDecoder d(1024);
    std::vector<WirePacket> out;
    d.feed(stream, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].truncated);
    EXPECT_TRUE(out[0].payload.empty());
    EXPECT_EQ(out[0].header.length, 5000u);
    EXPECT_EQ(out[1].payload, Hex("01"));
}

TEST(StreamDecoder, ResetDropsAPacketInProgress) {
    Bytes first = param(1, "01 02 03 04");
    StreamDecoder d;
    std::vector<WirePacket> out;
    d.feed(first.data(), first.size() - 2, out);
    EXPECT_FALSE(d.idle());
    d.reset();
    d.feed(param(2, "05"), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].header.packet_id, 2);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
