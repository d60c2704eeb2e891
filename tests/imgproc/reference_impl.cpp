#include "reference_impl.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace orvane {
namespace reference {

namespace {

float quietNan() {
    const uint32_t bits = 0x7fc00000u;
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

// Adjugate over determinant in double, each element rounded to float.
void inverse3x3(const float m[9], float out[9]) {
    const double r0 = m[0], r1 = m[1], r2 = m[2], r3 = m[3], r4 = m[4], r5 = m[5], r6 = m[6], r7 = m[7],
                 r8 = m[8];
    const double det = r0 * (r4 * r8 - r7 * r5) - r1 * (r3 * r8 - r5 * r6) + r2 * (r3 * r7 - r4 * r6);
    const double adj[9] = {r4 * r8 - r7 * r5, r2 * r7 - r1 * r8, r1 * r5 - r2 * r4,
                           r5 * r6 - r3 * r8, r0 * r8 - r2 * r6, r2 * r3 - r0 * r5,
                           r3 * r7 - r4 * r6, r1 * r6 - r0 * r7, r0 * r4 - r1 * r3};
    for (int i = 0; i < 9; ++i) out[i] = static_cast<float>(adj[i] / det);
}

}  // namespace

KV_VECT_3F getWorld(const float p[11], const KV_VECT_3F& d) {
    KV_VECT_3F w;
    w.x = ((d.x - p[2]) * d.z) * p[9];
    w.y = ((d.y - p[5]) * d.z) * p[10];
    w.z = d.z;
    return w;
}

void depthImage2WorldImage(const float p[11], const uint16_t* depth, int width, int height,
                           KV_VECT_3F* world) {
    if (width <= 0 || height <= 0) return;
    for (int v = 0; v < height; ++v) {
        for (int u = 0; u < width; ++u) {
            const size_t i = static_cast<size_t>(v) * width + u;
            if (depth[i] == 0) {
                world[i] = KV_VECT_3F{quietNan(), quietNan(), quietNan()};
            } else {
                world[i] = getWorld(p, KV_VECT_3F{static_cast<float>(u), static_cast<float>(v),
                                                  static_cast<float>(depth[i])});
            }
        }
    }
}

void createDepth2ColorMap(const Aligner& a, const float* points, int extra, int count, float* map) {
    float inv[9];
    inverse3x3(a.rotation, inv);
    const float sx = static_cast<float>(a.image_width) / static_cast<float>(a.intrinsic_width);
    const float sy = static_cast<float>(a.image_height) / static_cast<float>(a.intrinsic_height);
    const float fx = a.color_intrinsic[0], cx = a.color_intrinsic[2];
    const float fy = a.color_intrinsic[4], cy = a.color_intrinsic[5];
    for (int i = 0; i < count; ++i) {
        const float* p = points + static_cast<size_t>(i) * (3 + extra);
        if (std::isnan(p[0])) {
            map[2 * i] = quietNan();
            map[2 * i + 1] = quietNan();
            continue;
        }
        const float dx = p[0] - a.translation[0], dy = p[1] - a.translation[1], dz = p[2] - a.translation[2];
        const float qx = inv[0] * dx + inv[1] * dy + inv[2] * dz;
        const float qy = inv[3] * dx + inv[4] * dy + inv[5] * dz;
        const float qz = inv[6] * dx + inv[7] * dy + inv[8] * dz;
        map[2 * i] = ((qx * fx) * sx) / qz + sx * cx;
        map[2 * i + 1] = ((qy * fy) * sy) / qz + sy * cy;
    }
}

void depthAlignToColor(const Aligner& a, const float* points, int extra, int count, uint16_t* out) {
    const int W = a.image_width, H = a.image_height;
    std::vector<float> map(2 * static_cast<size_t>(count));
    std::vector<uint16_t> buffer(static_cast<size_t>(W) * H, 0);
    createDepth2ColorMap(a, points, extra, count, map.data());
    std::memset(out, 0, static_cast<size_t>(W) * H * sizeof(uint16_t));
    for (int i = 0; i < count; ++i) {
        const float* p = points + static_cast<size_t>(i) * (3 + extra);
        if (std::isnan(p[0])) continue;
        const float u = map[2 * i], v = map[2 * i + 1];
        // Column and row are u and v truncated toward zero; non-finite positions are out of range.
        if (!std::isfinite(u) || !std::isfinite(v)) continue;
        const double column_f = std::trunc(static_cast<double>(u));
        const double row_f = std::trunc(static_cast<double>(v));
        if (column_f < 0 || column_f >= W || row_f < 0 || row_f >= H) continue;
        const int column = static_cast<int>(column_f);
        const int row = static_cast<int>(row_f);
        // A depth that does not fit an int has no integer value: the point is skipped.
        const double z = std::trunc(static_cast<double>(p[2]));
        if (!(z >= -2147483648.0 && z <= 2147483647.0)) continue;
        const uint16_t depth = static_cast<uint16_t>(static_cast<int>(z));
        uint16_t& cell = buffer[static_cast<size_t>(row) * W + column];
        if (cell == 0 || depth < cell) cell = depth;
    }
    if (W <= 2 || H <= 2) return;
    for (int y = 1; y <= H - 2; ++y) {
        for (int x = 1; x <= W - 2; ++x) {
            int best = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int value = buffer[static_cast<size_t>(y + dy) * W + (x + dx)];
                    if (value != 0 && (best == 0 || value < best)) best = value;
                }
            }
            out[static_cast<size_t>(y) * W + x] = static_cast<uint16_t>(best);
        }
    }
}

