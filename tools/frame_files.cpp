#include "frame_files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "png_file.h"

namespace orvane {
namespace tool {
namespace {

std::string hex32(int32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<uint32_t>(v));
    return text;
}

// Divides instead of multiplying: sizes read from a recording could make the product wrap.
bool sized(const ImageCopy& image, int bytes_per_pixel) {
    return image.width > 0 && image.height > 0 && bytes_per_pixel > 0 &&
           image.data.size() / static_cast<size_t>(bytes_per_pixel) / static_cast<size_t>(image.width) >=
               static_cast<size_t>(image.height);
}

// R^-1 of the 3x3 rotation block of a 3x4 [R | t], computed as the library's registration does.
bool invertRotation(const float* rt, double inv[9]) {
    const double r[9] = {rt[0], rt[1], rt[2], rt[4], rt[5], rt[6], rt[8], rt[9], rt[10]};
    const double det = r[0] * (r[4] * r[8] - r[7] * r[5]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                       r[2] * (r[3] * r[7] - r[4] * r[6]);
    if (std::fabs(det) < 1e-12) return false;
    inv[0] = (r[4] * r[8] - r[5] * r[7]) / det;
    inv[1] = (r[2] * r[7] - r[1] * r[8]) / det;
    inv[2] = (r[1] * r[5] - r[2] * r[4]) / det;
    inv[3] = (r[5] * r[6] - r[3] * r[8]) / det;
    inv[4] = (r[0] * r[8] - r[2] * r[6]) / det;
    inv[5] = (r[2] * r[3] - r[0] * r[5]) / det;
    inv[6] = (r[3] * r[7] - r[4] * r[6]) / det;
    inv[7] = (r[1] * r[6] - r[0] * r[7]) / det;
    inv[8] = (r[0] * r[4] - r[1] * r[3]) / det;
    return true;
}

// Writes one image of the frame as PNG, if its format is one a PNG can hold as it is.
bool writeImagePng(const ImageCopy& image, const std::string& path, std::string* error, bool* written) {
    *written = false;
    PngKind kind;
    switch (image.pixel_format) {
        case KV_PIXEL_FORMAT_DEPTH16:
            kind = PngKind::kGray16;
            break;
        case KV_PIXEL_FORMAT_MONO8:
            kind = PngKind::kGray8;
            break;
        case KV_PIXEL_FORMAT_RGB8:
            kind = PngKind::kRgb8;
            break;
        default:
            return true;  // other colour formats have no lossless PNG form here; the JSON still lists the
                          // image
    }
    if (!sized(image, pngBytesPerPixel(kind))) {
        if (error) *error = "frame image " + streamName(image.component) + " is smaller than its size says";
        return false;
    }
    *written = writePng(path, image.width, image.height, kind, image.data.data(), error);
    return *written;
}

}  // namespace

std::string framePrefix(uint64_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "frame_%06llu", static_cast<unsigned long long>(number));
    return text;
}

std::vector<uint8_t> colorizeDepth(const uint16_t* depth, size_t count) {
    uint16_t lo = UINT16_MAX, hi = 0;
    for (size_t i = 0; i < count; ++i) {
        if (depth[i] == 0) continue;
        lo = std::min(lo, depth[i]);
        hi = std::max(hi, depth[i]);
    }
    std::vector<uint8_t> rgb(count * 3, 0);
    const float span = hi > lo ? static_cast<float>(hi - lo) : 1.0f;
    for (size_t i = 0; i < count; ++i) {
        if (depth[i] == 0) continue;
        // A hue ramp red -> yellow -> green -> cyan -> blue from near to far.
        const float t = (depth[i] - lo) / span * 4.0f;
        const int seg = std::min(3, static_cast<int>(t));
        const auto f = static_cast<uint8_t>(std::lround((t - seg) * 255.0f));
        const uint8_t up = f, down = static_cast<uint8_t>(255 - f);
        uint8_t* p = &rgb[i * 3];
        const uint8_t table[4][3] = {{255, up, 0}, {down, 255, 0}, {0, 255, up}, {0, down, 255}};
        std::memcpy(p, table[seg], 3);
    }
    return rgb;
}

std::vector<PlyPoint> pointCloud(const ImageCopy& points, const ImageCopy* color,
                                 const CaptureCalibration& cal) {
    std::vector<PlyPoint> cloud;
    if (!sized(points, 12)) return cloud;
    const size_t count = static_cast<size_t>(points.width) * points.height;
    double inv[9] = {};
    const bool colored = color && color->pixel_format == KV_PIXEL_FORMAT_RGB8 && sized(*color, 3) &&
                         cal.has_color_intrinsic && cal.has_color_extrinsic &&
                         invertRotation(cal.color_extrinsic, inv);
    const float* k = cal.color_intrinsic;
    const float* t = cal.color_extrinsic;
    cloud.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        float xyz[3];
        std::memcpy(xyz, points.data.data() + i * 12, 12);
        if (std::isnan(xyz[0]) || !(xyz[2] > 0.0f)) continue;
        PlyPoint p{xyz[0], xyz[1], xyz[2], 128, 128, 128};
        if (colored) {
            const double d[3] = {xyz[0] - t[3], xyz[1] - t[7], xyz[2] - t[11]};
            const double q[3] = {inv[0] * d[0] + inv[1] * d[1] + inv[2] * d[2],
                                 inv[3] * d[0] + inv[4] * d[1] + inv[5] * d[2],
                                 inv[6] * d[0] + inv[7] * d[1] + inv[8] * d[2]};
            if (q[2] > 0) {
                const double u = k[0] * q[0] / q[2] + k[2];
                const double v = k[4] * q[1] / q[2] + k[5];
                if (u >= 0 && v >= 0 && u < color->width && v < color->height) {
                    const size_t at = (static_cast<size_t>(v) * color->width + static_cast<size_t>(u)) * 3;
                    p.r = color->data[at];
                    p.g = color->data[at + 1];
                    p.b = color->data[at + 2];
                }
            }
        }
        cloud.push_back(p);
    }
    return cloud;
}

