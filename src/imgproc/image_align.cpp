#include "imgproc/image_align.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "imgproc/matrix_util.h"
#include "imgproc/simd_dispatch.h"

// Float arithmetic in the order written; built with -ffp-contract=off so the vector and plain paths
// agree to the bit.

namespace orvane {

namespace {

constexpr uint32_t kNanBits = 0x7fc00000u;

// Points are projected and splatted in blocks of this many, so the map stays in the first-level cache.
constexpr int kBlockPoints = 2048;

struct Projection {
    float inv[9];  // R^-1
    float tx, ty, tz;
    float fx, fy;
    float sx, sy;  // current colour size / calibration size
    float sx_cx, sy_cy;
};

Projection makeProjection(const ImageAligner& a) {
    Projection p;
    invert3x3ToFloat(a.rotation, p.inv);
    p.tx = a.translation[0];
    p.ty = a.translation[1];
    p.tz = a.translation[2];
    p.fx = a.color_intrinsic[0];
    p.fy = a.color_intrinsic[4];
    p.sx = static_cast<float>(a.image_width) / static_cast<float>(a.intrinsic_width);
    p.sy = static_cast<float>(a.image_height) / static_cast<float>(a.intrinsic_height);
    p.sx_cx = p.sx * a.color_intrinsic[2];
    p.sy_cy = p.sy * a.color_intrinsic[5];
    return p;
}

inline float nanValue() {
    float value;
    std::memcpy(&value, &kNanBits, sizeof(value));
    return value;
}

void projectScalar(const Projection& p, const float* points, size_t stride, int begin, int end, float* map) {
    const float nan = nanValue();
    for (int i = begin; i < end; ++i) {
        const float* pt = points + static_cast<size_t>(i) * stride;
        float* uv = map + 2 * static_cast<size_t>(i);
        if (std::isnan(pt[0])) {
            uv[0] = nan;
            uv[1] = nan;
            continue;
        }
        const float dx = pt[0] - p.tx, dy = pt[1] - p.ty, dz = pt[2] - p.tz;
        const float qx = p.inv[0] * dx + p.inv[1] * dy + p.inv[2] * dz;
        const float qy = p.inv[3] * dx + p.inv[4] * dy + p.inv[5] * dz;
        const float qz = p.inv[6] * dx + p.inv[7] * dy + p.inv[8] * dz;
        uv[0] = ((qx * p.fx) * p.sx) / qz + p.sx_cx;
        uv[1] = ((qy * p.fy) * p.sy) / qz + p.sy_cy;
    }
}

// Eight consecutive x, y, z records split into x, y and z vectors: points 0 to 3 in the low 128-bit
// half, 4 to 7 in the high half, so that only in-lane shuffles are needed.
__attribute__((target("avx2"))) inline void deinterleave8(const float* p, __m256* x, __m256* y, __m256* z) {
    const __m256 m03 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + 12), 1);
    const __m256 m14 =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + 4)), _mm_loadu_ps(p + 16), 1);
    const __m256 m25 =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + 8)), _mm_loadu_ps(p + 20), 1);
    const __m256 xy = _mm256_shuffle_ps(m14, m25, _MM_SHUFFLE(2, 1, 3, 2));
    const __m256 yz = _mm256_shuffle_ps(m03, m14, _MM_SHUFFLE(1, 0, 2, 1));
    *x = _mm256_shuffle_ps(m03, xy, _MM_SHUFFLE(2, 0, 3, 0));
    *y = _mm256_shuffle_ps(yz, xy, _MM_SHUFFLE(3, 1, 2, 0));
    *z = _mm256_shuffle_ps(yz, m25, _MM_SHUFFLE(3, 0, 3, 1));
}

// The projection constants broadcast to all lanes.
struct ProjectionLanes {
    __m256 t[3];
    __m256 r[9];
    __m256 fx, fy, sx, sy, sx_cx, sy_cy;
};