void undistortMap(const UndistortSetup& s, std::vector<float>& map_x, std::vector<float>& map_y) {
    const size_t n = s.coefficients.size();
    const double k1 = s.coefficients[0], k2 = s.coefficients[1], p1 = s.coefficients[2],
                 p2 = s.coefficients[3];
    const double k3 = n >= 8 ? s.coefficients[4] : 0.0, k4 = n >= 8 ? s.coefficients[5] : 0.0;
    const double k5 = n >= 8 ? s.coefficients[6] : 0.0, k6 = n >= 8 ? s.coefficients[7] : 0.0;
    const double s1 = n >= 12 ? s.coefficients[8] : 0.0, s2 = n >= 12 ? s.coefficients[9] : 0.0;
    const double s3 = n >= 12 ? s.coefficients[10] : 0.0, s4 = n >= 12 ? s.coefficients[11] : 0.0;
    float N[9];
    inverse3x3(s.new_intrinsic, N);
    const double fx = s.intrinsic[0], cx = s.intrinsic[2], fy = s.intrinsic[4], cy = s.intrinsic[5];
    map_x.assign(static_cast<size_t>(s.dst_width) * s.dst_height, 0.0f);
    map_y.assign(map_x.size(), 0.0f);
    for (int v = 0; v < s.dst_height; ++v) {
        const float fv = static_cast<float>(v);
        double X = N[1] * fv + N[2];
        double Y = N[4] * fv + N[5];
        double W = N[7] * fv + N[8];
        for (int u = 0; u < s.dst_width; ++u) {
            const double w = 1.0 / W;
            const double x = X * w;
            const double y = Y * w;
            const double x2 = x * x;
            const double y2 = y * y;
            const double r2 = x2 + y2;
            const double _2xy = (x + x) * y;
            const double kr = (((k3 * r2 + k2) * r2 + k1) * r2 + 1) / (((k6 * r2 + k5) * r2 + k4) * r2 + 1);
            const double xd = x * kr + p1 * _2xy + p2 * (2 * x2 + r2) + s1 * r2 + s2 * r2 * r2;
            const double yd = y * kr + p1 * (2 * y2 + r2) + p2 * _2xy + s3 * r2 + s4 * r2 * r2;
            map_x[static_cast<size_t>(v) * s.dst_width + u] = static_cast<float>(xd * fx + cx);
            map_y[static_cast<size_t>(v) * s.dst_width + u] = static_cast<float>(yd * fy + cy);
            X += N[0];
            Y += N[3];
            W += N[6];
        }
    }
}

