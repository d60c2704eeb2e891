// The simulator's wire decoders on hostile bytes. The encoders are checked against the library's own,
// independently written, golden bytes through the conformance suites.
#include <gtest/gtest.h>

#include "sim/wire/packets.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace {

using test::Hex;

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
    Bytes b = Hex("01 02 03");
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
