// Framing: sync search, header validation, image sub-header, payload placement and recovery from bad input.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "memory_stream.h"
#include "protocol/data_packet_parser.h"
#include "scripted_device.h"

using orvane::DataPacketHeader;
using orvane::DataPacketImageHeader;
using orvane::DataPacketParser;
using orvane::PacketData;

namespace kvtest {
namespace {

// Everything the parser reported, in order, in a form that compares easily.
struct ParsedPacket {
    bool delivered = false;  // packet callback seen
    uint8_t type = 0;
    uint8_t packet_id = 0;
    uint32_t length = 0;
    int status = 0;
    bool had_buffer = false;
    Bytes payload;  // what landed in the buffer (up to its capacity)
    DataPacketImageHeader image;

    // The image sub-header fields as integers, comparable and printable in one go.
    std::vector<int64_t> ImageFields() const {
        return {image.width,        image.height,      image.timestamp, image.cam_id,
                image.pixel_format, image.frame_index, image.extra_len, image.timestamp_high};
    }
    bool operator==(const ParsedPacket& o) const {
        return delivered == o.delivered && type == o.type && packet_id == o.packet_id && length == o.length &&
               status == o.status && had_buffer == o.had_buffer && payload == o.payload &&
               (type != 2 || ImageFields() == o.ImageFields());
    }
};

class ParserRig {
  public:
    explicit ParserRig(int buffer_capacity = 4096) : buffer_(static_cast<size_t>(buffer_capacity)) {
        parser.set_receive_stream(&stream);
        parser.set_timeout(30);
        stream.set_timeout(1);
        parser.set_header_received_callback([this](const DataPacketHeader* header,
                                                   const DataPacketImageHeader* image, char** buffer,
                                                   int* size) {
            ParsedPacket p;
            p.type = header->type;
            p.packet_id = header->packet_id;
            p.length = header->length;
            p.image = *image;
            headers.push_back(p);
            if (supply_buffer) {
                *buffer = buffer_.data();
                *size = static_cast<int>(buffer_.size());
            }
        });
        parser.set_packet_received_callback([this](const DataPacketHeader* header, const PacketData& data) {
            ParsedPacket p = headers.back();
            p.delivered = true;
            p.length = header->length;
            p.status = data.status;
            p.had_buffer = data.data != nullptr;
            if (data.data != nullptr) {
                const size_t n = std::min<size_t>(header->length, buffer_.size());
                p.payload.assign(buffer_.begin(), buffer_.begin() + n);
            }
            if (header->type == 2) p.image = *data.image_header;
            packets.push_back(p);
        });
    }

    // Runs parser steps until `count` packets were delivered or `max_steps` calls were made.
    void Run(size_t count, int max_steps = 50) {
        for (int i = 0; i < max_steps && packets.size() < count; ++i) parser.ReceiveOnePacket();
    }

    MemoryStream stream;
    DataPacketParser parser;
    bool supply_buffer = true;
    std::vector<ParsedPacket> headers;
    std::vector<ParsedPacket> packets;

