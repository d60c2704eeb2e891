#include "protocol/device_param_processor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/logger.h"
#include "platform/KvDebug.h"

namespace orvane {

namespace {

constexpr uint32_t kCmdQueryFlag = 0x80000000u;

constexpr uint32_t kCmdPing = 0x00;
constexpr uint32_t kCmdQueryInfo = 0x01;
constexpr uint32_t kCmdLaserPower = 0x02;
constexpr uint32_t kCmdDeviceMode = 0x03;
constexpr uint32_t kCmdConfigData = 0x04;
constexpr uint32_t kCmdSaveFlash = 0x05;
constexpr uint32_t kCmdIntrinsic = 0x06;
constexpr uint32_t kCmdDepthResolution = 0x07;
constexpr uint32_t kCmdUndistortIR = 0x08;
constexpr uint32_t kCmdTriggerMode = 0x09;
constexpr uint32_t kCmdTriggerOnce = 0x0A;
constexpr uint32_t kCmdCamGain = 0x0B;
constexpr uint32_t kCmdDescriptor = 0x0C;
constexpr uint32_t kCmdFirmwareXml = 0x0D;
constexpr uint32_t kCmdRgbGain = 0x0E;
constexpr uint32_t kCmdRgbResolution = 0x0F;
constexpr uint32_t kCmdRgbExposure = 0x10;
constexpr uint32_t kCmdRgbAwb = 0x11;
constexpr uint32_t kCmdBrightHisto = 0x12;
constexpr uint32_t kCmdFramePerTrigger = 0x13;
constexpr uint32_t kCmdLaserAutoCtrl = 0x16;
constexpr uint32_t kCmdStructTriggerMode = 0x17;
constexpr uint32_t kCmdDeveloperMode = 0xF2;

constexpr int kConfigRequestLength = 268;
constexpr int kConfigAckLength = 40;
constexpr int kFlashRequestLength = 24;
constexpr size_t kFlashReplyLength = 40;
constexpr int kFlashPassMs = 10;

using Reply = std::vector<uint8_t>;

// A request payload: the command code, then fields at fixed offsets, zeros elsewhere.
template <int N>
struct Payload {
    uint8_t bytes[N] = {0};
    explicit Payload(uint32_t code) { PutU32LE(bytes, code); }
    void u8(int offset, uint8_t v) { bytes[offset] = v; }
    void u16(int offset, uint16_t v) { PutU16LE(bytes + offset, v); }
    void i32(int offset, int32_t v) { PutI32LE(bytes + offset, v); }
    void u32(int offset, uint32_t v) { PutU32LE(bytes + offset, v); }
};

// Decoding helpers: every read is preceded by a size check.
bool HasBytes(const Reply& reply, size_t n) {
    return reply.size() >= n;
}
uint32_t Code(const Reply& reply) {
    return GetU32LE(reply.data());
}
uint32_t CodeNumber(const Reply& reply) {
    return Code(reply) & ~kCmdQueryFlag;
}

// Code check of the query decoders without a length check: they read the first 6 bytes, so a shorter
// reply is a bad reply rather than a read past its end.
int CheckCodeInSixBytes(const Reply& reply, uint32_t code) {
    if (!HasBytes(reply, 6)) return kParamBadReply;
    if (CodeNumber(reply) != code) return kParamBadReply;
    return kParamOk;
}

int CheckLength(const Reply& reply, size_t n) {
    return reply.size() == n ? kParamOk : kParamBadReply;
}

// Sum of the segment's 64 little-endian words, modulo 2^32.
uint32_t SegmentChecksum(const uint8_t* segment) {
    uint32_t sum = 0;
    for (int i = 0; i < ConfigDownloader::kSegmentSize; i += 4) sum += GetU32LE(segment + i);
    return sum;
}

void BuildConfigRequest(Payload<kConfigRequestLength>* request, int offset, const int8_t* data, int length) {
    request->u32(4, static_cast<uint32_t>(offset));
    uint8_t* segment = request->bytes + 12;
    const int n = std::max(0, std::min(length, ConfigDownloader::kSegmentSize));
    if (data != nullptr && n > 0) std::memcpy(segment, data, static_cast<size_t>(n));
    request->u32(8, SegmentChecksum(segment));
}

}  // namespace

const DeviceParamProcessor::TimeoutNote DeviceParamProcessor::kStdNote = {false, nullptr};
const DeviceParamProcessor::TimeoutNote DeviceParamProcessor::kSilentNote = {true, nullptr};

// ---------------------------------------------------------------------------------------- ConfigDownloader

ConfigDownloader::ConfigDownloader(DeviceParamProcessor* owner) : owner_(owner) {}

int ConfigDownloader::SetConfigDataNoWait(int offset, const int8_t* data, int length) {
    Payload<kConfigRequestLength> request(kCmdConfigData);
    BuildConfigRequest(&request, offset, data, length);
    return owner_->SendOnly(request.bytes, kConfigRequestLength);
}

int ConfigDownloader::SetConfigDataAsync(const int8_t* data, int length) {
    if (data == nullptr && length > 0) return 1;
    last_progress_time_.store(getMonotonicTime());
    {
        const int count = length > 0 ? (length + kSegmentSize - 1) / kSegmentSize : 0;
        std::vector<DownloadSegment> segments(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            segments[i].offset = i * kSegmentSize;
            segments[i].data = data + segments[i].offset;
            segments[i].length = std::min(kSegmentSize, length - segments[i].offset);
            segments[i].status.store(1);
        }
        std::lock_guard<std::mutex> lock(segments_mutex_);
        segments_ = std::move(segments);
    }
    finished_.store(false);
    const uint32_t start = getMonotonicTime();
    // Only this thread changes the vector itself, so it walks it without the lock; the lock keeps the
    // acknowledgement handler away from a rebuild, and is never held while sending.
    for (;;) {
        bool outstanding = false;
        int failures = 0;
        for (DownloadSegment& segment : segments_) {
            if (segment.status.load() == 0) continue;
            outstanding = true;
            printf("offset: %d\r", segment.offset);
            if (SetConfigDataNoWait(segment.offset, segment.data, segment.length) != 0) {
                if (++failures > max_send_failures.load()) return 1;
            }
        }
        if (!outstanding) break;
        if (timeDiff(getMonotonicTime(), start) > download_timeout_ms.load()) {
            printf("download timeout \n");
            finished_.store(true);
            return 1;
        }
        std::this_thread::yield();
    }
    KV_LOG(kLogInfo, "\nconfig device done");
    finished_.store(true);
    return 0;
}

void ConfigDownloader::HandleAcknowledgement(const uint8_t* reply, int length) {
    if (finished_.load()) return;
    if (reply == nullptr || length != kConfigAckLength || GetU32LE(reply) != kCmdConfigData) return;
    const int32_t status = GetI32LE(reply + 4);
    const uint32_t index = GetU32LE(reply + 8);
    std::lock_guard<std::mutex> lock(segments_mutex_);
    for (DownloadSegment& segment : segments_) {
        if (static_cast<uint32_t>(segment.offset / kSegmentSize) == index) {
            segment.status.store(status);
            break;
        }
    }
    const uint32_t now = getMonotonicTime();
    if (timeDiff(now, last_progress_time_.load()) > progress_interval_ms.load()) {
        last_progress_time_.store(now);
        int accepted = 0;
        for (const DownloadSegment& segment : segments_) accepted += segment.status.load() == 0 ? 1 : 0;
        KV_LOG(kLogInfo, "download:%d", accepted * segment_size);
    }
}

std::vector<int32_t> ConfigDownloader::SegmentStatuses() {
    std::lock_guard<std::mutex> lock(segments_mutex_);
    std::vector<int32_t> statuses;
    for (const DownloadSegment& segment : segments_) statuses.push_back(segment.status.load());
    return statuses;
}

// ------------------------------------------------------------------------------------ DeviceParamProcessor

DeviceParamProcessor::DeviceParamProcessor() : downloader_(new ConfigDownloader(this)) {}

DeviceParamProcessor::~DeviceParamProcessor() = default;

bool DeviceParamProcessor::AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader*,
                                        char** buffer, int* size) {
    if (header->type != kPacketTypeParam || header->length < 1 || header->length > kMaxReplyLength)
        return false;
    rx_buffer_.resize(header->length);
    *buffer = rx_buffer_.data();
    *size = static_cast<int>(rx_buffer_.size());
    KV_LOG(kLogVerbose, "deviceparam packet accepted");
    return true;
}