nlohmann::json frameJson(const FrameRecord& frame, const FrameFileOptions& options,
                         const std::vector<std::string>& files, size_t point_count) {
    nlohmann::json j;
    j["frame"] = frame.number;
    j["camera"] = options.camera;
    j["host_time_us"] = frame.host_time_us;
    nlohmann::json images = nlohmann::json::array();
    for (const ImageCopy& image : frame.images) {
        images.push_back({{"stream", streamName(image.component)},
                          {"component", hex32(image.component)},
                          {"index", image.index},
                          {"timestamp", image.timestamp},
                          {"width", image.width},
                          {"height", image.height},
                          {"pixel_format", hex32(image.pixel_format)},
                          {"bytes", image.data.size()}});
    }
    j["images"] = images;
    const CaptureCalibration& cal = options.calibration;
    nlohmann::json intrinsics = nlohmann::json::object();
    if (cal.has_depth_intrinsic)
        intrinsics["depth"] = std::vector<float>(cal.depth_intrinsic, cal.depth_intrinsic + 9);
    if (cal.has_color_intrinsic)
        intrinsics["color"] = std::vector<float>(cal.color_intrinsic, cal.color_intrinsic + 9);
    if (cal.has_color_extrinsic)
        intrinsics["color_extrinsic"] = std::vector<float>(cal.color_extrinsic, cal.color_extrinsic + 12);
    j["intrinsics"] = intrinsics;
    j["files"] = files;
    if (frame.find(KV_COMPONENT_POINT3D)) j["points"] = point_count;
    return j;
}

bool writeFrameFiles(const FrameRecord& frame, const FrameFileOptions& options, std::string* error) {
    const std::string prefix = framePrefix(frame.number);
    const std::string base = options.directory + "/" + prefix;
    std::vector<std::string> files;
    size_t point_count = 0;
    for (const ImageCopy& image : frame.images) {
        const std::string name = streamName(image.component);
        if (image.component == KV_COMPONENT_POINT3D) {
            if (!options.ply) continue;
            if (!sized(image, 12)) {
                if (error) *error = "frame image points is smaller than its size says";
                return false;
            }
            const std::vector<PlyPoint> cloud =
                pointCloud(image, frame.find(KV_COMPONENT_COLOR), options.calibration);
            const bool with_color = frame.find(KV_COMPONENT_COLOR) != nullptr;
            if (!writePly(base + "_points.ply", cloud, with_color, "kvdepth " + prefix, error)) return false;
            files.push_back(prefix + "_points.ply");
            point_count = cloud.size();
            continue;
        }
        bool written = false;
        if (!writeImagePng(image, base + "_" + name + ".png", error, &written)) return false;
        if (written) files.push_back(prefix + "_" + name + ".png");
        if (written && image.pixel_format == KV_PIXEL_FORMAT_DEPTH16) {
            std::vector<uint16_t> depth(static_cast<size_t>(image.width) * image.height);
            std::memcpy(depth.data(), image.data.data(), depth.size() * 2);
            const std::vector<uint8_t> rgb = colorizeDepth(depth.data(), depth.size());
            if (!writePng(base + "_" + name + "_colormap.png", image.width, image.height, PngKind::kRgb8,
                          rgb.data(), error))
                return false;
            files.push_back(prefix + "_" + name + "_colormap.png");
        }
    }
    const std::string text = frameJson(frame, options, files, point_count).dump(2) + "\n";
    AtomicFile json(base + ".json");
    json.write(text.data(), text.size());
    if (!json.commit()) {
        if (error) *error = json.error();
        return false;
    }
    return true;
}

}  // namespace tool
}  // namespace orvane
