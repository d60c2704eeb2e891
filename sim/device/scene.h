// What the simulated camera looks at. The device asks its scene for the pixels of each stream; a scene that
// does not change from frame to frame is rendered once per image size and settings, and the device re-uses
// that image for every frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/device/device_types.h"

namespace orvane {
namespace kvsim {

struct RenderContext {
    uint8_t cam_id = 0;        // kCamLeftIr, kCamRightIr, kCamColor or kCamDepth
    uint8_t pixel_format = 0;  // wire pixel format of the stream
    int width = 0;
    int height = 0;
    Intrinsic intrinsic;  // of this stream's camera, scaled to width x height
    const Calibration* calibration = nullptr;
    const DeviceSettings* settings = nullptr;
    uint32_t sequence = 0;  // frame sequence number (only meaningful to animated scenes)
    uint64_t timestamp_us = 0;
};

class Scene {
  public:
    virtual ~Scene() = default;
    // True when the picture changes from frame to frame: the device then renders every frame.
    virtual bool animated() const { return false; }
    // Fills exactly `size` bytes: width x height pixels of the stream's pixel format, rows top to bottom.
    virtual void render(const RenderContext& ctx, uint8_t* pixels, size_t size) = 0;
};

// The default content: simple deterministic patterns that make each stream recognisable.
//  depth (mm):    600 + 1400 * (x + y) / (width + height - 2), a ramp from 600 at the top left to 2000
//  infrared:      16-pixel checkerboard of 64/192 with bright dots (255) where (7x' + 13y) % 97 == 0;
//                 x' = x for the left sensor, x + 8 for the right one
//  colour (RGB):  red = 255 * x / (width - 1), green = 255 * y / (height - 1),
//                 blue = 200 or 50 in 32-pixel blocks
class PatternScene : public Scene {
  public:
    void render(const RenderContext& ctx, uint8_t* pixels, size_t size) override;

    static uint16_t depthAt(int x, int y, int width, int height);
    static uint8_t infraredAt(int x, int y, bool right);
    static void colorAt(int x, int y, int width, int height, uint8_t rgb[3]);
};

}  // namespace kvsim
}  // namespace orvane