  private:
    std::vector<char> buffer_;
};

Bytes Payload(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

ImagePacketFields DepthImage(uint8_t frame_index, Bytes extra, size_t data_size) {
    ImagePacketFields fields;
    fields.width = 4;
    fields.height = 2;
    fields.timestamp = 0x11223344;
    fields.cam_id = 3;
    fields.pixel_format = 1;
    fields.frame_index = frame_index;
    fields.extra = std::move(extra);
    fields.data = Payload(data_size, 0x40);
    return fields;
}

// Three packets of different kinds back to back.
Bytes MixedStream() {
    return Concat({MakePacket(0, 9, Payload(37, 1)), MakeImagePacket(DepthImage(5, Hex("2a 00 07"), 16)),
                   MakePacket(1, 0, Payload(10, 3)), MakePacket(0, 10, {})});
}

TEST(DataPacketParser, DeliversPayloadIntoSuppliedBufferAndEmptyPayloadWithNullData) {
    ParserRig rig;
    rig.stream.Feed(MakePacket(0, 0x42, Hex("0b 00 00 80 01 00 40 00")));
    rig.Run(1);
    ASSERT_EQ(1u, rig.packets.size());
    EXPECT_EQ(0x42, rig.packets[0].packet_id);
    EXPECT_EQ(8u, rig.packets[0].length);
    EXPECT_EQ(0, rig.packets[0].status);
    EXPECT_EQ(Hex("0b 00 00 80 01 00 40 00"), rig.packets[0].payload);
    EXPECT_EQ(0, rig.parser.get_lasterror());

    rig.supply_buffer = false;
    rig.stream.Feed(MakePacket(0, 7, {}));
    rig.Run(2);
    ASSERT_EQ(2u, rig.packets.size());
    EXPECT_EQ(0u, rig.packets[1].length);
    EXPECT_FALSE(rig.packets[1].had_buffer);
    EXPECT_EQ(0, rig.packets[1].status);
}

TEST(DataPacketParser, MismatchingSyncByteIsNotReusedAsStartOfNewMatch) {
    // fe 01 fe | fe 01 fe 01: the fourth byte breaks the match and is dropped, so the last four bytes do
    // not form a sync pattern; the header that follows must not be parsed.
    Bytes packet = MakePacket(0, 1, Payload(8, 0));
    Bytes without_sync(packet.begin() + 4, packet.end());
    for (const char* prefix : {"fe 01 fe fe 01 fe 01", "fe 01 fe 01"}) {
        SCOPED_TRACE(prefix);
        const bool whole_sync = std::string(prefix) == "fe 01 fe 01";  // the control case
        ParserRig rig;
        rig.stream.Feed(Concat({Hex(prefix), without_sync}));
        rig.Run(1, 3);
        EXPECT_EQ(whole_sync ? 1u : 0u, rig.headers.size());
        EXPECT_EQ(whole_sync ? 1u : 0u, rig.packets.size());
    }
}

TEST(DataPacketParser, InvalidHeaderReturnsToSyncSearchWithoutCallbacks) {
    struct Case {
        const char* name;
        Bytes bad;
    };
    Bytes version3 = MakePacket(0, 1, Payload(4, 0));
    version3[4] = 3;
    Bytes too_long = Hex("fe 01 fe 01 04 01 00 00 00 00 00 00 00 00 4b 00");  // length 0x4B0000
    Bytes max_ok_header = Hex("fe 01 fe 01 04 01 00 00 00 00 00 00 ff ff 4a 00");
    for (const Case& c : {Case{"version 3", version3}, Case{"length 0x4B0000", too_long}}) {
        SCOPED_TRACE(c.name);
        ParserRig rig;
        rig.stream.Feed(c.bad);
        rig.parser.ReceiveOnePacket();
        EXPECT_TRUE(rig.headers.empty());
        EXPECT_TRUE(rig.packets.empty());
        EXPECT_EQ(DataPacketParser::kStateSyncSearch, rig.parser.get_state());
        // The parser is not stuck: the next good packet comes through.
        rig.stream.Feed(MakePacket(0, 2, Payload(3, 9)));
        rig.Run(1);
        ASSERT_EQ(1u, rig.packets.size());
        EXPECT_EQ(2, rig.packets[0].packet_id);
    }
    // The largest allowed length is still a valid header.
    ParserRig rig;
    rig.supply_buffer = false;
    rig.stream.Feed(max_ok_header);
    rig.parser.ReceiveOnePacket();
    ASSERT_EQ(1u, rig.headers.size());
    EXPECT_EQ(0x4AFFFFu, rig.headers[0].length);
}

TEST(DataPacketParser, ImageSubHeaderAndExtraBytesAreTakenOffTheLength) {
    ParserRig rig;
    ImagePacketFields fields = DepthImage(9, Hex("5d 01 02"), 16);
    rig.stream.Feed(MakeImagePacket(fields));
    rig.Run(1);
    ASSERT_EQ(1u, rig.headers.size());
    // The header callback already sees only the image data bytes.
    EXPECT_EQ(16u, rig.headers[0].length);
    ASSERT_EQ(1u, rig.packets.size());
    const ParsedPacket& p = rig.packets[0];
    EXPECT_EQ(16u, p.length);  // 12 + 3 + 16 on the wire
    EXPECT_EQ(fields.data, p.payload);
    EXPECT_EQ((std::vector<int64_t>{4, 2, 0x11223344, 3, 1, 9, 3, 0x5d}), p.ImageFields());
}

TEST(DataPacketParser, ImageLengthsThatCannotHoldTheirHeadersAreDropped) {
    // Length 8 cannot hold the 12-byte sub-header; length 12 + 2 cannot hold 3 extra bytes. Both would
    // underflow the remaining length if subtracted unchecked.
    Bytes short_image = MakePacket(2, 0, Payload(8, 0));
    ImagePacketFields fields = DepthImage(1, Hex("01 02 03"), 0);
    Bytes lying_extra = MakeImagePacket(fields);
    lying_extra[12] = 14;  // length field low byte: sub-header + 2
    for (const Bytes& bad : {short_image, lying_extra}) {
        ParserRig rig;
        rig.stream.Feed(Concat({bad, MakePacket(0, 4, Payload(5, 1))}));
        rig.Run(1, 6);
        ASSERT_EQ(1u, rig.packets.size());
        EXPECT_EQ(0, rig.packets[0].type);
        EXPECT_EQ(4, rig.packets[0].packet_id);
    }
}

TEST(DataPacketParser, PayloadLongerThanBufferFillsItAndDropsTheSurplusButAFailedReadIsAFailure) {
    ParserRig rig(60);
    Bytes payload = Payload(100, 2);
    rig.stream.Feed(Concat({MakePacket(0, 1, payload), MakePacket(0, 2, Payload(6, 50))}));
    rig.Run(2);
    ASSERT_EQ(2u, rig.packets.size());
    EXPECT_EQ(-2, rig.packets[0].status);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 60), rig.packets[0].payload);
    // The 40 surplus bytes were consumed, not parsed as the next packet.
    EXPECT_EQ(0, rig.packets[1].status);
    EXPECT_EQ(2, rig.packets[1].packet_id);
    EXPECT_EQ(Payload(6, 50), rig.packets[1].payload);

