// A bounded queue of captured frames and the threads that write them. The capture loop never waits for the
// disk: when the queue is full the frame is dropped and counted, so a slow disk costs counted frames
// instead of stalling the camera's receive path.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_record.h"

namespace orvane {
namespace tool {

class WriterQueue {
  public:
    // The sink writes one frame; false with a message stops the writing (the first error is kept).
    using Sink = std::function<bool(const FrameRecord&, std::string* error)>;

    // `writers` threads take frames from the queue: frames are independent, so on a machine with cores to
    // spare a second writer doubles what the disk path keeps up with.
    WriterQueue(size_t capacity, Sink sink, int writers = 1);
    ~WriterQueue();  // finish()
    WriterQueue(const WriterQueue&) = delete;
    WriterQueue& operator=(const WriterQueue&) = delete;

    // True when a frame offered now would be accepted (only the writer thread makes room).
    bool hasRoom() const;
    // Queues the frame, or drops and counts it when the queue is full or writing has failed.
    bool offer(FrameRecord&& frame);
    // Writes what is queued, then stops the threads. Safe to call more than once.
    void finish();

    uint64_t written() const;
    uint64_t dropped() const;
    bool failed() const;
    std::string error() const;

  private:
    void run();

    const size_t capacity_;
    Sink sink_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<FrameRecord> queue_;
    bool stopping_ = false;
    bool failed_ = false;
    std::string error_;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace tool
}  // namespace orvane
