#include "imgproc/image_util.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstring>
#include <new>

#include "diag/logger.h"
#include "imgproc/matrix_util.h"
#include "imgproc/simd_dispatch.h"

// The results of this file are defined to the bit (float versus double, order of operations,
// truncation); it is built with -ffp-contract=off so that no fused multiply-add changes them, and the
// AVX2 variants use the same operations in the same order as the plain code.

namespace orvane {

namespace {

// ------------------------------------------------------------------------------------------------
// Undistortion map

struct UndistortCoefficients {
    double k1, k2, p1, p2, k3, k4, k5, k6, s1, s2, s3, s4;
    float n[9];  // inverse of the output camera matrix
    double fx, cx, fy, cy;
    // The last row of n is (0, 0, 1): every ray has W = 1 exactly, so 1 / W and X * (1 / W) are
    // exact no-ops that the vector code may skip.
    bool unit_w;
    // k4 = k5 = k6 = 0: the rational denominator is exactly 1 wherever r2 is finite.
    bool polynomial;
};

UndistortCoefficients makeCoefficients(const ImageUndistort& u) {
    UndistortCoefficients c;
    const std::vector<float>& d = u.distortion;
    const size_t count = d.size();
    c.k1 = d[0];
    c.k2 = d[1];
    c.p1 = d[2];
    c.p2 = d[3];
    c.k3 = count >= 8 ? d[4] : 0.0;
    c.k4 = count >= 8 ? d[5] : 0.0;
    c.k5 = count >= 8 ? d[6] : 0.0;
    c.k6 = count >= 8 ? d[7] : 0.0;
    c.s1 = count >= 12 ? d[8] : 0.0;
    c.s2 = count >= 12 ? d[9] : 0.0;
    c.s3 = count >= 12 ? d[10] : 0.0;
    c.s4 = count >= 12 ? d[11] : 0.0;
    invert3x3ToFloat(u.new_intrinsic.data(), c.n);
    c.fx = u.intrinsic[0];
    c.cx = u.intrinsic[2];
    c.fy = u.intrinsic[4];
    c.cy = u.intrinsic[5];
    c.unit_w = c.n[6] == 0.0f && c.n[7] == 0.0f && c.n[8] == 1.0f;
    c.polynomial = c.k4 == 0.0 && c.k5 == 0.0 && c.k6 == 0.0;
    return c;
}

inline void undistortPoint(const UndistortCoefficients& c, double X, double Y, double W, float* map_x,
                           float* map_y) {
    const double w = 1.0 / W;
    const double x = X * w;
    const double y = Y * w;
    const double x2 = x * x;
    const double y2 = y * y;
    const double r2 = x2 + y2;
    const double xy2 = (x + x) * y;
    const double kr =
        (((c.k3 * r2 + c.k2) * r2 + c.k1) * r2 + 1.0) / (((c.k6 * r2 + c.k5) * r2 + c.k4) * r2 + 1.0);
    const double xd = x * kr + c.p1 * xy2 + c.p2 * (2.0 * x2 + r2) + c.s1 * r2 + c.s2 * r2 * r2;
    const double yd = y * kr + c.p1 * (2.0 * y2 + r2) + c.p2 * xy2 + c.s3 * r2 + c.s4 * r2 * r2;
    *map_x = static_cast<float>(xd * c.fx + c.cx);
    *map_y = static_cast<float>(yd * c.fy + c.cy);
}

// Ray of the first pixel of row v: each product and sum in float, then widened.
inline void rowStartRay(const UndistortCoefficients& c, int v, double* X, double* Y, double* W) {
    const float fv = static_cast<float>(v);
    *X = static_cast<double>(c.n[1] * fv + c.n[2]);
    *Y = static_cast<double>(c.n[4] * fv + c.n[5]);
    *W = static_cast<double>(c.n[7] * fv + c.n[8]);
}

void undistortMapScalar(const UndistortCoefficients& c, int width, int v_begin, int v_end, float* map_x,
                        float* map_y) {
    const double dx = c.n[0], dy = c.n[3], dw = c.n[6];
    for (int v = v_begin; v < v_end; ++v) {
        double X, Y, W;
        rowStartRay(c, v, &X, &Y, &W);
        float* row_x = map_x + static_cast<size_t>(v) * width;
        float* row_y = map_y + static_cast<size_t>(v) * width;
        for (int u = 0; u < width; ++u) {
            undistortPoint(c, X, Y, W, row_x + u, row_y + u);
            X += dx;
            Y += dy;
            W += dw;
        }
    }
}

// Four rays at once, one per lane: the same operations as undistortPoint, lane by lane.
__attribute__((target("avx2"))) inline void undistortPoint4(const UndistortCoefficients& c, __m256d X,
                                                            __m256d Y, __m256d W, __m128* map_x,
                                                            __m128* map_y) {
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d x = X, y = Y;
    if (!c.unit_w) {
        const __m256d w = _mm256_div_pd(one, W);
        x = _mm256_mul_pd(X, w);
        y = _mm256_mul_pd(Y, w);
    }
    const __m256d x2 = _mm256_mul_pd(x, x);
    const __m256d y2 = _mm256_mul_pd(y, y);
    const __m256d r2 = _mm256_add_pd(x2, y2);
    const __m256d xy2 = _mm256_mul_pd(_mm256_add_pd(x, x), y);
    __m256d kr = _mm256_mul_pd(_mm256_set1_pd(c.k3), r2);
    kr = _mm256_mul_pd(_mm256_add_pd(kr, _mm256_set1_pd(c.k2)), r2);
    kr = _mm256_mul_pd(_mm256_add_pd(kr, _mm256_set1_pd(c.k1)), r2);
    kr = _mm256_add_pd(kr, one);
    bool divide = !c.polynomial;
    if (!divide) {
        // The denominator is exactly 1 unless r2 is infinite or NaN (0 * inf is NaN).
        const __m256d finite = _mm256_cmp_pd(r2, _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ);
        divide = _mm256_movemask_pd(finite) != 0xF;
    }
    if (divide) {
        __m256d den = _mm256_mul_pd(_mm256_set1_pd(c.k6), r2);
        den = _mm256_mul_pd(_mm256_add_pd(den, _mm256_set1_pd(c.k5)), r2);
        den = _mm256_mul_pd(_mm256_add_pd(den, _mm256_set1_pd(c.k4)), r2);
        den = _mm256_add_pd(den, one);
        kr = _mm256_div_pd(kr, den);
    }
    // 2 * x2 as x2 + x2: the same exact doubling, on an adder instead of a multiplier (the busier unit).
    const __m256d r4_s2 = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(c.s2), r2), r2);
    const __m256d r4_s4 = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(c.s4), r2), r2);
    __m256d xd = _mm256_mul_pd(x, kr);
    xd = _mm256_add_pd(xd, _mm256_mul_pd(_mm256_set1_pd(c.p1), xy2));
    xd = _mm256_add_pd(xd, _mm256_mul_pd(_mm256_set1_pd(c.p2), _mm256_add_pd(_mm256_add_pd(x2, x2), r2)));
    xd = _mm256_add_pd(xd, _mm256_mul_pd(_mm256_set1_pd(c.s1), r2));
    xd = _mm256_add_pd(xd, r4_s2);
    __m256d yd = _mm256_mul_pd(y, kr);
    yd = _mm256_add_pd(yd, _mm256_mul_pd(_mm256_set1_pd(c.p1), _mm256_add_pd(_mm256_add_pd(y2, y2), r2)));
    yd = _mm256_add_pd(yd, _mm256_mul_pd(_mm256_set1_pd(c.p2), xy2));
    yd = _mm256_add_pd(yd, _mm256_mul_pd(_mm256_set1_pd(c.s3), r2));
    yd = _mm256_add_pd(yd, r4_s4);
    *map_x = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(xd, _mm256_set1_pd(c.fx)), _mm256_set1_pd(c.cx)));
    *map_y = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(yd, _mm256_set1_pd(c.fy)), _mm256_set1_pd(c.cy)));
}

