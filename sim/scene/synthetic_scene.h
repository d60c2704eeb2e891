// Synthetic scenes with known geometry, rendered the way the camera sees them, and the ground truth that
// lets tests check point clouds and registration.
//
// The depth camera sits at the origin looking along +z (x right, y down, millimetres). A depth pixel (u, v)
// of an image rendered with intrinsic fx, fy, cx, cy looks along ((u - cx) / fx, (v - cy) / fy, 1), so its
// value is the z of the first surface on that ray: back-projecting it with the same intrinsic,
// x = (u - cx) * d / fx, y = (v - cy) * d / fy, z = d, lands on that surface up to the rounding of d.
//
// - depth16: z in millimetres, rounded; 0 where nothing lies within range. Optional noise (uniform,
//   bounded) and speckles (small square islands of wrong depth, as structured light produces).
// - infrared: the surface's reflectivity under ambient light, plus the projector's dot pattern. The
//   projector sits with the left sensor at the origin, so the left image shows the dots at fixed places and
//   the right sensor (one baseline to the right) sees them shifted by their disparity.
// - colour: rendered through the colour camera's calibration: a colour pixel looks along R * q from t,
//   where q is its ray in the colour camera's frame and [R | t] the colour extrinsic, the same relation by
//   which a depth-frame point p maps to the colour frame as R^-1 (p - t).
//
// Everything is a function of the shapes, the options and the frame number: the same scene renders the
// same bytes every time. A static scene (no motion, noise or speckles) is rendered once per image size
// and settings by the device; the depth camera's ray hits are cached per size and frame geometry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device/scene.h"
#include "sim/scene/geometry.h"

namespace orvane {
namespace kvsim {

struct SceneOptions {
    bool motion = false;          // shapes with a Motion move from frame to frame
    double noise_mm = 0;          // depth noise, uniform integer in [-noise_mm, +noise_mm]; 0: none
    int speckles = 0;             // islands of wrong depth per depth image; 0: none
    uint64_t seed = 1;            // source of the noise and the speckles
    double max_range_mm = 10000;  // surfaces farther away read 0
};

struct SurfaceHit {
    bool valid = false;
    int shape = -1;  // index into shapes()
    double t = 0;    // ray parameter: the point is origin + t * dir
    Vec3 point;      // in the depth camera's frame
    Vec3 normal;
};

// A square island of wrong depth: pixels with |u - cu| <= radius and |v - cv| <= radius read the true
// depth plus offset_mm (or 1000 + |offset_mm| where there is no true depth), clamped to 1..65535.
struct Speckle {
    int cu = 0, cv = 0, radius = 0;
    int offset_mm = 0;
    bool covers(int u, int v) const {
        return u >= cu - radius && u <= cu + radius && v >= cv - radius && v <= cv + radius;
    }
};

class SyntheticScene : public Scene {
  public:
    SyntheticScene(std::string name, std::vector<Shape> shapes, SceneOptions options);

    const std::string& name() const { return name_; }
    const std::vector<Shape>& shapes() const { return shapes_; }
    const SceneOptions& options() const { return options_; }

    bool animated() const override;
    void render(const RenderContext& ctx, uint8_t* pixels, size_t size) override;