void remap(const std::vector<float>& map_x, const std::vector<float>& map_y, int dst_width, int dst_height,
           const uint8_t* src, int src_width, int src_height, int src_stride, uint8_t* dst, int dst_stride,
           int channels) {
    for (int v = 0; v < dst_height; ++v) {
        for (int u = 0; u < dst_width; ++u) {
            const float mx = map_x[static_cast<size_t>(v) * dst_width + u];
            const float my = map_y[static_cast<size_t>(v) * dst_width + u];
            uint8_t* out = dst + static_cast<size_t>(v) * dst_stride + static_cast<size_t>(u) * channels;
            const double tx = std::trunc(static_cast<double>(mx)), ty = std::trunc(static_cast<double>(my));
            const bool inside = std::isfinite(mx) && std::isfinite(my) && tx >= 0 && ty >= 0 &&
                                tx + 1 < src_width && ty + 1 < src_height;
            if (!inside) {
                for (int k = 0; k < channels; ++k) out[k] = 0;
                continue;
            }
            const int ix = static_cast<int>(std::trunc(mx));
            const int iy = static_cast<int>(std::trunc(my));
            const float a = mx - ix;
            const float b = my - iy;
            for (int k = 0; k < channels; ++k) {
                auto sample = [&](int x, int y) -> float {
                    return src[static_cast<size_t>(y) * src_stride + static_cast<size_t>(x) * channels + k];
                };
                const float P00 = sample(ix, iy), P10 = sample(ix + 1, iy);
                const float P01 = sample(ix, iy + 1), P11 = sample(ix + 1, iy + 1);
                const float value =
                    ((P00 * (1 - a) + P10 * a) * (1 - b) + (P01 * (1 - a) + P11 * a) * b) + 0.5f;
                // Extrapolated positions (-1 < m < 0) can leave 0..255: clamped, never wrapped.
                const int truncated = static_cast<int>(std::trunc(value));
                out[k] = static_cast<uint8_t>(std::min(255, std::max(0, truncated)));
            }
        }
    }
}

void filterSpeckles(int width, int height, uint16_t* image, int new_value, int max_size, int max_diff) {
    const size_t npixels = static_cast<size_t>(width) * height;
    std::vector<int32_t> labels(npixels, 0);
    struct Pt {
        int16_t x, y;
    };
    std::vector<Pt> stack(npixels);
    std::vector<uint8_t> region_type(npixels + 1, 0);
    int label_counter = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint16_t& pixel = image[static_cast<size_t>(y) * width + x];
            if (pixel == new_value) continue;
            int32_t& label = labels[static_cast<size_t>(y) * width + x];
            if (label != 0) {
                if (region_type[label] == 1) pixel = static_cast<uint16_t>(new_value);
                continue;
            }
            label = ++label_counter;
            size_t top = 0;
            Pt p{static_cast<int16_t>(x), static_cast<int16_t>(y)};
            int count = 0;
            for (;;) {
                ++count;
                const uint16_t value = image[static_cast<size_t>(p.y) * width + p.x];
                auto visit = [&](int qx, int qy) {
                    const size_t qi = static_cast<size_t>(qy) * width + qx;
                    if (labels[qi] != 0 || image[qi] == new_value) return;
                    if (std::abs(static_cast<int32_t>(value) - static_cast<int32_t>(image[qi])) > max_diff)
                        return;
                    labels[qi] = label_counter;
                    stack[top++] = Pt{static_cast<int16_t>(qx), static_cast<int16_t>(qy)};
                };
                if (p.x + 1 < width) visit(p.x + 1, p.y);
                if (p.x > 0) visit(p.x - 1, p.y);
                if (p.y + 1 < height) visit(p.x, p.y + 1);
                if (p.y > 0) visit(p.x, p.y - 1);
                if (top == 0) break;
                p = stack[--top];
            }
            if (count > max_size) {
                region_type[label_counter] = 0;
            } else {
                region_type[label_counter] = 1;
                pixel = static_cast<uint16_t>(new_value);
            }
        }
    }
}

}  // namespace reference
}  // namespace orvane
