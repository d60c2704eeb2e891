#include "sim/scene/synthetic_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {
namespace {

// The projector's pattern: one candidate dot per square cell of this many radians; about half the cells
// carry a dot of 0.22 cell radius, placed within its cell by a hash of the cell.
constexpr double kDotCell = 1.0 / 110.0;
constexpr double kDotRadius = 0.22;
constexpr uint64_t kDotPatternSeed = 0x6b7673696d646f74ull;  // the same projector in every scene
constexpr uint64_t kSpeckleStream = 0x5bec;
constexpr uint64_t kNoiseStream = 0x4015e;

// Direction from a surface towards the light (above, slightly left, in front).
const Vec3 kLightDir = [] {
    Vec3 l{-0.3, -0.6, -0.74};
    return l * (1.0 / length(l));
}();

uint8_t clampByte(double v) {
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return static_cast<uint8_t>(std::lround(v));
}

// Uniform double in [0, 1) from 53 bits of a hash.
double unit(uint64_t h) {
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// The ray of pixel (u, v) in its camera's frame, in double precision throughout (mixing in the float
// intrinsic would round rays that graze an edge differently from the ground truth's).
Vec3 pixelRay(const Intrinsic& k, double u, double v) {
    return Vec3{(u - static_cast<double>(k.cx)) / static_cast<double>(k.fx),
                (v - static_cast<double>(k.cy)) / static_cast<double>(k.fy), 1.0};
}

int irGainOf(const RenderContext& ctx, bool right) {
    if (ctx.settings == nullptr) return 16;
    int g = ctx.settings->ir_gain[right ? 1 : 0];
    return g < 0 ? 16 : g;  // automatic gain settles where the default is
}

}  // namespace

SyntheticScene::SyntheticScene(std::string name, std::vector<Shape> shapes, SceneOptions options)
    : name_(std::move(name)), shapes_(std::move(shapes)), options_(options) {
    for (const Shape& s : shapes_) {
        const bool moves = options_.motion && s.motion.moves();
        moving_mask_.push_back(moves ? 1 : 0);
        moving_ = moving_ || moves;
    }
}

bool SyntheticScene::animated() const {
    return moving_ || options_.noise_mm > 0 || options_.speckles > 0;
}

std::vector<Shape> SyntheticScene::shapesAt(uint32_t frame) const {
    if (!moving_) return shapes_;
    std::vector<Shape> out;
    out.reserve(shapes_.size());
    for (const Shape& s : shapes_) out.push_back(s.at(frame));
    return out;
}

SurfaceHit SyntheticScene::cast(const std::vector<Shape>& shapes, const std::vector<char>* skip,
                                const Vec3& origin, const Vec3& dir) {
    SurfaceHit best;
    double best_t = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < shapes.size(); ++i) {
        if (skip != nullptr && (*skip)[i]) continue;
        double t;
        Vec3 n;
        if (shapes[i].intersect(origin, dir, 1e-9, t, n) && t < best_t) {
            best_t = t;
            best.valid = true;
            best.shape = static_cast<int>(i);
            best.t = t;
            best.normal = n;
        }
    }
    if (best.valid) best.point = origin + dir * best.t;
    return best;
}

SurfaceHit SyntheticScene::castRay(const Vec3& origin, const Vec3& dir, uint32_t frame) const {
    if (!moving_) return cast(shapes_, nullptr, origin, dir);
    return cast(shapesAt(frame), nullptr, origin, dir);
}

SurfaceHit SyntheticScene::depthPixel(const Intrinsic& k, double u, double v, uint32_t frame) const {
    return castRay(Vec3{}, pixelRay(k, u, v), frame);
}

uint16_t SyntheticScene::trueDepth(const Intrinsic& k, int u, int v, uint32_t frame) const {
    SurfaceHit hit = depthPixel(k, u, v, frame);
    if (!hit.valid || hit.point.z > options_.max_range_mm || hit.point.z < 0.5) return 0;
    return static_cast<uint16_t>(std::min(65535L, std::lround(hit.point.z)));
}