// The ray of a pixel depends on the running sums along its row, so the vector lanes take four rows
// instead of four columns; each lane then adds exactly what the plain loop adds, in the same order.
__attribute__((target("avx2"))) void undistortMapAvx2(const UndistortCoefficients& c, int width, int v_begin,
                                                      int v_end, float* map_x, float* map_y) {
    const __m256d dx = _mm256_set1_pd(c.n[0]);
    const __m256d dy = _mm256_set1_pd(c.n[3]);
    const __m256d dw = _mm256_set1_pd(c.n[6]);
    for (int v0 = v_begin; v0 < v_end; v0 += 4) {
        const int rows = std::min(4, v_end - v0);
        alignas(32) double xs[4], ys[4], ws[4];
        for (int r = 0; r < 4; ++r) rowStartRay(c, v0 + r, &xs[r], &ys[r], &ws[r]);
        __m256d X = _mm256_load_pd(xs), Y = _mm256_load_pd(ys), W = _mm256_load_pd(ws);
        float* row_x[4];
        float* row_y[4];
        for (int r = 0; r < rows; ++r) {
            row_x[r] = map_x + static_cast<size_t>(v0 + r) * width;
            row_y[r] = map_y + static_cast<size_t>(v0 + r) * width;
        }
        int u = 0;
        for (; u + 4 <= width; u += 4) {
            __m128 ax[4], ay[4];
            for (int s = 0; s < 4; ++s) {
                undistortPoint4(c, X, Y, W, &ax[s], &ay[s]);
                X = _mm256_add_pd(X, dx);
                Y = _mm256_add_pd(Y, dy);
                W = _mm256_add_pd(W, dw);
            }
            _MM_TRANSPOSE4_PS(ax[0], ax[1], ax[2], ax[3]);
            _MM_TRANSPOSE4_PS(ay[0], ay[1], ay[2], ay[3]);
            for (int r = 0; r < rows; ++r) {
                _mm_storeu_ps(row_x[r] + u, ax[r]);
                _mm_storeu_ps(row_y[r] + u, ay[r]);
            }
        }
        for (; u < width; ++u) {
            __m128 ax, ay;
            undistortPoint4(c, X, Y, W, &ax, &ay);
            X = _mm256_add_pd(X, dx);
            Y = _mm256_add_pd(Y, dy);
            W = _mm256_add_pd(W, dw);
            alignas(16) float tx[4], ty[4];
            _mm_store_ps(tx, ax);
            _mm_store_ps(ty, ay);
            for (int r = 0; r < rows; ++r) {
                row_x[r][u] = tx[r];
                row_y[r][u] = ty[r];
            }
        }
    }
}

// Eight rays at once, one row per lane: the same operations as undistortPoint4. With 512-bit vectors
// twice the pixels are in flight for the same number of instructions, which is what limits this
// long dependency chain (the division in the middle of it).
__attribute__((target("avx512f"))) inline __m256 undistortPoint8(const UndistortCoefficients& c, __m512d X,
                                                                 __m512d Y, __m512d W, __m256* map_y) {
    const __m512d one = _mm512_set1_pd(1.0);
    __m512d x = X, y = Y;
    if (!c.unit_w) {
        const __m512d w = _mm512_div_pd(one, W);
        x = _mm512_mul_pd(X, w);
        y = _mm512_mul_pd(Y, w);
    }
    const __m512d x2 = _mm512_mul_pd(x, x);
    const __m512d y2 = _mm512_mul_pd(y, y);
    const __m512d r2 = _mm512_add_pd(x2, y2);
    const __m512d xy2 = _mm512_mul_pd(_mm512_add_pd(x, x), y);
    __m512d kr = _mm512_mul_pd(_mm512_set1_pd(c.k3), r2);
    kr = _mm512_mul_pd(_mm512_add_pd(kr, _mm512_set1_pd(c.k2)), r2);
    kr = _mm512_mul_pd(_mm512_add_pd(kr, _mm512_set1_pd(c.k1)), r2);
    kr = _mm512_add_pd(kr, one);
    bool divide = !c.polynomial;
    if (!divide) divide = _mm512_cmp_pd_mask(r2, _mm512_set1_pd(DBL_MAX), _CMP_LE_OQ) != 0xFF;
    if (divide) {
        __m512d den = _mm512_mul_pd(_mm512_set1_pd(c.k6), r2);
        den = _mm512_mul_pd(_mm512_add_pd(den, _mm512_set1_pd(c.k5)), r2);
        den = _mm512_mul_pd(_mm512_add_pd(den, _mm512_set1_pd(c.k4)), r2);
        den = _mm512_add_pd(den, one);
        kr = _mm512_div_pd(kr, den);
    }
    const __m512d r4_s2 = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(c.s2), r2), r2);
    const __m512d r4_s4 = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(c.s4), r2), r2);
    __m512d xd = _mm512_mul_pd(x, kr);
    xd = _mm512_add_pd(xd, _mm512_mul_pd(_mm512_set1_pd(c.p1), xy2));
    xd = _mm512_add_pd(xd, _mm512_mul_pd(_mm512_set1_pd(c.p2), _mm512_add_pd(_mm512_add_pd(x2, x2), r2)));
    xd = _mm512_add_pd(xd, _mm512_mul_pd(_mm512_set1_pd(c.s1), r2));
    xd = _mm512_add_pd(xd, r4_s2);
    __m512d yd = _mm512_mul_pd(y, kr);
    yd = _mm512_add_pd(yd, _mm512_mul_pd(_mm512_set1_pd(c.p1), _mm512_add_pd(_mm512_add_pd(y2, y2), r2)));
    yd = _mm512_add_pd(yd, _mm512_mul_pd(_mm512_set1_pd(c.p2), xy2));
    yd = _mm512_add_pd(yd, _mm512_mul_pd(_mm512_set1_pd(c.s3), r2));
    yd = _mm512_add_pd(yd, r4_s4);
    // The masked form with a zero source converts the same; the plain intrinsic trips a false
    // "uninitialised" warning in GCC's header.
    *map_y = _mm512_maskz_cvtpd_ps(
        0xFF, _mm512_add_pd(_mm512_mul_pd(yd, _mm512_set1_pd(c.fy)), _mm512_set1_pd(c.cy)));
    return _mm512_maskz_cvtpd_ps(
        0xFF, _mm512_add_pd(_mm512_mul_pd(xd, _mm512_set1_pd(c.fx)), _mm512_set1_pd(c.cx)));
}

// Rows of an 8 x 8 block of floats become columns.
__attribute__((target("avx2"))) inline void transpose8x8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

