#include "scripted_device.h"

#include <algorithm>

namespace kvtest {

namespace {
const uint8_t kSync[4] = {0xfe, 0x01, 0xfe, 0x01};
constexpr size_t kBlockSize = 16;

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
}  // namespace

uint32_t DeviceRequest::code() const {
    return payload.size() >= 4 ? ReadLe32(payload.data()) : 0xFFFFFFFFu;
}

Bytes MakePacket(uint8_t type, uint8_t packet_id, const Bytes& payload, uint8_t version) {
    Bytes out(kSync, kSync + 4);
    out.push_back(version);
    out.push_back(packet_id);
    out.push_back(type);
    out.insert(out.end(), 5, 0);
    AppendLe32(&out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes MakeImagePacket(const ImagePacketFields& fields, uint8_t packet_id) {
    Bytes payload;
    AppendLe16(&payload, fields.width);
    AppendLe16(&payload, fields.height);
    AppendLe32(&payload, fields.timestamp);
    payload.push_back(fields.cam_id);
    payload.push_back(fields.pixel_format);
    payload.push_back(fields.frame_index);
    payload.push_back(static_cast<uint8_t>(fields.extra.size()));
    payload.insert(payload.end(), fields.extra.begin(), fields.extra.end());
    payload.insert(payload.end(), fields.data.begin(), fields.data.end());
    return MakePacket(2, packet_id, payload);
}

Bytes ReplyWords(uint32_t code, std::initializer_list<uint32_t> words) {
    Bytes out = Le32(code);
    for (uint32_t w : words) AppendLe32(&out, w);
    return out;
}

ScriptedDevice::ScriptedDevice() {
    host_.SetSendObserver([this](const uint8_t* data, size_t size) { OnHostBytes(data, size); });
}

void ScriptedDevice::On(uint32_t code, ReplyHandler handler) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    handlers_[code] = std::move(handler);
}

void ScriptedDevice::OnReply(uint32_t code, const Bytes& payload, int delay_ms) {
    On(code, [payload, delay_ms](const DeviceRequest&) {
        DeviceReply reply;
        reply.payload = payload;
        reply.delay_ms = delay_ms;
        return std::vector<DeviceReply>{reply};
    });
}

void ScriptedDevice::Silence(uint32_t code) {
    On(code, [](const DeviceRequest&) { return std::vector<DeviceReply>{}; });
}

void ScriptedDevice::OnRegister(ReplyHandler handler) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    register_handler_ = std::move(handler);
}

void ScriptedDevice::AnswerKeepAlive(bool on) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    answer_keepalive_ = on;
}

std::vector<DeviceRequest> ScriptedDevice::requests() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return requests_;
}

std::vector<DeviceRequest> ScriptedDevice::requests_with_code(uint32_t code) const {
    std::vector<DeviceRequest> matching;
    for (const DeviceRequest& request : requests()) {
        if (request.type == 0 && request.code() == code) matching.push_back(request);
    }
    return matching;
}

size_t ScriptedDevice::request_count() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return requests_.size();
}

size_t ScriptedDevice::keepalive_requests() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return keepalives_;
}

size_t ScriptedDevice::garbage_bytes() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return garbage_;
}

bool ScriptedDevice::WaitForCode(uint32_t code, size_t n, int timeout_ms) const {
    return WaitUntil([&] { return requests_with_code(code).size() >= n; }, timeout_ms);
}

void ScriptedDevice::Push(uint8_t type, uint8_t packet_id, const Bytes& payload, int delay_ms) {
    host_.Feed(MakePacket(type, packet_id, payload), delay_ms);
}

void ScriptedDevice::OnHostBytes(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> process(process_mutex_);
    pending_.insert(pending_.end(), data, data + size);
    for (;;) {
        // Skip to the next sync pattern.
        size_t skip = 0;
        while (skip + 4 <= pending_.size() && !std::equal(kSync, kSync + 4, pending_.begin() + skip)) ++skip;
        if (skip + 4 > pending_.size()) skip = pending_.size() >= 3 ? pending_.size() - 3 : 0;
        if (skip > 0) {
            pending_.erase(pending_.begin(), pending_.begin() + skip);
            std::lock_guard<std::mutex> lock(state_mutex_);
            garbage_ += skip;
        }
        if (pending_.size() < kBlockSize) return;
        const uint32_t length = ReadLe32(pending_.data() + 12);
        if (pending_.size() < kBlockSize + length) return;
        DeviceRequest request;
        request.version = pending_[4];
        request.packet_id = pending_[5];
        request.type = pending_[6];
        request.raw.assign(pending_.begin(), pending_.begin() + kBlockSize + length);
        request.payload.assign(pending_.begin() + kBlockSize, pending_.begin() + kBlockSize + length);
        pending_.erase(pending_.begin(), pending_.begin() + kBlockSize + length);
        Handle(request);
    }
}

void ScriptedDevice::Handle(const DeviceRequest& request) {
    ReplyHandler handler;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        requests_.push_back(request);
        if (request.type == 0 && request.code() == kKeepAliveCode) {
            ++keepalives_;
            if (answer_keepalive_) {
                handler = [](const DeviceRequest&) {
                    DeviceReply reply;
                    reply.payload = ReplyWords(kKeepAliveCode, {0});
                    return std::vector<DeviceReply>{reply};
                };
            }
        } else if (request.type == 1) {
            handler = register_handler_;
        } else if (request.type == 0) {
            auto it = handlers_.find(request.code());
            if (it != handlers_.end()) handler = it->second;
        }
    }
    if (!handler) return;
    for (const DeviceReply& reply : handler(request)) {
        if (!reply.raw.empty()) {
            host_.Feed(reply.raw, reply.delay_ms);
            continue;
        }
        const uint8_t type = static_cast<uint8_t>(reply.type < 0 ? request.type : reply.type);
        const uint8_t id = static_cast<uint8_t>(reply.packet_id < 0 ? request.packet_id : reply.packet_id);
        host_.Feed(MakePacket(type, id, reply.payload), reply.delay_ms);
    }
}

}  // namespace kvtest