double SyntheticScene::distanceToSurface(const Vec3& p, uint32_t frame) const {
    double best = std::numeric_limits<double>::infinity();
    for (const Shape& s : shapes_) best = std::min(best, (moving_ ? s.at(frame) : s).distanceTo(p));
    return best;
}

bool SyntheticScene::projectToColor(const Calibration& cal, int width, int height, const Vec3& p, double& u,
                                    double& v) {
    const auto& m = cal.color_from_depth;
    // q = R^-1 (p - t); R is a rotation, so its inverse is its transpose.
    const Vec3 d{p.x - m[3], p.y - m[7], p.z - m[11]};
    const Vec3 q{m[0] * d.x + m[4] * d.y + m[8] * d.z, m[1] * d.x + m[5] * d.y + m[9] * d.z,
                 m[2] * d.x + m[6] * d.y + m[10] * d.z};
    if (!(q.z > 0)) return false;
    const Intrinsic k = cal.color.scaledTo(width, height);
    u = q.x * k.fx / q.z + k.cx;
    v = q.y * k.fy / q.z + k.cy;
    return true;
}

SurfaceHit SyntheticScene::colorPixel(const Calibration& cal, int width, int height, double u, double v,
                                      uint32_t frame) const {
    const Intrinsic k = cal.color.scaledTo(width, height);
    const auto& m = cal.color_from_depth;
    const Vec3 q = pixelRay(k, u, v);
    const Vec3 dir{m[0] * q.x + m[1] * q.y + m[2] * q.z, m[4] * q.x + m[5] * q.y + m[6] * q.z,
                   m[8] * q.x + m[9] * q.y + m[10] * q.z};
    return castRay(Vec3{m[3], m[7], m[11]}, dir, frame);
}

void SyntheticScene::colorOf(const SurfaceHit& hit, uint8_t rgb[3]) const {
    if (!hit.valid || hit.shape < 0 || static_cast<size_t>(hit.shape) >= shapes_.size()) {
        rgb[0] = rgb[1] = rgb[2] = 0;
        return;
    }
    const Material& m = shapes_[static_cast<size_t>(hit.shape)].material;
    double shade = 0.55 + 0.45 * std::max(0.0, dot(hit.normal, kLightDir));
    if (m.checker_mm > 0) {
        // A quarter square off the planes' own positions, so no surface lies on a square's border.
        const Vec3& p = hit.point;
        const long parity = static_cast<long>(std::floor(p.x / m.checker_mm + 0.25)) +
                            static_cast<long>(std::floor(p.y / m.checker_mm + 0.25)) +
                            static_cast<long>(std::floor(p.z / m.checker_mm + 0.25));
        if (parity & 1) shade *= 0.7;
    }
    for (int i = 0; i < 3; ++i) rgb[i] = clampByte(m.rgb[i] * shade);
}

std::vector<Speckle> SyntheticScene::speckles(int width, int height, uint32_t frame) const {
    std::vector<Speckle> out;
    if (options_.speckles <= 0 || width <= 0 || height <= 0) return out;
    out.reserve(static_cast<size_t>(options_.speckles));
    for (int i = 0; i < options_.speckles; ++i) {
        const uint64_t h = hash3(options_.seed ^ kSpeckleStream, frame, static_cast<uint64_t>(i));
        const uint64_t g = mix64(h);
        Speckle s;
        s.cu = static_cast<int>(h % static_cast<uint64_t>(width));
        s.cv = static_cast<int>((h >> 24) % static_cast<uint64_t>(height));
        s.radius = 1 + static_cast<int>(g % 3);
        const int magnitude = 150 + static_cast<int>((g >> 8) % 450);
        s.offset_mm = ((g >> 40) & 1) ? magnitude : -magnitude;
        out.push_back(s);
    }
    return out;
}

int SyntheticScene::noiseBound() const {
    return options_.noise_mm > 0 ? static_cast<int>(std::floor(options_.noise_mm)) : 0;
}

