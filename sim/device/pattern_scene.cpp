#include "sim/device/scene.h"

#include <cstring>

#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {

uint16_t PatternScene::depthAt(int x, int y, int width, int height) {
    int span = width + height - 2;
    if (span <= 0) return 600;
    return static_cast<uint16_t>(600 + 1400 * (x + y) / span);
}

uint8_t PatternScene::infraredAt(int x, int y, bool right) {
    int xs = right ? x + 8 : x;
    if ((7 * xs + 13 * y) % 97 == 0) return 255;
    return (((xs >> 4) ^ (y >> 4)) & 1) ? 192 : 64;
}

void PatternScene::colorAt(int x, int y, int width, int height, uint8_t rgb[3]) {
    rgb[0] = static_cast<uint8_t>(width > 1 ? 255 * x / (width - 1) : 0);
    rgb[1] = static_cast<uint8_t>(height > 1 ? 255 * y / (height - 1) : 0);
    rgb[2] = (((x >> 5) + (y >> 5)) & 1) ? 200 : 50;
}

void PatternScene::render(const RenderContext& ctx, uint8_t* pixels, size_t size) {
    const int w = ctx.width, h = ctx.height;
    const size_t bpp = static_cast<size_t>(bytesPerPixel(ctx.pixel_format));
    if (bpp == 0 || size < static_cast<size_t>(w) * h * bpp) {
        std::memset(pixels, 0, size);
        return;
    }
    for (int y = 0; y < h; ++y) {
        uint8_t* row = pixels + static_cast<size_t>(y) * w * bpp;
        switch (ctx.cam_id) {
            case kCamDepth:
                for (int x = 0; x < w; ++x) putU16(row + 2 * x, depthAt(x, y, w, h));
                break;
            case kCamLeftIr:
            case kCamRightIr:
                for (int x = 0; x < w; ++x) row[x] = infraredAt(x, y, ctx.cam_id == kCamRightIr);
                break;
            case kCamColor:
                for (int x = 0; x < w; ++x) colorAt(x, y, w, h, row + 3 * x);
                break;
            default:
                std::memset(row, 0, w * bpp);
                break;
        }
    }
}

}  // namespace kvsim
}  // namespace orvane
