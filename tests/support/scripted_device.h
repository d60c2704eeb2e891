// A small scripted camera for protocol tests. It sits behind the host end of an in-memory stream and
// answers each complete request inside the host's Send, from a table of handlers keyed by command code,
// so tests need neither sockets nor a device thread. Replies can be delayed, re-addressed, malformed or
// withheld, and unsolicited packets (images, stray replies, garbage) can be pushed at any time.
//
// Its framing code is written on its own from the wire layout, so a layout mistake in the library shows
// up as a failing test instead of cancelling out.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "memory_stream.h"

namespace kvtest {

struct DeviceRequest {
    uint8_t version = 0;
    uint8_t packet_id = 0;
    uint8_t type = 0;
    Bytes payload;
    Bytes raw;  // the whole packet as received: sync, header, payload
    // First payload word (the command code), 0xFFFFFFFF when the payload is shorter than 4 bytes.
    uint32_t code() const;
};

struct DeviceReply {
    Bytes payload;
    int delay_ms = 0;
    int packet_id = -1;  // -1: the request's packet_id
    int type = -1;       // -1: the request's type
    Bytes raw;           // when not empty: sent as it is instead of a framed payload
};

using ReplyHandler = std::function<std::vector<DeviceReply>(const DeviceRequest&)>;

// Fields of an image packet; extra bytes go between the sub-header and the data.
struct ImagePacketFields {
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t timestamp = 0;
    uint8_t cam_id = 0;
    uint8_t pixel_format = 0;
    uint8_t frame_index = 0;
    Bytes extra;
    Bytes data;
};

// Packet encoders independent of the library's own.
Bytes MakePacket(uint8_t type, uint8_t packet_id, const Bytes& payload, uint8_t version = 4);
Bytes MakeImagePacket(const ImagePacketFields& fields, uint8_t packet_id = 0);
// The payload of a reply that echoes code and carries words after it.
Bytes ReplyWords(uint32_t code, std::initializer_list<uint32_t> words);

class ScriptedDevice {
  public:
    static constexpr uint32_t kKeepAliveCode = 224;

    ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    // The host's end of the connection.
    MemoryStream& stream() { return host_; }

    // Type-0 requests are answered by the handler registered for their command code; requests without
    // one get no reply.
    void On(uint32_t code, ReplyHandler handler);
    void OnReply(uint32_t code, const Bytes& payload, int delay_ms = 0);
    void Silence(uint32_t code);
    // Type-1 (register) requests.
    void OnRegister(ReplyHandler handler);
    // Keep-alive requests (code 224) are answered with an 8-byte echo unless switched off.
    void AnswerKeepAlive(bool on);

    std::vector<DeviceRequest> requests() const;
    std::vector<DeviceRequest> requests_with_code(uint32_t code) const;
    size_t request_count() const;
    size_t keepalive_requests() const;
    // Bytes the device skipped while looking for a sync pattern.
    size_t garbage_bytes() const;
    bool WaitForCode(uint32_t code, size_t n, int timeout_ms) const;

    // Unsolicited traffic towards the host.
    void Push(uint8_t type, uint8_t packet_id, const Bytes& payload, int delay_ms = 0);

  private:
    void OnHostBytes(const uint8_t* data, size_t size);
    void Handle(const DeviceRequest& request);

    MemoryStream host_;
    std::mutex process_mutex_;  // one request at a time, in arrival order
    Bytes pending_;
    mutable std::mutex state_mutex_;
    std::map<uint32_t, ReplyHandler> handlers_;
    ReplyHandler register_handler_;
    bool answer_keepalive_ = true;
    std::vector<DeviceRequest> requests_;
    size_t keepalives_ = 0;
    size_t garbage_ = 0;
};

}  // namespace kvtest