void DeviceParamProcessor::ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) {
    const bool complete = data.status == kPacketStatusComplete && data.data != nullptr;
    const size_t length = complete ? std::min<size_t>(header->length, rx_buffer_.size()) : 0;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data);
    {
        std::lock_guard<std::mutex> lock(reply_mutex_);
        uint8_t raw[kPacketHeaderSize];
        EncodePacketHeader(*header, raw);
        std::memcpy(reply_header_, raw, sizeof(reply_header_));
        reply_length_ = static_cast<int32_t>(header->length);
        // A payload that did not arrive whole is no reply: decoders then see an empty one.
        if (complete) {
            reply_buffer_.assign(bytes, bytes + length);
        } else {
            reply_buffer_.clear();
        }
    }
    if (complete) downloader_->HandleAcknowledgement(bytes, static_cast<int>(length));
    KeepFlashReply(header, data);
}

void DeviceParamProcessor::UnawaitedPacket(const DataPacketHeader* header, const PacketData& data) {
    KeepFlashReply(header, data);
}

void DeviceParamProcessor::KeepFlashReply(const DataPacketHeader* header, const PacketData& data) {
    if (data.status != kPacketStatusComplete || data.data == nullptr ||
        static_cast<size_t>(header->length) != kFlashReplyLength || rx_buffer_.size() < kFlashReplyLength) {
        return;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data);
    if (GetU32LE(bytes) != kCmdSaveFlash) return;
    std::lock_guard<std::mutex> lock(reply_mutex_);
    flash_reply_.assign(bytes, bytes + kFlashReplyLength);
}

