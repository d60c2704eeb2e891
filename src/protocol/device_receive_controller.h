// The receive side of one device connection: a parser, a chain of packet processors, the receive thread
// with its keep-alive exchange, and the stream lock under which every sender writes whole packets.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "kvdepth.h"
#include "protocol/data_packet_parser.h"
#include "protocol/packet_base.h"

namespace orvane {

class DeviceReceiveController;
class ITransferStream;

// A consumer of packets attached to a DeviceReceiveController.
//
// AcceptPacket runs on the receive path right after a header was read. Returning true claims the packet:
// the processor stores a destination and its capacity through buffer/size, and the payload is read
// straight into that memory (null and 0 drop the payload, and ProcessPacketOverride is not called).
// Returning false offers the packet to the next processor. ProcessPacketOverride runs after the payload
// was read, with PacketData::status telling whether it is complete; the controller calls it only when
// the processor awaits no particular reply (wait_packet_id -1) or the packet carries the awaited id;
// other claimed packets go to UnawaitedPacket.
//
// A processor that sends a request arms its wait before sending (ArmWait), waits (WaitForResponse) and
// disarms afterwards (DisarmWait).
class IPacketProcessor {
  public:
    static constexpr int32_t kDefaultTimeoutMs = 5000;

    IPacketProcessor() = default;
    virtual ~IPacketProcessor();
    IPacketProcessor(const IPacketProcessor&) = delete;
    IPacketProcessor& operator=(const IPacketProcessor&) = delete;

    virtual bool AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader* image_header,
                              char** buffer, int* size) = 0;
    virtual void ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) = 0;
    // A claimed packet whose payload was read but which carries another id than the awaited one; it is
    // not a reply to the pending request. Nothing by default.
    virtual void UnawaitedPacket(const DataPacketHeader* header, const PacketData& data);

    // Set by AddProcessor.
    DeviceReceiveController* controller = nullptr;
    // Set once an awaited reply has been processed; release on write, acquire on read.
    std::atomic<bool> response_ready{false};
    // How long requests wait for their reply; below 1 means without limit.
    std::atomic<int32_t> timeout_ms{kDefaultTimeoutMs};
    // packet_id of the awaited reply; -1 while no request waits.
    std::atomic<int32_t> wait_packet_id{-1};

    // Wait protocol. Arming and completing are serialised so that a reply processed just before a new
    // request was armed can never mark the new request as answered.
    void ArmWait(int32_t packet_id);
    void DisarmWait();
    bool AwaitsPacket(uint8_t packet_id) const;
    // Called by the controller after ProcessPacketOverride for the packet with this id.
    void CompleteWait(uint8_t packet_id);
    // Waits until response_ready or more than timeout ms have passed (timeout below 1: no limit).
    // While the controller's receive thread runs, this thread sleeps until the reply is completed (or for
    // at most a millisecond, to look at the thread and the clock again); otherwise it pumps the
    // receive path itself (DoReceiveEvents), and a framing error leaves as that exception. A wait that
    // began while the thread ran ends unanswered when the thread stops, since no reply can come any more.
    bool WaitForResponse(int32_t timeout);

  private:
    std::mutex wait_mutex_;
    std::condition_variable completed_;  // notified by CompleteWait, under wait_mutex_
};

class DeviceReceiveController {
  public:
    static constexpr uint32_t kKeepAliveCommand = 224;
    static constexpr int kDefaultKeepAliveIntervalMs = 3000;
    static constexpr int kDefaultKeepAliveDeadMs = 30000;
    // Longest parser step on an idle link.
    static constexpr int kIdleStepMs = 100;

    DeviceReceiveController();
    ~DeviceReceiveController();
    DeviceReceiveController(const DeviceReceiveController&) = delete;
    DeviceReceiveController& operator=(const DeviceReceiveController&) = delete;

    // The device's transport; not owned.
    void set_underlay_stream(ITransferStream* stream);
    ITransferStream* get_underlay_stream() const { return stream_; }

    // Processors are not owned; they are offered packets in the order they were added.
    void AddProcessor(IPacketProcessor* processor);
    // Removes every occurrence of the processor. Must not be called from inside a processor callback.
    void RemoveProcessor(IPacketProcessor* processor);

    // The callback runs on the receive thread when the thread ends on an error; it may stop or destroy
    // this controller.
    int SetEventCallback(KV_EVENT_CALLBACK callback, void* user_data);
    void EnableKeepAlive();
    // How often a keep-alive request goes out and how long without a reply counts as a dead device.
    void SetKeepAliveTiming(int interval_ms, int dead_ms);

    // 0 when the receive thread was started; 1 when no lock could be created, the thread is already
    // running, or it could not be started.
    int StartReceive();
    // Stops and joins the receive thread; 0. Called on the receive thread itself it only asks the thread
    // to end (the join happens later, from another thread or the destructor). The stream lock stays
    // until the controller is destroyed.
    int StopReceive();
    bool IsRunning() const { return running_.load(); }
    bool IsReceiveThread() const;

    // One parser step; throws RuntimeException("transfer data error") when the parser recorded an error.
    void DoReceiveEvents();

    // 0 when all bytes were sent; 1 when the stream failed or made no progress. len below 1 returns 0.
    int SendData(const char* data, int len);
    void LockStream();
    void UnlockStream();

    // Sends a keep-alive request when one is due; 0 or the failing SendData result.
    int KeepAlive();

    // Parser callbacks.
    void HeadReceived(const DataPacketHeader* header, const DataPacketImageHeader* image_header,
                      char** buffer, int* size);
    void PacketReceived(const DataPacketHeader* header, const PacketData& data);

    DataPacketParser& parser() { return parser_; }

  private:
    void ReceiveWorkLoop();
    void RaiseOfflineEvent(const char* reason);
    void JoinOrRelease();

    std::atomic<KV_EVENT_CALLBACK> event_callback_{nullptr};
    std::atomic<void*> event_user_data_{nullptr};
    std::atomic<bool> running_{false};
    ITransferStream* stream_ = nullptr;
    DataPacketParser parser_;
    std::mutex processors_mutex_;
    std::vector<IPacketProcessor*> processors_;
    IPacketProcessor* current_ = nullptr;
    std::thread receive_thread_;
    std::atomic<bool> stop_requested_{false};
    std::atomic<uint32_t> keepalive_sent_{0};
    std::atomic<uint32_t> keepalive_replied_{0};
    std::atomic<bool> keepalive_enabled_{false};
    std::atomic<int> keepalive_interval_ms_{kDefaultKeepAliveIntervalMs};
    std::atomic<int> keepalive_dead_ms_{kDefaultKeepAliveDeadMs};
    KV_EVENT_INFO event_info_{};
    std::atomic<int> stream_lock_{-1};
};

}  // namespace orvane