__attribute__((target("avx512f"))) void undistortMapAvx512(const UndistortCoefficients& c, int width,
                                                           int v_begin, int v_end, float* map_x,
                                                           float* map_y) {
    const __m512d dx = _mm512_set1_pd(c.n[0]);
    const __m512d dy = _mm512_set1_pd(c.n[3]);
    const __m512d dw = _mm512_set1_pd(c.n[6]);
    for (int v0 = v_begin; v0 < v_end; v0 += 8) {
        const int rows = std::min(8, v_end - v0);
        alignas(64) double xs[8], ys[8], ws[8];
        for (int r = 0; r < 8; ++r) rowStartRay(c, v0 + r, &xs[r], &ys[r], &ws[r]);
        __m512d X = _mm512_load_pd(xs), Y = _mm512_load_pd(ys), W = _mm512_load_pd(ws);
        float* row_x[8];
        float* row_y[8];
        for (int r = 0; r < rows; ++r) {
            row_x[r] = map_x + static_cast<size_t>(v0 + r) * width;
            row_y[r] = map_y + static_cast<size_t>(v0 + r) * width;
        }
        int u = 0;
        for (; u + 8 <= width; u += 8) {
            __m256 ax[8], ay[8];
            for (int s = 0; s < 8; ++s) {
                ax[s] = undistortPoint8(c, X, Y, W, &ay[s]);
                X = _mm512_add_pd(X, dx);
                Y = _mm512_add_pd(Y, dy);
                W = _mm512_add_pd(W, dw);
            }
            transpose8x8(ax);
            transpose8x8(ay);
            for (int r = 0; r < rows; ++r) {
                _mm256_storeu_ps(row_x[r] + u, ax[r]);
                _mm256_storeu_ps(row_y[r] + u, ay[r]);
            }
        }
        for (; u < width; ++u) {
            __m256 ay;
            const __m256 ax = undistortPoint8(c, X, Y, W, &ay);
            X = _mm512_add_pd(X, dx);
            Y = _mm512_add_pd(Y, dy);
            W = _mm512_add_pd(W, dw);
            alignas(32) float tx[8], ty[8];
            _mm256_store_ps(tx, ax);
            _mm256_store_ps(ty, ay);
            for (int r = 0; r < rows; ++r) {
                row_x[r][u] = tx[r];
                row_y[r][u] = ty[r];
            }
        }
    }
}

// ------------------------------------------------------------------------------------------------
// Bilinear resampling

struct RemapSource {
    const uint8_t* pixels;
    size_t stride;
    int width;
    int height;
};

// Truncated source position of a map entry when its 2x2 neighbourhood lies inside the source. The
// range test comes before the conversion, so NaN, infinities and huge values never reach it.
inline bool sourcePosition(float mx, float my, const RemapSource& s, int* ix, int* iy) {
    if (!(mx > -1.0f && mx < 2147483648.0f && my > -1.0f && my < 2147483648.0f)) return false;
    const int x = static_cast<int>(mx);
    const int y = static_cast<int>(my);
    if (x >= s.width - 1 || y >= s.height - 1) return false;
    *ix = x;
    *iy = y;
    return true;
}

void remapRowScalar(const RemapSource& s, const float* map_x, const float* map_y, int u_begin, int u_end,
                    uint8_t* dst_row, int channels) {
    for (int u = u_begin; u < u_end; ++u) {
        uint8_t* out = dst_row + static_cast<size_t>(u) * channels;
        int ix, iy;
        if (!sourcePosition(map_x[u], map_y[u], s, &ix, &iy)) {
            std::memset(out, 0, channels);
            continue;
        }
        const float a = map_x[u] - static_cast<float>(ix);
        const float b = map_y[u] - static_cast<float>(iy);
        const uint8_t* p0 =
            s.pixels + static_cast<size_t>(iy) * s.stride + static_cast<size_t>(ix) * channels;
        const uint8_t* p1 = p0 + s.stride;
        for (int k = 0; k < channels; ++k) {
            const float value = ((p0[k] * (1.0f - a) + p0[k + channels] * a) * (1.0f - b) +
                                 (p1[k] * (1.0f - a) + p1[k + channels] * a) * b) +
                                0.5f;
            // Positions just left of or above the source (-1 < m < 0) extrapolate, so the value may leave
            // 0..255 (it stays within about -510..1020); it is clamped rather than wrapped, which would
            // turn a dark edge bright.
            const int truncated = static_cast<int>(value);
            out[k] = static_cast<uint8_t>(truncated < 0 ? 0 : (truncated > 255 ? 255 : truncated));
        }
    }
}

// Eight output values from their four source samples and weights, as remapRowScalar computes them:
// one value per 32-bit lane, already clamped to 0..255 and 0 where the pixel is outside.
__attribute__((target("avx2"))) inline __m256i blend8(__m256i p00, __m256i p10, __m256i p01, __m256i p11,
                                                      __m256 a, __m256 b, __m256i inside) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 one_minus_a = _mm256_sub_ps(one, a);
    const __m256 one_minus_b = _mm256_sub_ps(one, b);
    const __m256 top = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(p00), one_minus_a),
                                     _mm256_mul_ps(_mm256_cvtepi32_ps(p10), a));
    const __m256 bottom = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(p01), one_minus_a),
                                        _mm256_mul_ps(_mm256_cvtepi32_ps(p11), a));
    const __m256 value = _mm256_add_ps(
        _mm256_add_ps(_mm256_mul_ps(top, one_minus_b), _mm256_mul_ps(bottom, b)), _mm256_set1_ps(0.5f));
    // Truncate, clamp extrapolated values to 0..255, clear outside lanes.
    const __m256i truncated = _mm256_cvttps_epi32(value);
    const __m256i clamped =
        _mm256_max_epi32(_mm256_min_epi32(truncated, _mm256_set1_epi32(255)), _mm256_setzero_si256());
    return _mm256_and_si256(clamped, inside);
}

// Eight lanes of 0..255 stored as eight consecutive bytes.
__attribute__((target("avx2"))) inline void store8(__m256i bytes, uint8_t* out) {
    const __m256i words = _mm256_packus_epi32(bytes, bytes);
    const __m256i packed = _mm256_packus_epi16(words, words);
    const __m128i joined =
        _mm_unpacklo_epi32(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), joined);
}

__attribute__((target("avx2"))) inline __m256i byteOf(__m256i word, int index) {
    return index == 3 ? _mm256_srli_epi32(word, 24)
                      : _mm256_and_si256(_mm256_srli_epi32(word, 8 * index), _mm256_set1_epi32(0xFF));
}

// Eight 4-byte loads at byte offsets, one per lane. Plain loads rather than a gather instruction: on
// several x86 cores (AMD Zen among them) gathers are far slower than the loads they stand for.
__attribute__((target("avx2"))) inline __m256i load8x32(const uint8_t* base, const int32_t* offsets) {
    uint32_t v[8];
    for (int j = 0; j < 8; ++j) std::memcpy(&v[j], base + offsets[j], sizeof(uint32_t));
    return _mm256_setr_epi32(static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                             static_cast<int>(v[3]), static_cast<int>(v[4]), static_cast<int>(v[5]),
                             static_cast<int>(v[6]), static_cast<int>(v[7]));
}

// Four 8-byte loads at byte offsets, one per 64-bit lane.
__attribute__((target("avx2"))) inline __m256i load4x64(const uint8_t* base, const int32_t* offsets) {
    uint64_t v[4];
    for (int j = 0; j < 4; ++j) std::memcpy(&v[j], base + offsets[j], sizeof(uint64_t));
    return _mm256_setr_epi64x(static_cast<long long>(v[0]), static_cast<long long>(v[1]),
                              static_cast<long long>(v[2]), static_cast<long long>(v[3]));
}

