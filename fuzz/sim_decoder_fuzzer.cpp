// The simulator's stream decoder and its payload decoders. Besides not crashing, the decoder must not
// depend on how the bytes were cut: the stream fed whole and fed in input-chosen pieces gives the same
// packets and counters.
//
// Input: [keep-limit choice] [16-bit seed of piece sizes] [stream bytes...]
#include <vector>

#include "fuzz_support.h"
#include "sim/wire/stream_decoder.h"

namespace {

using orvane::kvsim::WirePacket;

void DecodePayload(const WirePacket& p) {
    namespace kv = orvane::kvsim;
    if (p.payload.size() >= 4) kv::commandName(kv::getU32(p.payload.data()));
    if (auto segment = kv::decodeSegmentRequest(p.payload)) {
        kv::segmentChecksum(segment->data, kv::kSegmentSize);
    }
    kv::decodeDeviceInfoReply(p.payload);
    kv::decodeDescriptorReply(p.payload);
    kv::decodeFirmwareXmlReply(p.payload);
    kv::decodeSegmentAck(p.payload);
    kv::decodeRegisterPayload(p.payload);
}

void CheckSame(const WirePacket& a, const WirePacket& b) {
    FUZZ_CHECK(a.header.type == b.header.type && a.header.packet_id == b.header.packet_id);
    FUZZ_CHECK(a.header.length == b.header.length);
    FUZZ_CHECK(a.has_image == b.has_image && a.truncated == b.truncated && a.malformed == b.malformed);
    FUZZ_CHECK(a.payload == b.payload && a.extra == b.extra);
}

// What a packet says about itself must match what was kept of it.
void CheckConsistent(const WirePacket& p, size_t keep_limit) {
    FUZZ_CHECK(p.header.version == orvane::kvsim::kWireVersion);
    if (p.truncated || p.malformed) {
        FUZZ_CHECK(p.payload.empty());
        return;
    }
    FUZZ_CHECK(p.payload.size() <= keep_limit);
    size_t kept = p.payload.size();
    if (p.has_image) {
        FUZZ_CHECK(p.extra.size() == p.image.extra_len);
        kept += orvane::kvsim::kImageHeaderSize + p.extra.size();
    }
    FUZZ_CHECK(kept == p.header.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::InputReader in(data, size);
    static const size_t kKeepLimits[4] = {0, 16, 300, orvane::kvsim::kMaxPacketLength};
    const size_t keep_limit = kKeepLimits[in.Byte() & 3];
    kvfuzz::Rng pieces(in.U16());
    const uint8_t* bytes = in.rest();
    const size_t n = in.rest_size();

    orvane::kvsim::StreamDecoder whole(keep_limit);
    std::vector<WirePacket> whole_packets;
    whole.feed(bytes, n, whole_packets);

    orvane::kvsim::StreamDecoder cut(keep_limit);
    std::vector<WirePacket> cut_packets;
    for (size_t pos = 0; pos < n;) {
        const size_t piece = std::min<size_t>(n - pos, pieces.Next() % 40);
        cut.feed(bytes + pos, piece, cut_packets);
        pos += piece;
    }

    FUZZ_CHECK(whole_packets.size() == cut_packets.size());
    for (size_t i = 0; i < whole_packets.size(); ++i) {
        CheckSame(whole_packets[i], cut_packets[i]);
        CheckConsistent(whole_packets[i], keep_limit);
        DecodePayload(whole_packets[i]);
    }
    FUZZ_CHECK(whole.stats().packets == cut.stats().packets);
    FUZZ_CHECK(whole.stats().bad_headers == cut.stats().bad_headers);
    FUZZ_CHECK(whole.stats().garbage_bytes == cut.stats().garbage_bytes);
    FUZZ_CHECK(whole.idle() == cut.idle());
    return 0;
}