__attribute__((target("avx2"))) inline ProjectionLanes broadcast(const Projection& p) {
    ProjectionLanes l;
    l.t[0] = _mm256_set1_ps(p.tx);
    l.t[1] = _mm256_set1_ps(p.ty);
    l.t[2] = _mm256_set1_ps(p.tz);
    for (int k = 0; k < 9; ++k) l.r[k] = _mm256_set1_ps(p.inv[k]);
    l.fx = _mm256_set1_ps(p.fx);
    l.fy = _mm256_set1_ps(p.fy);
    l.sx = _mm256_set1_ps(p.sx);
    l.sy = _mm256_set1_ps(p.sy);
    l.sx_cx = _mm256_set1_ps(p.sx_cx);
    l.sy_cy = _mm256_set1_ps(p.sy_cy);
    return l;
}

// x, y and z of eight points, one point per lane. Records with extra floats are read coordinate by
// coordinate rather than gathered: gather instructions are slow on several x86 cores.
__attribute__((target("avx2"))) inline void load8(const float* base, size_t stride, __m256* x, __m256* y,
                                                  __m256* z) {
    if (stride == 3) {
        deinterleave8(base, x, y, z);
        return;
    }
    __m256* coordinate[3] = {x, y, z};
    for (int c = 0; c < 3; ++c) {
        const float* p = base + c;
        *coordinate[c] = _mm256_setr_ps(p[0], p[stride], p[2 * stride], p[3 * stride], p[4 * stride],
                                        p[5 * stride], p[6 * stride], p[7 * stride]);
    }
}

// Colour positions of eight points: projectScalar's operations lane by lane (NaN x not yet handled).
__attribute__((target("avx2"))) inline void project8(const ProjectionLanes& l, __m256 x, __m256 y, __m256 z,
                                                     __m256* u, __m256* v) {
    const __m256 dx = _mm256_sub_ps(x, l.t[0]), dy = _mm256_sub_ps(y, l.t[1]), dz = _mm256_sub_ps(z, l.t[2]);
    const __m256 qx = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(l.r[0], dx), _mm256_mul_ps(l.r[1], dy)),
                                    _mm256_mul_ps(l.r[2], dz));
    const __m256 qy = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(l.r[3], dx), _mm256_mul_ps(l.r[4], dy)),
                                    _mm256_mul_ps(l.r[5], dz));
    const __m256 qz = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(l.r[6], dx), _mm256_mul_ps(l.r[7], dy)),
                                    _mm256_mul_ps(l.r[8], dz));
    *u = _mm256_add_ps(_mm256_div_ps(_mm256_mul_ps(_mm256_mul_ps(qx, l.fx), l.sx), qz), l.sx_cx);
    *v = _mm256_add_ps(_mm256_div_ps(_mm256_mul_ps(_mm256_mul_ps(qy, l.fy), l.sy), qz), l.sy_cy);
}