// From the 8-byte loads of pixels 0-3 (first) and 4-7 (second), bytes Left and Right of each pixel
// as 32-bit lanes, in pixel order 0 1 4 5 2 3 6 7.
template <int Left, int Right>
__attribute__((target("avx2"))) inline void samplePairs(__m256i first, __m256i second, __m256i* left_samples,
                                                        __m256i* right_samples) {
    const __m256i pick =
        _mm256_setr_epi8(Left, -1, -1, -1, 8 + Left, -1, -1, -1, Right, -1, -1, -1, 8 + Right, -1, -1, -1,
                         Left, -1, -1, -1, 8 + Left, -1, -1, -1, Right, -1, -1, -1, 8 + Right, -1, -1, -1);
    const __m256i a = _mm256_shuffle_epi8(first, pick);   // L0 L1 R0 R1 | L2 L3 R2 R3
    const __m256i b = _mm256_shuffle_epi8(second, pick);  // L4 L5 R4 R5 | L6 L7 R6 R7
    *left_samples = _mm256_unpacklo_epi64(a, b);          // L0 L1 L4 L5 | L2 L3 L6 L7
    *right_samples = _mm256_unpackhi_epi64(a, b);
}

// One channel of eight RGB pixels from their 8-byte row loads, in pixel order 0 1 4 5 2 3 6 7.
template <int K>
__attribute__((target("avx2"))) inline __m256i rgbChannel8(__m256i top0, __m256i top1, __m256i bottom0,
                                                           __m256i bottom1, __m256 a, __m256 b,
                                                           __m256i inside) {
    __m256i p00, p10, p01, p11;
    samplePairs<K, K + 3>(top0, top1, &p00, &p10);
    samplePairs<K + 2, K + 5>(bottom0, bottom1, &p01, &p11);
    return blend8(p00, p10, p01, p11, a, b, inside);
}

// Positions of eight consecutive output pixels: which lie inside, their weights and the byte offset of
// their top-left sample.
struct Cell8 {
    __m256i inside;
    __m256 a, b;
    __m256i offset;
};

template <int C>
__attribute__((target("avx2"))) inline Cell8 cells8(const RemapSource& s, const float* map_x,
                                                    const float* map_y) {
    const __m256 mx = _mm256_loadu_ps(map_x);
    const __m256 my = _mm256_loadu_ps(map_y);
    const __m256 minus_one = _mm256_set1_ps(-1.0f);
    const __m256 int_limit = _mm256_set1_ps(2147483648.0f);
    const __m256 in_range = _mm256_and_ps(
        _mm256_and_ps(_mm256_cmp_ps(mx, minus_one, _CMP_GT_OQ), _mm256_cmp_ps(mx, int_limit, _CMP_LT_OQ)),
        _mm256_and_ps(_mm256_cmp_ps(my, minus_one, _CMP_GT_OQ), _mm256_cmp_ps(my, int_limit, _CMP_LT_OQ)));
    // Lanes out of range convert to garbage here, which the mask then discards; no C++ conversion
    // of an out-of-range value takes place.
    __m256i ix = _mm256_cvttps_epi32(mx);
    __m256i iy = _mm256_cvttps_epi32(my);
    Cell8 c;
    c.inside = _mm256_and_si256(_mm256_castps_si256(in_range),
                                _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(s.width - 1), ix),
                                                 _mm256_cmpgt_epi32(_mm256_set1_epi32(s.height - 1), iy)));
    ix = _mm256_and_si256(ix, c.inside);
    iy = _mm256_and_si256(iy, c.inside);
    c.a = _mm256_sub_ps(mx, _mm256_cvtepi32_ps(ix));
    c.b = _mm256_sub_ps(my, _mm256_cvtepi32_ps(iy));
    __m256i column_bytes = ix;
    if (C == 2) column_bytes = _mm256_slli_epi32(ix, 1);
    if (C == 3) column_bytes = _mm256_add_epi32(_mm256_slli_epi32(ix, 1), ix);
    if (C == 4) column_bytes = _mm256_slli_epi32(ix, 2);
    c.offset =
        _mm256_add_epi32(_mm256_mullo_epi32(iy, _mm256_set1_epi32(static_cast<int>(s.stride))), column_bytes);
    return c;
}

// One and three channels: the lanes are pixels. A 4-byte load per row and pixel covers the left and
// right samples of a mono pixel; for RGB two overlapping loads per row cover the six bytes. No load
// reaches past the bytes of the 2x2 neighbourhood, so nothing beyond the source's last pixel is read.
template <int C>
__attribute__((target("avx2"))) void remapRowPixelLanes(const RemapSource& s, const float* map_x,
                                                        const float* map_y, int width, uint8_t* dst_row) {
    static_assert(C == 1 || C == 3, "pixel lanes serve one or three channels");
    // Outside lanes have offset 0; the source has at least two rows of two pixels here, so their
    // loads stay inside it and are then discarded.
    const uint8_t* upper = s.pixels;
    // The lower row's load ends at the right sample, so it starts 2 bytes before the left one.
    const uint8_t* lower = s.pixels + s.stride - 2;
    int u = 0;
    for (; u + 8 <= width; u += 8) {
        uint8_t* out = dst_row + static_cast<size_t>(u) * C;
        const Cell8 c = cells8<C>(s, map_x + u, map_y + u);
        if (_mm256_testz_si256(c.inside, c.inside)) {
            std::memset(out, 0, 8 * C);
            continue;
        }
        alignas(32) int32_t offset[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(offset), c.offset);
        if (C == 1) {
            // Mono: the lower row's load ends at the right sample, so it starts 2 bytes early.
            const __m256i top = load8x32(upper, offset);
            const __m256i bottom = load8x32(lower, offset);
            store8(blend8(byteOf(top, 0), byteOf(top, 1), byteOf(bottom, 2), byteOf(bottom, 3), c.a, c.b,
                          c.inside),
                   out);
        } else {
            // One 8-byte load per row and pixel: the upper one starts at the left sample (R00 G00 B00
            // R10 G10 B10, then 2 bytes of the next pixel or row, which exist), the lower one ends at
            // the right sample (2 bytes before, then R01 G01 B01 R11 G11 B11).
            const __m256i top0 = load4x64(upper, offset), top1 = load4x64(upper, offset + 4);
            const __m256i bottom0 = load4x64(lower, offset), bottom1 = load4x64(lower, offset + 4);
            // The extraction below yields pixels in the order 0 1 4 5 2 3 6 7; the weights follow it.
            const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
            const __m256 weight_a = _mm256_permutevar8x32_ps(c.a, order);
            const __m256 weight_b = _mm256_permutevar8x32_ps(c.b, order);
            const __m256i inside = _mm256_permutevar8x32_epi32(c.inside, order);
            const __m256i red = rgbChannel8<0>(top0, top1, bottom0, bottom1, weight_a, weight_b, inside);
            const __m256i green = rgbChannel8<1>(top0, top1, bottom0, bottom1, weight_a, weight_b, inside);
            const __m256i blue = rgbChannel8<2>(top0, top1, bottom0, bottom1, weight_a, weight_b, inside);
            const __m256i r = _mm256_permutevar8x32_epi32(red, order);
            const __m256i g = _mm256_permutevar8x32_epi32(green, order);
            const __m256i b = _mm256_permutevar8x32_epi32(blue, order);
            const __m256i rgb0 =
                _mm256_or_si256(r, _mm256_or_si256(_mm256_slli_epi32(g, 8), _mm256_slli_epi32(b, 16)));
            // Drop every fourth byte: 12 bytes per 128-bit half, then the two halves side by side.
            const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                                     0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
            const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(rgb0, squeeze),
                                                               _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
        }
    }
    remapRowScalar(s, map_x, map_y, u, width, dst_row, C);
}

