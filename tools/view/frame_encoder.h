// Turns the newest captured frame into one WebSocket message for the page, on a thread of its own: the
// capture path only drops its frame into a single slot, so a slow encoder or browser costs displayed
// frames, never captured ones.
//
// The message is binary: a 32-bit little-endian length, that many bytes of JSON describing the frame,
// then the blobs the JSON points into (JPEG images, and now and then a reduced point cloud of 16-byte
// points: x, y, z as floats in millimetres, then red, green, blue and one unused byte).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame_record.h"

namespace orvane {
namespace tool {

// JSON text for the page. Names and texts come from the device and may be any bytes: invalid UTF-8 is
// replaced, never thrown about.
std::string jsonText(const nlohmann::json& value);

// A frame as the viewer holds it: the copy taken from the library, the rates its streams arrive at, and
// the calibration of the capture it belongs to.
struct LiveFrame {
    std::shared_ptr<const FrameRecord> record;
    std::map<int32_t, double> fps;  // by component
    CaptureCalibration calibration;
};

// JPEG compression with libturbojpeg; one per thread.
class JpegEncoder {
  public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;
    // Grey (1 byte per pixel) or RGB (3); false when the image cannot be compressed.
    bool encode(const uint8_t* pixels, int width, int height, int channels, std::string& out);

  private:
    void* handle_;
};

// Smallest and largest non-zero depth (0 and 0 when there is none): the ends of the colour bar, as the
// depth colouring uses them.
void depthSpan(const uint16_t* depth, size_t count, uint16_t& lo, uint16_t& hi);

// Every `stride`-th point of every `stride`-th row that is valid, coloured as the PLY file would be.
std::string reducedPointCloud(const FrameRecord& frame, const CaptureCalibration& cal, int stride,
                              size_t* count);

// The message for one frame; `cpu` is the viewer's CPU figure shown with it.
std::string frameMessage(const LiveFrame& frame, JpegEncoder& jpeg, bool with_points, double cpu);

class FrameEncoder {
  public:
    using Publish = std::function<void(const std::string& message)>;
    using CpuFigure = std::function<double()>;
    // Whether any page would take a frame now; null: always. A frame nobody can take is not encoded, so a
    // page that shows fewer frames than the camera sends costs no more encoding than it shows.
    using Demand = std::function<bool()>;
    FrameEncoder(Publish publish, CpuFigure cpu, Demand demand = nullptr);
    ~FrameEncoder();  // stop()
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

    // Replaces whatever frame is waiting: only the newest is ever encoded.
    void offer(std::shared_ptr<const LiveFrame> frame);
    // The demand may have changed: look again. Must not be called with a lock the demand takes.
    void poke();
    void stop();
    uint64_t encoded() const;

  private:
    void run();

    Publish publish_;
    CpuFigure cpu_;
    Demand demand_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::shared_ptr<const LiveFrame> slot_;
    bool stopping_ = false;
    uint64_t encoded_ = 0;
    std::thread thread_;
};

}  // namespace tool
}  // namespace orvane