__attribute__((target("avx2"))) void projectAvx2(const Projection& p, const float* points, size_t stride,
                                                 int begin, int end, float* map) {
    const ProjectionLanes l = broadcast(p);
    const __m256 nan = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(kNanBits)));
    int i = begin;
    for (; i + 8 <= end; i += 8) {
        __m256 x, y, z, u, v;
        load8(points + static_cast<size_t>(i) * stride, stride, &x, &y, &z);
        project8(l, x, y, z, &u, &v);
        const __m256 invalid = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
        u = _mm256_blendv_ps(u, nan, invalid);
        v = _mm256_blendv_ps(v, nan, invalid);
        const __m256 lo = _mm256_unpacklo_ps(u, v);  // u0 v0 u1 v1 | u4 v4 u5 v5
        const __m256 hi = _mm256_unpackhi_ps(u, v);  // u2 v2 u3 v3 | u6 v6 u7 v7
        float* out = map + 2 * static_cast<size_t>(i);
        _mm256_storeu_ps(out, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(out + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
    projectScalar(p, points, stride, i, end, map);
}

void project(const Projection& p, const float* points, size_t stride, int begin, int end, float* map) {
    if (activeSimdLevel() >= SimdLevel::kAvx2) {
        projectAvx2(p, points, stride, begin, end, map);
    } else {
        projectScalar(p, points, stride, begin, end, map);
    }
}

// The cell's value after a point of depth d lands in it: d in an empty cell, the smaller of the two
// otherwise; a depth that truncated to 0 empties the cell. Written without branches (subtracting 1 with
// wrap-around turns 0 into the largest value, so a plain minimum skips it), since whether a point is
// nearer follows the data and defeats branch prediction.
inline uint16_t nearerDepth(uint16_t held, uint16_t d) {
    const uint16_t held_minus_1 = static_cast<uint16_t>(held - 1);
    const uint16_t d_minus_1 = static_cast<uint16_t>(d - 1);
    const uint16_t nearer = static_cast<uint16_t>((d_minus_1 < held_minus_1 ? d_minus_1 : held_minus_1) + 1);
    return d == 0 ? 0 : nearer;
}

// Nearest point wins (equal depths keep the cell). Positions are range-tested as floats before any
// conversion, so NaN, infinities and values beyond an int never reach one; a depth that does not fit
// an int has no integer value and its point is skipped for the same reason.
inline void splatPoint(float u, float v, float z, int width, int height, uint16_t* cells) {
    if (!(u > -1.0f && u < 2147483648.0f && v > -1.0f && v < 2147483648.0f)) return;
    const int column = static_cast<int>(u);
    const int row = static_cast<int>(v);
    if (column >= width || row >= height) return;
    if (!(z >= -2147483648.0f && z < 2147483648.0f)) return;
    const uint16_t depth = static_cast<uint16_t>(static_cast<int>(z));
    uint16_t& cell = cells[static_cast<size_t>(row) * width + column];
    cell = nearerDepth(cell, depth);
}

void splatScalar(const float* map, const float* points, size_t stride, int begin, int end, int width,
                 int height, uint16_t* cells) {
    for (int i = begin; i < end; ++i) {
        splatPoint(map[2 * static_cast<size_t>(i)], map[2 * static_cast<size_t>(i) + 1],
                   points[static_cast<size_t>(i) * stride + 2], width, height, cells);
    }
}

// For each 8-bit mask, the lanes of its set bits in order: packs the accepted points of a vector to
// the front.
struct LeftPack {
    alignas(32) int32_t lanes[256][8];
};

const LeftPack& leftPack() {
    static const LeftPack table = [] {
        LeftPack t{};
        for (int mask = 0; mask < 256; ++mask) {
            int n = 0;
            for (int lane = 0; lane < 8; ++lane) {
                if (mask & (1 << lane)) t.lanes[mask][n++] = lane;
            }
        }
        return t;
    }();
    return table;
}

// Applies accepted points, in input order, to their cells. Depths arrive as (depth - 1) modulo 2^16.
// Without a zero depth among them the update is a plain minimum over non-zero values, one compare
// per point; a zero depth (which empties its cell) takes the general rule.
inline void updateCells(const int32_t* index, const int32_t* depth_minus_1, int n, bool has_zero_depth,
                        uint16_t* cells) {
    if (has_zero_depth) {
        for (int k = 0; k < n; ++k) {
            uint16_t& cell = cells[index[k]];
            cell = nearerDepth(cell, static_cast<uint16_t>(depth_minus_1[k] + 1));
        }
        return;
    }
    for (int k = 0; k < n; ++k) {
        uint16_t& cell = cells[index[k]];
        const uint16_t held_minus_1 = static_cast<uint16_t>(cell - 1);
        const uint16_t d_minus_1 = static_cast<uint16_t>(depth_minus_1[k]);
        cell = static_cast<uint16_t>((d_minus_1 < held_minus_1 ? d_minus_1 : held_minus_1) + 1);
    }
}

// Projects a block of points and splats them. The vector part computes cell index and 16-bit depth
// of each accepted point exactly as splatPoint would; the updates themselves stay in input order,
// since a depth truncating to 0 empties a cell and so makes the order matter.
__attribute__((target("avx2"))) void projectAndSplatAvx2(const Projection& p, const float* points,
                                                         size_t stride, int count, int width, int height,
                                                         uint16_t* cells, float* tail_map) {
    const ProjectionLanes l = broadcast(p);
    const LeftPack& pack = leftPack();
    const __m256 minus_one = _mm256_set1_ps(-1.0f);
    const __m256 int_limit = _mm256_set1_ps(2147483648.0f);
    const __m256 int_floor = _mm256_set1_ps(-2147483648.0f);
    const __m256i last_column = _mm256_set1_epi32(width - 1);
    const __m256i last_row = _mm256_set1_epi32(height - 1);
    const __m256i row_length = _mm256_set1_epi32(width);
    alignas(32) int32_t index[kBlockPoints + 8];
    alignas(32) int32_t depth[kBlockPoints + 8];
    int n = 0;
    int i = 0;
    bool has_zero_depth = false;
    for (; i + 8 <= count; i += 8) {
        __m256 x, y, z, u, v;
        load8(points + static_cast<size_t>(i) * stride, stride, &x, &y, &z);
        project8(l, x, y, z, &u, &v);
        // A NaN x gives a NaN position, which fails the range test like any other invalid point.
        const __m256 in_range = _mm256_and_ps(
            _mm256_and_ps(_mm256_cmp_ps(u, minus_one, _CMP_GT_OQ), _mm256_cmp_ps(u, int_limit, _CMP_LT_OQ)),
            _mm256_and_ps(_mm256_cmp_ps(v, minus_one, _CMP_GT_OQ), _mm256_cmp_ps(v, int_limit, _CMP_LT_OQ)));
        const __m256 z_fits =
            _mm256_and_ps(_mm256_cmp_ps(z, int_floor, _CMP_GE_OQ), _mm256_cmp_ps(z, int_limit, _CMP_LT_OQ));
        const __m256i column = _mm256_cvttps_epi32(u);
        const __m256i row = _mm256_cvttps_epi32(v);
        const __m256i accepted = _mm256_and_si256(
            _mm256_castps_si256(_mm256_and_ps(in_range, z_fits)),
            _mm256_andnot_si256(
                _mm256_or_si256(_mm256_cmpgt_epi32(column, last_column), _mm256_cmpgt_epi32(row, last_row)),
                _mm256_set1_epi32(-1)));
        const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(accepted));
        const __m256i cell = _mm256_add_epi32(_mm256_mullo_epi32(row, row_length), column);
        const __m256i z16 = _mm256_and_si256(_mm256_cvttps_epi32(z), _mm256_set1_epi32(0xFFFF));
        has_zero_depth |= !_mm256_testz_si256(accepted, _mm256_cmpeq_epi32(z16, _mm256_setzero_si256()));
        const __m256i z16_minus_1 =
            _mm256_and_si256(_mm256_sub_epi32(z16, _mm256_set1_epi32(1)), _mm256_set1_epi32(0xFFFF));
        const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(pack.lanes[mask]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(index + n), _mm256_permutevar8x32_epi32(cell, lanes));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(depth + n),
                            _mm256_permutevar8x32_epi32(z16_minus_1, lanes));
        n += __builtin_popcount(static_cast<unsigned>(mask));
    }
    updateCells(index, depth, n, has_zero_depth, cells);
    if (i < count) {
        projectScalar(p, points, stride, i, count, tail_map);
        splatScalar(tail_map, points, stride, i, count, width, height, cells);
    }
}