    // ---- ground truth ----
    // First surface along origin + t * dir (t > 0) in frame `frame`.
    SurfaceHit castRay(const Vec3& origin, const Vec3& dir, uint32_t frame) const;
    // What depth pixel (u, v) sees, for an image rendered with `k` (already scaled to the image size).
    SurfaceHit depthPixel(const Intrinsic& k, double u, double v, uint32_t frame) const;
    // The depth value of that pixel before noise and speckles: round(z), or 0 out of range.
    uint16_t trueDepth(const Intrinsic& k, int u, int v, uint32_t frame) const;
    // Distance from p to the nearest surface of the scene in frame `frame`.
    double distanceToSurface(const Vec3& p, uint32_t frame) const;
    // Where a point of the depth camera's frame appears in a colour image of width x height (the colour
    // intrinsic scaled to it, as hosts scale it); false when the point is not in front of the colour camera.
    static bool projectToColor(const Calibration& cal, int width, int height, const Vec3& p, double& u,
                               double& v);
    // What colour pixel (u, v) of a width x height colour image sees.
    SurfaceHit colorPixel(const Calibration& cal, int width, int height, double u, double v,
                          uint32_t frame) const;
    // The RGB the colour camera records for a surface point.
    void colorOf(const SurfaceHit& hit, uint8_t rgb[3]) const;
    // The islands of wrong depth of a width x height depth image in frame `frame`.
    std::vector<Speckle> speckles(int width, int height, uint32_t frame) const;
    // Largest difference noise adds to a depth value.
    int noiseBound() const;
    // Whether the projector's dot pattern lights a point (occlusion not considered).
    static bool projectorDot(const Vec3& p);

  private:
    // A camera: where it sits, how it is turned (a ray in its own frame times `rot` is the ray in the depth
    // camera's frame) and its intrinsic at the image size.
    struct View {
        Vec3 origin;
        double rot[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        Intrinsic k;
    };
    struct Rect {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // columns x0..x1-1, rows y0..y1-1
    };
    struct HitBuffer {
        bool valid = false;
        int width = 0, height = 0;
        Intrinsic k;
        uint32_t frame = 0;
        std::vector<double> t;       // 0: no hit
        std::vector<int16_t> shape;  // -1: no hit
    };
    // A stream rendered with the shapes that stand still; moving shapes are drawn over it each frame.
    struct Layer {
        std::string key;
        std::vector<uint8_t> pixels;
    };
    using RectRenderer = void (SyntheticScene::*)(const RenderContext& ctx, const std::vector<Shape>& shapes,
                                                  const std::vector<char>* skip, uint8_t* pixels,
                                                  const Rect& r);

    std::vector<Shape> shapesAt(uint32_t frame) const;
    static SurfaceHit cast(const std::vector<Shape>& shapes, const std::vector<char>* skip,
                           const Vec3& origin, const Vec3& dir);
    // Parts of a width x height image of `view` that the moving shapes may change in `frame` (with their
    // shadows from the projector when `shadows`).
    std::vector<Rect> movingRegions(const View& view, int width, int height, uint32_t frame,
                                    bool shadows) const;
    static Rect screenBox(const View& view, const Vec3& centre, double radius, int width, int height);
    const HitBuffer& depthHits(const Intrinsic& k, int width, int height, uint32_t frame);
    void castHits(HitBuffer& b, const std::vector<Shape>& shapes, const std::vector<char>* skip,
                  const Rect& r);
    void renderLayered(const RenderContext& ctx, uint8_t* pixels, const View& view, bool shadows,
                       RectRenderer draw);
    View viewOf(const RenderContext& ctx) const;

    void renderDepth(const RenderContext& ctx, uint8_t* pixels);
    void renderLeftIr(const RenderContext& ctx, uint8_t* pixels);
    void renderRightIrRect(const RenderContext& ctx, const std::vector<Shape>& shapes,
                           const std::vector<char>* skip, uint8_t* pixels, const Rect& r);
    void renderColorRect(const RenderContext& ctx, const std::vector<Shape>& shapes,
                         const std::vector<char>* skip, uint8_t* pixels, const Rect& r);
    double ambientIr(const RenderContext& ctx, bool right) const;
    double dotIr(const RenderContext& ctx) const;

    std::string name_;
    std::vector<Shape> shapes_;
    SceneOptions options_;
    bool moving_ = false;

    std::vector<char> moving_mask_;  // per shape: moves (left out of the still layers)

    std::mutex cache_mutex_;  // a scene may serve several devices
    HitBuffer still_hits_;    // the depth camera's hits on the shapes that stand still
    HitBuffer hits_;          // ... and on all shapes in the frame last asked for
    Layer layers_[2];         // right infrared, colour
};

}  // namespace kvsim
}  // namespace orvane
