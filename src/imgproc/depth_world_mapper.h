// Conversion between depth pixels (column, row, depth) and world points of the depth camera.
#pragma once

#include <cstdint>

#include "kvdepth.h"

namespace orvane {

// Interface of a depth/world conversion; the camera hands out its built-in one.
class KvDepthWorldMapper {
  public:
    virtual ~KvDepthWorldMapper() = default;
    // World point (x, y, z) of a depth point (column, row, depth).
    virtual KV_VECT_3F getWorld(const KV_VECT_3F& depth) const = 0;
    // Depth point (fractional column, fractional row, depth) of a world point.
    virtual KV_VECT_3F getDepth(const KV_VECT_3F& world) const = 0;
    // One world point per depth pixel, row by row; pixels of depth 0 give (NaN, NaN, NaN). Nothing is
    // written when width or height is not positive.
    virtual void depthImage2WorldImage(const uint16_t* depth, int width, int height,
                                       KV_VECT_3F* world) const = 0;
};

// The depth camera's current intrinsic: fx, 0, cx, 0, fy, cy, 0, 0, 1, then 1/fx and 1/fy.
struct KvDepthCameraIntrinsic {
    float data[11];

    // Sets elements 9 and 10 from fx and fy.
    void updateReciprocals();

    // Pinhole conversion with the intrinsic it points to (read at each call, never owned). Final, so
    // the per-pixel calls of depthImage2WorldImage bind statically.
    class DepthWorldMapper final : public KvDepthWorldMapper {
      public:
        explicit DepthWorldMapper(const KvDepthCameraIntrinsic* intrinsic) : intrinsic_(intrinsic) {}
        KV_VECT_3F getWorld(const KV_VECT_3F& depth) const override;
        KV_VECT_3F getDepth(const KV_VECT_3F& world) const override;
        void depthImage2WorldImage(const uint16_t* depth, int width, int height,
                                   KV_VECT_3F* world) const override;

        const KvDepthCameraIntrinsic* intrinsic() const { return intrinsic_; }
        void setIntrinsic(const KvDepthCameraIntrinsic* intrinsic) { intrinsic_ = intrinsic; }

      private:
        const KvDepthCameraIntrinsic* intrinsic_;
    };
};

// Bit pattern of the coordinates of an invalid point.
constexpr uint32_t kInvalidPointBits = 0x7fc00000u;

}  // namespace orvane