// Deinterleaving indices for sixteen x, y, z records: coordinate c of point j is element 3j + c of
// the 48 loaded floats; the first two-source permute picks the ones among the first 32, the second
// takes those and the rest from the last 16.
struct Deinterleave16 {
    alignas(64) int32_t first[3][16];
    alignas(64) int32_t second[3][16];
};

const Deinterleave16& deinterleave16Indices() {
    static const Deinterleave16 table = [] {
        Deinterleave16 t{};
        for (int c = 0; c < 3; ++c) {
            for (int j = 0; j < 16; ++j) {
                const int e = 3 * j + c;
                t.first[c][j] = e < 32 ? e : 0;
                t.second[c][j] = e < 32 ? j : 16 + (e - 32);
            }
        }
        return t;
    }();
    return table;
}

// projectAndSplatAvx2 sixteen points at a time, with the same operations lane by lane.
__attribute__((target("avx512f"))) void projectAndSplatAvx512(const Projection& p, const float* points,
                                                              size_t stride, int count, int width, int height,
                                                              uint16_t* cells, float* tail_map) {
    const Deinterleave16& split = deinterleave16Indices();
    const __m512 t[3] = {_mm512_set1_ps(p.tx), _mm512_set1_ps(p.ty), _mm512_set1_ps(p.tz)};
    __m512 r[9];
    for (int k = 0; k < 9; ++k) r[k] = _mm512_set1_ps(p.inv[k]);
    const __m512 fx = _mm512_set1_ps(p.fx), fy = _mm512_set1_ps(p.fy);
    const __m512 sx = _mm512_set1_ps(p.sx), sy = _mm512_set1_ps(p.sy);
    const __m512 sx_cx = _mm512_set1_ps(p.sx_cx), sy_cy = _mm512_set1_ps(p.sy_cy);
    const __m512 minus_one = _mm512_set1_ps(-1.0f);
    const __m512 int_limit = _mm512_set1_ps(2147483648.0f);
    const __m512 int_floor = _mm512_set1_ps(-2147483648.0f);
    const __m512i last_column = _mm512_set1_epi32(width - 1);
    const __m512i last_row = _mm512_set1_epi32(height - 1);
    const __m512i row_length = _mm512_set1_epi32(width);
    alignas(64) int32_t index[kBlockPoints + 16];
    alignas(64) int32_t depth[kBlockPoints + 16];
    int n = 0;
    int i = 0;
    bool has_zero_depth = false;
    for (; i + 16 <= count; i += 16) {
        const float* base = points + static_cast<size_t>(i) * stride;
        __m512 xyz[3];
        if (stride == 3) {
            const __m512 in0 = _mm512_loadu_ps(base), in1 = _mm512_loadu_ps(base + 16);
            const __m512 in2 = _mm512_loadu_ps(base + 32);
            for (int c = 0; c < 3; ++c) {
                const __m512 low = _mm512_permutex2var_ps(in0, _mm512_load_si512(split.first[c]), in1);
                xyz[c] = _mm512_permutex2var_ps(low, _mm512_load_si512(split.second[c]), in2);
            }
        } else {
            alignas(64) float coordinate[3][16];
            for (int j = 0; j < 16; ++j) {
                for (int c = 0; c < 3; ++c) coordinate[c][j] = base[static_cast<size_t>(j) * stride + c];
            }
            for (int c = 0; c < 3; ++c) xyz[c] = _mm512_load_ps(coordinate[c]);
        }
        const __m512 dx = _mm512_sub_ps(xyz[0], t[0]), dy = _mm512_sub_ps(xyz[1], t[1]);
        const __m512 dz = _mm512_sub_ps(xyz[2], t[2]);
        const __m512 qx = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(r[0], dx), _mm512_mul_ps(r[1], dy)),
                                        _mm512_mul_ps(r[2], dz));
        const __m512 qy = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(r[3], dx), _mm512_mul_ps(r[4], dy)),
                                        _mm512_mul_ps(r[5], dz));
        const __m512 qz = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(r[6], dx), _mm512_mul_ps(r[7], dy)),
                                        _mm512_mul_ps(r[8], dz));
        const __m512 u = _mm512_add_ps(_mm512_div_ps(_mm512_mul_ps(_mm512_mul_ps(qx, fx), sx), qz), sx_cx);
        const __m512 v = _mm512_add_ps(_mm512_div_ps(_mm512_mul_ps(_mm512_mul_ps(qy, fy), sy), qz), sy_cy);
        __mmask16 accepted = _mm512_cmp_ps_mask(u, minus_one, _CMP_GT_OQ);
        accepted = _mm512_mask_cmp_ps_mask(accepted, u, int_limit, _CMP_LT_OQ);
        accepted = _mm512_mask_cmp_ps_mask(accepted, v, minus_one, _CMP_GT_OQ);
        accepted = _mm512_mask_cmp_ps_mask(accepted, v, int_limit, _CMP_LT_OQ);
        accepted = _mm512_mask_cmp_ps_mask(accepted, xyz[2], int_floor, _CMP_GE_OQ);
        accepted = _mm512_mask_cmp_ps_mask(accepted, xyz[2], int_limit, _CMP_LT_OQ);
        // Masked conversions with all lanes set: the same conversion, without the false "uninitialised"
        // warning that the plain intrinsic trips in GCC's header.
        const __m512i column = _mm512_maskz_cvttps_epi32(0xFFFF, u);
        const __m512i row = _mm512_maskz_cvttps_epi32(0xFFFF, v);
        accepted = _mm512_mask_cmple_epi32_mask(accepted, column, last_column);
        accepted = _mm512_mask_cmple_epi32_mask(accepted, row, last_row);
        const __m512i cell = _mm512_add_epi32(_mm512_mullo_epi32(row, row_length), column);
        const __m512i z16 =
            _mm512_and_si512(_mm512_maskz_cvttps_epi32(0xFFFF, xyz[2]), _mm512_set1_epi32(0xFFFF));
        has_zero_depth |= _mm512_mask_cmpeq_epi32_mask(accepted, z16, _mm512_setzero_si512()) != 0;
        const __m512i z16_minus_1 =
            _mm512_and_si512(_mm512_sub_epi32(z16, _mm512_set1_epi32(1)), _mm512_set1_epi32(0xFFFF));
        _mm512_storeu_si512(index + n, _mm512_maskz_compress_epi32(accepted, cell));
        _mm512_storeu_si512(depth + n, _mm512_maskz_compress_epi32(accepted, z16_minus_1));
        n += __builtin_popcount(static_cast<unsigned>(accepted));
    }
    updateCells(index, depth, n, has_zero_depth, cells);
    if (i < count) {
        projectScalar(p, points, stride, i, count, tail_map);
        splatScalar(tail_map, points, stride, i, count, width, height, cells);
    }
}

