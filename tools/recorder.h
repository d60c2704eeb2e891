// Writes a recording (MCAP) on a thread of its own: the device's raw byte stream from the stream tap, the
// captured frames as image messages, and the camera's descriptor, information and calibration. Nothing a
// capture thread or the library's receive thread does waits for the disk: the queue is bounded in bytes,
// and what does not fit is dropped and counted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <kvdepth.h>

#include "frame_record.h"
#include "recording/mcap_writer.h"

namespace orvane {
namespace tool {

struct RecorderOptions {
    int32_t components = 0;           // the streams that get an image channel
    size_t queue_bytes = 768u << 20;  // what may wait for the disk
    recording::WriterOptions writer;
};

class Recorder {
  public:
    explicit Recorder(RecorderOptions options);
    ~Recorder();  // finish()
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Creates the file with its channels and starts the writer thread. False with a message.
    bool open(const std::string& path, std::string* error);

    // For KVSetStreamTap: copies the bytes into the queue (any library thread).
    static void onTap(const KV_STREAM_TAP_DATA* data, void* self);
    // Queues a frame; false when it was dropped because the disk is behind.
    bool offerFrame(FrameRecord&& frame);
    // Queued like frames, so they land in the file in the order they were given.
    void addAttachment(const std::string& name, const std::string& media_type, const std::string& data);
    void addMetadata(const std::string& name, const std::map<std::string, std::string>& values);

    // Frames the camera sent that never reached the host; kept in the recording's closing record.
    void setMissedFrames(uint64_t count);
    // Writes what is queued and the closing records. False with the first error.
    bool finish(std::string* error);
    bool failed() const;

    uint64_t framesWritten() const;
    uint64_t framesDropped() const;
    uint64_t streamBytesDropped() const;
    uint64_t bytesWritten() const;

  private:
    struct Item;
    void push(std::unique_ptr<Item> item);
    void run();
    void write(const Item& item);
    void writeFrame(const FrameRecord& frame, uint64_t log_time);

    RecorderOptions options_;
    recording::McapWriter writer_;
    uint16_t stream_channel_ = 0;
    uint16_t frames_channel_ = 0;
    std::map<int32_t, uint16_t> image_channels_;  // component -> channel

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<Item>> queue_;
    size_t queued_bytes_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
    uint64_t frames_written_ = 0;
    uint64_t frames_dropped_ = 0;
    uint64_t frames_missed_ = 0;
    uint64_t stream_bytes_dropped_ = 0;
    uint64_t bytes_written_ = 0;
    std::string error_;
    std::thread thread_;
};

// Wall-clock nanoseconds, the time base of the stream tap.
uint64_t realtimeNanos();

}  // namespace tool
}  // namespace orvane
