// Registration of depth data to the colour camera: world points of the depth camera are projected
// into the colour image, giving a 16-bit depth image in colour geometry.
#pragma once

#include <cstdint>
#include <vector>

namespace orvane {

class ImageAligner {
  public:
    // Colour position (u, v) of each point, 2 * count floats; points whose x is NaN give (NaN, NaN).
    // points holds one point every 3 + extra floats, x, y, z first. 0; -1 for null arrays, a negative
    // extra or count.
    int CreateDepth2ColorMap(const float* points, int extra, int count, float* map);

    // Renders the points into out, image_width x image_height values row by row: each pixel takes the
    // nearest depth landing in it, then every interior pixel the smallest non-zero value of its 3x3
    // neighbourhood; the border rows and columns are 0. 0; -1 with out untouched for a null out, null
    // points with a positive count, a negative extra, or an image size that is not positive or whose
    // pixel count does not fit in 32 bits.
    int DepthAlignToColor(const float* points, int extra, int count, uint16_t* out);

    float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // R, colour camera relative to depth camera
    float translation[3] = {0, 0, 0};                 // t
    float color_intrinsic[9] = {};                    // at intrinsic_width x intrinsic_height
    int32_t intrinsic_width = 0;
    int32_t intrinsic_height = 0;
    int32_t image_width = 0;  // current colour image size
    int32_t image_height = 0;

    // Scratch kept between calls so that repeated registrations allocate nothing; contents do not
    // survive a call. The map is filled block by block while the points are splatted.
    std::vector<float> map;
    std::vector<uint16_t> depth_buffer;
};

}  // namespace orvane