// 3x3 minimum over non-zero values: subtracting 1 with wrap-around turns 0 into the largest value,
// so a plain minimum skips zeros, and adding 1 back turns an all-zero neighbourhood into 0 again.
inline uint16_t minus1(uint16_t v) {
    return static_cast<uint16_t>(v - 1);
}

void fillHolesScalar(const uint16_t* in, int width, int y, int x_begin, uint16_t* out) {
    const uint16_t* above = in + static_cast<size_t>(y - 1) * width;
    const uint16_t* row = above + width;
    const uint16_t* below = row + width;
    uint16_t* dst = out + static_cast<size_t>(y) * width;
    for (int x = x_begin; x < width - 1; ++x) {
        uint16_t m = 0xFFFF;
        for (int dx = -1; dx <= 1; ++dx) {
            m = std::min({m, minus1(above[x + dx]), minus1(row[x + dx]), minus1(below[x + dx])});
        }
        dst[x] = static_cast<uint16_t>(m + 1);
    }
}

// Minimum of (value - 1) down the three rows, 16 columns from x.
__attribute__((target("avx2"))) inline __m256i columnMin16(const uint16_t* const rows[3], int x) {
    const __m256i one = _mm256_set1_epi16(1);
    __m256i m = _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[0] + x)), one);
    for (int r = 1; r < 3; ++r) {
        m = _mm256_min_epu16(
            m, _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r] + x)), one));
    }
    return m;
}

