// kvdepth convert and kvdepth info FILE: a recording's frames to capture's files, and its summary.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "frame_files.h"
#include "record.h"
#include "recording/mcap_reader.h"
#include "recording/recording_format.h"
#include "recording/recording_reader.h"
#include "recording/ros_messages.h"

namespace orvane {
namespace tool {
namespace {

namespace rec = orvane::recording;

void readFloats(const std::map<std::string, std::string>& values, const char* key, float* out, int count,
                bool* has) {
    auto found = values.find(key);
    if (found == values.end()) return;
    std::istringstream in(found->second);
    int n = 0;
    for (; n < count; ++n) {
        std::string word;
        if (!(in >> word)) break;
        out[n] = std::strtof(word.c_str(), nullptr);
    }
    *has = n == count;
}

// A frame whose images are still arriving.
struct PendingFrame {
    FrameRecord frame;
    std::vector<std::string> topics;  // of frame.images, in order
    size_t missing = 0;
};

class Converter {
  public:
    explicit Converter(const std::string& out) { files_.directory = out; }

    void metadata(const std::string& name, const std::map<std::string, std::string>& values) {
        if (name == rec::kDeviceMetadata) {
            auto camera = values.find("camera");
            if (camera != values.end()) files_.camera = camera->second;
        } else if (name == rec::kIntrinsicsMetadata) {
            CaptureCalibration& cal = files_.calibration;
            readFloats(values, "depth", cal.depth_intrinsic, 9, &cal.has_depth_intrinsic);
            readFloats(values, "color", cal.color_intrinsic, 9, &cal.has_color_intrinsic);
            readFloats(values, "color_extrinsic", cal.color_extrinsic, 12, &cal.has_color_extrinsic);
        }
    }
    void channel(const rec::Channel& c) {
        if (c.schema_name == rec::kPointCloudSchema) files_.ply = true;
    }
    bool message(const rec::Channel& c, const rec::Message& m) {
        if (c.topic == rec::kFramesTopic) return frameInfo(m);
        if (c.schema_name != rec::kImageSchema && c.schema_name != rec::kPointCloudSchema) return true;
        auto pending = pending_.find(m.sequence);
        if (pending == pending_.end()) return true;  // its frame's description was lost
        rec::DecodedImage image;
        if (!rec::decodeImageMessage(c.schema_name, m.data, m.size, &image)) {
            ++bad_;
            return true;
        }
        PendingFrame& p = pending->second;
        for (size_t i = 0; i < p.topics.size(); ++i) {
            if (p.topics[i] != c.topic || !p.frame.images[i].data.empty()) continue;
            p.frame.images[i].data.assign(image.data, image.data + image.size);
            --p.missing;
            break;
        }
        if (p.missing > 0) return true;
        const bool ok = writeFrameFiles(p.frame, files_, &error_);
        pending_.erase(pending);
        if (ok) ++written_;
        return ok;
    }

    uint64_t written() const { return written_; }
    size_t incomplete() const { return pending_.size(); }
    uint64_t bad() const { return bad_; }
    const std::string& error() const { return error_; }

  private:
    bool frameInfo(const rec::Message& m) {
        try {
            const auto j = nlohmann::json::parse(m.data, m.data + m.size);
            PendingFrame p;
            p.frame.number = j.at("frame").get<uint64_t>();
            p.frame.host_time_us = j.at("host_time_us").get<int64_t>();
            for (const auto& image : j.at("images")) {
                ImageCopy copy;
                copy.component = image.at("component").get<int32_t>();
                copy.index = image.at("index").get<int32_t>();
                copy.timestamp = image.at("timestamp").get<uint64_t>();
                copy.width = image.at("width").get<int32_t>();
                copy.height = image.at("height").get<int32_t>();
                copy.pixel_format = image.at("pixel_format").get<int32_t>();
                p.frame.images.push_back(std::move(copy));
                p.topics.push_back(image.at("topic").get<std::string>());
            }
            p.missing = p.frame.images.size();
            if (p.missing > 0) pending_[m.sequence] = std::move(p);
        } catch (const nlohmann::json::exception&) {
            ++bad_;
        }
        return true;
    }