// Two and four channels: the lanes are output bytes. Lane j of vector t (t < C) of a group of eight
// pixels holds byte 8t + j of the group: pixel (8t + j) / C, channel (8t + j) % C.
struct LaneLayout {
    alignas(32) int32_t pixel[4][8];
    alignas(32) int32_t channel[4][8];
};

struct LaneLayouts {
    LaneLayout by_channels[4];
};

const LaneLayout& laneLayout(int channels) {
    static const LaneLayouts layouts = [] {
        LaneLayouts l{};
        for (int c = 1; c <= 4; ++c) {
            for (int t = 0; t < c; ++t) {
                for (int j = 0; j < 8; ++j) {
                    l.by_channels[c - 1].pixel[t][j] = (8 * t + j) / c;
                    l.by_channels[c - 1].channel[t][j] = (8 * t + j) % c;
                }
            }
        }
        return l;
    }();
    return layouts.by_channels[channels - 1];
}

template <int C>
__attribute__((target("avx2"))) void remapRowByteLanes(const RemapSource& s, const float* map_x,
                                                       const float* map_y, int width, uint8_t* dst_row) {
    static_assert(C == 2 || C == 4, "byte lanes serve two or four channels");
    const LaneLayout& layout = laneLayout(C);
    // Two channels: one 4-byte load per row holds both samples of a channel; the lower row's load ends
    // at the right sample. Four channels: one load per sample, the right ones ending at the sample.
    // Outside lanes load from the first pixel, which exists, and are discarded.
    const uint8_t* upper = s.pixels;
    const uint8_t* upper_right = s.pixels + 1;
    const uint8_t* lower = s.pixels + s.stride - (C == 2 ? 1 : 0);
    const uint8_t* lower_right = s.pixels + s.stride + 1;
    int u = 0;
    for (; u + 8 <= width; u += 8) {
        uint8_t* out = dst_row + static_cast<size_t>(u) * C;
        const Cell8 c = cells8<C>(s, map_x + u, map_y + u);
        if (_mm256_testz_si256(c.inside, c.inside)) {
            std::memset(out, 0, 8 * C);
            continue;
        }
        for (int t = 0; t < C; ++t) {
            const __m256i pick = _mm256_load_si256(reinterpret_cast<const __m256i*>(layout.pixel[t]));
            const __m256i channel = _mm256_load_si256(reinterpret_cast<const __m256i*>(layout.channel[t]));
            const __m256 a = _mm256_permutevar8x32_ps(c.a, pick);
            const __m256 b = _mm256_permutevar8x32_ps(c.b, pick);
            const __m256i in = _mm256_permutevar8x32_epi32(c.inside, pick);
            alignas(32) int32_t offset[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(offset),
                               _mm256_add_epi32(_mm256_permutevar8x32_epi32(c.offset, pick), channel));
            __m256i p00, p10, p01, p11;
            if (C == 2) {
                const __m256i top = load8x32(upper, offset);
                const __m256i bottom = load8x32(lower, offset);
                p00 = byteOf(top, 0);
                p10 = byteOf(top, 2);
                p01 = byteOf(bottom, 1);
                p11 = byteOf(bottom, 3);
            } else {
                p00 = byteOf(load8x32(upper, offset), 0);
                p10 = byteOf(load8x32(upper_right, offset), 3);
                p01 = byteOf(load8x32(lower, offset), 0);
                p11 = byteOf(load8x32(lower_right, offset), 3);
            }
            store8(blend8(p00, p10, p01, p11, a, b, in), out + 8 * t);
        }
    }
    remapRowScalar(s, map_x, map_y, u, width, dst_row, C);
}

using RemapRowFn = void (*)(const RemapSource&, const float*, const float*, int, uint8_t*);

RemapRowFn selectRemapRow(int channels) {
    if (activeSimdLevel() < SimdLevel::kAvx2) return nullptr;
    switch (channels) {
        case 1:
            return remapRowPixelLanes<1>;
        case 2:
            return remapRowByteLanes<2>;
        case 3:
            return remapRowPixelLanes<3>;
        default:
            return remapRowByteLanes<4>;
    }
}

bool pixelCountFits(int width, int height) {
    return width > 0 && height > 0 && static_cast<int64_t>(width) * height <= INT32_MAX;
}

// Rows v_begin to v_end - 1 of the map.
void computeMapRows(const UndistortCoefficients& c, int width, int v_begin, int v_end, float* map_x,
                    float* map_y) {
    const SimdLevel level = activeSimdLevel();
    if (level >= SimdLevel::kAvx512) {
        undistortMapAvx512(c, width, v_begin, v_end, map_x, map_y);
    } else if (level >= SimdLevel::kAvx2) {
        undistortMapAvx2(c, width, v_begin, v_end, map_x, map_y);
    } else {
        undistortMapScalar(c, width, v_begin, v_end, map_x, map_y);
    }
}

// Output rows v_begin to v_end - 1 resampled through the map.
void remapRows(const RemapSource& source, const float* map_x, const float* map_y, int width, int v_begin,
               int v_end, uint8_t* dst, size_t dst_stride, int channels) {
    const size_t row_bytes = static_cast<size_t>(width) * channels;
    if (source.width < 2 || source.height < 2) {
        // No 2x2 neighbourhood fits: every output pixel is outside.
        for (int v = v_begin; v < v_end; ++v)
            std::memset(dst + static_cast<size_t>(v) * dst_stride, 0, row_bytes);
        return;
    }
    const RemapRowFn vector_row = selectRemapRow(channels);
    for (int v = v_begin; v < v_end; ++v) {
        const float* row_x = map_x + static_cast<size_t>(v) * width;
        const float* row_y = map_y + static_cast<size_t>(v) * width;
        uint8_t* out = dst + static_cast<size_t>(v) * dst_stride;
        if (vector_row) {
            vector_row(source, row_x, row_y, width, out);
        } else {
            remapRowScalar(source, row_x, row_y, 0, width, out, channels);
        }
    }
}

// Rows of map computed and resampled together on a first Compute, so each band of the map is read
// back while it is still in the cache.
constexpr int kBandRows = 16;

}  // namespace

ImageUndistort::ImageUndistort(const float* intrinsic9, const float* new_intrinsic9,
                               const float* coefficients, int coefficient_count, int src_width_,
                               int src_height_, int dst_width_, int dst_height_)
    : distortion(coefficients, coefficients + std::max(coefficient_count, 0)),
      intrinsic(intrinsic9, intrinsic9 + 9),
      new_intrinsic(new_intrinsic9 ? new_intrinsic9 : intrinsic9,
                    (new_intrinsic9 ? new_intrinsic9 : intrinsic9) + 9),
      src_width(src_width_),
      src_height(src_height_),
      dst_width(dst_width_),
      dst_height(dst_height_) {}