// The 3x3 minimum as a minimum down the columns, then across neighbouring columns: each column
// minimum is computed once and shifted by one lane to the left and right neighbours.
__attribute__((target("avx2"))) void fillHolesAvx2(const uint16_t* in, int width, int y, uint16_t* out) {
    const uint16_t* const rows[3] = {in + static_cast<size_t>(y - 1) * width,
                                     in + static_cast<size_t>(y) * width,
                                     in + static_cast<size_t>(y + 1) * width};
    uint16_t* dst = out + static_cast<size_t>(y) * width;
    if (width < 32) {
        fillHolesScalar(in, width, y, 1, out);
        return;
    }
    const __m256i one = _mm256_set1_epi16(1);
    __m256i previous = columnMin16(rows, 0);  // only its last lane is used, for column -1: a border
    __m256i current = previous;
    int x = 0;
    // Blocks of 16 columns whose right neighbour block also lies inside the row.
    for (; x + 32 <= width; x += 16) {
        const __m256i next = columnMin16(rows, x + 16);
        // Lanes shifted by one column: [previous 15, current 0..14] and [current 1..15, next 0].
        const __m256i left =
            _mm256_alignr_epi8(current, _mm256_permute2x128_si256(previous, current, 0x21), 14);
        const __m256i right = _mm256_alignr_epi8(_mm256_permute2x128_si256(current, next, 0x21), current, 2);
        const __m256i m = _mm256_min_epu16(_mm256_min_epu16(left, current), right);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), _mm256_add_epi16(m, one));
        previous = current;
        current = next;
    }
    fillHolesScalar(in, width, y, std::max(x, 1), out);
    dst[0] = 0;  // the first block also wrote the border column
}

}  // namespace