bool SyntheticScene::projectorDot(const Vec3& p) {
    if (!(p.z > 0)) return false;
    const double a = p.x / p.z / kDotCell;
    const double b = p.y / p.z / kDotCell;
    const double ci = std::floor(a), cj = std::floor(b);
    const uint64_t h = hash3(kDotPatternSeed, static_cast<uint64_t>(static_cast<int64_t>(ci)),
                             static_cast<uint64_t>(static_cast<int64_t>(cj)));
    if ((h & 1) == 0) return false;
    const double dx = a - (ci + 0.3 + 0.4 * unit(mix64(h)));
    const double dy = b - (cj + 0.3 + 0.4 * unit(mix64(h ^ 1)));
    return dx * dx + dy * dy < kDotRadius * kDotRadius;
}

// ---- rendering ---------------------------------------------------------------------------------------
//
// A still scene is cast once per image size and settings. In a moving one the shapes that stand still are
// cast once (a "still layer") and each frame only the screen regions the moving shapes may touch are cast
// again with every shape: outside them the moving shapes neither show nor cast the projector's shadow, so
// the still layer is already the answer there.

SyntheticScene::View SyntheticScene::viewOf(const RenderContext& ctx) const {
    View view;
    view.k = ctx.intrinsic;
    if (ctx.cam_id == kCamRightIr) {
        view.origin = Vec3{ctx.calibration != nullptr ? ctx.calibration->baseline_mm : 50.0, 0, 0};
    } else if (ctx.cam_id == kCamColor && ctx.calibration != nullptr) {
        const auto& m = ctx.calibration->color_from_depth;
        view.origin = Vec3{m[3], m[7], m[11]};
        const int idx[9] = {0, 1, 2, 4, 5, 6, 8, 9, 10};
        for (int i = 0; i < 9; ++i) view.rot[i] = m[static_cast<size_t>(idx[i])];
        view.k = ctx.calibration->color.scaledTo(ctx.width, ctx.height);
    }
    return view;
}

SyntheticScene::Rect SyntheticScene::screenBox(const View& view, const Vec3& centre, double radius, int width,
                                               int height) {
    const Rect full{0, 0, width, height};
    const Vec3 d = centre - view.origin;
    const double* r = view.rot;
    // Into the camera's frame: the transpose of the rotation.
    const Vec3 q{r[0] * d.x + r[3] * d.y + r[6] * d.z, r[1] * d.x + r[4] * d.y + r[7] * d.z,
                 r[2] * d.x + r[5] * d.y + r[8] * d.z};
    if (q.z - radius < 1.0) return full;  // reaches the camera's plane: anything may happen
    // x / z over the box around the sphere is extreme at its corners.
    double u0 = 1e300, u1 = -1e300, v0 = 1e300, v1 = -1e300;
    for (double z : {q.z - radius, q.z + radius}) {
        for (double s : {-radius, radius}) {
            const double u = view.k.fx * (q.x + s) / z + view.k.cx;
            const double v = view.k.fy * (q.y + s) / z + view.k.cy;
            u0 = std::min(u0, u);
            u1 = std::max(u1, u);
            v0 = std::min(v0, v);
            v1 = std::max(v1, v);
        }
    }
    Rect box;
    box.x0 = static_cast<int>(std::max(0.0, std::floor(u0) - 1));
    box.x1 = static_cast<int>(std::min(static_cast<double>(width), std::ceil(u1) + 2));
    box.y0 = static_cast<int>(std::max(0.0, std::floor(v0) - 1));
    box.y1 = static_cast<int>(std::min(static_cast<double>(height), std::ceil(v1) + 2));
    if (box.x1 < box.x0) box.x1 = box.x0;
    if (box.y1 < box.y0) box.y1 = box.y0;
    return box;
}

