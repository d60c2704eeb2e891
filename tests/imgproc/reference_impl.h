// Plain, literal implementations of the image-processing arithmetic, written straight from the
// formulas with no shortcuts: the optimised library code must match them bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "kvdepth.h"

namespace orvane {
namespace reference {

KV_VECT_3F getWorld(const float intrinsic11[11], const KV_VECT_3F& depth);
void depthImage2WorldImage(const float intrinsic11[11], const uint16_t* depth, int width, int height,
                           KV_VECT_3F* world);

struct Aligner {
    float rotation[9];
    float translation[3];
    float color_intrinsic[9];
    int intrinsic_width, intrinsic_height, image_width, image_height;
};
void createDepth2ColorMap(const Aligner& a, const float* points, int extra, int count, float* map);
void depthAlignToColor(const Aligner& a, const float* points, int extra, int count, uint16_t* out);

struct UndistortSetup {
    float intrinsic[9];
    float new_intrinsic[9];
    std::vector<float> coefficients;
    int dst_width, dst_height;
};
void undistortMap(const UndistortSetup& s, std::vector<float>& map_x, std::vector<float>& map_y);
void remap(const std::vector<float>& map_x, const std::vector<float>& map_y, int dst_width, int dst_height,
           const uint8_t* src, int src_width, int src_height, int src_stride, uint8_t* dst, int dst_stride,
           int channels);

// Flood fill with an explicit stack of 16-bit coordinates, exactly as the filter is described.
void filterSpeckles(int width, int height, uint16_t* image, int new_value, int max_size, int max_diff);

}  // namespace reference
}  // namespace orvane
