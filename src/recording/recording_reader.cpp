#include "recording/recording_reader.h"

#include <algorithm>
#include <cstdlib>

#include "recording/mcap_reader.h"
#include "recording/recording_format.h"

namespace orvane {
namespace recording {
namespace {

void report(const ReadResult& result, std::string* error, bool* truncated) {
    if (truncated) *truncated = result.truncated || !result.complete;
    if (error) *error = result.error;
}

}  // namespace

bool visitMessages(const std::string& path, const MessageVisitor& visit, std::string* error,
                   bool* truncated) {
    McapReader reader;
    reader.on_message = visit;
    const ReadResult result = reader.read(path);
    report(result, error, truncated);
    return result.ok;
}

bool readDeviceStream(const std::string& path, std::vector<StreamChunk>* out, std::string* error,
                      bool* truncated) {
    out->clear();
    int device_channel = -1;
    bool seen_channel = false;
    McapReader reader;
    reader.on_channel = [&](const Channel& c) {
        if (c.topic == kDeviceStreamTopic && device_channel < 0) device_channel = c.id;
        seen_channel = true;
    };
    reader.on_message = [&](const Channel& c, const Message& m) {
        if (c.id != device_channel || m.size < 1) return true;
        StreamChunk chunk;
        chunk.from_device = m.data[0] != 0;
        chunk.time_ns = m.log_time;
        chunk.bytes.assign(m.data + 1, m.data + m.size);
        out->push_back(std::move(chunk));
        return true;
    };
    const ReadResult result = reader.read(path);
    report(result, error, truncated);
    if (!result.ok) return false;
    if (device_channel < 0) {
        if (error) {
            *error = path + ": " +
                     (seen_channel ? "holds no device stream (not a kvdepth recording)" : "holds no data");
        }
        return false;
    }
    return true;
}

bool readSummary(const std::string& path, RecordingSummary* out, std::string* error) {
    *out = RecordingSummary{};
    std::map<uint16_t, size_t> by_id;
    McapReader reader;
    reader.on_channel = [&](const Channel& c) {
        by_id[c.id] = out->channels.size();
        out->channels.push_back({c.id, c.topic, c.schema_name, c.message_encoding, 0});
    };
    reader.on_message = [&](const Channel& c, const Message& m) {
        ++out->channels[by_id[c.id]].message_count;
        if (out->message_count++ == 0) out->start_ns = m.log_time;
        out->start_ns = std::min(out->start_ns, m.log_time);
        out->end_ns = std::max(out->end_ns, m.log_time);
        return true;
    };
    reader.on_attachment = [&](const std::string& name, const std::string&, const uint8_t*, size_t) {
        out->attachments.push_back(name);
    };
    reader.on_metadata = [&](const std::string& name, const std::map<std::string, std::string>& values) {
        out->metadata[name] = values;
        if (name != kRecordingMetadata) return;
        const auto count = [&values](const char* key) {
            auto found = values.find(key);
            return found == values.end() ? 0ull : std::strtoull(found->second.c_str(), nullptr, 10);
        };
        out->dropped_frames = count("dropped_frames");
        out->missed_frames = count("missed_frames");
        out->stream_bytes_dropped = count("stream_bytes_dropped");
    };
    const ReadResult result = reader.read(path);
    report(result, error, &out->truncated);
    out->chunk_count = result.chunks;
    return result.ok;
}

bool readAttachment(const std::string& path, const std::string& name, std::vector<uint8_t>* out,
                    std::string* error) {
    bool found = false;
    McapReader reader;
    reader.on_attachment = [&](const std::string& n, const std::string&, const uint8_t* data, size_t size) {
        if (found || n != name) return;
        out->assign(data, data + size);
        found = true;
    };
    const ReadResult result = reader.read(path);
    if (!result.ok) {
        if (error) *error = result.error;
        return false;
    }
    if (!found && error) *error = path + ": has no attachment " + name;
    return found;
}

}  // namespace recording
}  // namespace orvane