std::vector<SyntheticScene::Rect> SyntheticScene::movingRegions(const View& view, int width, int height,
                                                                uint32_t frame, bool shadows) const {
    std::vector<Rect> out;
    for (size_t i = 0; i < shapes_.size(); ++i) {
        if (!moving_mask_[i]) continue;
        const Shape s = shapes_[i].at(frame);
        Vec3 centre;
        double radius;
        if (s.kind == Shape::kSphere) {
            centre = s.a;
            radius = s.radius;
        } else if (s.kind == Shape::kBox) {
            centre = (s.a + s.b) * 0.5;
            radius = length(s.b - s.a) * 0.5;
        } else {
            out.push_back(Rect{0, 0, width, height});  // a moving plane changes everything
            continue;
        }
        out.push_back(screenBox(view, centre, radius, width, height));
        if (shadows) {
            // The shadow falls behind the shape as the projector (at the origin) sees it; from a sensor one
            // baseline to the right it appears up to the shape's own disparity further left.
            View projector;
            projector.k = view.k;
            Rect shade = screenBox(projector, centre, radius, width, height);
            const double near_z = centre.z - radius;
            const double disparity = near_z >= 1.0 ? view.k.fx * view.origin.x / near_z : width;
            shade.x0 = std::max(0, shade.x0 - static_cast<int>(std::ceil(std::fabs(disparity))) - 1);
            out.push_back(shade);
        }
    }
    return out;
}

void SyntheticScene::castHits(HitBuffer& b, const std::vector<Shape>& shapes, const std::vector<char>* skip,
                              const Rect& r) {
    for (int v = r.y0; v < r.y1; ++v) {
        for (int u = r.x0; u < r.x1; ++u) {
            const size_t i = static_cast<size_t>(v) * b.width + u;
            SurfaceHit hit = cast(shapes, skip, Vec3{}, pixelRay(b.k, u, v));
            b.t[i] = hit.valid ? hit.t : 0.0;
            b.shape[i] = static_cast<int16_t>(hit.valid ? hit.shape : -1);
        }
    }
}

const SyntheticScene::HitBuffer& SyntheticScene::depthHits(const Intrinsic& k, int width, int height,
                                                           uint32_t frame) {
    auto fits = [&](const HitBuffer& b) {
        return b.valid && b.width == width && b.height == height && b.k.fx == k.fx && b.k.fy == k.fy &&
               b.k.cx == k.cx && b.k.cy == k.cy;
    };
    if (!fits(still_hits_)) {
        HitBuffer& b = still_hits_;
        const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
        b.width = width;
        b.height = height;
        b.k = k;
        b.t.assign(n, 0.0);
        b.shape.assign(n, -1);
        castHits(b, shapes_, moving_ ? &moving_mask_ : nullptr, Rect{0, 0, width, height});
        b.valid = true;
        hits_.valid = false;
    }
    if (!moving_) return still_hits_;
    if (fits(hits_) && hits_.frame == frame) return hits_;
    hits_ = still_hits_;
    hits_.frame = frame;
    const std::vector<Shape> shapes = shapesAt(frame);
    View view;
    view.k = k;
    for (const Rect& r : movingRegions(view, width, height, frame, false))
        castHits(hits_, shapes, nullptr, r);
    return hits_;
}

void SyntheticScene::render(const RenderContext& ctx, uint8_t* pixels, size_t size) {
    const size_t bpp = static_cast<size_t>(bytesPerPixel(ctx.pixel_format));
    if (ctx.width <= 0 || ctx.height <= 0 || bpp == 0 ||
        size < static_cast<size_t>(ctx.width) * ctx.height * bpp) {
        std::memset(pixels, 0, size);
        return;
    }
    std::lock_guard<std::mutex> lock(cache_mutex_);
    switch (ctx.cam_id) {
        case kCamDepth:
            if (bpp == 2) return renderDepth(ctx, pixels);
            break;
        case kCamLeftIr:
            if (bpp == 1) return renderLeftIr(ctx, pixels);
            break;
        case kCamRightIr:
            if (bpp == 1)
                return renderLayered(ctx, pixels, viewOf(ctx), true, &SyntheticScene::renderRightIrRect);
            break;
        case kCamColor:
            if (bpp == 3 && ctx.calibration != nullptr)
                return renderLayered(ctx, pixels, viewOf(ctx), false, &SyntheticScene::renderColorRect);
            break;
        default:
            break;
    }
    std::memset(pixels, 0, size);
}

