// Reading kvdepth recordings (MCAP files written by RecordingWriter).
//
// The reader is tolerant of files cut short: it returns what the complete chunks hold and reports that the
// file ended early. A file that is not an MCAP recording, or is damaged before its first good chunk, gives a
// clear message instead.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvane {
namespace recording {

// One piece of the device's raw byte stream, as the transfer-stream tap saw it.
struct StreamChunk {
    bool from_device = false;
    uint64_t time_ns = 0;  // CLOCK_REALTIME nanoseconds
    std::vector<uint8_t> bytes;
};

struct ChannelSummary {
    uint16_t id = 0;
    std::string topic;
    std::string schema_name;
    std::string message_encoding;
    uint64_t message_count = 0;
};

struct RecordingSummary {
    std::vector<ChannelSummary> channels;
    uint64_t message_count = 0;
    uint64_t start_ns = 0;  // log time of the first message
    uint64_t end_ns = 0;    // log time of the last message
    uint64_t chunk_count = 0;
    // From the "recording" metadata: frames the recorder could not write, frames the camera sent that never
    // reached the host (gaps in the frame index), and device stream bytes lost (the replay is then inexact).
    uint64_t dropped_frames = 0;
    uint64_t missed_frames = 0;
    uint64_t stream_bytes_dropped = 0;
    bool truncated = false;  // the file ended before its footer; counts cover the complete chunks
    std::vector<std::string> attachments;                                // attachment names
    std::map<std::string, std::map<std::string, std::string>> metadata;  // metadata records by name
};

// One message as stored in the file.
struct Message {
    uint16_t channel_id = 0;
    uint32_t sequence = 0;
    uint64_t log_time = 0;
    uint64_t publish_time = 0;
    const uint8_t* data = nullptr;  // valid only during the callback
    size_t size = 0;
};

struct Channel {
    uint16_t id = 0;
    uint16_t schema_id = 0;
    std::string topic;
    std::string message_encoding;
    std::string schema_name;
    std::string schema_encoding;
};

// Visits every message of the file in file order (which is log-time order for our recorder). The callback
// returns false to stop early. Returns false with *error set when the file cannot be read at all; a file cut
// short or with a damaged chunk stops at the last good chunk and sets *truncated.
using MessageVisitor = std::function<bool(const Channel& channel, const Message& message)>;
bool visitMessages(const std::string& path, const MessageVisitor& visit, std::string* error,
                   bool* truncated = nullptr);

// Reads the raw device stream of the first device in the file, in log-time order.
bool readDeviceStream(const std::string& path, std::vector<StreamChunk>* out, std::string* error,
                      bool* truncated = nullptr);

// Streams, counts, duration, attachments and metadata of a recording.
bool readSummary(const std::string& path, RecordingSummary* out, std::string* error);

// The content of the attachment called `name` (e.g. "descriptor.xml"); false when absent or unreadable.
bool readAttachment(const std::string& path, const std::string& name, std::vector<uint8_t>* out,
                    std::string* error);

}  // namespace recording
}  // namespace orvane
