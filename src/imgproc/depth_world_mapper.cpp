#include "imgproc/depth_world_mapper.h"

#include <immintrin.h>

#include <cstring>

#include "imgproc/simd_dispatch.h"

// Float arithmetic in the order written; built with -ffp-contract=off so the vector and plain paths
// agree to the bit.

namespace orvane {

namespace {

struct PinholeParams {
    float cx, cy, inv_fx, inv_fy;
};

PinholeParams readParams(const KvDepthCameraIntrinsic* intrinsic) {
    // One copy per call, so a whole image is converted with one consistent set of parameters.
    return PinholeParams{intrinsic->data[2], intrinsic->data[5], intrinsic->data[9], intrinsic->data[10]};
}

inline float invalidCoordinate() {
    float value;
    std::memcpy(&value, &kInvalidPointBits, sizeof(value));
    return value;
}

inline KV_VECT_3F worldOf(const PinholeParams& p, float u, float v, float d) {
    return KV_VECT_3F{((u - p.cx) * d) * p.inv_fx, ((v - p.cy) * d) * p.inv_fy, d};
}

void depthRowScalar(const PinholeParams& p, const uint16_t* depth, int u_begin, int width, float fv,
                    KV_VECT_3F* world) {
    const float nan = invalidCoordinate();
    for (int u = u_begin; u < width; ++u) {
        const uint16_t d = depth[u];
        world[u] =
            d == 0 ? KV_VECT_3F{nan, nan, nan} : worldOf(p, static_cast<float>(u), fv, static_cast<float>(d));
    }
}

// Eight points at a time: the same three float operations per coordinate, then an interleave of the
// x, y and z vectors into 24 consecutive floats.
__attribute__((target("avx2"))) void depthRowAvx2(const PinholeParams& p, const uint16_t* depth, int width,
                                                  float fv, KV_VECT_3F* world) {
    const __m256 cx = _mm256_set1_ps(p.cx);
    const __m256 inv_fx = _mm256_set1_ps(p.inv_fx);
    const __m256 y_factor = _mm256_set1_ps(fv - p.cy);
    const __m256 inv_fy = _mm256_set1_ps(p.inv_fy);
    const __m256 nan = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(kInvalidPointBits)));
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i pick0x = _mm256_setr_epi32(0, 0, 0, 1, 0, 0, 2, 0);
    const __m256i pick0y = _mm256_setr_epi32(0, 0, 0, 0, 1, 0, 0, 2);
    const __m256i pick0z = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 0, 0);
    const __m256i pick1x = _mm256_setr_epi32(0, 3, 0, 0, 4, 0, 0, 5);
    const __m256i pick1y = _mm256_setr_epi32(0, 0, 3, 0, 0, 4, 0, 0);
    const __m256i pick1z = _mm256_setr_epi32(2, 0, 0, 3, 0, 0, 4, 0);
    const __m256i pick2x = _mm256_setr_epi32(0, 0, 6, 0, 0, 7, 0, 0);
    const __m256i pick2y = _mm256_setr_epi32(5, 0, 0, 6, 0, 0, 7, 0);
    const __m256i pick2z = _mm256_setr_epi32(0, 5, 0, 0, 6, 0, 0, 7);
    float* out = reinterpret_cast<float*>(world);
    int u = 0;
    for (; u + 8 <= width; u += 8) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(depth + u));
        const __m256i d32 = _mm256_cvtepu16_epi32(raw);
        const __m256 d = _mm256_cvtepi32_ps(d32);
        const __m256 fu = _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(u), lane));
        const __m256 zero = _mm256_castsi256_ps(_mm256_cmpeq_epi32(d32, _mm256_setzero_si256()));
        const __m256 x =
            _mm256_blendv_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_sub_ps(fu, cx), d), inv_fx), nan, zero);
        const __m256 y = _mm256_blendv_ps(_mm256_mul_ps(_mm256_mul_ps(y_factor, d), inv_fy), nan, zero);
        const __m256 z = _mm256_blendv_ps(d, nan, zero);
        const __m256 out0 = _mm256_blend_ps(
            _mm256_blend_ps(_mm256_permutevar8x32_ps(x, pick0x), _mm256_permutevar8x32_ps(y, pick0y), 0x92),
            _mm256_permutevar8x32_ps(z, pick0z), 0x24);
        const __m256 out1 = _mm256_blend_ps(
            _mm256_blend_ps(_mm256_permutevar8x32_ps(x, pick1x), _mm256_permutevar8x32_ps(y, pick1y), 0x24),
            _mm256_permutevar8x32_ps(z, pick1z), 0x49);
        const __m256 out2 = _mm256_blend_ps(
            _mm256_blend_ps(_mm256_permutevar8x32_ps(x, pick2x), _mm256_permutevar8x32_ps(y, pick2y), 0x49),
            _mm256_permutevar8x32_ps(z, pick2z), 0x92);
        _mm256_storeu_ps(out + 3 * u, out0);
        _mm256_storeu_ps(out + 3 * u + 8, out1);
        _mm256_storeu_ps(out + 3 * u + 16, out2);
    }
    depthRowScalar(p, depth, u, width, fv, world);
}

}  // namespace

void KvDepthCameraIntrinsic::updateReciprocals() {
    data[9] = 1.0f / data[0];
    data[10] = 1.0f / data[4];
}

KV_VECT_3F KvDepthCameraIntrinsic::DepthWorldMapper::getWorld(const KV_VECT_3F& depth) const {
    return worldOf(readParams(intrinsic_), depth.x, depth.y, depth.z);
}

KV_VECT_3F KvDepthCameraIntrinsic::DepthWorldMapper::getDepth(const KV_VECT_3F& world) const {
    const PinholeParams p = readParams(intrinsic_);
    return KV_VECT_3F{((world.x / world.z) / p.inv_fx) + p.cx, ((world.y / world.z) / p.inv_fy) + p.cy,
                      world.z};
}

void KvDepthCameraIntrinsic::DepthWorldMapper::depthImage2WorldImage(const uint16_t* depth, int width,
                                                                     int height, KV_VECT_3F* world) const {
    if (width <= 0 || height <= 0 || depth == nullptr || world == nullptr) return;
    const PinholeParams p = readParams(intrinsic_);
    const bool vector_rows = activeSimdLevel() >= SimdLevel::kAvx2;
    for (int v = 0; v < height; ++v) {
        const size_t offset = static_cast<size_t>(v) * width;
        const float fv = static_cast<float>(v);
        if (vector_rows) {
            depthRowAvx2(p, depth + offset, width, fv, world + offset);
        } else {
            depthRowScalar(p, depth + offset, 0, width, fv, world + offset);
        }
    }
}

}  // namespace orvane
