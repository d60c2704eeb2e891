// Wire records and the process-wide packet-id counter.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "memory_stream.h"
#include "protocol/packet_base.h"

namespace kvtest {
namespace {

TEST(PacketBase, HeaderRoundTripsFieldByFieldInLittleEndian) {
    orvane::DataPacketHeader header;
    header.version = 4;
    header.packet_id = 0x9c;
    header.type = 2;
    for (int i = 0; i < 5; ++i) header.reserved[i] = static_cast<uint8_t>(0x10 + i);
    header.length = 0x004affff;
    uint8_t raw[12];
    orvane::EncodePacketHeader(header, raw);
    EXPECT_EQ("04 9c 02 10 11 12 13 14 ff ff 4a 00", ToHex(Bytes(raw, raw + 12)));
    orvane::DataPacketHeader back = orvane::DecodePacketHeader(raw);
    EXPECT_EQ(header.packet_id, back.packet_id);
    EXPECT_EQ(header.type, back.type);
    EXPECT_EQ(header.length, back.length);
    EXPECT_EQ(0x14, back.reserved[4]);
}

TEST(PacketBase, ImageHeaderDecodesEveryField) {
    const Bytes raw = Hex("00 05 c0 03 78 56 34 12 03 01 fe 02");
    orvane::DataPacketImageHeader image;
    image.timestamp_high = 9;
    orvane::DecodeImageHeader(raw.data(), &image);
    EXPECT_EQ(1280, image.width);
    EXPECT_EQ(960, image.height);
    EXPECT_EQ(0x12345678u, image.timestamp);
    EXPECT_EQ(3, image.cam_id);
    EXPECT_EQ(1, image.pixel_format);
    EXPECT_EQ(0xfe, image.frame_index);
    EXPECT_EQ(2, image.extra_len);
    EXPECT_EQ(9, image.timestamp_high);  // not a wire field
    uint8_t again[12];
    orvane::EncodeImageHeader(image, again);
    EXPECT_EQ(raw, Bytes(again, again + 12));
}

TEST(PacketBase, SyncHeaderBlockIsSyncThenVersionFourHeader) {
    uint8_t block[16];
    orvane::BuildSyncHeaderBlock(block, 0x7f, 1, 10);
    EXPECT_EQ("fe 01 fe 01 04 7f 01 00 00 00 00 00 0a 00 00 00", ToHex(Bytes(block, block + 16)));
}

TEST(PacketBase, PacketIdWrapsFrom255ToZero) {
    orvane::kPacketIdCounter.store(254);
    EXPECT_EQ(254, orvane::NextPacketId());
    EXPECT_EQ(255, orvane::NextPacketId());
    EXPECT_EQ(0, orvane::NextPacketId());
    EXPECT_EQ(1, orvane::NextPacketId());
}

TEST(PacketBase, PacketIdsTakenConcurrentlyAreNeverLostOrDuplicated) {
    // 4 threads x 1024 ids = 16 full turns of the counter: every value exactly 16 times.
    orvane::kPacketIdCounter.store(0);
    std::vector<std::vector<int>> counts(4, std::vector<int>(256, 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counts, t] {
            for (int i = 0; i < 1024; ++i) ++counts[t][orvane::NextPacketId()];
        });
    }
    for (std::thread& t : threads) t.join();
    for (int id = 0; id < 256; ++id) {
        int total = 0;
        for (int t = 0; t < 4; ++t) total += counts[t][id];
        EXPECT_EQ(16, total) << "id " << id;
    }
    EXPECT_EQ(0, orvane::kPacketIdCounter.load());
}

}  // namespace
}  // namespace kvtest