std::vector<uint8_t> DeviceParamProcessor::reply_buffer() {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    return reply_buffer_;
}

int32_t DeviceParamProcessor::reply_length() {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    return reply_length_;
}

void DeviceParamProcessor::ClearReply() {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    reply_buffer_.clear();
}

int DeviceParamProcessor::SendRequest(const uint8_t* payload, int length, bool await_reply, int split,
                                      uint8_t* packet_id) {
    uint8_t block[kSyncHeaderBlockSize];
    const uint8_t id = NextPacketId();
    if (packet_id != nullptr) *packet_id = id;
    BuildSyncHeaderBlock(block, id, kPacketTypeParam, static_cast<uint32_t>(length));
    if (await_reply) ArmWait(id);
    DeviceReceiveController* owner = controller;
    if (owner == nullptr) {
        KV_LOG(kLogError, "send data failed(%d)", kParamBadReply);
        DisarmWait();
        return kParamBadReply;
    }
    owner->LockStream();
    int result = owner->SendData(reinterpret_cast<const char*>(block), kSyncHeaderBlockSize);
    if (result == 0) {
        const char* bytes = reinterpret_cast<const char*>(payload);
        if (split > 0 && split < length) {
            result = owner->SendData(bytes, split);
            if (result == 0) result = owner->SendData(bytes + split, length - split);
        } else {
            result = owner->SendData(bytes, length);
        }
    }
    if (result != 0) {
        KV_LOG(kLogError, "send data failed(%d)", result);
        if (await_reply) DisarmWait();
        owner->UnlockStream();
        return result;
    }
    owner->UnlockStream();
    return 0;
}

int DeviceParamProcessor::AwaitReply(int32_t timeout, TimeoutNote note, Reply* reply) {
    // Disarm however the wait ends, including a framing error thrown while pumping.
    struct Disarm {
        IPacketProcessor* processor;
        ~Disarm() { processor->DisarmWait(); }
    } disarm{this};
    if (WaitForResponse(timeout)) {
        // Copied while still armed: once disarmed, any stray reply would be processed and replace it.
        if (reply != nullptr) *reply = reply_buffer();
        return kParamOk;
    }
    if (note.text != nullptr) {
        KV_LOG(kLogInfo, "%s", note.text);
    } else if (!note.silent) {
        KV_LOG(kLogError, "send data failed(%d)", kParamNoReply);
    }
    return kParamNoReply;
}

int DeviceParamProcessor::Transact(const uint8_t* payload, int length, TimeoutNote note, Reply* reply,
                                   int32_t timeout, int split) {
    const int sent = SendRequest(payload, length, true, split);
    if (sent != 0) return sent;
    return AwaitReply(timeout == -1 ? timeout_ms.load() : timeout, note, reply);
}