bool ImageUndistort::sizeMap() {
    if (intrinsic.size() != 9 || new_intrinsic.size() != 9 || distortion.size() < 4) return false;
    if (!pixelCountFits(dst_width, dst_height)) return false;
    const size_t count = static_cast<size_t>(dst_width) * dst_height;
    try {
        map_x.resize(count);
        map_y.resize(count);
    } catch (const std::bad_alloc&) {
        map_x = MapVector();
        map_y = MapVector();
        return false;
    }
    return true;
}

int ImageUndistort::CreateUndistortMap() {
    if (!map_x.empty()) return 0;
    if (!sizeMap()) return -1;
    computeMapRows(makeCoefficients(*this), dst_width, 0, dst_height, map_x.data(), map_y.data());
    return 0;
}

bool ImageUndistort::resamplingPossible(const uint8_t* src, int src_stride, const uint8_t* dst,
                                        int dst_stride, int channels) const {
    if (channels < 1 || channels > 4 || src == nullptr || dst == nullptr) return false;
    if (!pixelCountFits(src_width, src_height) || !pixelCountFits(dst_width, dst_height)) return false;
    if (static_cast<int64_t>(src_stride) < static_cast<int64_t>(src_width) * channels ||
        static_cast<int64_t>(dst_stride) < static_cast<int64_t>(dst_width) * channels) {
        return false;
    }
    // Source offsets are 32-bit in the vector code.
    return static_cast<int64_t>(src_stride) * src_height <= INT32_MAX;
}

int ImageUndistort::Compute(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride, int channels) {
    if (channels < 1 || channels > 4) return -1;
    if (!map_x.empty()) return Remap(src, src_stride, dst, dst_stride, channels);
    // First use: the same map and the same pixels as CreateUndistortMap followed by Remap, band by band.
    if (!resamplingPossible(src, src_stride, dst, dst_stride, channels) || !sizeMap()) return -1;
    const UndistortCoefficients c = makeCoefficients(*this);
    const RemapSource source{src, static_cast<size_t>(src_stride), src_width, src_height};
    for (int v = 0; v < dst_height; v += kBandRows) {
        const int band_end = std::min(dst_height, v + kBandRows);
        computeMapRows(c, dst_width, v, band_end, map_x.data(), map_y.data());
        remapRows(source, map_x.data(), map_y.data(), dst_width, v, band_end, dst,
                  static_cast<size_t>(dst_stride), channels);
    }
    return 0;
}

int ImageUndistort::Remap(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride,
                          int channels) const {
    if (!resamplingPossible(src, src_stride, dst, dst_stride, channels)) return -1;
    const size_t count = static_cast<size_t>(dst_width) * dst_height;
    if (map_x.size() != count || map_y.size() != count) return -1;
    const RemapSource source{src, static_cast<size_t>(src_stride), src_width, src_height};
    remapRows(source, map_x.data(), map_y.data(), dst_width, 0, dst_height, dst,
              static_cast<size_t>(dst_stride), channels);
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Map cache

bool UndistortMapCache::Key::operator==(const Key& other) const {
    return std::memcmp(bits, other.bits, sizeof(bits)) == 0 &&
           std::memcmp(sizes, other.sizes, sizeof(sizes)) == 0;
}

struct UndistortMapCache::SparePool {
    explicit SparePool(size_t limit) : max_bytes(limit) {}

    // Keeps the storage of a map nobody uses any more, if there is room.
    void offer(MapVector& x, MapVector& y) {
        const size_t bytes = (x.capacity() + y.capacity()) * sizeof(float);
        std::lock_guard<std::mutex> lock(mutex);
        if (spare_x.capacity() != 0 || bytes > max_bytes) return;
        spare_x.swap(x);
        spare_y.swap(y);
    }

    void take(MapVector& x, MapVector& y) {
        std::lock_guard<std::mutex> lock(mutex);
        x.swap(spare_x);
        y.swap(spare_y);
    }

    void clear() {
        MapVector x, y;
        take(x, y);
    }

    const size_t max_bytes;
    std::mutex mutex;
    MapVector spare_x, spare_y;
};

// Runs in whichever thread drops the last reference to a map, after every use of it: the storage
// changes hands under the pool's lock.
struct UndistortMapCache::RecyclingDeleter {
    std::shared_ptr<SparePool> pool;
    void operator()(ImageUndistort* undistort) const noexcept {
        if (pool) pool->offer(undistort->map_x, undistort->map_y);
        delete undistort;
    }
};

UndistortMapCache::UndistortMapCache(size_t max_entries, size_t max_bytes)
    : max_entries_(max_entries), max_bytes_(max_bytes), spare_(std::make_shared<SparePool>(max_bytes / 4)) {}

UndistortMapCache::Key UndistortMapCache::makeKey(const float* intrinsic9, const float* new_intrinsic9,
                                                  const float* coefficients12, int src_width, int src_height,
                                                  int dst_width, int dst_height) {
    Key key;
    std::memcpy(key.bits, intrinsic9, 9 * sizeof(float));
    std::memcpy(key.bits + 9, new_intrinsic9 ? new_intrinsic9 : intrinsic9, 9 * sizeof(float));
    std::memcpy(key.bits + 18, coefficients12, 12 * sizeof(float));
    key.sizes[0] = src_width;
    key.sizes[1] = src_height;
    key.sizes[2] = dst_width;
    key.sizes[3] = dst_height;
    return key;
}

std::shared_ptr<const ImageUndistort> UndistortMapCache::find(const Key& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->key == key) {
            entries_.splice(entries_.begin(), entries_, it);
            return entries_.front().undistort;
        }
    }
    return nullptr;
}

std::shared_ptr<ImageUndistort> UndistortMapCache::makeEmpty(const float* intrinsic9,
                                                             const float* new_intrinsic9,
                                                             const float* coefficients12, int src_width,
                                                             int src_height, int dst_width, int dst_height) {
    std::shared_ptr<ImageUndistort> fresh;
    try {
        fresh.reset(new ImageUndistort(intrinsic9, new_intrinsic9, coefficients12, 12, src_width, src_height,
                                       dst_width, dst_height),
                    RecyclingDeleter{spare_});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    spare_->take(fresh->map_x, fresh->map_y);
    fresh->map_x.clear();
    fresh->map_y.clear();
    return fresh;
}

std::shared_ptr<const ImageUndistort> UndistortMapCache::insert(const Key& key,
                                                                std::shared_ptr<ImageUndistort> fresh) {
    const size_t bytes = (fresh->map_x.capacity() + fresh->map_y.capacity()) * sizeof(float);
    std::lock_guard<std::mutex> lock(mutex_);
    // Another thread may have computed the same map meanwhile: keep one.
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->key == key) {
            entries_.splice(entries_.begin(), entries_, it);
            return entries_.front().undistort;
        }
    }
    if (max_entries_ == 0 || bytes > max_bytes_) return fresh;
    try {
        entries_.push_front(Entry{key, fresh, bytes});
    } catch (const std::bad_alloc&) {
        return fresh;
    }
    bytes_ += bytes;
    while (entries_.size() > max_entries_ || bytes_ > max_bytes_) {
        bytes_ -= entries_.back().bytes;
        entries_.pop_back();
    }
    return fresh;
}

