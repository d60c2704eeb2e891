// The simulator's wire decoders on hostile bytes. The encoders are checked against the library's own,
// independently written, golden bytes through the conformance suites.
#include <gtest/gtest.h>

#include "sim/wire/packets.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::hex;

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

}  // namespace
}  // namespace kvsim
}  // namespace orvane
