// The camera's packet framing and payloads, as the simulated device and the simulator's test clients see
// them. Written on its own from the wire tables: it shares no code with the library, so that a layout
// mistake on either side shows up as a failing test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/wire/byte_order.h"

namespace orvane {
namespace kvsim {

// ---- Framing -------------------------------------------------------------------------------------------

constexpr uint8_t kSyncPattern[4] = {0xfe, 0x01, 0xfe, 0x01};
constexpr uint8_t kWireVersion = 4;
constexpr size_t kSyncSize = 4;
constexpr size_t kHeaderSize = 12;
constexpr size_t kBlockSize = kSyncSize + kHeaderSize;  // sync + header, in front of every payload
constexpr size_t kImageHeaderSize = 12;
constexpr uint32_t kMaxPacketLength = 0x4AFFFF;   // largest payload a receiver accepts
constexpr uint32_t kMaxParamReplyLength = 51199;  // largest parameter reply the host accepts
constexpr size_t kMaxDescriptorLength = kMaxParamReplyLength - 8;

enum PacketType : uint8_t {
    kPacketParam = 0,     // parameter commands, replies, keep-alive
    kPacketRegister = 1,  // sensor register access
    kPacketImage = 2,     // image data with the image sub-header
};

struct PacketHeader {
    uint8_t version = kWireVersion;
    uint8_t packet_id = 0;
    uint8_t type = kPacketParam;
    uint8_t reserved[5] = {0, 0, 0, 0, 0};
    uint32_t length = 0;  // payload bytes after the 16-byte block
};

// Writes sync + header (16 bytes).
void encodeBlock(const PacketHeader& header, uint8_t* out16);
// Reads the 12 header bytes that follow the sync pattern.
PacketHeader decodeHeader(const uint8_t* in12);
// A receiver drops any header with another version or a length above the limit.
bool headerAcceptable(const PacketHeader& header);

// A complete packet: block followed by payload.
Bytes encodePacket(uint8_t type, uint8_t packet_id, const Bytes& payload);

struct ImageHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t timestamp_low = 0;
    uint8_t cam_id = 0;
    uint8_t pixel_format = 0;
    uint8_t frame_index = 0;
    uint8_t extra_len = 0;
};

void encodeImageHeader(const ImageHeader& image, uint8_t* out12);
ImageHeader decodeImageHeader(const uint8_t* in12);

// Camera ids of the image sub-header.
enum CamId : uint8_t { kCamLeftIr = 0, kCamRightIr = 1, kCamColor = 2, kCamDepth = 3, kCamAux = 4 };

// Wire pixel-format codes and their bytes per pixel (0 for codes the host drops).
enum WirePixelFormat : uint8_t {
    kPixMono8 = 0,
    kPixDepth16 = 1,
    kPixYuv16 = 2,
    kPixRgb24 = 3,
    kPixMono8Alt = 4,
    kPixYuv16Alt = 5,
    kPixBayer = 6,
};
int bytesPerPixel(uint8_t wire_pixel_format);

// The timestamp's high part travels in the extra bytes: the simulator sends four, the bits 32..63 as a
// little-endian uint32, whose first byte is the one hosts read.
constexpr uint8_t kTimestampExtraLen = 4;
void encodeTimestampExtra(uint64_t timestamp, uint8_t* out4);

// Bytes in front of an image's data: block, sub-header and extra bytes. `data_len` is the image data size;
// the header's length counts sub-header, extra bytes and data.
Bytes encodeImagePrefix(uint8_t packet_id, const ImageHeader& image, const uint8_t* extra, size_t data_len);

// ---- Parameter commands
// ------------------------------------------------------------------------------------

constexpr uint32_t kQueryFlag = 0x80000000u;

enum CommandCode : uint32_t {
    kCmdPing = 0x00,  // also the firmware version request, told apart by its payload
    kCmdDeviceInfo = 0x01,
    kCmdLaserPower = 0x02,
    kCmdWorkMode = 0x03,
    kCmdConfigSegment = 0x04,
    kCmdSaveToFlash = 0x05,
    kCmdIntrinsic = 0x06,
    kCmdDepthResolution = 0x07,
    kCmdUndistort = 0x08,  // set and query share the code; byte 5 = 0xFF asks
    kCmdTriggerMode = 0x09,
    kCmdTriggerOnce = 0x0A,
    kCmdCamGain = 0x0B,  // the query form also serves the colour gains (20-byte payload)
    kCmdDescriptor = 0x0C,
    kCmdFirmwareXml = 0x0D,
    kCmdRgbGain = 0x0E,
    kCmdRgbResolution = 0x0F,
    kCmdRgbExposure = 0x10,  // exposure -1 means automatic exposure
    kCmdRgbAwb = 0x11,
    kCmdHistogram = 0x12,
    kCmdFramesPerTrigger = 0x13,
    kCmdLaserAuto = 0x16,
    kCmdStructTrigger = 0x17,
    kCmdKeepAlive = 224,
    kCmdDeveloperMode = 0xF2,
};

constexpr uint32_t query(uint32_t code) {
    return code | kQueryFlag;
}

// Byte 5 value of the undistort/histogram request that asks instead of setting.
constexpr uint8_t kSwitchQuery = 0xFF;

// Requests as the host sends them (payloads only; wrap with encodePacket).
Bytes codeOnlyRequest(uint32_t code);               // 4 bytes
Bytes pingRequest();                                // code 0 (4)
Bytes firmwareVersionRequest();                     // code 0, 8 zero bytes, uint32 1 at 12 (16)
Bytes u16Request(uint32_t code, uint16_t value);    // uint16 at 4 (8)
Bytes switchRequest(uint32_t code, uint8_t value);  // uint8 0 at 4, value at 5 (8)
Bytes camGainRequest(uint32_t code, uint16_t camid, uint16_t gain);  // uint16 camid at 4, gain at 6 (8)
Bytes rgbGainSetRequest(int32_t camid, const int32_t gains[3]);      // 0x0E (20)
Bytes rgbGainQueryRequest(int32_t camid);                            // 0x8000000B (20)
Bytes camValueRequest(uint32_t code, int32_t camid, int32_t value);  // int32 camid at 4, value at 8 (12)
Bytes structTriggerRequest(uint16_t mode, uint8_t param);            // 0x17 (8)
Bytes descriptorRequest();                                           // 0x8000000C + 4 zero bytes (8)
Bytes firmwareXmlRequest();                                          // 0x8000000D + 8 zero bytes (12)
Bytes keepAliveRequest();                                            // 224 + 4 zero bytes (8)

// Configuration download.
constexpr size_t kSegmentSize = 256;
constexpr size_t kSegmentRequestLength = 12 + kSegmentSize;
constexpr size_t kSegmentAckLength = 40;
constexpr size_t kFlashSaveParamLength = 20;
constexpr size_t kFlashSaveReplyLength = 40;
// Sum of the segment's 64 little-endian words, modulo 2^32; `n` may be short, the rest counts as zero.
uint32_t segmentChecksum(const uint8_t* data, size_t n);
// A segment request for `n` (<= 256) data bytes at `offset`, padded with zeros.
Bytes configSegmentRequest(uint32_t offset, const uint8_t* data, size_t n);
Bytes flashSaveRequest(const uint8_t* param20);

struct SegmentRequest {
    uint32_t offset = 0;
    uint32_t checksum = 0;
    const uint8_t* data = nullptr;  // 256 bytes inside the decoded payload
};
std::optional<SegmentRequest> decodeSegmentRequest(const Bytes& payload);

// ---- Replies ----------------------------------------------------------------------------------------------

// The 104-byte device information record.
struct DeviceInfoRecord {
    uint32_t word0 = 0;  // not read by hosts
    uint16_t hw_major = 0;
    uint16_t hw_minor = 0;
    std::string serial;  // 32-byte field
    std::string model;   // 64-byte field
};
constexpr size_t kDeviceInfoLength = 104;
constexpr size_t kIntrinsicRecordLength = 44;

// {code, int16 a at 4, int16 b at 6}: the short reply of most commands.
Bytes shortReply(uint32_t code, int16_t a, int16_t b);
// {code, uint8 status at 4, uint8 state at 5, 2 zero bytes}: undistort and histogram switches.
Bytes switchReply(uint32_t code, uint8_t status, uint8_t state);
// {code, int32 words...}
Bytes wordsReply(uint32_t code, std::initializer_list<int32_t> words);
Bytes pingReply();                                                           // {0, 0} (8)
Bytes firmwareVersionReply(uint32_t major, uint32_t minor, uint32_t patch);  // {0, major, minor, patch} (16)
Bytes deviceInfoReply(const DeviceInfoRecord& info);                         // {1, record} (108)
Bytes intrinsicReply(const uint8_t* record44);                               // {6, record} (48)
Bytes segmentAck(uint32_t status, uint32_t offset, uint32_t checksum_seen);  // 40
Bytes flashSaveReply(uint32_t status);                                       // 40
Bytes descriptorReply(const std::string& text);   // code, checksum at 6, text from 8
Bytes firmwareXmlReply(const std::string& text);  // code, text from 8
Bytes keepAliveReply();                           // {224, 0} (8)

// Low 8 bits of the sum of all bytes: the descriptor reply's checksum.
uint8_t descriptorChecksum(const std::string& text);

// Host-side decoders, each returning nothing for a payload of the wrong size or code.
std::optional<DeviceInfoRecord> decodeDeviceInfoReply(const Bytes& payload);
struct DescriptorReply {
    std::string text;
    uint8_t checksum = 0;
    bool checksum_ok = false;
};
std::optional<DescriptorReply> decodeDescriptorReply(const Bytes& payload);
std::optional<std::string> decodeFirmwareXmlReply(const Bytes& payload);
struct SegmentAck {
    uint32_t status = 0;
    uint32_t index = 0;
};
std::optional<SegmentAck> decodeSegmentAck(const Bytes& payload);

// ---- Register packets ----------------------------------------------------------------------------------

constexpr size_t kRegisterPayloadLength = 10;
struct RegisterAccess {
    uint32_t reg_id = 0;
    uint32_t value = 0;
    uint8_t cam_id = 0;
    uint8_t is_read = 0;
};
// The whole 26-byte register packet (block + payload, packet id 0).
Bytes encodeRegisterPacket(const RegisterAccess& access);
std::optional<RegisterAccess> decodeRegisterPayload(const Bytes& payload);

// Name of a command code for log lines ("depth resolution?" for the query form).
std::string commandName(uint32_t code);

}  // namespace kvsim
}  // namespace orvane