int DeviceParamProcessor::SendOnly(const uint8_t* payload, int length) {
    return SendRequest(payload, length, false);
}

// -------------------------------------------------------------------------------------------- commands

int DeviceParamProcessor::Ping(int timeout) {
    Payload<4> request(kCmdPing);
    return Transact(request.bytes, 4, {false, "ping no response"}, nullptr, timeout == -1 ? -1 : timeout);
}

int DeviceParamProcessor::GetFirmwareVersion(int* major, int* minor) {
    if (major == nullptr || minor == nullptr) return kParamDeviceFailure;
    Payload<16> request(kCmdPing);
    request.u32(12, 1);
    Reply reply;
    // The device expects this request's payload as two transfers.
    const int result =
        Transact(request.bytes, 16, {false, "get firmware version no response"}, &reply, -1, 12);
    if (result != kParamOk) return result;
    if (!HasBytes(reply, 4)) return kParamBadReply;
    if (Code(reply) != kCmdPing) return kParamWrongCode;
    if (!HasBytes(reply, 12)) return kParamBadReply;
    *major = static_cast<int>(GetU32LE(reply.data() + 4));
    *minor = static_cast<int>(GetU32LE(reply.data() + 8));
    return kParamOk;
}

int DeviceParamProcessor::QueryInfo(DeviceInfo* info) {
    if (info == nullptr) return kParamDeviceFailure;
    ClearReply();
    Payload<4> request(kCmdQueryInfo);
    Reply reply;
    const int result = Transact(request.bytes, 4, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, 108) != kParamOk || Code(reply) != kCmdQueryInfo) return kParamBadReply;
    const uint8_t* p = reply.data() + 4;
    info->reserved = GetU32LE(p);
    info->hardware_major = GetU16LE(p + 4);
    info->hardware_minor = GetU16LE(p + 6);
    std::memcpy(info->serial_number, p + 8, sizeof(info->serial_number));
    // The serial number is text that readers may take up to its terminator; a device that fills all 32
    // bytes must not make them read past the field.
    info->serial_number[sizeof(info->serial_number) - 1] = '\0';
    std::memcpy(info->model_name, p + 40, sizeof(info->model_name));
    return kParamOk;
}

int DeviceParamProcessor::SetLaserPow(uint8_t power) {
    Payload<8> request(kCmdLaserPower);
    request.u16(4, power);
    return SendOnly(request.bytes, 8);
}

int DeviceParamProcessor::GetLaserPow(int* power) {
    if (power == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdLaserPower);
    Reply reply;
    int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result == kParamOk) result = CheckCodeInSixBytes(reply, kCmdLaserPower);
    if (result == kParamOk) *power = GetI16LE(reply.data() + 4);
    return result;
}

int DeviceParamProcessor::ChangeDeviceMode(DeviceWorkModes mode) {
    Payload<8> request(kCmdDeviceMode);
    request.u16(4, static_cast<uint16_t>(mode));
    return Transact(request.bytes, 8, kSilentNote, nullptr);
}

int DeviceParamProcessor::GetDeviceMode(DeviceWorkModes* mode) {
    if (mode == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdDeviceMode);
    Reply reply;
    int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result == kParamOk) result = CheckCodeInSixBytes(reply, kCmdDeviceMode);
    if (result == kParamOk) *mode = GetI16LE(reply.data() + 4);
    return result;
}

int DeviceParamProcessor::QueryIntrinsic(CamIntrinsic* intrinsic) {
    if (intrinsic == nullptr) return kParamDeviceFailure;
    Payload<4> request(kCmdIntrinsic);
    Reply reply;
    const int result = Transact(request.bytes, 4, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, 48) != kParamOk) return kParamBadReply;
    std::memcpy(intrinsic->bytes, reply.data() + 4, sizeof(intrinsic->bytes));
    return kParamOk;
}

int DeviceParamProcessor::SetDepthResolution(ResolutionModes mode) {
    Payload<8> request(kCmdDepthResolution);
    request.u16(4, static_cast<uint16_t>(mode));
    return SendOnly(request.bytes, 8);
}

int DeviceParamProcessor::GetDeviceDepthResolution(ResolutionModes* mode) {
    if (mode == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdDepthResolution);
    Reply reply;
    int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result == kParamOk) result = CheckCodeInSixBytes(reply, kCmdDepthResolution);
    if (result == kParamOk) *mode = GetI16LE(reply.data() + 4);
    return result;
}

