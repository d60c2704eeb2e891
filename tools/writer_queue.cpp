#include "writer_queue.h"

#include <algorithm>

namespace orvane {
namespace tool {

WriterQueue::WriterQueue(size_t capacity, Sink sink, int writers)
    : capacity_(capacity < 1 ? 1 : capacity), sink_(std::move(sink)) {
    for (int i = 0; i < std::max(1, writers); ++i) threads_.emplace_back([this] { run(); });
}

WriterQueue::~WriterQueue() {
    finish();
}

bool WriterQueue::hasRoom() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !failed_ && !stopping_ && queue_.size() < capacity_;
}

bool WriterQueue::offer(FrameRecord&& frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_ || stopping_ || queue_.size() >= capacity_) {
            ++dropped_;
            return false;
        }
        queue_.push_back(std::move(frame));
    }
    wake_.notify_one();
    return true;
}

void WriterQueue::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

void WriterQueue::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping and drained
        FrameRecord frame = std::move(queue_.front());
        queue_.pop_front();
        if (failed_) {  // after a write failure what is left is discarded and counted as lost
            ++dropped_;
            continue;
        }
        lock.unlock();
        std::string message;
        const bool ok = sink_(frame, &message);
        lock.lock();
        if (ok) {
            ++written_;
        } else {
            failed_ = true;
            error_ = message;
        }
    }
}

uint64_t WriterQueue::written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}
uint64_t WriterQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}
bool WriterQueue::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}
std::string WriterQueue::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

}  // namespace tool
}  // namespace orvane