void SyntheticScene::renderLayered(const RenderContext& ctx, uint8_t* pixels, const View& view, bool shadows,
                                   RectRenderer draw) {
    // Everything the picture depends on besides the shapes.
    char key[512];
    const DeviceSettings* st = ctx.settings;
    int n = std::snprintf(key, sizeof key, "%u %d %d %.9g %.9g %.9g %.9g %.9g %.9g %.9g", ctx.cam_id,
                          ctx.width, ctx.height, view.k.fx, view.k.fy, view.k.cx, view.k.cy, view.origin.x,
                          view.origin.y, view.origin.z);
    for (double r : view.rot) n += std::snprintf(key + n, sizeof key - static_cast<size_t>(n), " %.9g", r);
    if (st != nullptr) {
        n += std::snprintf(key + n, sizeof key - static_cast<size_t>(n), " | %d %d %d %d %d %d %d %d",
                           st->laser_power, st->ir_gain[0], st->ir_gain[1], st->rgb_gain[0], st->rgb_gain[1],
                           st->rgb_gain[2], st->exposure, st->awb ? 1 : 0);
    }
    Layer& layer = layers_[ctx.cam_id == kCamColor ? 1 : 0];
    const size_t bytes = static_cast<size_t>(ctx.width) * ctx.height * (ctx.cam_id == kCamColor ? 3 : 1);
    if (layer.key != key || layer.pixels.size() != bytes) {
        layer.pixels.assign(bytes, 0);
        (this->*draw)(ctx, shapes_, moving_ ? &moving_mask_ : nullptr, layer.pixels.data(),
                      Rect{0, 0, ctx.width, ctx.height});
        layer.key = key;
    }
    std::memcpy(pixels, layer.pixels.data(), bytes);
    if (!moving_) return;
    const std::vector<Shape> shapes = shapesAt(ctx.sequence);
    for (const Rect& r : movingRegions(view, ctx.width, ctx.height, ctx.sequence, shadows))
        (this->*draw)(ctx, shapes, nullptr, pixels, r);
}

void SyntheticScene::renderDepth(const RenderContext& ctx, uint8_t* pixels) {
    const int w = ctx.width, h = ctx.height;
    const HitBuffer& hits = depthHits(ctx.intrinsic, w, h, ctx.sequence);
    const int noise = noiseBound();
    const uint64_t span = static_cast<uint64_t>(2 * noise + 1);
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            const size_t i = static_cast<size_t>(v) * w + u;
            const double z = hits.t[i];  // the ray's z component is 1, so t is the depth
            long d = (hits.shape[i] >= 0 && z <= options_.max_range_mm) ? std::lround(z) : 0;
            if (d > 0 && noise > 0) {
                const uint64_t r = hash3(options_.seed ^ kNoiseStream, ctx.sequence, i);
                d += static_cast<long>(r % span) - noise;
                d = std::max(1L, d);
            }
            putU16(pixels + 2 * i, static_cast<uint16_t>(std::min(65535L, d)));
        }
    }
    for (const Speckle& s : speckles(w, h, ctx.sequence)) {
        for (int v = std::max(0, s.cv - s.radius); v <= std::min(h - 1, s.cv + s.radius); ++v) {
            for (int u = std::max(0, s.cu - s.radius); u <= std::min(w - 1, s.cu + s.radius); ++u) {
                const size_t i = static_cast<size_t>(v) * w + u;
                const long truth = hits.shape[i] >= 0 ? std::lround(hits.t[i]) : 0;
                long d = truth > 0 ? truth + s.offset_mm : 1000 + std::labs(s.offset_mm);
                d = std::min(65535L, std::max(1L, d));
                putU16(pixels + 2 * i, static_cast<uint16_t>(d));
            }
        }
    }
}

double SyntheticScene::ambientIr(const RenderContext& ctx, bool right) const {
    return 40.0 + 2.0 * irGainOf(ctx, right);
}

double SyntheticScene::dotIr(const RenderContext& ctx) const {
    const int power = ctx.settings != nullptr ? ctx.settings->laser_power : 80;
    return 180.0 * std::max(0, power) / 100.0;
}