int DeviceParamProcessor::SetUndistortIRStatus(bool enable) {
    Payload<8> request(kCmdUndistortIR);
    request.u8(5, enable ? 1 : 0);
    return Transact(request.bytes, 8, kSilentNote, nullptr);
}

int DeviceParamProcessor::GetUndistortIRStatus(bool& enabled) {
    Payload<8> request(kCmdUndistortIR);
    request.u8(5, 0xFF);
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (!HasBytes(reply, 6)) return kParamBadReply;
    if (Code(reply) != kCmdUndistortIR || reply[4] != 0) return kParamDeviceFailure;
    enabled = reply[5] == 1;
    return kParamOk;
}

int DeviceParamProcessor::SetCaptureTriggerMode(bool triggered) {
    Payload<8> request(kCmdTriggerMode);
    request.u16(4, triggered ? 1 : 0);
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    return result != kParamOk ? result : CheckLength(reply, 8);
}

int DeviceParamProcessor::GetCaptureTriggerMode(bool* triggered) {
    if (triggered == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdTriggerMode);
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, 8) != kParamOk || CodeNumber(reply) != kCmdTriggerMode) return kParamBadReply;
    *triggered = GetU16LE(reply.data() + 4) != 0;
    return kParamOk;
}

int DeviceParamProcessor::TriggerOnce() {
    Payload<8> request(kCmdTriggerOnce);
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    return result != kParamOk ? result : CheckLength(reply, 8);
}

int DeviceParamProcessor::SetCamGain(int camid, int gain) {
    Payload<8> request(kCmdCamGain);
    request.u16(4, static_cast<uint16_t>(camid));
    request.u16(6, static_cast<uint16_t>(gain));
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, 8) != kParamOk) return kParamBadReply;
    return GetI16LE(reply.data() + 4) < 0 ? kParamDeviceFailure : kParamOk;
}

int DeviceParamProcessor::GetCamGain(int camid, int* gain) {
    if (gain == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdCamGain);
    request.u16(4, static_cast<uint16_t>(camid));
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, 8) != kParamOk) return kParamBadReply;
    if (GetI16LE(reply.data() + 4) < 0) return kParamDeviceFailure;
    *gain = GetI16LE(reply.data() + 6);
    return kParamOk;
}

int DeviceParamProcessor::ColourSet(const uint8_t* payload, int length) {
    Reply reply;
    return ColourQuery(payload, length, &reply);
}

int DeviceParamProcessor::ColourQuery(const uint8_t* payload, int length, Reply* reply) {
    const int result = Transact(payload, length, kStdNote, reply);
    if (result != kParamOk) return result;
    if (CheckLength(*reply, static_cast<size_t>(length)) != kParamOk) return kParamBadReply;
    return GetI32LE(reply->data() + 4) < 0 ? kParamDeviceFailure : kParamOk;
}

int DeviceParamProcessor::SetRgbGain(int camid, const int gains[3]) {
    if (gains == nullptr) return kParamDeviceFailure;
    Payload<20> request(kCmdRgbGain);
    request.i32(4, camid);
    for (int i = 0; i < 3; ++i) request.i32(8 + 4 * i, gains[i]);
    return ColourSet(request.bytes, 20);
}

int DeviceParamProcessor::GetRgbGain(int camid, int gains[3]) {
    if (gains == nullptr) return kParamDeviceFailure;
    // The device answers colour-gain queries under the sensor-gain query code.
    Payload<20> request(kCmdQueryFlag | kCmdCamGain);
    request.i32(4, camid);
    Reply reply;
    const int result = ColourQuery(request.bytes, 20, &reply);
    if (result != kParamOk) return result;
    for (int i = 0; i < 3; ++i) gains[i] = GetI32LE(reply.data() + 8 + 4 * i);
    return kParamOk;
}

int DeviceParamProcessor::SetRgbResolution(ResolutionModes mode) {
    Payload<8> request(kCmdRgbResolution);
    request.u16(4, static_cast<uint16_t>(mode));
    return SendOnly(request.bytes, 8);
}