    FrameFileOptions files_;
    std::map<uint32_t, PendingFrame> pending_;
    uint64_t written_ = 0;
    uint64_t bad_ = 0;
    std::string error_;
};

std::string secondsText(uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ns) / 1e9);
    return text;
}

}  // namespace

int runConvert(const std::string& file, const std::string& out) {
    std::string error;
    if (!makeDirectories(out, &error)) return failWith(error);
    Converter converter(out);
    rec::McapReader reader;
    reader.on_metadata = [&](const std::string& n, const std::map<std::string, std::string>& v) {
        converter.metadata(n, v);
    };
    reader.on_channel = [&](const rec::Channel& c) { converter.channel(c); };
    reader.on_message = [&](const rec::Channel& c, const rec::Message& m) { return converter.message(c, m); };
    const rec::ReadResult result = reader.read(file);
    if (!result.ok) return failWith(result.error);
    if (!converter.error().empty()) return failWith(converter.error());
    std::printf("done: %llu frames converted from %s to %s\n",
                static_cast<unsigned long long>(converter.written()), file.c_str(), out.c_str());
    if (result.truncated || !result.complete) {
        std::fprintf(stderr, "kvdepth: warning: %s; converted up to its last complete chunk\n",
                     result.error.c_str());
    }
    if (converter.incomplete() + converter.bad() > 0) {
        std::fprintf(stderr, "kvdepth: warning: %llu frames were incomplete or damaged and were skipped\n",
                     static_cast<unsigned long long>(converter.incomplete() + converter.bad()));
    }
    return kExitOk;
}

int runRecordingInfo(const std::string& file) {
    rec::RecordingSummary summary;
    std::string error;
    if (!rec::readSummary(file, &summary, &error)) return failWith(error);
    const uint64_t duration = summary.end_ns > summary.start_ns ? summary.end_ns - summary.start_ns : 0;
    std::printf("recording:   %s\n", file.c_str());
    auto device = summary.metadata.find(rec::kDeviceMetadata);
    if (device != summary.metadata.end()) {
        auto value = [&](const char* key) {
            auto found = device->second.find(key);
            return found == device->second.end() ? std::string("-") : found->second;
        };
        std::printf("camera:      %s (serial %s, %s, %s)\n", value("camera").c_str(), value("serial").c_str(),
                    value("model").c_str(), value("interface").c_str());
        std::printf("firmware:    %s\n", value("firmware").c_str());
    }
    std::printf("duration:    %s\n", secondsText(duration).c_str());
    std::printf("messages:    %llu in %llu chunks\n", static_cast<unsigned long long>(summary.message_count),
                static_cast<unsigned long long>(summary.chunk_count));
    uint64_t frames = 0;
    for (const rec::ChannelSummary& c : summary.channels) {
        if (c.topic == rec::kFramesTopic) frames = c.message_count;
        const double rate = duration > 0 ? static_cast<double>(c.message_count) * 1e9 / duration : 0.0;
        std::printf("stream:      %-15s %-28s %8llu messages  %6.1f/s\n", c.topic.c_str(),
                    c.schema_name.c_str(), static_cast<unsigned long long>(c.message_count), rate);
    }
    std::printf("frames:      %llu\n", static_cast<unsigned long long>(frames));
    if (summary.metadata.count(rec::kRecordingMetadata) != 0) {
        std::printf("dropped:     %llu frames (%llu by the writer, %llu lost before reaching the host)\n",
                    static_cast<unsigned long long>(summary.dropped_frames + summary.missed_frames),
                    static_cast<unsigned long long>(summary.dropped_frames),
                    static_cast<unsigned long long>(summary.missed_frames));
        if (summary.stream_bytes_dropped > 0)
            std::printf("warning:     %llu bytes of the device stream were dropped; a replay is not exact\n",
                        static_cast<unsigned long long>(summary.stream_bytes_dropped));
    } else {
        std::printf("dropped:     unknown (the recording was not closed)\n");
    }
    std::string attachments;
    for (const std::string& name : summary.attachments)
        attachments += (attachments.empty() ? "" : ", ") + name;
    std::printf("attachments: %s\n", attachments.empty() ? "-" : attachments.c_str());
    if (summary.truncated) std::printf("truncated:   %s; counts cover its complete chunks\n", error.c_str());
    return kExitOk;
}

}  // namespace tool
}  // namespace orvane
