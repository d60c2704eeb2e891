#include "memory_stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kvtest {

using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------------------------------------------ MemoryPipe

void MemoryPipe::Write(const void* data, size_t size, int delay_ms) {
    if (size == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    Chunk chunk;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    chunk.bytes.assign(bytes, bytes + size);
    chunk.visible_at = Clock::now() + std::chrono::milliseconds(std::max(0, delay_ms));
    // A stream keeps its order: a chunk never becomes readable before the one ahead of it.
    if (!chunks_.empty() && chunk.visible_at < chunks_.back().visible_at)
        chunk.visible_at = chunks_.back().visible_at;
    chunks_.push_back(std::move(chunk));
    total_written_ += size;
    changed_.notify_all();
}

int MemoryPipe::Read(char* buffer, int len, int wait_ms, int max_read) {
    if (len <= 0) return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, wait_ms));
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!chunks_.empty() && chunks_.front().visible_at <= now) {
            Chunk& head = chunks_.front();
            size_t n = std::min(static_cast<size_t>(len), head.bytes.size() - head.consumed);
            if (max_read > 0) n = std::min(n, static_cast<size_t>(max_read));
            std::memcpy(buffer, head.bytes.data() + head.consumed, n);
            head.consumed += n;
            if (head.consumed == head.bytes.size()) chunks_.pop_front();
            changed_.notify_all();
            return static_cast<int>(n);
        }
        if (chunks_.empty() && closed_) return -1;
        if (now >= deadline) return 0;
        Clock::time_point until = deadline;
        if (!chunks_.empty()) until = std::min(until, chunks_.front().visible_at);
        changed_.wait_until(lock, until);
    }
}

void MemoryPipe::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool MemoryPipe::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

Bytes MemoryPipe::TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes all;
    for (const Chunk& chunk : chunks_)
        all.insert(all.end(), chunk.bytes.begin() + chunk.consumed, chunk.bytes.end());
    chunks_.clear();
    changed_.notify_all();
    return all;
}

size_t MemoryPipe::queued_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const Chunk& chunk : chunks_) n += chunk.bytes.size() - chunk.consumed;
    return n;
}

size_t MemoryPipe::total_written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_written_;
}

// ---------------------------------------------------------------------------------------------- MemoryStream

MemoryStream::MemoryStream() : MemoryStream(std::make_shared<MemoryPipe>(), std::make_shared<MemoryPipe>()) {}

MemoryStream::MemoryStream(std::shared_ptr<MemoryPipe> in, std::shared_ptr<MemoryPipe> out)
    : in_(std::move(in)), out_(std::move(out)) {}

int MemoryStream::Open() {
    closed_.store(false);
    return 0;
}

int MemoryStream::Send(const char* buf, int len) {
    send_calls_.fetch_add(1);
    std::function<void(const uint8_t*, size_t)> observer;
    {
        std::lock_guard<std::mutex> lock(control_mutex_);
        if (send_failures_left_ != 0) {
            if (send_failures_left_ > 0) --send_failures_left_;
            return send_failure_;
        }
        if (closed_.load() || len <= 0) return 0;
        const int limit = max_send_.load();
        if (limit > 0) len = std::min(len, limit);
        send_log_.emplace_back(reinterpret_cast<const uint8_t*>(buf),
                               reinterpret_cast<const uint8_t*>(buf) + len);
        observer = send_observer_;
    }
    if (observer) {
        observer(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(len));
    } else {
        out_->Write(buf, static_cast<size_t>(len));
    }
    return len;
}

int MemoryStream::Receive(char* buf, int len) {
    receive_calls_.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(control_mutex_);
        if (receive_failures_left_ != 0) {
            if (receive_failures_left_ > 0) --receive_failures_left_;
            return receive_failure_;
        }
    }
    if (closed_.load()) return -1;  // as a failed transport
    return in_->Read(buf, len, timeout_ms_.load(), max_read_.load());
}

int MemoryStream::Close() {
    close_count_.fetch_add(1);
    closed_.store(true);
    out_->Close();
    return 0;
}

void MemoryStream::Feed(const Bytes& bytes, int delay_ms) {
    in_->Write(bytes.data(), bytes.size(), delay_ms);
}

Bytes MemoryStream::TakeSent() {
    return out_->TakeAll();
}

std::vector<Bytes> MemoryStream::SendLog() const {
    std::lock_guard<std::mutex> lock(control_mutex_);
    return send_log_;
}

void MemoryStream::FailReceives(int result, int count) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    receive_failure_ = result;
    receive_failures_left_ = count;
}

void MemoryStream::FailSends(int result, int count) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    send_failure_ = result;
    send_failures_left_ = count;
}

void MemoryStream::SetSendObserver(std::function<void(const uint8_t*, size_t)> observer) {
    std::lock_guard<std::mutex> lock(control_mutex_);
    send_observer_ = std::move(observer);
}

// ------------------------------------------------------------------------------------------------- helpers

Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    auto flush = [&] {
        if (digits.empty()) return;
        if (digits.size() != 2) throw std::invalid_argument("hex byte must have two digits: " + digits);
        out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
        digits.clear();
    };
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t') {
            flush();
        } else {
            digits.push_back(c);
        }
    }
    flush();
    return out;
}

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

void AppendLe16(Bytes* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

void AppendLe32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Le32(uint32_t v) {
    Bytes out;
    AppendLe32(&out, v);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

bool WaitUntil(const std::function<bool()>& predicate, int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!predicate()) {
        if (Clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kvtest
