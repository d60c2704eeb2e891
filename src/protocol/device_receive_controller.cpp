#include "protocol/device_receive_controller.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>

#include "diag/KvException.h"
#include "diag/logger.h"
#include "platform/KvDebug.h"
#include "platform/hal_linux.h"
#include "transport/ITransferStream.h"

namespace orvane {

namespace {
// The controller whose receive loop runs on this thread, if any.
thread_local const DeviceReceiveController* tls_receive_owner = nullptr;
}  // namespace

// ---------------------------------------------------------------------------------------- IPacketProcessor

IPacketProcessor::~IPacketProcessor() = default;

void IPacketProcessor::UnawaitedPacket(const DataPacketHeader*, const PacketData&) {}

void IPacketProcessor::ArmWait(int32_t packet_id) {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    wait_packet_id.store(packet_id);
    response_ready.store(false, std::memory_order_release);
}

void IPacketProcessor::DisarmWait() {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    wait_packet_id.store(-1);
}

bool IPacketProcessor::AwaitsPacket(uint8_t packet_id) const {
    const int32_t awaited = wait_packet_id.load();
    return awaited == -1 || awaited == packet_id;
}

void IPacketProcessor::CompleteWait(uint8_t packet_id) {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    if (!AwaitsPacket(packet_id)) return;
    response_ready.store(true, std::memory_order_release);
    completed_.notify_all();
}

bool IPacketProcessor::WaitForResponse(int32_t timeout) {
    const uint32_t start = getMonotonicTime();
    DeviceReceiveController* owner = controller;
    const bool began_threaded = owner != nullptr && owner->IsRunning();
    for (;;) {
        if (response_ready.load(std::memory_order_acquire)) return true;
        if (timeout >= 1 && timeDiff(getMonotonicTime(), start) > timeout) return false;
        if (owner == nullptr) return false;
        if (owner->IsRunning()) {
            // A reply can take long (a flash save, a silent camera): sleep rather than spin a core. The
            // flag is tested under the lock CompleteWait sets it under, so no completion is missed; the
            // slice bounds how late a stopped thread or the time limit is noticed.
            std::unique_lock<std::mutex> lock(wait_mutex_);
            completed_.wait_for(lock, std::chrono::milliseconds(1),
                                [this] { return response_ready.load(std::memory_order_acquire); });
        } else if (began_threaded) {
            // The receive thread ended while we waited: nobody will deliver the reply.
            return response_ready.load(std::memory_order_acquire);
        } else {
            owner->DoReceiveEvents();
        }
    }
}

// --------------------------------------------------------------------------------- DeviceReceiveController

DeviceReceiveController::DeviceReceiveController() {
    // The lock lives as long as the controller: a sender on another thread may hold it at any moment,
    // including while the receive thread is being stopped.
    stream_lock_.store(UTIL_CreateLock());
    const uint32_t now = getMonotonicTime();
    keepalive_sent_.store(now);
    keepalive_replied_.store(now);
    parser_.set_timeout(DataPacketParser::kDefaultTimeoutMs);
    // Keep-alives and stop requests are looked at between steps; an idle step must not last the parser's
    // whole time limit, or keep-alives go out only every 5 s whatever their interval.
    parser_.set_idle_return(kIdleStepMs);
    parser_.set_header_received_callback(
        [this](const DataPacketHeader* header, const DataPacketImageHeader* image_header, char** buffer,
               int* size) { HeadReceived(header, image_header, buffer, size); });
    parser_.set_packet_received_callback(
        [this](const DataPacketHeader* header, const PacketData& data) { PacketReceived(header, data); });
}

DeviceReceiveController::~DeviceReceiveController() {
    stop_requested_.store(true);
    running_.store(false);
    parser_.set_work_flag(false);
    JoinOrRelease();
    UTIL_DeleteLock(stream_lock_.exchange(-1));
}

void DeviceReceiveController::set_underlay_stream(ITransferStream* stream) {
    stream_ = stream;
    parser_.set_receive_stream(stream);
}

void DeviceReceiveController::AddProcessor(IPacketProcessor* processor) {
    if (processor == nullptr) return;
    processor->controller = this;
    std::lock_guard<std::mutex> lock(processors_mutex_);
    processors_.push_back(processor);
}

void DeviceReceiveController::RemoveProcessor(IPacketProcessor* processor) {
    std::lock_guard<std::mutex> lock(processors_mutex_);
    processors_.erase(std::remove(processors_.begin(), processors_.end(), processor), processors_.end());
    if (current_ == processor) current_ = nullptr;
}

int DeviceReceiveController::SetEventCallback(KV_EVENT_CALLBACK callback, void* user_data) {
    event_user_data_.store(user_data);
    event_callback_.store(callback);
    return 0;
}

void DeviceReceiveController::EnableKeepAlive() {
    keepalive_enabled_.store(true);
}

void DeviceReceiveController::SetKeepAliveTiming(int interval_ms, int dead_ms) {
    keepalive_interval_ms_.store(interval_ms);
    keepalive_dead_ms_.store(dead_ms);
}

bool DeviceReceiveController::IsReceiveThread() const {
    return tls_receive_owner == this;
}

int DeviceReceiveController::StartReceive() {
    if (running_.load() || IsReceiveThread()) return 1;
    // A thread that ended by itself (offline event) is still joinable.
    if (receive_thread_.joinable()) receive_thread_.join();
    if (stream_lock_.load() == -1) stream_lock_.store(UTIL_CreateLock());  // the table was full before
    if (stream_lock_.load() == -1) return 1;
    // Everything the thread checks is set before it exists, so a StopReceive that comes at once is
    // never undone by the new thread.
    stop_requested_.store(false);
    parser_.set_work_flag(true);
    running_.store(true);
    try {
        receive_thread_ = std::thread([this] { ReceiveWorkLoop(); });
    } catch (const std::system_error&) {
        running_.store(false);
        return 1;
    }
    return 0;
}

int DeviceReceiveController::StopReceive() {
    stop_requested_.store(true);
    running_.store(false);
    parser_.set_work_flag(false);
    if (IsReceiveThread()) return 0;  // the thread cannot join itself; it ends after its current step
    if (receive_thread_.joinable()) receive_thread_.join();
    return 0;
}

void DeviceReceiveController::JoinOrRelease() {
    if (!receive_thread_.joinable()) return;
    if (IsReceiveThread()) {
        // Destroyed from inside the event callback: the thread touches nothing of this object after the
        // callback returns, so it may finish on its own.
        receive_thread_.detach();
    } else {
        receive_thread_.join();
    }
}

void DeviceReceiveController::ReceiveWorkLoop() {
    tls_receive_owner = this;
    const uint32_t now = getMonotonicTime();
    keepalive_sent_.store(now);
    keepalive_replied_.store(now);
    while (!stop_requested_.load()) {
        try {
            DoReceiveEvents();
            if (keepalive_enabled_.load()) {
                KeepAlive();
                if (timeDiff(getMonotonicTime(), keepalive_replied_.load()) >= keepalive_dead_ms_.load()) {
                    throw RuntimeException("keep alive failed", 0);
                }
            }
        } catch (const Exception& e) {
            RaiseOfflineEvent(e.what());
            return;  // this object may be gone now
        } catch (const std::exception& e) {
            RaiseOfflineEvent(e.what());
            return;
        }
    }
    if (stream_ != nullptr) stream_->Close();
}

void DeviceReceiveController::RaiseOfflineEvent(const char* reason) {
    KV_LOG(kLogError, "receiver got excpetion: %s", reason);
    running_.store(false);
    event_info_.eventId = KV_EVENT_DEVICE_OFFLINE;
    // The stream is closed before the application hears of it, and nothing of this object is used after
    // the callback: it may stop, close or destroy the device from there.
    if (stream_ != nullptr) stream_->Close();
    KV_EVENT_CALLBACK callback = event_callback_.load();
    void* user_data = event_user_data_.load();
    if (callback != nullptr) callback(&event_info_, user_data);
}

void DeviceReceiveController::DoReceiveEvents() {
    parser_.ReceiveOnePacket();
    const int error = parser_.get_lasterror();
    if (error == 0) {
        UTIL_Sleep(0);
        return;
    }
    KV_LOG(kLogError, "parse error code :%d", error);
    throw RuntimeException("transfer data error", 0);
}

int DeviceReceiveController::SendData(const char* data, int len) {
    if (len < 1) return 0;
    if (stream_ == nullptr || data == nullptr) return 1;
    int remaining = len;
    while (remaining > 0) {
        const int sent = stream_->Send(data, remaining);
        // A stream that accepts nothing (closed socket, write error) would otherwise be retried forever.
        if (sent <= 0) return 1;
        const int taken = std::min(sent, remaining);
        remaining -= taken;
        data += taken;
    }
    return 0;
}

void DeviceReceiveController::LockStream() {
    UTIL_Lock(stream_lock_);
}

void DeviceReceiveController::UnlockStream() {
    UTIL_Unlock(stream_lock_);
}

int DeviceReceiveController::KeepAlive() {
    if (timeDiff(getMonotonicTime(), keepalive_sent_.load()) < keepalive_interval_ms_.load()) return 0;
    uint8_t block[kSyncHeaderBlockSize];
    BuildSyncHeaderBlock(block, NextPacketId(), kPacketTypeParam, 8);
    uint8_t payload[8] = {0};
    PutU32LE(payload, kKeepAliveCommand);
    LockStream();
    int result = SendData(reinterpret_cast<const char*>(block), sizeof(block));
    if (result == 0) result = SendData(reinterpret_cast<const char*>(payload), sizeof(payload));
    UnlockStream();
    if (result != 0) return result;
    const uint32_t now = getMonotonicTime();
    keepalive_sent_.store(now);
    KV_LOG(kLogInfo, "KeepAlive request sent, timestamp %d\n", static_cast<int>(now));
    return 0;
}

void DeviceReceiveController::HeadReceived(const DataPacketHeader* header,
                                           const DataPacketImageHeader* image_header, char** buffer,
                                           int* size) {
    std::lock_guard<std::mutex> lock(processors_mutex_);
    current_ = nullptr;
    for (IPacketProcessor* processor : processors_) {
        if (processor->AcceptPacket(header, image_header, buffer, size)) {
            current_ = processor;
            return;
        }
    }
    KV_LOG(kLogVerbose, "no processor for this packet");
    *buffer = nullptr;
    *size = 0;
}

void DeviceReceiveController::PacketReceived(const DataPacketHeader* header, const PacketData& data) {
    KV_LOG(kLogVerbose, "%s, %s(Line %d)\n", "src/device_receive_controller", "PacketReceived", __LINE__);
    std::lock_guard<std::mutex> lock(processors_mutex_);
    IPacketProcessor* processor = current_;
    current_ = nullptr;
    if (header->type == kPacketTypeParam && data.status == kPacketStatusComplete && data.data != nullptr &&
        header->length >= 4 && GetU32LE(reinterpret_cast<const uint8_t*>(data.data)) == kKeepAliveCommand) {
        const uint32_t now = getMonotonicTime();
        keepalive_replied_.store(now);
        KV_LOG(kLogInfo, "KeepAlive response received, timestamp %d\n", static_cast<int>(now));
        return;
    }
    if (processor == nullptr) return;
    if (!processor->AwaitsPacket(header->packet_id)) {
        processor->UnawaitedPacket(header, data);
        return;
    }
    processor->ProcessPacketOverride(header, data);
    processor->CompleteWait(header->packet_id);
}

}  // namespace orvane