std::shared_ptr<const ImageUndistort> UndistortMapCache::acquire(const float* intrinsic9,
                                                                 const float* new_intrinsic9,
                                                                 const float* coefficients12, int src_width,
                                                                 int src_height, int dst_width,
                                                                 int dst_height) {
    const Key key =
        makeKey(intrinsic9, new_intrinsic9, coefficients12, src_width, src_height, dst_width, dst_height);
    if (std::shared_ptr<const ImageUndistort> cached = find(key)) return cached;
    // Computed outside the lock so that other calibrations are not held up.
    std::shared_ptr<ImageUndistort> fresh =
        makeEmpty(intrinsic9, new_intrinsic9, coefficients12, src_width, src_height, dst_width, dst_height);
    if (!fresh || fresh->CreateUndistortMap() != 0) return nullptr;
    return insert(key, std::move(fresh));
}

int UndistortMapCache::undistort(const float* intrinsic9, const float* new_intrinsic9,
                                 const float* coefficients12, int src_width, int src_height, int dst_width,
                                 int dst_height, const uint8_t* src, int src_stride, uint8_t* dst,
                                 int dst_stride, int channels) {
    const Key key =
        makeKey(intrinsic9, new_intrinsic9, coefficients12, src_width, src_height, dst_width, dst_height);
    if (std::shared_ptr<const ImageUndistort> cached = find(key)) {
        return cached->Remap(src, src_stride, dst, dst_stride, channels);
    }
    std::shared_ptr<ImageUndistort> fresh =
        makeEmpty(intrinsic9, new_intrinsic9, coefficients12, src_width, src_height, dst_width, dst_height);
    if (!fresh || fresh->Compute(src, src_stride, dst, dst_stride, channels) != 0) return -1;
    insert(key, std::move(fresh));
    return 0;
}

size_t UndistortMapCache::entryCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

size_t UndistortMapCache::byteCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

void UndistortMapCache::clear() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
        bytes_ = 0;
    }
    spare_->clear();
}

UndistortMapCache& UndistortMapCache::shared() {
    // A handful of calibrations (one per stream) at video resolutions; deliberately never destroyed so
    // that a call during process exit still finds it.
    static UndistortMapCache* cache = new UndistortMapCache(4, 64u << 20);
    return *cache;
}

// ------------------------------------------------------------------------------------------------
// Speckle filter
//
// The regions are found run by run instead of pixel by pixel: each row is cut into runs of valid,
// horizontally joined pixels, runs of neighbouring rows that touch through a joined vertical pair are
// merged with a union-find, and runs whose region has at most max_size pixels are overwritten. The
// regions, and so the result, are exactly those of a 4-connected flood fill.

namespace {

struct SpeckleRule {
    int new_value;
    int max_diff;
    uint16_t invalid;   // new_value as a pixel value, when it is one
    bool has_invalid;   // new_value lies in 0..65535, so pixels can equal it
    uint16_t diff_cap;  // max_diff clamped to 0..65535
    bool joins_any;     // max_diff >= 65535: every pair of valid neighbours joins
    bool joins_none;    // max_diff < 0: no pair joins
};

inline bool isValid(const SpeckleRule& r, uint16_t value) {
    return static_cast<int>(value) != r.new_value;
}

inline bool joins(const SpeckleRule& r, uint16_t a, uint16_t b) {
    const int diff = static_cast<int>(a) - static_cast<int>(b);
    return (diff < 0 ? -diff : diff) <= r.max_diff;
}

inline void setBit(uint64_t* bits, int x) {
    bits[x >> 6] |= uint64_t{1} << (x & 63);
}

// Bit masks of one row: valid pixels, pixels joined to their right neighbour, and (when above is not
// null) pixels joined to the pixel above. Bits from x_begin on; earlier words are filled by the caller.
void rowMasksScalar(const SpeckleRule& r, const uint16_t* row, const uint16_t* above, int width, int x_begin,
                    uint64_t* valid, uint64_t* right, uint64_t* up) {
    for (int x = x_begin; x < width; ++x) {
        const uint16_t value = row[x];
        if (!isValid(r, value)) continue;
        setBit(valid, x);
        if (x + 1 < width && isValid(r, row[x + 1]) && joins(r, value, row[x + 1])) setBit(right, x);
        if (above && isValid(r, above[x]) && joins(r, value, above[x])) setBit(up, x);
    }
}

// 16-bit lane masks of 32 pixels packed to 32 bits in pixel order.
__attribute__((target("avx2"))) inline uint32_t packMask32(__m256i low16, __m256i high16) {
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(low16, high16), 0xD8);
    return static_cast<uint32_t>(_mm256_movemask_epi8(bytes));
}

__attribute__((target("avx2"))) inline __m256i validLanes(const SpeckleRule& r, __m256i values) {
    if (!r.has_invalid) return _mm256_set1_epi16(-1);
    const __m256i invalid = _mm256_set1_epi16(static_cast<short>(r.invalid));
    return _mm256_xor_si256(_mm256_cmpeq_epi16(values, invalid), _mm256_set1_epi16(-1));
}

__attribute__((target("avx2"))) inline __m256i joinLanes(const SpeckleRule& r, __m256i a, __m256i b) {
    if (r.joins_any) return _mm256_set1_epi16(-1);
    if (r.joins_none) return _mm256_setzero_si256();
    const __m256i diff = _mm256_or_si256(_mm256_subs_epu16(a, b), _mm256_subs_epu16(b, a));
    const __m256i excess = _mm256_subs_epu16(diff, _mm256_set1_epi16(static_cast<short>(r.diff_cap)));
    return _mm256_cmpeq_epi16(excess, _mm256_setzero_si256());
}

__attribute__((target("avx2"))) void rowMasksAvx2(const SpeckleRule& r, const uint16_t* row,
                                                  const uint16_t* above, int width, uint64_t* valid,
                                                  uint64_t* right, uint64_t* up) {
    int x = 0;
    // The right-neighbour loads reach x + 32, so whole blocks stop one pixel before the row's end.
    for (; x + 32 < width; x += 32) {
        __m256i valid_half[2], right_half[2];
        __m256i up_half[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
        for (int h = 0; h < 2; ++h) {
            const uint16_t* p = row + x + 16 * h;
            const __m256i cur = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
            const __m256i cur_valid = validLanes(r, cur);
            valid_half[h] = cur_valid;
            right_half[h] =
                _mm256_and_si256(_mm256_and_si256(cur_valid, validLanes(r, next)), joinLanes(r, cur, next));
            if (above) {
                const __m256i up_values =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + x + 16 * h));
                up_half[h] = _mm256_and_si256(_mm256_and_si256(cur_valid, validLanes(r, up_values)),
                                              joinLanes(r, cur, up_values));
            }
        }
        // x is a multiple of 32: the masks fill one half of a 64-bit word.
        const int shift = x & 63;
        valid[x >> 6] |= static_cast<uint64_t>(packMask32(valid_half[0], valid_half[1])) << shift;
        right[x >> 6] |= static_cast<uint64_t>(packMask32(right_half[0], right_half[1])) << shift;
        if (above) up[x >> 6] |= static_cast<uint64_t>(packMask32(up_half[0], up_half[1])) << shift;
    }
    rowMasksScalar(r, row, above, width, x, valid, right, up);
}

bool anyBitInRange(const uint64_t* bits, int first, int last) {
    const int w_first = first >> 6, w_last = last >> 6;
    const uint64_t m_first = ~uint64_t{0} << (first & 63);
    const uint64_t m_last = ~uint64_t{0} >> (63 - (last & 63));
    if (w_first == w_last) return (bits[w_first] & m_first & m_last) != 0;
    if (bits[w_first] & m_first) return true;
    for (int w = w_first + 1; w < w_last; ++w) {
        if (bits[w]) return true;
    }
    return (bits[w_last] & m_last) != 0;
}