int DeviceParamProcessor::GetRgbResolution(ResolutionModes* mode) {
    if (mode == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdRgbResolution);
    Reply reply;
    int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result == kParamOk) result = CheckCodeInSixBytes(reply, kCmdRgbResolution);
    if (result == kParamOk) *mode = GetI16LE(reply.data() + 4);
    return result;
}

int DeviceParamProcessor::SetRgbAutoExpo(int camid, bool on) {
    // Exposure -1 means automatic; switching it off selects the fixed value 100.
    return SetRgbExpo(camid, on ? -1 : 100);
}

int DeviceParamProcessor::GetRgbAutoExpo(int camid, bool* on) {
    if (on == nullptr) return kParamDeviceFailure;
    int value = 0;
    const int result = GetRgbExpo(camid, &value);
    if (result == kParamOk) *on = value == -1;
    return result;
}

int DeviceParamProcessor::SetRgbExpo(int camid, int value) {
    Payload<12> request(kCmdRgbExposure);
    request.i32(4, camid);
    request.i32(8, value);
    return ColourSet(request.bytes, 12);
}

int DeviceParamProcessor::GetRgbExpo(int camid, int* value) {
    if (value == nullptr) return kParamDeviceFailure;
    Payload<12> request(kCmdQueryFlag | kCmdRgbExposure);
    request.i32(4, camid);
    Reply reply;
    const int result = ColourQuery(request.bytes, 12, &reply);
    if (result != kParamOk) return result;
    *value = GetI32LE(reply.data() + 8);
    return kParamOk;
}

int DeviceParamProcessor::SetRgbAWB(int camid, bool on) {
    Payload<12> request(kCmdRgbAwb);
    request.i32(4, camid);
    request.u32(8, on ? 1 : 0);
    return ColourSet(request.bytes, 12);
}

int DeviceParamProcessor::GetRgbAWB(int camid, bool* on) {
    if (on == nullptr) return kParamDeviceFailure;
    Payload<12> request(kCmdQueryFlag | kCmdRgbAwb);
    request.i32(4, camid);
    Reply reply;
    const int result = ColourQuery(request.bytes, 12, &reply);
    if (result != kParamOk) return result;
    *on = GetI32LE(reply.data() + 8) != 0;
    return kParamOk;
}

int DeviceParamProcessor::SetBrightHistoStatus(bool enable) {
    Payload<8> request(kCmdBrightHisto);
    request.u8(5, enable ? 1 : 0);
    return Transact(request.bytes, 8, kSilentNote, nullptr);
}

int DeviceParamProcessor::SetFramePerTrigger(int count) {
    Payload<8> request(kCmdFramePerTrigger);
    request.u16(4, static_cast<uint16_t>(count));
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    return result != kParamOk ? result : CheckLength(reply, 8);
}

int DeviceParamProcessor::GetFramePerTrigger(int* count) {
    if (count == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdFramePerTrigger);
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, 8) != kParamOk || CodeNumber(reply) != kCmdFramePerTrigger) return kParamBadReply;
    *count = GetU16LE(reply.data() + 4);
    return kParamOk;
}

int DeviceParamProcessor::SetLaserAutoCtrl(bool on) {
    Payload<8> request(kCmdLaserAutoCtrl);
    request.u16(4, on ? 1 : 0);
    return SendOnly(request.bytes, 8);
}

int DeviceParamProcessor::GetLaserAutoCtrl(bool* on) {
    if (on == nullptr) return kParamDeviceFailure;
    Payload<8> request(kCmdQueryFlag | kCmdLaserAutoCtrl);
    request.u16(4, 1);  // this query carries 1 where the others send 0
    Reply reply;
    int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result == kParamOk) result = CheckCodeInSixBytes(reply, kCmdLaserAutoCtrl);
    if (result == kParamOk) *on = GetU16LE(reply.data() + 4) != 0;
    return result;
}

int DeviceParamProcessor::SetCaptureStructTriggerMode(const KV_TRIGGER_MODE& mode) {
    Payload<8> request(kCmdStructTriggerMode);
    request.u16(4, static_cast<uint16_t>(mode.mode));
    request.u8(6, static_cast<uint8_t>(mode.param & 0xFF));
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    return result != kParamOk ? result : CheckLength(reply, 8);
}

int DeviceParamProcessor::enterDeveloperMode() {
    Payload<8> request(kCmdDeveloperMode);
    return SendOnly(request.bytes, 8);
}

