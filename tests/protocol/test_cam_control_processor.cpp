// Register access: 26-byte requests in one send, reply matching, and failures that must not pass as values.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "protocol_harness.h"

namespace kvtest {
namespace {

// The device-side answer to a read: echo register and sensor with the given value, then apply `edit`.
ReplyHandler RegisterFile(uint32_t value, std::function<void(DeviceReply&)> edit = nullptr) {
    return [=](const DeviceRequest& r) {
        DeviceReply reply;
        reply.payload = r.payload;
        for (int i = 0; i < 4; ++i) reply.payload[4 + i] = static_cast<uint8_t>(value >> (8 * i));
        if (edit) edit(reply);
        return std::vector<DeviceReply>{reply};
    };
}

using RegisterAccess = ProtocolHarness;

TEST_F(RegisterAccess, ReadSendsOne26BytePacketAndReturnsTheValue) {
    device.OnRegister(RegisterFile(0xdeadbeef));
    int value = 0;
    ASSERT_EQ(0, reg.ReadRegister(257, 0x3012, &value));  // only the low byte of the sensor number goes out
    EXPECT_EQ(static_cast<int>(0xdeadbeef), value);
    std::vector<Bytes> sends = device.stream().SendLog();
    ASSERT_EQ(1u, sends.size());
    EXPECT_EQ("fe 01 fe 01 04 00 01 00 00 00 00 00 0a 00 00 00 12 30 00 00 00 00 00 00 01 01",
              ToHex(sends[0]));
    EXPECT_EQ(-1, reg.wait_packet_id.load());
}

TEST_F(RegisterAccess, WriteSendsThePacketAndAwaitsNothing) {
    reg.timeout_ms = 0;  // a wait would never end
    ASSERT_EQ(0, reg.WriteRegister(2, 0x10, 0x01020304));
    EXPECT_EQ("fe 01 fe 01 04 00 01 00 00 00 00 00 0a 00 00 00 10 00 00 00 04 03 02 01 02 00",
              ToHex(device.requests().back().raw));
    device.stream().FailSends(-1, 1);
    EXPECT_EQ(1, reg.WriteRegister(2, 0x10, 1));
}

TEST_F(RegisterAccess, ReplyForAnotherSensorRegisterPacketIdOrAWriteEchoIsNotAValue) {
    int value = 77;
    reg.timeout_ms = 40;
    const std::function<void(DeviceReply&)> edits[] = {
        [](DeviceReply& r) { r.payload[8] = 2; },   // another sensor
        [](DeviceReply& r) { r.payload[9] = 0; },   // a write echo
        [](DeviceReply& r) { r.payload[0] ^= 1; },  // another register
        [](DeviceReply& r) { r.packet_id = 3; },    // register replies carry packet id 0
    };
    for (const auto& edit : edits) {
        device.OnRegister(RegisterFile(5, edit));
        EXPECT_EQ(1, reg.ReadRegister(1, 0x20, &value));
    }
    EXPECT_EQ(77, value);
}

TEST_F(RegisterAccess, TimeoutFailsEvenWhenAnEarlierReplyForTheSameRegisterIsStillThere) {
    device.OnRegister(RegisterFile(1234));
    int value = 0;
    ASSERT_EQ(0, reg.ReadRegister(0, 0x44, &value));
    ASSERT_EQ(1234, value);
    device.OnRegister([](const DeviceRequest&) { return std::vector<DeviceReply>{}; });
    reg.timeout_ms = 30;
    value = 0;
    EXPECT_EQ(1, reg.ReadRegister(0, 0x44, &value));
    EXPECT_EQ(0, value);
}

TEST_F(RegisterAccess, RegisterPacketsOfOtherLengthsAreNotClaimed) {
    char* buffer = nullptr;
    int size = -1;
    orvane::DataPacketHeader header;
    header.version = 4;
    header.type = 1;
    header.length = 11;
    EXPECT_FALSE(reg.AcceptPacket(&header, nullptr, &buffer, &size));
    EXPECT_EQ(-1, size);
    header.length = 10;
    ASSERT_TRUE(reg.AcceptPacket(&header, nullptr, &buffer, &size));
    EXPECT_NE(nullptr, buffer);
    EXPECT_GE(size, 10);
    header.type = 0;
    EXPECT_FALSE(reg.AcceptPacket(&header, nullptr, &buffer, &size));
}

}  // namespace
}  // namespace kvtest
