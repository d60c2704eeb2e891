#include "recorder.h"

#include <time.h>

#include <nlohmann/json.hpp>

#include "recording/recording_format.h"
#include "recording/ros_messages.h"

namespace orvane {
namespace tool {

namespace rec = orvane::recording;

struct Recorder::Item {
    enum Kind { kStream, kFrame, kAttachment, kMetadata } kind;
    uint64_t time = 0;
    uint8_t direction = 0;
    std::vector<uint8_t> bytes;  // stream bytes or attachment data
    FrameRecord frame;
    std::string name, media_type;
    std::map<std::string, std::string> values;

    size_t size() const {
        size_t n = bytes.size() + 64;
        for (const ImageCopy& image : frame.images) n += image.data.size();
        return n;
    }
};

namespace {

const char* const kFrameJsonSchema =
    R"({"type":"object","properties":{"frame":{"type":"integer"},"host_time_us":{"type":"integer"},)"
    R"("images":{"type":"array","items":{"type":"object","properties":{"topic":{"type":"string"},)"
    R"("component":{"type":"integer"},"index":{"type":"integer"},"timestamp":{"type":"integer"},)"
    R"("width":{"type":"integer"},"height":{"type":"integer"},"pixel_format":{"type":"integer"}}}}}})";

uint32_t bytesPerPixel(int32_t pixel_format) {
    const uint32_t bits = (static_cast<uint32_t>(pixel_format) >> 16) & 0xff;
    return bits < 8 ? 1 : bits / 8;
}

}  // namespace

uint64_t realtimeNanos() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

Recorder::Recorder(RecorderOptions options) : options_(options), writer_(options.writer) {}

Recorder::~Recorder() {
    finish(nullptr);
}

bool Recorder::open(const std::string& path, std::string* error) {
    if (!writer_.open(path, error)) return false;
    const uint16_t raw = writer_.addSchema(rec::kDeviceStreamSchema, "", "");
    stream_channel_ = writer_.addChannel(raw, rec::kDeviceStreamTopic, rec::kDeviceStreamEncoding,
                                         {{"direction", "first byte: 0 to the device, 1 from the device"}});
    frames_channel_ = writer_.addChannel(
        writer_.addSchema(rec::kFramesSchema, "jsonschema", kFrameJsonSchema), rec::kFramesTopic, "json");
    uint16_t image_schema = 0, cloud_schema = 0;
    for (int32_t c : {KV_COMPONENT_DEPTH, KV_COMPONENT_LEFT_IR, KV_COMPONENT_RIGHT_IR, KV_COMPONENT_COLOR,
                      KV_COMPONENT_POINT3D}) {
        if (!(options_.components & c)) continue;
        uint16_t& schema = c == KV_COMPONENT_POINT3D ? cloud_schema : image_schema;
        if (schema == 0) {
            schema = c == KV_COMPONENT_POINT3D
                         ? writer_.addSchema(rec::kPointCloudSchema, "ros2msg", rec::kPointCloudDefinition)
                         : writer_.addSchema(rec::kImageSchema, "ros2msg", rec::kImageDefinition);
        }
        image_channels_[c] = writer_.addChannel(schema, "/" + streamName(c), "cdr");
    }
    // On disk now: a recording killed before its first chunk still opens as an empty recording.
    if (!writer_.flush()) {
        if (error) *error = writer_.error();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void Recorder::onTap(const KV_STREAM_TAP_DATA* data, void* self) {
    if (data == nullptr || data->length <= 0) return;
    auto item = std::make_unique<Item>();
    item->kind = Item::kStream;
    item->time = data->timeNs;
    item->direction = data->direction == KV_STREAM_FROM_DEVICE ? 1 : 0;
    item->bytes.assign(data->bytes, data->bytes + data->length);
    static_cast<Recorder*>(self)->push(std::move(item));
}

bool Recorder::offerFrame(FrameRecord&& frame) {
    auto item = std::make_unique<Item>();
    item->kind = Item::kFrame;
    item->time = realtimeNanos();
    item->frame = std::move(frame);
    std::lock_guard<std::mutex> lock(mutex_);
    // Frames may fill half the queue; the rest is kept for the device stream, which a replay needs whole.
    const size_t size = item->size();
    if (stopping_ || queued_bytes_ + size > options_.queue_bytes / 2) {
        ++frames_dropped_;
        return false;
    }
    queued_bytes_ += size;
    queue_.push_back(std::move(item));
    wake_.notify_one();
    return true;
}

void Recorder::addAttachment(const std::string& name, const std::string& media_type,
                             const std::string& data) {
    auto item = std::make_unique<Item>();
    item->kind = Item::kAttachment;
    item->time = realtimeNanos();
    item->name = name;
    item->media_type = media_type;
    item->bytes.assign(data.begin(), data.end());
    push(std::move(item));
}

void Recorder::addMetadata(const std::string& name, const std::map<std::string, std::string>& values) {
    auto item = std::make_unique<Item>();
    item->kind = Item::kMetadata;
    item->name = name;
    item->values = values;
    push(std::move(item));
}

void Recorder::push(std::unique_ptr<Item> item) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t size = item->size();
    if (stopping_ || queued_bytes_ + size > options_.queue_bytes) {
        if (item->kind == Item::kStream) stream_bytes_dropped_ += item->bytes.size();
        return;
    }
    queued_bytes_ += size;
    queue_.push_back(std::move(item));
    wake_.notify_one();
}

void Recorder::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and everything is written
        std::unique_ptr<Item> item = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        write(*item);
        const size_t size = item->size();
        item.reset();
        lock.lock();
        queued_bytes_ -= size;
        bytes_written_ = writer_.bytesWritten();
        if (writer_.failed() && error_.empty()) error_ = writer_.error();
    }
}

void Recorder::write(const Item& item) {
    switch (item.kind) {
        case Item::kStream:
            writer_.writeMessage(stream_channel_, 0, item.time, item.time,
                                 {{&item.direction, 1}, {item.bytes.data(), item.bytes.size()}});
            break;
        case Item::kFrame:
            writeFrame(item.frame, item.time);
            break;
        case Item::kAttachment:
            writer_.writeAttachment(item.name, item.media_type, item.time, item.bytes);
            break;
        case Item::kMetadata:
            writer_.writeMetadata(item.name, item.values);
            break;
    }
}

void Recorder::writeFrame(const FrameRecord& frame, uint64_t log_time) {
    const auto sequence = static_cast<uint32_t>(frame.number);
    nlohmann::json images = nlohmann::json::array();
    for (const ImageCopy& image : frame.images) {
        // Only images that get a message: a reader waits for every image a frame lists.
        if (image_channels_.count(image.component) == 0) continue;
        images.push_back({{"topic", "/" + streamName(image.component)},
                          {"component", image.component},
                          {"index", image.index},
                          {"timestamp", image.timestamp},
                          {"width", image.width},
                          {"height", image.height},
                          {"pixel_format", image.pixel_format}});
    }
    const std::string info = nlohmann::json{
        {"frame", frame.number},
        {"host_time_us", frame.host_time_us},
        {"images", images}}.dump();
    writer_.writeMessage(frames_channel_, sequence, log_time, log_time,
                         {{reinterpret_cast<const uint8_t*>(info.data()), info.size()}});
    for (const ImageCopy& image : frame.images) {
        auto channel = image_channels_.find(image.component);
        if (channel == image_channels_.end()) continue;
        rec::ImageFields fields;
        fields.stamp_us = image.timestamp;
        fields.frame_id = streamName(image.component);
        fields.width = static_cast<uint32_t>(image.width);
        fields.height = static_cast<uint32_t>(image.height);
        fields.encoding = rec::rosEncoding(image.pixel_format);
        fields.step = fields.width * bytesPerPixel(image.pixel_format);
        const rec::SerializedParts parts = image.component == KV_COMPONENT_POINT3D
                                               ? rec::serializePointCloud(fields, image.data.size())
                                               : rec::serializeImage(fields, image.data.size());
        writer_.writeMessage(channel->second, sequence, log_time, image.timestamp * 1000,
                             {{parts.head.data(), parts.head.size()},
                              {image.data.data(), image.data.size()},
                              {parts.tail.data(), parts.tail.size()}});
    }
    if (!writer_.failed()) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++frames_written_;
    }
}

void Recorder::setMissedFrames(uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_missed_ = count;
}

bool Recorder::finish(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            if (error) *error = error_;
            return error_.empty();
        }
        finished_ = true;
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    // Last, so that a reader finds the counts of the whole recording.
    writer_.writeMetadata(rec::kRecordingMetadata,
                          {{"frames", std::to_string(frames_written_)},
                           {"dropped_frames", std::to_string(frames_dropped_)},
                           {"missed_frames", std::to_string(frames_missed_)},
                           {"stream_bytes_dropped", std::to_string(stream_bytes_dropped_)}});
    std::string close_error;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writer_.close(&close_error) && error_.empty()) error_ = close_error;
    bytes_written_ = writer_.bytesWritten();
    if (error) *error = error_;
    return error_.empty();
}

bool Recorder::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !error_.empty();
}

uint64_t Recorder::framesWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_written_;
}
uint64_t Recorder::framesDropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_dropped_;
}
uint64_t Recorder::streamBytesDropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_bytes_dropped_;
}
uint64_t Recorder::bytesWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_written_;
}

}  // namespace tool
}  // namespace orvane