// parent[i] < 0 marks a root holding -(pixel count of its region).
inline int32_t findRoot(int32_t* parent, int32_t i) {
    while (parent[i] >= 0) {
        const int32_t up = parent[i];
        if (parent[up] >= 0) parent[i] = parent[up];
        i = up;
    }
    return i;
}

inline void unite(int32_t* parent, int32_t a, int32_t b) {
    a = findRoot(parent, a);
    b = findRoot(parent, b);
    if (a == b) return;
    if (parent[a] > parent[b]) std::swap(a, b);  // a is the larger region
    parent[a] += parent[b];
    parent[b] = a;
}

struct SpeckleScratch {
    int32_t* row_first_run;  // height + 1 entries
    uint32_t* run_span;      // first column | last column << 16
    int32_t* parent;
    uint64_t* valid;  // bit masks of the current row
    uint64_t* right;
    uint64_t* up;
};

template <typename T>
T* carve(uint8_t*& cursor, size_t count) {
    T* p = reinterpret_cast<T*>(cursor);
    cursor += (count * sizeof(T) + 63) & ~size_t{63};
    return p;
}

size_t scratchBytes(int width, int height) {
    const size_t pixels = static_cast<size_t>(width) * height;
    const size_t words = (static_cast<size_t>(width) + 63) / 64;
    auto rounded = [](size_t n) { return (n + 63) & ~size_t{63}; };
    return 64 + rounded((height + 1) * sizeof(int32_t)) + rounded(pixels * sizeof(uint32_t)) +
           rounded(pixels * sizeof(int32_t)) + 3 * rounded(words * sizeof(uint64_t));
}

}  // namespace

int filterSpecklesImpl(int width, int height, uint16_t* image, int new_value, int max_size, int max_diff,
                       std::vector<uint8_t>& buffer) {
    if (width <= 0 || height <= 0) return 0;
    if (image == nullptr) return -1;
    if (width > kSpeckleMaxDimension || height > kSpeckleMaxDimension) {
        KV_LOG(kLogWarning, "speckle filter: image %dx%d is larger than %d in a dimension, left unfiltered",
               width, height, kSpeckleMaxDimension);
        return -1;
    }
    // Every region has at least one pixel, so nothing can be a speckle.
    if (max_size <= 0) return 0;

    const size_t needed = scratchBytes(width, height);
    if (buffer.size() < needed) {
        try {
            buffer.resize(needed);
        } catch (const std::bad_alloc&) {
            return -1;
        }
    }
    uint8_t* cursor = buffer.data();
    cursor += (64 - reinterpret_cast<uintptr_t>(cursor) % 64) % 64;
    const size_t pixels = static_cast<size_t>(width) * height;
    const size_t words = (static_cast<size_t>(width) + 63) / 64;
    SpeckleScratch s;
    s.row_first_run = carve<int32_t>(cursor, height + 1);
    s.run_span = carve<uint32_t>(cursor, pixels);
    s.parent = carve<int32_t>(cursor, pixels);
    s.valid = carve<uint64_t>(cursor, words);
    s.right = carve<uint64_t>(cursor, words);
    s.up = carve<uint64_t>(cursor, words);

    SpeckleRule rule;
    rule.new_value = new_value;
    rule.max_diff = max_diff;
    rule.has_invalid = new_value >= 0 && new_value <= 0xFFFF;
    rule.invalid = static_cast<uint16_t>(rule.has_invalid ? new_value : 0);
    rule.joins_any = max_diff >= 0xFFFF;
    rule.joins_none = max_diff < 0;
    rule.diff_cap = static_cast<uint16_t>(std::min(std::max(max_diff, 0), 0xFFFF));
    const bool vector_masks = activeSimdLevel() >= SimdLevel::kAvx2;

    // Pass 1: runs per row, merged with the touching runs of the row above.
    int32_t run_count = 0;
    for (int y = 0; y < height; ++y) {
        const uint16_t* row = image + static_cast<size_t>(y) * width;
        const uint16_t* above = y > 0 ? row - width : nullptr;
        std::memset(s.valid, 0, words * sizeof(uint64_t));
        std::memset(s.right, 0, words * sizeof(uint64_t));
        std::memset(s.up, 0, words * sizeof(uint64_t));
        if (vector_masks) {
            rowMasksAvx2(rule, row, above, width, s.valid, s.right, s.up);
        } else {
            rowMasksScalar(rule, row, above, width, 0, s.valid, s.right, s.up);
        }

        const int32_t row_begin = run_count;
        s.row_first_run[y] = row_begin;
        // A run starts at a valid pixel not joined from its left and ends at one not joined to its right;
        // starts and ends alternate along the row.
        uint64_t carry = 0;
        int open_start = -1;
        for (size_t w = 0; w < words; ++w) {
            uint64_t starts = s.valid[w] & ~((s.right[w] << 1) | carry);
            uint64_t ends = s.valid[w] & ~s.right[w];
            carry = s.right[w] >> 63;
            const int base = static_cast<int>(w * 64);
            for (;;) {
                if (open_start < 0) {
                    if (!starts) break;
                    open_start = base + __builtin_ctzll(starts);
                    starts &= starts - 1;
                } else {
                    if (!ends) break;
                    const int end = base + __builtin_ctzll(ends);
                    ends &= ends - 1;
                    s.run_span[run_count] = static_cast<uint32_t>(open_start) | static_cast<uint32_t>(end)
                                                                                    << 16;
                    s.parent[run_count] = -(end - open_start + 1);
                    ++run_count;
                    open_start = -1;
                }
            }
        }

        if (y == 0) continue;
        int32_t i = s.row_first_run[y - 1], j = row_begin;
        while (i < row_begin && j < run_count) {
            const int a_first = s.run_span[i] & 0xFFFF, a_last = s.run_span[i] >> 16;
            const int b_first = s.run_span[j] & 0xFFFF, b_last = s.run_span[j] >> 16;
            const int first = std::max(a_first, b_first), last = std::min(a_last, b_last);
            if (first <= last && anyBitInRange(s.up, first, last)) unite(s.parent, i, j);
            if (a_last <= b_last) {
                ++i;
            } else {
                ++j;
            }
        }
    }
    s.row_first_run[height] = run_count;

    // Pass 2: overwrite the runs of small regions.
    const uint16_t written = static_cast<uint16_t>(new_value);
    for (int y = 0; y < height; ++y) {
        uint16_t* row = image + static_cast<size_t>(y) * width;
        for (int32_t r = s.row_first_run[y]; r < s.row_first_run[y + 1]; ++r) {
            const int32_t root = findRoot(s.parent, r);
            if (-s.parent[root] > max_size) continue;
            const int first = s.run_span[r] & 0xFFFF, last = s.run_span[r] >> 16;
            std::fill(row + first, row + last + 1, written);
        }
    }
    return 0;
}

int ImageSpeckleFilter::Compute(int width, int height, uint16_t* image) {
    if (speckle_max_size <= 0 || speckle_max_diff <= 0) return 0;
    return filterSpecklesImpl(width, height, image, speckle_new_value, speckle_max_size, speckle_max_diff,
                              speckle_buffer);
}

}  // namespace orvane