void SyntheticScene::renderLeftIr(const RenderContext& ctx, uint8_t* pixels) {
    const int w = ctx.width, h = ctx.height;
    const Intrinsic& k = ctx.intrinsic;
    const HitBuffer& hits = depthHits(k, w, h, ctx.sequence);
    const double ambient = ambientIr(ctx, false);
    const double dots = dotIr(ctx);
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            const size_t i = static_cast<size_t>(v) * w + u;
            const int shape = hits.shape[i];
            if (shape < 0) {
                pixels[i] = 0;
                continue;
            }
            const double refl = shapes_[static_cast<size_t>(shape)].material.ir_reflectivity;
            // The projector shares the left sensor's centre: a dot lands where the pixel's own ray points.
            const bool lit = projectorDot(pixelRay(k, u, v));
            pixels[i] = clampByte(refl * (ambient + (lit ? dots : 0.0)));
        }
    }
}

void SyntheticScene::renderRightIrRect(const RenderContext& ctx, const std::vector<Shape>& shapes,
                                       const std::vector<char>* skip, uint8_t* pixels, const Rect& r) {
    const int w = ctx.width;
    const Intrinsic& k = ctx.intrinsic;
    const double baseline = ctx.calibration != nullptr ? ctx.calibration->baseline_mm : 50.0;
    const Vec3 origin{baseline, 0, 0};
    const double ambient = ambientIr(ctx, true);
    const double dots = dotIr(ctx);
    for (int v = r.y0; v < r.y1; ++v) {
        for (int u = r.x0; u < r.x1; ++u) {
            const size_t i = static_cast<size_t>(v) * w + u;
            const SurfaceHit hit = cast(shapes, skip, origin, pixelRay(k, u, v));
            if (!hit.valid) {
                pixels[i] = 0;
                continue;
            }
            bool lit = projectorDot(hit.point);
            if (lit) {
                // In the projector's shadow when something lies between it and the point.
                const SurfaceHit blocker = cast(shapes, skip, Vec3{}, hit.point);
                lit = !(blocker.valid && blocker.t < 1.0 - 1e-6);
            }
            const double refl = shapes_[static_cast<size_t>(hit.shape)].material.ir_reflectivity;
            pixels[i] = clampByte(refl * (ambient + (lit ? dots : 0.0)));
        }
    }
}

void SyntheticScene::renderColorRect(const RenderContext& ctx, const std::vector<Shape>& shapes,
                                     const std::vector<char>* skip, uint8_t* pixels, const Rect& r) {
    const int w = ctx.width;
    const View view = viewOf(ctx);
    const double* m = view.rot;
    // White balance off and a fixed exposure tint the picture a little, so that the settings show.
    double gain[3] = {1, 1, 1};
    if (ctx.settings != nullptr) {
        for (int c = 0; c < 3; ++c) gain[c] = ctx.settings->rgb_gain[c] / 128.0;
        if (!ctx.settings->awb) gain[2] *= 0.9;
        if (ctx.settings->exposure > 0) {
            const double e = std::min(2.0, ctx.settings->exposure / 100.0);
            for (double& g : gain) g *= e;
        }
    }
    for (int v = r.y0; v < r.y1; ++v) {
        for (int u = r.x0; u < r.x1; ++u) {
            const Vec3 q = pixelRay(view.k, u, v);
            const Vec3 dir{m[0] * q.x + m[1] * q.y + m[2] * q.z, m[3] * q.x + m[4] * q.y + m[5] * q.z,
                           m[6] * q.x + m[7] * q.y + m[8] * q.z};
            const SurfaceHit hit = cast(shapes, skip, view.origin, dir);
            uint8_t rgb[3];
            colorOf(hit, rgb);
            uint8_t* px = pixels + 3 * (static_cast<size_t>(v) * w + u);
            for (int c = 0; c < 3; ++c) px[c] = gain[c] == 1.0 ? rgb[c] : clampByte(rgb[c] * gain[c]);
        }
    }
}

}  // namespace kvsim
}  // namespace orvane
