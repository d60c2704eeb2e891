#include "png_file.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>

#include "atomic_file.h"

namespace orvane {
namespace tool {
namespace {

// libpng reports errors by longjmp; the message is kept for the caller instead of printed.
void onPngError(png_structp png, png_const_charp message) {
    auto* text = static_cast<std::string*>(png_get_error_ptr(png));
    if (text) *text = message;
    png_longjmp(png, 1);
}
void onPngWarning(png_structp, png_const_charp) {}

bool littleEndianHost() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) == 1;
}

// Runs the libpng write of one image on an open file; false with libpng's message.
bool encode(FILE* file, int width, int height, PngKind kind, const uint8_t* pixels, std::string* message) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, message, onPngError, onPngWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    // Depth images are written fast rather than small: a capture must keep up with the camera.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    const int depth = kind == PngKind::kGray16 ? 16 : 8;
    const int color = kind == PngKind::kRgb8 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth, color,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (depth == 16 && littleEndianHost()) png_set_swap(png);  // PNG stores 16-bit samples big-endian
    const size_t stride = static_cast<size_t>(width) * pngBytesPerPixel(kind);
    for (int row = 0; row < height; ++row)
        png_write_row(png, const_cast<png_bytep>(pixels + stride * static_cast<size_t>(row)));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

int pngBytesPerPixel(PngKind kind) {
    switch (kind) {
        case PngKind::kGray8:
            return 1;
        case PngKind::kGray16:
            return 2;
        case PngKind::kRgb8:
            return 3;
    }
    return 1;
}

bool writePng(const std::string& path, int width, int height, PngKind kind, const void* pixels,
              std::string* error) {
    if (width <= 0 || height <= 0 || !pixels) {
        if (error) *error = "cannot write " + path + ": empty image";
        return false;
    }
    AtomicFile file(path);
    std::string message;
    if (file.ok() &&
        !encode(file.stream(), width, height, kind, static_cast<const uint8_t*>(pixels), &message)) {
        if (error)
            *error = "cannot write " + path + ": " + (message.empty() ? "PNG encoder failed" : message);
        return false;
    }
    if (!file.commit()) {
        if (error) *error = file.error();
        return false;
    }
    return true;
}

bool readPng(const std::string& path, PngImage& out, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        if (error) *error = "cannot open " + path;
        return false;
    }
    std::string message;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (error) *error = path + ": " + (message.empty() ? "not a PNG file" : message);
        return false;
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    out.width = static_cast<int>(png_get_image_width(png, info));
    out.height = static_cast<int>(png_get_image_height(png, info));
    out.channels = png_get_channels(png, info);
    out.bit_depth = png_get_bit_depth(png, info);
    if (out.bit_depth == 16 && littleEndianHost()) png_set_swap(png);
    png_read_update_info(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    out.pixels.assign(stride * static_cast<size_t>(out.height), 0);
    for (int row = 0; row < out.height; ++row) png_read_row(png, out.pixels.data() + stride * row, nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace tool
}  // namespace orvane
