#include "protocol/cam_control_processor.h"

#include "diag/logger.h"

namespace orvane {

bool CamControlProcessor::AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader*,
                                       char** buffer, int* size) {
    if (header->type != kPacketTypeRegister || header->length != kRegisterPayloadLength) return false;
    rx_header_ = *header;
    if (rx_buffer_.size() < kRegisterPayloadLength) rx_buffer_.resize(kRegisterPayloadLength + 1);
    *buffer = rx_buffer_.data();
    *size = static_cast<int>(rx_buffer_.size());
    return true;
}

void CamControlProcessor::ProcessPacketOverride(const DataPacketHeader*, const PacketData& data) {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    reply_header_ = rx_header_;
    // A reply that did not arrive whole must not be read as one.
    if (data.status == kPacketStatusComplete && data.data != nullptr) {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(rx_buffer_.data());
        reply_.assign(bytes, bytes + kRegisterPayloadLength);
    } else {
        reply_.clear();
    }
}

std::vector<uint8_t> CamControlProcessor::reply_buffer() {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    return reply_;
}

DataPacketHeader CamControlProcessor::reply_header() {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    return reply_header_;
}

int CamControlProcessor::SendRegisterPacket(int cam_id, int reg_id, int value, bool is_read) {
    DeviceReceiveController* owner = controller;
    if (owner == nullptr) return 1;
    uint8_t packet[kRegisterPacketSize];
    BuildSyncHeaderBlock(packet, 0, kPacketTypeRegister, kRegisterPayloadLength);
    uint8_t* payload = packet + kSyncHeaderBlockSize;
    PutU32LE(payload + 0, static_cast<uint32_t>(reg_id));
    PutU32LE(payload + 4, static_cast<uint32_t>(value));
    payload[8] = static_cast<uint8_t>(cam_id & 0xFF);
    payload[9] = is_read ? 1 : 0;
    owner->LockStream();
    const int result = owner->SendData(reinterpret_cast<const char*>(packet), kRegisterPacketSize);
    owner->UnlockStream();
    return result == 0 ? 0 : 1;
}

int CamControlProcessor::ReadRegister(int cam_id, int reg_id, int* value) {
    if (value == nullptr) return 1;
    ArmWait(0);  // register packets always carry id 0
    struct Disarm {
        IPacketProcessor* processor;
        ~Disarm() { processor->DisarmWait(); }
    } disarm{this};
    if (SendRegisterPacket(cam_id, reg_id, 0, true) != 0) return 1;
    // Without a reply in time the answer is unknown, whatever an earlier reply left behind.
    if (!WaitForResponse(timeout_ms.load())) return 1;
    const std::vector<uint8_t> reply = reply_buffer();
    if (reply.size() < kRegisterPayloadLength) return 1;
    if (reply[8] != static_cast<uint8_t>(cam_id & 0xFF) ||
        GetU32LE(reply.data()) != static_cast<uint32_t>(reg_id) || reply[9] != 1) {
        return 1;
    }
    *value = static_cast<int>(GetU32LE(reply.data() + 4));
    return 0;
}

int CamControlProcessor::WriteRegister(int cam_id, int reg_id, int value) {
    return SendRegisterPacket(cam_id, reg_id, value, false);
}

}  // namespace orvane