// -------------------------------------------------------------------------------------- bulk exchanges

int DeviceParamProcessor::SetConfigData(int offset, const int8_t* data, int length) {
    ClearReply();
    Payload<kConfigRequestLength> request(kCmdConfigData);
    BuildConfigRequest(&request, offset, data, length);
    Reply reply;
    const int result = Transact(request.bytes, kConfigRequestLength, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (CheckLength(reply, kConfigAckLength) != kParamOk || Code(reply) != kCmdConfigData)
        return kParamBadReply;
    if (GetU32LE(reply.data() + 4) != 0) return kParamDeviceFailure;
    KV_LOG(kLogVerbose, "transfer ok");
    return kParamOk;
}

int DeviceParamProcessor::SetConfigDataAsync(const int8_t* data, int length) {
    return downloader_->SetConfigDataAsync(data, length);
}

int DeviceParamProcessor::SaveConfigToFlash(const DeviceConfigUpdateParam* param, int timeout) {
    if (param == nullptr) return kParamDeviceFailure;
    // A save reply left over from an earlier save must not end this wait.
    {
        std::lock_guard<std::mutex> lock(reply_mutex_);
        flash_reply_.clear();
    }
    Payload<kFlashRequestLength> request(kCmdSaveFlash);
    std::memcpy(request.bytes + 4, param->bytes, sizeof(param->bytes));
    uint8_t packet_id = 0;
    const int sent = SendRequest(request.bytes, kFlashRequestLength, true, 0, &packet_id);
    if (sent != 0) return sent;
    const uint32_t start = getMonotonicTime();
    Reply reply;
    for (;;) {
        {
            struct Disarm {
                IPacketProcessor* processor;
                ~Disarm() { processor->DisarmWait(); }
            } disarm{this};
            WaitForResponse(kFlashPassMs);
        }
        {
            // The device may answer under another packet id, so any save reply that came in counts.
            std::lock_guard<std::mutex> lock(reply_mutex_);
            reply = flash_reply_;
        }
        if (reply.size() == kFlashReplyLength) break;
        if (timeout >= 0 && timeDiff(getMonotonicTime(), start) > timeout) {
            KV_LOG(kLogError, "Save config to flash timeout");
            return kParamNoReply;
        }
        ArmWait(packet_id);
    }
    if (GetU32LE(reply.data() + 4) != 0) return kParamDeviceFailure;
    KV_LOG(kLogInfo, "Save config to flash done");
    return kParamOk;
}

int DeviceParamProcessor::GetDeviceDescriptor(std::vector<uint8_t>& out) {
    out.clear();
    Payload<8> request(kCmdQueryFlag | kCmdDescriptor);
    Reply reply;
    const int result = Transact(request.bytes, 8, kStdNote, &reply);
    if (result != kParamOk) return result;
    if (!HasBytes(reply, 4)) return kParamBadReply;
    if (CodeNumber(reply) != kCmdDescriptor) return kParamWrongCode;
    const int n = static_cast<int>(reply.size()) - 8;
    if (n < 0) return kParamBadReply;
    if (n == 0) return kParamOk;
    uint8_t sum = 0;
    for (int i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + reply[8 + i]);
    if (sum != reply[6]) return kParamWrongCode;
    out.assign(reply.begin() + 8, reply.end());
    out.push_back(0);
    return kParamOk;
}

int DeviceParamProcessor::GetFirmwareVersionXML(char* buffer, int buffer_size, int* length) {
    Payload<12> request(kCmdQueryFlag | kCmdFirmwareXml);
    Reply reply;
    const int result = Transact(request.bytes, 12, {false, "get firmware version xml no response"}, &reply);
    if (result != kParamOk) return result;
    if (!HasBytes(reply, 4)) return kParamBadReply;
    if (CodeNumber(reply) != kCmdFirmwareXml) return kParamWrongCode;
    const int n = static_cast<int>(reply.size()) - 8;
    if (n < 0) return kParamBadReply;
    const int copy = std::min(n, buffer_size);
    if (buffer != nullptr && copy > 0) std::memcpy(buffer, reply.data() + 8, static_cast<size_t>(copy));
    if (length != nullptr) *length = n;
    return kParamOk;
}

}  // namespace orvane
