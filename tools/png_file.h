// PNG files through libpng: 8-bit grey, 16-bit grey (depth in millimetres) and 8-bit RGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {
namespace tool {

enum class PngKind { kGray8, kGray16, kRgb8 };

int pngBytesPerPixel(PngKind kind);

// Writes width x height pixels, rows packed without gaps; 16-bit values are in host byte order. The file
// appears only when complete. False with a message on any failure.
bool writePng(const std::string& path, int width, int height, PngKind kind, const void* pixels,
              std::string* error);

// An image read back from a PNG file (16-bit samples in host byte order).
struct PngImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    int bit_depth = 0;
    std::vector<uint8_t> pixels;
};
bool readPng(const std::string& path, PngImage& out, std::string* error);

}  // namespace tool
}  // namespace orvane
