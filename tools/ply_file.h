// Point clouds as PLY files (binary little-endian), readable by common point-cloud viewers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {
namespace tool {

struct PlyPoint {
    float x, y, z;  // millimetres, depth camera frame
    uint8_t r, g, b;
};

// Writes the points as vertices x, y, z (float) and, when with_color, red, green, blue (uchar). The file
// appears only when complete.
bool writePly(const std::string& path, const std::vector<PlyPoint>& points, bool with_color,
              const std::string& comment, std::string* error);

}  // namespace tool
}  // namespace orvane
