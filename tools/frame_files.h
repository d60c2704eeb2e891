// Turns one captured frame into files: 16-bit depth PNG, colourised depth PNG, infrared and colour PNGs,
// a PLY point cloud and a JSON file that describes the frame and names the other files.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "frame_record.h"
#include "ply_file.h"

namespace orvane {
namespace tool {

struct FrameFileOptions {
    std::string directory;
    std::string camera;  // serial or address, recorded in the JSON
    bool ply = true;     // write the point image as PLY
    CaptureCalibration calibration;
};

// Writes the frame's files; the JSON file comes last, so its presence marks a frame whose files are all
// complete. False with the first error.
bool writeFrameFiles(const FrameRecord& frame, const FrameFileOptions& options, std::string* error);

// "frame_000012" for frame 12.
std::string framePrefix(uint64_t number);

// Depth in millimetres mapped to colours for people: near red, far blue, no depth black.
std::vector<uint8_t> colorizeDepth(const uint16_t* depth, size_t count);

// The valid points of a point image (x, y, z floats; NaN or z <= 0 are holes), coloured from the colour
// image through the colour calibration when both are given, mid-grey where the colour camera does not see.
std::vector<PlyPoint> pointCloud(const ImageCopy& points, const ImageCopy* color,
                                 const CaptureCalibration& cal);

// The frame's description as written to its JSON file.
nlohmann::json frameJson(const FrameRecord& frame, const FrameFileOptions& options,
                         const std::vector<std::string>& files, size_t point_count);

}  // namespace tool
}  // namespace orvane
