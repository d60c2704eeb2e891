// Sensor register access with type-1 packets: 26-byte requests (sync+header block and a 10-byte payload
// in one send) and 10-byte replies.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "protocol/device_receive_controller.h"

namespace orvane {

class CamControlProcessor : public IPacketProcessor {
  public:
    static constexpr uint32_t kRegisterPayloadLength = 10;
    static constexpr int kRegisterPacketSize = kSyncHeaderBlockSize + 10;

    CamControlProcessor() = default;
    ~CamControlProcessor() override = default;

    // Claims type-1 packets of exactly 10 payload bytes.
    bool AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader* image_header,
                      char** buffer, int* size) override;
    void ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) override;

    // 0 and the value when a reply for this sensor and register arrived within timeout_ms (below 1: no
    // limit); 1 otherwise. Only the low byte of cam_id goes on the wire. One read at a time per processor.
    int ReadRegister(int cam_id, int reg_id, int* value);
    // 0 once the request was sent, 1 when sending failed; no reply is awaited.
    int WriteRegister(int cam_id, int reg_id, int value);

    // Payload of the last register reply (empty before any).
    std::vector<uint8_t> reply_buffer();
    DataPacketHeader reply_header();

  private:
    int SendRegisterPacket(int cam_id, int reg_id, int value, bool is_read);

    std::vector<char> rx_buffer_;  // written by the receive path only
    DataPacketHeader rx_header_;
    std::mutex reply_mutex_;  // guards the copies below, read by the requesting thread
    std::vector<uint8_t> reply_;
    DataPacketHeader reply_header_;
};

}  // namespace orvane
