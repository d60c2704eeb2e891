#include "sim/wire/packets.h"

#include <cstdio>

namespace orvane {
namespace kvsim {

void encodeBlock(const PacketHeader& header, uint8_t* out) {
    std::memcpy(out, kSyncPattern, kSyncSize);
    out[4] = header.version;
    out[5] = header.packet_id;
    out[6] = header.type;
    std::memcpy(out + 7, header.reserved, 5);
    putU32(out + 12, header.length);
}

PacketHeader decodeHeader(const uint8_t* in) {
    PacketHeader h;
    h.version = in[0];
    h.packet_id = in[1];
    h.type = in[2];
    std::memcpy(h.reserved, in + 3, 5);
    h.length = getU32(in + 8);
    return h;
}

bool headerAcceptable(const PacketHeader& header) {
    return header.version == kWireVersion && header.length <= kMaxPacketLength;
}

Bytes encodePacket(uint8_t type, uint8_t packet_id, const Bytes& payload) {
    PacketHeader h;
    h.packet_id = packet_id;
    h.type = type;
    h.length = static_cast<uint32_t>(payload.size());
    Bytes out(kBlockSize + payload.size());
    encodeBlock(h, out.data());
    if (!payload.empty()) std::memcpy(out.data() + kBlockSize, payload.data(), payload.size());
    return out;
}

void encodeImageHeader(const ImageHeader& image, uint8_t* out) {
    putU16(out, image.width);
    putU16(out + 2, image.height);
    putU32(out + 4, image.timestamp_low);
    out[8] = image.cam_id;
    out[9] = image.pixel_format;
    out[10] = image.frame_index;
    out[11] = image.extra_len;
}

ImageHeader decodeImageHeader(const uint8_t* in) {
    ImageHeader image;
    image.width = getU16(in);
    image.height = getU16(in + 2);
    image.timestamp_low = getU32(in + 4);
    image.cam_id = in[8];
    image.pixel_format = in[9];
    image.frame_index = in[10];
    image.extra_len = in[11];
    return image;
}

int bytesPerPixel(uint8_t format) {
    switch (format) {
        case kPixMono8:
        case kPixMono8Alt:
        case kPixBayer:
            return 1;
        case kPixDepth16:
        case kPixYuv16:
        case kPixYuv16Alt:
            return 2;
        case kPixRgb24:
            return 3;
        default:
            return 0;
    }
}

void encodeTimestampExtra(uint64_t timestamp, uint8_t* out) {
    putU32(out, static_cast<uint32_t>(timestamp >> 32));
}

Bytes encodeImagePrefix(uint8_t packet_id, const ImageHeader& image, const uint8_t* extra, size_t data_len) {
    PacketHeader h;
    h.packet_id = packet_id;
    h.type = kPacketImage;
    h.length = static_cast<uint32_t>(kImageHeaderSize + image.extra_len + data_len);
    Bytes out(kBlockSize + kImageHeaderSize + image.extra_len);
    encodeBlock(h, out.data());
    encodeImageHeader(image, out.data() + kBlockSize);
    if (image.extra_len > 0) std::memcpy(out.data() + kBlockSize + kImageHeaderSize, extra, image.extra_len);
    return out;
}

// ---- Requests ---------------------------------------------------------------------------------------------

Bytes codeOnlyRequest(uint32_t code) {
    Bytes b;
    ByteWriter(b).u32(code);
    return b;
}

Bytes pingRequest() {
    return codeOnlyRequest(kCmdPing);
}

Bytes firmwareVersionRequest() {
    Bytes b;
    ByteWriter(b).u32(kCmdPing).zeros(8).u32(1);
    return b;
}

Bytes u16Request(uint32_t code, uint16_t value) {
    Bytes b;
    ByteWriter(b).u32(code).u16(value).zeros(2);
    return b;
}

Bytes switchRequest(uint32_t code, uint8_t value) {
    Bytes b;
    ByteWriter(b).u32(code).u8(0).u8(value).zeros(2);
    return b;
}

Bytes camGainRequest(uint32_t code, uint16_t camid, uint16_t gain) {
    Bytes b;
    ByteWriter(b).u32(code).u16(camid).u16(gain);
    return b;
}

Bytes rgbGainSetRequest(int32_t camid, const int32_t gains[3]) {
    Bytes b;
    ByteWriter(b).u32(kCmdRgbGain).i32(camid).i32(gains[0]).i32(gains[1]).i32(gains[2]);
    return b;
}

Bytes rgbGainQueryRequest(int32_t camid) {
    Bytes b;
    ByteWriter(b).u32(query(kCmdCamGain)).i32(camid).zeros(12);
    return b;
}

Bytes camValueRequest(uint32_t code, int32_t camid, int32_t value) {
    Bytes b;
    ByteWriter(b).u32(code).i32(camid).i32(value);
    return b;
}

Bytes structTriggerRequest(uint16_t mode, uint8_t param) {
    Bytes b;
    ByteWriter(b).u32(kCmdStructTrigger).u16(mode).u8(param).u8(0);
    return b;
}

Bytes descriptorRequest() {
    Bytes b;
    ByteWriter(b).u32(query(kCmdDescriptor)).zeros(4);
    return b;
}

Bytes firmwareXmlRequest() {
    Bytes b;
    ByteWriter(b).u32(query(kCmdFirmwareXml)).zeros(8);
    return b;
}

Bytes keepAliveRequest() {
    Bytes b;
    ByteWriter(b).u32(kCmdKeepAlive).zeros(4);
    return b;
}

uint32_t segmentChecksum(const uint8_t* data, size_t n) {
    uint8_t padded[kSegmentSize] = {};
    std::memcpy(padded, data, n < kSegmentSize ? n : kSegmentSize);
    uint32_t sum = 0;
    for (size_t i = 0; i < kSegmentSize; i += 4) sum += getU32(padded + i);
    return sum;
}

Bytes configSegmentRequest(uint32_t offset, const uint8_t* data, size_t n) {
    if (n > kSegmentSize) n = kSegmentSize;
    Bytes b;
    ByteWriter(b)
        .u32(kCmdConfigSegment)
        .u32(offset)
        .u32(segmentChecksum(data, n))
        .bytes(data, n)
        .zeros(kSegmentSize - n);
    return b;
}

Bytes flashSaveRequest(const uint8_t* param20) {
    Bytes b;
    ByteWriter(b).u32(kCmdSaveToFlash).bytes(param20, kFlashSaveParamLength);
    return b;
}

std::optional<SegmentRequest> decodeSegmentRequest(const Bytes& payload) {
    if (payload.size() < kSegmentRequestLength) return std::nullopt;
    ByteReader r(payload);
    if (r.u32() != kCmdConfigSegment) return std::nullopt;
    SegmentRequest s;
    s.offset = r.u32();
    s.checksum = r.u32();
    s.data = payload.data() + 12;
    return s;
}

// ---- Replies ----------------------------------------------------------------------------------------------

Bytes shortReply(uint32_t code, int16_t a, int16_t b) {
    Bytes out;
    ByteWriter(out).u32(code).i16(a).i16(b);
    return out;
}

Bytes switchReply(uint32_t code, uint8_t status, uint8_t state) {
    Bytes out;
    ByteWriter(out).u32(code).u8(status).u8(state).zeros(2);
    return out;
}

Bytes wordsReply(uint32_t code, std::initializer_list<int32_t> words) {
    Bytes out;
    ByteWriter w(out);
    w.u32(code);
    for (int32_t v : words) w.i32(v);
    return out;
}

Bytes pingReply() {
    return wordsReply(kCmdPing, {0});
}

Bytes firmwareVersionReply(uint32_t major, uint32_t minor, uint32_t patch) {
    Bytes out;
    ByteWriter(out).u32(kCmdPing).u32(major).u32(minor).u32(patch);
    return out;
}

Bytes deviceInfoReply(const DeviceInfoRecord& info) {
    Bytes out;
    ByteWriter(out)
        .u32(kCmdDeviceInfo)
        .u32(info.word0)
        .u16(info.hw_major)
        .u16(info.hw_minor)
        .text(info.serial, 32)
        .text(info.model, 64);
    return out;
}

Bytes intrinsicReply(const uint8_t* record44) {
    Bytes out;
    ByteWriter(out).u32(kCmdIntrinsic).bytes(record44, kIntrinsicRecordLength);
    return out;
}

Bytes segmentAck(uint32_t status, uint32_t offset, uint32_t checksum_seen) {
    Bytes out;
    ByteWriter(out)
        .u32(kCmdConfigSegment)
        .u32(status)
        .u32(offset / kSegmentSize)
        .u32(offset)
        .u32(checksum_seen)
        .zeros(20);
    return out;
}

Bytes flashSaveReply(uint32_t status) {
    Bytes out;
    ByteWriter(out).u32(kCmdSaveToFlash).u32(status).zeros(32);
    return out;
}

uint8_t descriptorChecksum(const std::string& text) {
    uint32_t sum = 0;
    for (unsigned char c : text) sum += c;
    return static_cast<uint8_t>(sum);
}

Bytes descriptorReply(const std::string& text) {
    Bytes out;
    ByteWriter(out)
        .u32(query(kCmdDescriptor))
        .zeros(2)
        .u8(descriptorChecksum(text))
        .u8(0)
        .bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return out;
}

Bytes firmwareXmlReply(const std::string& text) {
    Bytes out;
    ByteWriter(out)
        .u32(query(kCmdFirmwareXml))
        .zeros(4)
        .bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return out;
}

Bytes keepAliveReply() {
    return wordsReply(kCmdKeepAlive, {0});
}

std::optional<DeviceInfoRecord> decodeDeviceInfoReply(const Bytes& payload) {
    if (payload.size() != 4 + kDeviceInfoLength) return std::nullopt;
    ByteReader r(payload);
    if (r.u32() != kCmdDeviceInfo) return std::nullopt;
    DeviceInfoRecord info;
    info.word0 = r.u32();
    info.hw_major = r.u16();
    info.hw_minor = r.u16();
    info.serial = r.text(32);
    info.model = r.text(64);
    if (!r.ok()) return std::nullopt;
    return info;
}

std::optional<DescriptorReply> decodeDescriptorReply(const Bytes& payload) {
    if (payload.size() < 8) return std::nullopt;
    if ((getU32(payload.data()) & ~kQueryFlag) != kCmdDescriptor) return std::nullopt;
    DescriptorReply d;
    d.text.assign(reinterpret_cast<const char*>(payload.data()) + 8, payload.size() - 8);
    d.checksum = payload[6];
    d.checksum_ok = descriptorChecksum(d.text) == d.checksum;
    return d;
}

std::optional<std::string> decodeFirmwareXmlReply(const Bytes& payload) {
    if (payload.size() < 8) return std::nullopt;
    if ((getU32(payload.data()) & ~kQueryFlag) != kCmdFirmwareXml) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(payload.data()) + 8, payload.size() - 8);
}

std::optional<SegmentAck> decodeSegmentAck(const Bytes& payload) {
    if (payload.size() != kSegmentAckLength) return std::nullopt;
    ByteReader r(payload);
    if (r.u32() != kCmdConfigSegment) return std::nullopt;
    SegmentAck ack;
    ack.status = r.u32();
    ack.index = r.u32();
    return ack;
}

// ---- Registers --------------------------------------------------------------------------------------------

Bytes encodeRegisterPacket(const RegisterAccess& access) {
    Bytes payload;
    ByteWriter(payload).u32(access.reg_id).u32(access.value).u8(access.cam_id).u8(access.is_read);
    return encodePacket(kPacketRegister, 0, payload);
}

std::optional<RegisterAccess> decodeRegisterPayload(const Bytes& payload) {
    if (payload.size() != kRegisterPayloadLength) return std::nullopt;
    ByteReader r(payload);
    RegisterAccess a;
    a.reg_id = r.u32();
    a.value = r.u32();
    a.cam_id = r.u8();
    a.is_read = r.u8();
    return a;
}

std::string commandName(uint32_t code) {
    const char* name = nullptr;
    switch (code & ~kQueryFlag) {
        case kCmdPing:
            name = "ping/firmware version";
            break;
        case kCmdDeviceInfo:
            name = "device info";
            break;
        case kCmdLaserPower:
            name = "laser power";
            break;
        case kCmdWorkMode:
            name = "work mode";
            break;
        case kCmdConfigSegment:
            name = "config segment";
            break;
        case kCmdSaveToFlash:
            name = "save to flash";
            break;
        case kCmdIntrinsic:
            name = "intrinsic";
            break;
        case kCmdDepthResolution:
            name = "depth resolution";
            break;
        case kCmdUndistort:
            name = "undistort";
            break;
        case kCmdTriggerMode:
            name = "trigger mode";
            break;
        case kCmdTriggerOnce:
            name = "trigger once";
            break;
        case kCmdCamGain:
            name = "gain";
            break;
        case kCmdDescriptor:
            name = "descriptor";
            break;
        case kCmdFirmwareXml:
            name = "firmware xml";
            break;
        case kCmdRgbGain:
            name = "colour gains";
            break;
        case kCmdRgbResolution:
            name = "colour resolution";
            break;
        case kCmdRgbExposure:
            name = "colour exposure";
            break;
        case kCmdRgbAwb:
            name = "colour white balance";
            break;
        case kCmdHistogram:
            name = "histogram";
            break;
        case kCmdFramesPerTrigger:
            name = "frames per trigger";
            break;
        case kCmdLaserAuto:
            name = "laser auto control";
            break;
        case kCmdStructTrigger:
            name = "trigger mode record";
            break;
        case kCmdKeepAlive:
            name = "keep-alive";
            break;
        case kCmdDeveloperMode:
            name = "developer mode";
            break;
        default:
            break;
    }
    char buf[64];
    if (name == nullptr) {
        std::snprintf(buf, sizeof buf, "unknown 0x%x", code);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%s%s", name, (code & kQueryFlag) ? "?" : "");
    return buf;
}

}  // namespace kvsim
}  // namespace orvane