    // The stream fails before even the buffer is full: that is a failed read (-1), not a truncation.
    Bytes packet = MakePacket(0, 3, payload);
    rig.stream.Feed(Bytes(packet.begin(), packet.begin() + 16 + 30));
    rig.Run(3, 1);
    ASSERT_EQ(3u, rig.packets.size());
    EXPECT_EQ(-1, rig.packets[2].status);
}

TEST(DataPacketParser, UnclaimedPayloadArrivingSlowlyIsStillDiscardedWhole) {
    // The dropped payload happens to contain a whole packet (id 9); its second half comes after a pause
    // (empty reads). Stopping the discard at the pause would parse that inner packet.
    ParserRig rig;
    rig.supply_buffer = false;
    rig.parser.set_timeout(500);
    const Bytes outer = MakePacket(0, 1, Concat({Payload(20, 1), MakePacket(0, 9, {}), Payload(20, 2)}));
    rig.stream.Feed(Bytes(outer.begin(), outer.begin() + 30));
    rig.stream.Feed(Concat({Bytes(outer.begin() + 30, outer.end()), MakePacket(0, 2, {})}), 40);
    rig.Run(1, 5);
    ASSERT_EQ(2u, rig.headers.size());
    EXPECT_EQ(2, rig.headers[1].packet_id);
    ASSERT_EQ(1u, rig.packets.size());  // no packet callback for the discarded one
    EXPECT_EQ(2, rig.packets[0].packet_id);
}

TEST(DataPacketParser, GarbageBetweenPacketsIsSkipped) {
    ParserRig rig;
    rig.stream.Feed(
        Concat({Hex("00 fe 01 17 fe 01 fe 99"), MakePacket(0, 1, Payload(5, 1)),
                Hex("fe fe 01 01 fe 01 fe 00 33"), MakePacket(0, 2, Payload(7, 2)), Hex("01 fe")}));
    rig.Run(2, 6);
    ASSERT_EQ(2u, rig.packets.size());
    EXPECT_EQ(Payload(5, 1), rig.packets[0].payload);
    EXPECT_EQ(Payload(7, 2), rig.packets[1].payload);
}

TEST(DataPacketParser, DataSplitAtEveryByteBoundaryParsesTheSame) {
    const Bytes all = MixedStream();
    ParserRig reference;
    reference.stream.Feed(all);
    reference.Run(4);
    ASSERT_EQ(4u, reference.packets.size());

    // Cut once at every byte, and (cut 0) one byte per read throughout.
    for (size_t cut = 0; cut < all.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ParserRig rig;
        if (cut == 0) rig.stream.SetMaxReadSize(1);
        rig.stream.Feed(Bytes(all.begin(), all.begin() + cut));
        rig.stream.Feed(Bytes(all.begin() + cut, all.end()));
        rig.Run(4);
        ASSERT_EQ(reference.packets.size(), rig.packets.size());
        for (size_t i = 0; i < rig.packets.size(); ++i) EXPECT_TRUE(reference.packets[i] == rig.packets[i]);
    }
}

TEST(DataPacketParser, HeaderCutShortByAStallDropsThePacketInsteadOfUsingStaleBytes) {
    // A first packet leaves its header (length 200) in the parser. The second packet's header stalls after
    // six bytes: judging it with the first packet's length bytes would invent a 200-byte packet and eat
    // the packet that follows.
    ParserRig rig;
    rig.stream.Feed(MakePacket(0, 1, Payload(200, 1)));
    rig.Run(1);
    ASSERT_EQ(1u, rig.packets.size());

    Bytes stalled = MakePacket(0, 2, Payload(4, 2));
    rig.stream.Feed(Bytes(stalled.begin(), stalled.begin() + 4 + 6));
    rig.stream.Feed(MakePacket(0, 3, Payload(9, 3)), 80);  // after the parser's 30 ms limit
    rig.Run(2, 10);
    ASSERT_EQ(2u, rig.packets.size());
    EXPECT_EQ(2u, rig.headers.size());  // no header callback for the stalled one
    EXPECT_EQ(3, rig.packets[1].packet_id);
    EXPECT_EQ(Payload(9, 3), rig.packets[1].payload);
}

TEST(DataPacketParser, IdleGapInsideSyncPatternDoesNotBreakTheMatch) {
    // "fe 01" arrive, then nothing for a while (empty reads), then the rest. An empty read must not
    // compare a left-over byte against the pattern.
    ParserRig rig;
    rig.parser.set_timeout(500);
    Bytes packet = MakePacket(0, 5, Payload(12, 5));
    rig.stream.Feed(Bytes(packet.begin(), packet.begin() + 2));
    rig.stream.Feed(Bytes(packet.begin() + 2, packet.end()), 40);
    rig.Run(1, 3);
    ASSERT_EQ(1u, rig.packets.size());
    EXPECT_EQ(5, rig.packets[0].packet_id);
    EXPECT_GT(rig.stream.receive_calls(), 5);  // there really were empty reads in between
}

TEST(DataPacketParser, EndlessEmptyReadsEndTheSearchWithError) {
    ParserRig rig;
    rig.stream.set_timeout(0);
    rig.parser.set_timeout(600000);  // only the empty-read limit can end this search
    rig.parser.ReceiveOnePacket();
    EXPECT_EQ(DataPacketParser::kErrorNoData, rig.parser.get_lasterror());
    EXPECT_GT(rig.stream.receive_calls(), 1843200);
}

TEST(DataPacketParser, StopBetweenHeaderAndPayloadNeverWritesTheOldBufferLater) {
    // Regression: a parser stopped right after handing out a payload destination kept that pointer and,
    // once restarted, read the next bytes into memory its consumer had already taken back.
    ParserRig rig;
    MemoryStream& stream = rig.stream;
    DataPacketParser& parser = rig.parser;
    std::vector<char> first(64, 0), second(64, 0);
    int headers = 0;
    std::vector<int> statuses;
    parser.set_header_received_callback(
        [&](const DataPacketHeader*, const DataPacketImageHeader*, char** buffer, int* size) {
            std::vector<char>& target = headers++ == 0 ? first : second;
            *buffer = target.data();
            *size = static_cast<int>(target.size());
            if (headers == 1) parser.set_work_flag(false);  // the consumer stops the receiver here
        });
    parser.set_packet_received_callback(
        [&](const DataPacketHeader*, const PacketData& data) { statuses.push_back(data.status); });
    stream.Feed(MakePacket(0, 1, Payload(16, 1)));
    parser.ReceiveOnePacket();
    // The stopped packet is reported as failed within the same call, and the consumer reclaims its buffer.
    ASSERT_EQ(1u, statuses.size());
    EXPECT_NE(0, statuses[0]);
    std::fill(first.begin(), first.end(), static_cast<char>(0xEE));

    parser.set_work_flag(true);
    stream.Feed(MakePacket(0, 2, Payload(16, 9)));
    for (int i = 0; i < 6 && statuses.size() < 2; ++i) parser.ReceiveOnePacket();
    for (char c : first) ASSERT_EQ(static_cast<char>(0xEE), c);
    ASSERT_EQ(2, headers);
    ASSERT_EQ(2u, statuses.size());
    EXPECT_EQ(0, statuses[1]);
    const Bytes expected = Payload(16, 9);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reinterpret_cast<uint8_t*>(second.data())));
}

TEST(DataPacketParser, StopDuringSyncSearchRestartsTheSearchLater) {
    // Stopped after "fe 01 fe 01" began but before it completed, a parser resumed later must look for a
    // whole sync pattern again rather than read the next bytes as a header.
    ParserRig rig;
    rig.parser.set_timeout(200);
    rig.stream.Feed(Hex("fe 01"));
    std::thread stopper([&] {
        WaitUntil([&] { return rig.stream.receive_calls() > 4; }, 2000);
        rig.parser.set_work_flag(false);
    });
    rig.parser.ReceiveOnePacket();
    stopper.join();
    EXPECT_EQ(DataPacketParser::kStateSyncSearch, rig.parser.get_state());
    rig.parser.set_work_flag(true);
    Bytes packet = MakePacket(0, 8, Payload(4, 4));
    rig.stream.Feed(Bytes(packet.begin() + 4, packet.end()));  // a header with no sync in front
    rig.stream.Feed(MakePacket(0, 9, Payload(4, 4)));
    rig.Run(1, 6);
    ASSERT_EQ(1u, rig.packets.size());
    EXPECT_EQ(9, rig.packets[0].packet_id);
}

}  // namespace
}  // namespace kvtest