int ImageAligner::CreateDepth2ColorMap(const float* points, int extra, int count, float* map_out) {
    if (extra < 0 || count < 0) return -1;
    if (count == 0) return 0;
    if (points == nullptr || map_out == nullptr) return -1;
    const Projection p = makeProjection(*this);
    project(p, points, 3 + static_cast<size_t>(extra), 0, count, map_out);
    return 0;
}

int ImageAligner::DepthAlignToColor(const float* points, int extra, int count, uint16_t* out) {
    const int width = image_width, height = image_height;
    if (out == nullptr || extra < 0) return -1;
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > INT32_MAX) return -1;
    if (count > 0 && points == nullptr) return -1;
    const size_t pixels = static_cast<size_t>(width) * height;
    const size_t stride = 3 + static_cast<size_t>(extra);
    try {
        depth_buffer.resize(pixels);
        map.resize(2 * static_cast<size_t>(std::min(std::max(count, 0), kBlockPoints)));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    std::fill(depth_buffer.begin(), depth_buffer.end(), 0);

    const Projection p = makeProjection(*this);
    const SimdLevel level = activeSimdLevel();
    for (int start = 0; start < count; start += kBlockPoints) {
        const int n = std::min(kBlockPoints, count - start);
        const float* block = points + static_cast<size_t>(start) * stride;
        if (level >= SimdLevel::kAvx512) {
            projectAndSplatAvx512(p, block, stride, n, width, height, depth_buffer.data(), map.data());
        } else if (level >= SimdLevel::kAvx2) {
            projectAndSplatAvx2(p, block, stride, n, width, height, depth_buffer.data(), map.data());
        } else {
            projectScalar(p, block, stride, 0, n, map.data());
            splatScalar(map.data(), block, stride, 0, n, width, height, depth_buffer.data());
        }
    }

    // Border rows and columns stay 0; so does everything when no interior exists.
    std::memset(out, 0, static_cast<size_t>(width) * sizeof(uint16_t));
    std::memset(out + static_cast<size_t>(height - 1) * width, 0,
                static_cast<size_t>(width) * sizeof(uint16_t));
    if (width <= 2 || height <= 2) {
        std::memset(out, 0, pixels * sizeof(uint16_t));
        return 0;
    }
    const bool vector_rows = activeSimdLevel() >= SimdLevel::kAvx2;
    for (int y = 1; y < height - 1; ++y) {
        uint16_t* row = out + static_cast<size_t>(y) * width;
        row[0] = 0;
        row[width - 1] = 0;
        if (vector_rows) {
            fillHolesAvx2(depth_buffer.data(), width, y, out);
        } else {
            fillHolesScalar(depth_buffer.data(), width, y, 1, out);
        }
    }
    return 0;
}

}  // namespace orvane
