// In-memory byte streams for protocol tests: deterministic bytes in, captured bytes out, with controllable
// delivery delays, short reads, injected errors and close.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "transport/ITransferStream.h"

namespace kvtest {

using Bytes = std::vector<uint8_t>;

// One direction of a stream: chunks in write order, each readable from its delivery time on. A read never
// spans two chunks, so every chunk boundary is also a read boundary.
class MemoryPipe {
  public:
    // The bytes become readable delay_ms after the call; later chunks queue behind earlier ones.
    void Write(const void* data, size_t size, int delay_ms = 0);
    // Up to len bytes of the head chunk (at most max_read when above 0), waiting up to wait_ms for one to
    // be readable. 0 when nothing became readable in time; -1 once closed and drained.
    int Read(char* buffer, int len, int wait_ms, int max_read);
    // Further writes are dropped; readers drain what is queued and then see the end.
    void Close();
    bool closed() const;
    // Every queued byte, readable or not, removed from the pipe.
    Bytes TakeAll();
    size_t queued_bytes() const;
    size_t total_written() const;

  private:
    struct Chunk {
        Bytes bytes;
        size_t consumed = 0;
        std::chrono::steady_clock::time_point visible_at;
    };

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Chunk> chunks_;
    bool closed_ = false;
    size_t total_written_ = 0;
};

// An ITransferStream over two pipes of its own (Feed/TakeSent reach them).
class MemoryStream : public orvane::ITransferStream {
  public:
    MemoryStream();
    MemoryStream(std::shared_ptr<MemoryPipe> in, std::shared_ptr<MemoryPipe> out);

    int GetInterface() override { return interface_; }
    const char* GetStreamID() override { return id_.c_str(); }
    int Open() override;
    int Send(const char* buf, int len) override;
    int Receive(char* buf, int len) override;
    void set_timeout(int ms) override { timeout_ms_.store(ms); }
    int get_timeout() override { return timeout_ms_.load(); }
    int Close() override;

    // ---- test controls
    void Feed(const Bytes& bytes, int delay_ms = 0);
    // Everything sent so far (only for streams whose sends are not observed).
    Bytes TakeSent();
    // Each Send as it was made, in order.
    std::vector<Bytes> SendLog() const;
    // Short reads: Receive hands out at most n bytes per call (0: no limit).
    void SetMaxReadSize(int n) { max_read_.store(n); }
    // The next count Receive calls (count < 0: all of them) return result without reading.
    void FailReceives(int result, int count = -1);
    // The next count Send calls (count < 0: all of them) return result without sending.
    void FailSends(int result, int count = -1);
    // Sends accept at most n bytes per call (0: all).
    void SetMaxSendSize(int n) { max_send_.store(n); }
    // Sent bytes go to the observer (called on the sending thread) instead of the outgoing pipe.
    void SetSendObserver(std::function<void(const uint8_t*, size_t)> observer);

    bool is_closed() const { return closed_.load(); }
    int close_count() const { return close_count_.load(); }
    int receive_calls() const { return receive_calls_.load(); }
    int send_calls() const { return send_calls_.load(); }
    MemoryPipe& inbound() { return *in_; }
    MemoryPipe& outbound() { return *out_; }

  private:
    std::shared_ptr<MemoryPipe> in_;
    std::shared_ptr<MemoryPipe> out_;
    std::string id_ = "memory";
    int interface_ = 2;
    std::atomic<int> timeout_ms_{5};
    std::atomic<int> max_read_{0};
    std::atomic<int> max_send_{0};
    std::atomic<bool> closed_{false};
    std::atomic<int> close_count_{0};
    std::atomic<int> receive_calls_{0};
    std::atomic<int> send_calls_{0};
    mutable std::mutex control_mutex_;
    int receive_failure_ = 0;
    int receive_failures_left_ = 0;
    int send_failure_ = 0;
    int send_failures_left_ = 0;
    std::function<void(const uint8_t*, size_t)> send_observer_;
    std::vector<Bytes> send_log_;
};

// "fe 01 fe 01 04 ..." -> bytes. Whitespace separates bytes; each byte is two hex digits.
Bytes Hex(const std::string& text);
std::string ToHex(const Bytes& bytes);
void AppendLe16(Bytes* out, uint16_t v);
void AppendLe32(Bytes* out, uint32_t v);
Bytes Le32(uint32_t v);
Bytes Concat(std::initializer_list<Bytes> parts);

// Waits (without sleeping a fixed time) until predicate holds or timeout_ms passed; returns the predicate.
bool WaitUntil(const std::function<bool()>& predicate, int timeout_ms);

}  // namespace kvtest
