// A captured frame copied out of the library's buffer, so the buffer can go straight back to the camera
// while the copy waits for the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kvdepth.h>

namespace orvane {
namespace tool {

struct ImageCopy {
    int32_t component = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t pixel_format = 0;
    int32_t index = 0;
    uint64_t timestamp = 0;
    std::vector<uint8_t> data;
};

struct FrameRecord {
    uint64_t number = 0;       // 1, 2, ... in capture order
    int64_t host_time_us = 0;  // host wall clock when the frame was taken from the library
    std::vector<ImageCopy> images;

    const ImageCopy* find(int32_t component) const;
    // Copies the valid images of a library frame (bounds-checked: sizes are taken as the library gave them).
    static FrameRecord copyOf(const KV_FRAME_DATA& frame, uint64_t number, int64_t host_time_us);
};

// Calibration of the capture, read once before it starts.
struct CaptureCalibration {
    bool has_depth_intrinsic = false;
    float depth_intrinsic[9] = {};
    bool has_color_intrinsic = false;
    float color_intrinsic[9] = {};  // at the current colour image size
    bool has_color_extrinsic = false;
    float color_extrinsic[12] = {};  // colour camera relative to depth: 3x4, rotation then translation column
};

// The short name of a component's stream in file names and JSON ("depth", "ir_left", ...).
std::string streamName(int32_t component);

}  // namespace tool
}  // namespace orvane
