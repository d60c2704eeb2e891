#include "protocol/packet_base.h"

#include <cstring>

namespace orvane {

std::atomic<uint8_t> kPacketIdCounter{0};

void EncodePacketHeader(const DataPacketHeader& header, uint8_t out[kPacketHeaderSize]) {
    PutU8(out + 0, header.version);
    PutU8(out + 1, header.packet_id);
    PutU8(out + 2, header.type);
    std::memcpy(out + 3, header.reserved, sizeof(header.reserved));
    PutU32LE(out + 8, header.length);
}

DataPacketHeader DecodePacketHeader(const uint8_t in[kPacketHeaderSize]) {
    DataPacketHeader header;
    header.version = in[0];
    header.packet_id = in[1];
    header.type = in[2];
    std::memcpy(header.reserved, in + 3, sizeof(header.reserved));
    header.length = GetU32LE(in + 8);
    return header;
}

void EncodeImageHeader(const DataPacketImageHeader& header, uint8_t out[kImageHeaderSize]) {
    PutU16LE(out + 0, header.width);
    PutU16LE(out + 2, header.height);
    PutU32LE(out + 4, header.timestamp);
    PutU8(out + 8, header.cam_id);
    PutU8(out + 9, header.pixel_format);
    PutU8(out + 10, header.frame_index);
    PutU8(out + 11, header.extra_len);
}

void DecodeImageHeader(const uint8_t in[kImageHeaderSize], DataPacketImageHeader* header) {
    header->width = GetU16LE(in + 0);
    header->height = GetU16LE(in + 2);
    header->timestamp = GetU32LE(in + 4);
    header->cam_id = in[8];
    header->pixel_format = in[9];
    header->frame_index = in[10];
    header->extra_len = in[11];
}

void BuildSyncHeaderBlock(uint8_t out[kSyncHeaderBlockSize], uint8_t packet_id, uint8_t type,
                          uint32_t length) {
    std::memcpy(out, kProtocolSyncHead, kSyncHeadSize);
    DataPacketHeader header;
    header.version = kProtocolVersion;
    header.packet_id = packet_id;
    header.type = type;
    header.length = length;
    EncodePacketHeader(header, out + kSyncHeadSize);
}

}  // namespace orvane
