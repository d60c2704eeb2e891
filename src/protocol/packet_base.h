// Packet framing shared by every sender and receiver of the device protocol: the sync pattern, the 12-byte
// packet header, the 12-byte image sub-header, and little-endian field helpers. Wire bytes are always
// built and read field by field; no struct is ever laid over a buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orvane {

constexpr uint8_t kProtocolSyncHead[4] = {0xfe, 0x01, 0xfe, 0x01};
constexpr uint8_t kProtocolVersion = 4;

constexpr uint8_t kPacketTypeParam = 0;     // parameter commands and replies, keep-alive
constexpr uint8_t kPacketTypeRegister = 1;  // register access
constexpr uint8_t kPacketTypeImage = 2;     // image data behind a sub-header

constexpr int kSyncHeadSize = 4;
constexpr int kPacketHeaderSize = 12;
constexpr int kSyncHeaderBlockSize = kSyncHeadSize + kPacketHeaderSize;  // 16
constexpr int kImageHeaderSize = 12;
// Largest payload a receiver accepts; anything longer is a corrupt header.
constexpr uint32_t kMaxPacketLength = 0x4AFFFF;

struct DataPacketHeader {
    uint8_t version = 0;
    uint8_t packet_id = 0;
    uint8_t type = 0;
    uint8_t reserved[5] = {0, 0, 0, 0, 0};
    uint32_t length = 0;  // payload bytes after the sync+header block
};

struct DataPacketImageHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t timestamp = 0;  // low 32 bits of the frame timestamp
    uint8_t cam_id = 0;
    uint8_t pixel_format = 0;
    uint8_t frame_index = 0;
    uint8_t extra_len = 0;  // bytes between the sub-header and the image data
    // Not on the wire: the first extra byte, the high part of a 64-bit timestamp (valid when extra_len > 0).
    int32_t timestamp_high = 0;
};

// What the parser hands to the packet callback once a payload was read.
struct PacketData {
    char* data = nullptr;  // the destination supplied by the header callback
    const DataPacketImageHeader* image_header = nullptr;
    int status = 0;  // 0 complete, -1 read failed / timed out / stopped, -2 longer than the buffer
};

constexpr int kPacketStatusComplete = 0;
constexpr int kPacketStatusReadFailed = -1;
constexpr int kPacketStatusTruncated = -2;

// One 8-bit request id counter for the whole process; wraps 255 -> 0.
extern std::atomic<uint8_t> kPacketIdCounter;

// Takes the current id and advances the counter in one atomic step.
inline uint8_t NextPacketId() {
    return kPacketIdCounter.fetch_add(1, std::memory_order_relaxed);
}

// Little-endian field access on raw wire bytes.
inline void PutU8(uint8_t* p, uint8_t v) {
    p[0] = v;
}
inline void PutU16LE(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32LE(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void PutI32LE(uint8_t* p, int32_t v) {
    PutU32LE(p, static_cast<uint32_t>(v));
}
inline uint16_t GetU16LE(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t GetI16LE(const uint8_t* p) {
    return static_cast<int16_t>(GetU16LE(p));
}
inline uint32_t GetU32LE(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t GetI32LE(const uint8_t* p) {
    return static_cast<int32_t>(GetU32LE(p));
}

void EncodePacketHeader(const DataPacketHeader& header, uint8_t out[kPacketHeaderSize]);
DataPacketHeader DecodePacketHeader(const uint8_t in[kPacketHeaderSize]);
void EncodeImageHeader(const DataPacketImageHeader& header, uint8_t out[kImageHeaderSize]);
// Fills the twelve wire fields; timestamp_high is left as it was (it comes from the extra bytes).
void DecodeImageHeader(const uint8_t in[kImageHeaderSize], DataPacketImageHeader* header);

// Writes the sync pattern and a version-4 header with zero reserved bytes: the 16 bytes every packet
// starts with.
void BuildSyncHeaderBlock(uint8_t out[kSyncHeaderBlockSize], uint8_t packet_id, uint8_t type,
                          uint32_t length);

}  // namespace orvane
