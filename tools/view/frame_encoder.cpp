#include "frame_encoder.h"

#include <turbojpeg.h>

#include <chrono>
#include <cstring>

#include "frame_files.h"

namespace orvane {
namespace tool {
namespace {

constexpr int kJpegQuality = 80;
constexpr int kPointStride = 5;                           // 640x480 depth gives 128x96 points
constexpr std::chrono::milliseconds kPointInterval{300};  // a point cloud costs a browser more than images

bool sized(const ImageCopy& image, size_t bytes_per_pixel) {
    return image.width > 0 && image.height > 0 &&
           image.data.size() >= static_cast<size_t>(image.width) * image.height * bytes_per_pixel;
}

void appendBlob(std::string& blobs, const std::string& blob, nlohmann::json& entry) {
    entry["offset"] = blobs.size();
    entry["size"] = blob.size();
    blobs += blob;
}

// The image as JPEG and its description; false for formats the page does not show.
bool encodeImage(const ImageCopy& image, JpegEncoder& jpeg, nlohmann::json& entry, std::string& blob) {
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    switch (image.pixel_format) {
        case KV_PIXEL_FORMAT_DEPTH16: {
            if (!sized(image, 2)) return false;
            std::vector<uint16_t> depth(pixels);
            std::memcpy(depth.data(), image.data.data(), pixels * 2);
            uint16_t lo = 0, hi = 0;
            depthSpan(depth.data(), pixels, lo, hi);
            entry["min_mm"] = lo;
            entry["max_mm"] = hi;
            const std::vector<uint8_t> rgb = colorizeDepth(depth.data(), pixels);
            return jpeg.encode(rgb.data(), image.width, image.height, 3, blob);
        }
        case KV_PIXEL_FORMAT_MONO8:
            return sized(image, 1) && jpeg.encode(image.data.data(), image.width, image.height, 1, blob);
        case KV_PIXEL_FORMAT_RGB8:
            return sized(image, 3) && jpeg.encode(image.data.data(), image.width, image.height, 3, blob);
        default:
            return false;
    }
}

}  // namespace

std::string jsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (handle_) tjDestroy(handle_);
}

bool JpegEncoder::encode(const uint8_t* pixels, int width, int height, int channels, std::string& out) {
    if (!handle_ || (channels != 1 && channels != 3) || width <= 0 || height <= 0) return false;
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int failed =
        tjCompress2(handle_, pixels, width, 0, height, channels == 1 ? TJPF_GRAY : TJPF_RGB, &jpeg, &size,
                    channels == 1 ? TJSAMP_GRAY : TJSAMP_420, kJpegQuality, TJFLAG_FASTDCT);
    if (!failed) out.assign(reinterpret_cast<const char*>(jpeg), size);
    tjFree(jpeg);
    return !failed;
}

void depthSpan(const uint16_t* depth, size_t count, uint16_t& lo, uint16_t& hi) {
    lo = UINT16_MAX;
    hi = 0;
    for (size_t i = 0; i < count; ++i) {
        if (depth[i] == 0) continue;
        lo = std::min(lo, depth[i]);
        hi = std::max(hi, depth[i]);
    }
    if (hi == 0) lo = 0;
}

std::string reducedPointCloud(const FrameRecord& frame, const CaptureCalibration& cal, int stride,
                              size_t* count) {
    *count = 0;
    const ImageCopy* points = frame.find(KV_COMPONENT_POINT3D);
    if (!points || !sized(*points, 12) || stride < 1) return std::string();
    // Sample the point image first, then colour the samples exactly as a capture's PLY file is coloured.
    ImageCopy sample = *points;
    sample.width = (points->width + stride - 1) / stride;
    sample.height = (points->height + stride - 1) / stride;
    sample.data.assign(static_cast<size_t>(sample.width) * sample.height * 12, 0);
    for (int y = 0; y < sample.height; ++y)
        for (int x = 0; x < sample.width; ++x)
            std::memcpy(&sample.data[(static_cast<size_t>(y) * sample.width + x) * 12],
                        &points->data[(static_cast<size_t>(y) * stride * points->width + x * stride) * 12],
                        12);
    const std::vector<PlyPoint> cloud = pointCloud(sample, frame.find(KV_COMPONENT_COLOR), cal);
    std::string out(cloud.size() * 16, '\0');
    for (size_t i = 0; i < cloud.size(); ++i) {
        char* p = &out[i * 16];
        std::memcpy(p, &cloud[i].x, 4);
        std::memcpy(p + 4, &cloud[i].y, 4);
        std::memcpy(p + 8, &cloud[i].z, 4);
        p[12] = static_cast<char>(cloud[i].r);
        p[13] = static_cast<char>(cloud[i].g);
        p[14] = static_cast<char>(cloud[i].b);
    }
    *count = cloud.size();
    return out;
}

std::string frameMessage(const LiveFrame& frame, JpegEncoder& jpeg, bool with_points, double cpu) {
    nlohmann::json head = {{"type", "frame"}, {"number", frame.record->number}, {"cpu", cpu}};
    head["images"] = nlohmann::json::array();
    std::string blobs, blob;
    for (const ImageCopy& image : frame.record->images) {
        nlohmann::json entry = {{"stream", streamName(image.component)},
                                {"index", image.index},
                                {"width", image.width},
                                {"height", image.height}};
        const auto fps = frame.fps.find(image.component);
        entry["fps"] = fps == frame.fps.end() ? 0.0 : fps->second;
        if (image.component != KV_COMPONENT_POINT3D && encodeImage(image, jpeg, entry, blob))
            appendBlob(blobs, blob, entry);
        head["images"].push_back(std::move(entry));
    }
    if (with_points) {
        size_t count = 0;
        const std::string cloud = reducedPointCloud(*frame.record, frame.calibration, kPointStride, &count);
        if (count > 0) {
            nlohmann::json entry = {{"count", count}};
            appendBlob(blobs, cloud, entry);
            head["points"] = std::move(entry);
        }
    }
    const std::string text = jsonText(head);
    std::string message(4, '\0');
    const uint32_t length = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) message[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    message += text;
    message += blobs;
    return message;
}

FrameEncoder::FrameEncoder(Publish publish, CpuFigure cpu, Demand demand)
    : publish_(std::move(publish)),
      cpu_(std::move(cpu)),
      demand_(std::move(demand)),
      thread_([this] { run(); }) {}

FrameEncoder::~FrameEncoder() {
    stop();
}

void FrameEncoder::offer(std::shared_ptr<const LiveFrame> frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slot_ = std::move(frame);
    }
    wake_.notify_one();
}

void FrameEncoder::poke() {
    // Under the lock, so that the encoder cannot miss it between testing the demand and going to sleep.
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_one();
}

void FrameEncoder::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

uint64_t FrameEncoder::encoded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return encoded_;
}

void FrameEncoder::run() {
    JpegEncoder jpeg;
    auto last_points = std::chrono::steady_clock::now() - kPointInterval;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (slot_ != nullptr && (!demand_ || demand_())); });
        if (stopping_) return;
        std::shared_ptr<const LiveFrame> frame = std::move(slot_);
        slot_ = nullptr;
        lock.unlock();
        const auto now = std::chrono::steady_clock::now();
        const bool with_points = now - last_points >= kPointInterval;
        if (with_points) last_points = now;
        try {
            if (frame && frame->record)
                publish_(frameMessage(*frame, jpeg, with_points, cpu_ ? cpu_() : 0.0));
        } catch (const std::exception&) {
            // Out of memory for one frame's message: that frame is not shown.
        }
        lock.lock();
        ++encoded_;
    }
}

}  // namespace tool
}  // namespace orvane
