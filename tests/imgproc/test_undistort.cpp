#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "imgproc/image_util.h"
#include "imgproc_test_support.h"
#include "reference_impl.h"

namespace orvane {
namespace {

using testing_support::availableLevels;
using testing_support::firstBitDifference;
using testing_support::firstDifference;
using testing_support::GuardedBuffer;
using testing_support::kInf;
using testing_support::kNan;
using testing_support::levelName;
using testing_support::randomBytes;
using testing_support::ScopedSimdLevel;

const float kIntrinsic[9] = {500, 0, 320.5f, 0, 505, 240.25f, 0, 0, 1};
const float kLens12[12] = {-0.28f, 0.09f,  0.0012f, -0.0007f, -0.012f, 0.03f,
                           -0.02f, 0.004f, 0.0011f, -0.0003f, 0.0009f, 0.0002f};

// An object whose map is set by hand, to drive the resampling with chosen positions.
ImageUndistort withMap(int src_width, int src_height, int dst_width, int dst_height, std::vector<float> map_x,
                       std::vector<float> map_y) {
    ImageUndistort u(kIntrinsic, nullptr, kLens12, 12, src_width, src_height, dst_width, dst_height);
    u.map_x.assign(map_x.begin(), map_x.end());
    u.map_y.assign(map_y.begin(), map_y.end());
    return u;
}

TEST(ImageUndistort, ExactIdentityLeavesLastRowAndColumnEmpty) {
    // With powers of two every step is exact: the map is the identity to the bit, and the last row and
    // column have no 2x2 neighbourhood inside the source.
    const float zero[12] = {};
    const float exact[9] = {512, 0, 16, 0, 256, 8, 0, 0, 1};
    const int width = 37, height = 23;
    std::mt19937 rng(2);
    ImageUndistort u(exact, nullptr, zero, 12, width, height, width, height);
    ASSERT_EQ(u.CreateUndistortMap(), 0);
    for (int v = 0; v < height; ++v) {
        for (int x = 0; x < width; ++x) {
            ASSERT_EQ(u.map_x[v * width + x], static_cast<float>(x));
            ASSERT_EQ(u.map_y[v * width + x], static_cast<float>(v));
        }
    }
    for (int channels : {1, 3}) {
        const std::vector<uint8_t> src = randomBytes(rng, width * height * channels);
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            std::vector<uint8_t> dst(src.size(), 0xAA);
            ASSERT_EQ(u.Compute(src.data(), width * channels, dst.data(), width * channels, channels), 0);
            for (size_t i = 0; i < dst.size(); ++i) {
                const int x = static_cast<int>(i / channels % width),
                          v = static_cast<int>(i / channels / width);
                const uint8_t expected = (x == width - 1 || v == height - 1) ? 0 : src[i];
                ASSERT_EQ(dst[i], expected) << levelName(level) << " at " << x << "," << v;
            }
        }
    }
}

// Hand-picked positions on tiny sources, each row with the exact bytes it must give.
TEST(ImageUndistort, HandPickedPositionsResampleExactly) {
    struct Case {
        const char* what;
        int sw, sh;
        std::vector<uint8_t> src;
        std::vector<float> mx, my;
        std::vector<uint8_t> expected;
    };
    const std::vector<float> bad = {kNan, kInf, -kInf, 1e10f, -1e10f, 2147483648.0f, 4e9f, -2147483904.0f};
    const std::vector<float> good(bad.size(), 3.5f);
    const std::vector<uint8_t> flat(64, 200), none(bad.size(), 0);
    const std::vector<float> left9(9, -0.9f), top9(9, 0.0f);
    const Case cases[] = {
        // Column 0 with a = -0.3 extrapolates: 100 * 1.3 + 110 * -0.3 + 0.5 = 97.5 -> 97; -1.2 is outside.
        {"left of column 0", 4, 2, {100, 110, 120, 130, 100, 110, 120, 130}, {-0.3f, -1.2f}, {0, 0}, {97, 0}},
        // Stored as a plain byte, 0 * 1.9 + 255 * -0.9 + 0.5 = -229 would wrap to 27 and 255 * 1.9 + 0.5
        // = 485 to 229, painting false edges along the border: extrapolation is clamped.
        {"extrapolation clamped low", 2, 2, {0, 255, 0, 255}, left9, top9, std::vector<uint8_t>(9, 0)},
        {"extrapolation clamped high", 2, 2, {255, 0, 255, 0}, left9, top9, std::vector<uint8_t>(9, 255)},
        {"halfway", 2, 2, {10, 20, 10, 20}, {0.5f}, {0}, {15}},
        {"halfway rounds by truncation", 2, 2, {10, 11, 10, 11}, {0.5f}, {0}, {11}},  // 10.5 + 0.5
        {"non-finite or huge x", 8, 8, flat, bad, good, none},
        {"non-finite or huge y", 8, 8, flat, good, bad, none},
    };
    for (const Case& c : cases) {
        const int dw = static_cast<int>(c.mx.size());
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            ImageUndistort u = withMap(c.sw, c.sh, dw, 1, c.mx, c.my);
            std::vector<uint8_t> dst(dw, 0xAA);
            ASSERT_EQ(u.Remap(c.src.data(), c.sw, dst.data(), dw, 1), 0) << c.what;
            EXPECT_EQ(dst, c.expected) << c.what << " " << levelName(level);
        }
    }
}

TEST(ImageUndistort, FewerCoefficientsMeanZeroHigherTerms) {
    // 5 given coefficients act like 12 with the rest 0... except that the 8-coefficient rule reads k3
    // only from 8 or more values: with 4 values k3 is 0 as well. Fewer than 4 are refused.
    const float twelve[12] = {-0.2f, 0.05f, 0.001f, 0.002f};
    ImageUndistort full(kIntrinsic, nullptr, twelve, 12, 30, 20, 30, 20);
    ASSERT_EQ(full.CreateUndistortMap(), 0);
    for (int count : {3, 4, 5, 8}) {
        const std::vector<float> given(twelve, twelve + count);  // exactly sized: reading past it is seen
        ImageUndistort u(kIntrinsic, nullptr, given.data(), count, 30, 20, 30, 20);
        ASSERT_EQ(u.CreateUndistortMap(), count < 4 ? -1 : 0) << count;
        if (count < 4) continue;
        EXPECT_EQ(u.map_x, full.map_x) << count;
        EXPECT_EQ(u.map_y, full.map_y) << count;
    }
}

// Builds the map on every kernel variant and compares it with the reference bit for bit.
void expectMapMatchesReference(const reference::UndistortSetup& s, const std::string& what) {
    std::vector<float> expected_x, expected_y;
    reference::undistortMap(s, expected_x, expected_y);
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        ImageUndistort u(s.intrinsic, s.new_intrinsic, s.coefficients.data(),
                         static_cast<int>(s.coefficients.size()), 8, 8, s.dst_width, s.dst_height);
        ASSERT_EQ(u.CreateUndistortMap(), 0) << what;
        ASSERT_EQ(u.map_x.size(), expected_x.size()) << what;
        EXPECT_EQ(firstBitDifference(u.map_x.data(), expected_x.data(), expected_x.size()), -1)
            << what << " " << levelName(level);
        EXPECT_EQ(firstBitDifference(u.map_y.data(), expected_y.data(), expected_y.size()), -1)
            << what << " " << levelName(level);
    }
}

TEST(ImageUndistort, MapMatchesReferenceBitForBit) {
    const std::vector<float> lens12(kLens12, kLens12 + 12), poly5 = {0.2f, 0.1f, 0.01f, 0.02f, 0.3f};
    const float plain[9] = {500, 0, 320, 0, 500, 240, 0, 0, 1};
    // Rows: name, intrinsic, new intrinsic, coefficients, output size.
    struct Case {
        const char* name;
        reference::UndistortSetup s;
    };
    // clang-format off
    const Case cases[] = {
        {"rational+prism", {{500, 0, 320.5f, 0, 505, 240.25f, 0, 0, 1}, {450, 0, 300, 0, 455, 230, 0, 0, 1},
                            lens12, 64, 48}},
        {"polynomial5", {{700, 0, 641, 0, 700, 479, 0, 0, 1}, {600, 0, 640, 0, 600, 480, 0, 0, 1},
                         {-0.3f, 0.12f, 0.001f, -0.001f, -0.02f}, 131, 9}},
        {"four", {{300, 0, 50, 0, 310, 40, 0, 0, 1}, {300, 0, 50, 0, 310, 40, 0, 0, 1}, {0.1f, -0.05f, 0, 0},
                  13, 7}},
        {"skewed-new", {{}, {480, 3.5f, 310, 0.2f, 470, 250, 0, 0, 1}, lens12, 33, 6}},
        // A projective new matrix: W = N21 * v + N22 + N20 * u crosses zero inside the image, giving
        // infinite and NaN rays that must come out identical on every path.
        {"projective", {{}, {500, 0, 16, 0, 500, 8, 0.05f, -0.06f, 1}, lens12, 41, 21}},
        {"projective-poly", {{}, {500, 0, 16, 0, 500, 8, 0.05f, -0.06f, 1}, poly5, 41, 21}},
        // Huge coefficients overflow r2 terms to infinity in some pixels.
        {"overflow", {{}, {1e-30f, 0, 5, 0, 1e-30f, 5, 0, 0, 1}, {1e30f, -1e30f, 1e20f, 1e20f, 3e38f}, 11,
                      5}},
        // The inverse of this matrix is exact: W = 0.5 * u - 2 reaches 0 exactly at u = 4, where rays
        // become infinite or NaN and the polynomial model's denominator (1 for finite rays) turns NaN.
        // With every other coefficient positive the infinite ray keeps infinite terms (no 0 * inf), so
        // the NaN of the denominator is what decides the result.
        {"zero-ray-poly", {{}, {1, 0, 0, 0, 1, 0, 0.25f, 0, -0.5f},
                           {0.2f, 0.1f, 0.01f, 0.02f, 0.3f, 0, 0, 0, 0.001f, 0.002f, 0.003f, 0.004f}, 13, 6}},
        {"zero-ray-rational", {{}, {1, 0, 0, 0, 1, 0, 0.25f, 0, -0.5f}, lens12, 13, 6}},
        // W changes from row to row only (its inverse has the exact last row 0, 0.5, 1).
        {"row-projective", {{}, {1, 0, 0, 0, 1, 0, 0, -0.5f, 1}, lens12, 11, 7}},
        // Denormal focal lengths: the inverse overflows float to infinities.
        {"infinite-inverse", {{}, {1e-39f, 0, 5, 0, 1e-39f, 5, 0, 0, 1}, {0.2f, 0.1f, 0.01f, 0.02f}, 9, 5}},
        {"singular-new", {{}, {0, 0, 0, 0, 0, 0, 0, 0, 0}, lens12, 9, 5}},
        {"one-pixel", {{500, 0, 0, 0, 500, 0, 0, 0, 1}, {500, 0, 0, 0, 500, 0, 0, 0, 1}, lens12, 1, 1}},
        {"tall", {{500, 0, 2, 0, 500, 30, 0, 0, 1}, {500, 0, 2, 0, 500, 30, 0, 0, 1}, lens12, 5, 67}},
    };
    // clang-format on
    for (const Case& c : cases) {
        reference::UndistortSetup s = c.s;
        if (s.intrinsic[8] == 0) std::copy(plain, plain + 9, s.intrinsic);  // {} stands for the plain one
        expectMapMatchesReference(s, c.name);
    }
}

TEST(ImageUndistort, RandomCalibrationsMatchReferenceBitForBit) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> focal(200, 1500), centre(0, 1000), small(-0.5f, 0.5f);
    std::uniform_int_distribution<int> size(1, 70), count_pick(0, 2);
    for (int trial = 0; trial < 40; ++trial) {
        const bool projective = trial % 3 == 0;
        reference::UndistortSetup s = {
            {focal(rng), 0, centre(rng), 0, focal(rng), centre(rng), 0, 0, 1},
            {focal(rng), small(rng), centre(rng), small(rng), focal(rng), centre(rng),
             projective ? small(rng) / 100 : 0.0f, projective ? small(rng) / 100 : 0.0f, 1},
            std::vector<float>(4 + 4 * count_pick(rng)),
            size(rng),
            size(rng)};
        for (float& k : s.coefficients) k = small(rng);
        if (trial % 4 == 1 && s.coefficients.size() >= 8)
            s.coefficients[5] = s.coefficients[6] = s.coefficients[7] = 0;
        expectMapMatchesReference(s, "trial " + std::to_string(trial));
    }
}

// Map positions chosen to hit every boundary of the resampling: exact integers, the last valid cell,
// just outside, left of zero, NaN, infinities and values beyond an int.
std::vector<float> randomPositions(std::mt19937& rng, size_t count, int limit) {
    std::uniform_real_distribution<float> inside(-1.5f, limit + 0.5f), unit(0, 1);
    const float last = static_cast<float>(limit - 1), cell = static_cast<float>(limit - 2);
    const float below_last = std::nextafter(last, 0.0f);
    const float specials[] = {kNan,  kInf,  -kInf, 3e9f, -3e9f,         2147483520.0f, 2147483648.0f, -0.999f,
                              -1.0f, -0.0f, 0.0f,  last, cell + 0.999f, cell,          below_last};
    std::vector<float> out(count);
    for (float& p : out) {
        const float r = unit(rng);
        if (r < 0.2f) {
            p = specials[std::uniform_int_distribution<int>(0, 14)(rng)];
        } else if (r < 0.3f) {
            p = std::floor(inside(rng));
        } else {
            p = inside(rng);
        }
    }
    return out;
}

TEST(ImageUndistort, ResamplingMatchesReferenceBitForBit) {
    std::mt19937 rng(4242);
    const int sizes[][4] = {{64, 48, 64, 48}, {17, 5, 29, 3}, {2, 2, 9, 9},   {1, 9, 12, 4},
                            {9, 1, 12, 4},    {3, 3, 33, 2},  {40, 3, 19, 1}, {9, 3, 19, 2}};
    for (const auto& sz : sizes) {
        const int sw = sz[0], sh = sz[1], dw = sz[2], dh = sz[3];
        for (int channels = 1; channels <= 4; ++channels) {
            for (int padding : {0, 3}) {
                const int src_stride = sw * channels + padding, dst_stride = dw * channels + padding;
                const std::vector<uint8_t> src = randomBytes(rng, static_cast<size_t>(src_stride) * sh);
                std::vector<float> mx = randomPositions(rng, static_cast<size_t>(dw) * dh, sw);
                std::vector<float> my = randomPositions(rng, static_cast<size_t>(dw) * dh, sh);
                // The last row samples the last cell that fits, so the bottom-right samples are the last
                // bytes of the source.
                for (int i = 0; i < dw; ++i) {
                    mx[static_cast<size_t>(dh - 1) * dw + i] = static_cast<float>(sw - 2) + (i % 4) * 0.25f;
                    my[static_cast<size_t>(dh - 1) * dw + i] = static_cast<float>(sh - 2) + 0.75f;
                }
                std::vector<uint8_t> expected(static_cast<size_t>(dst_stride) * dh, 0x5A);
                reference::remap(mx, my, dw, dh, src.data(), sw, sh, src_stride, expected.data(), dst_stride,
                                 channels);
                // Both images end at a guard page, so a kernel reading or writing past either one faults.
                GuardedBuffer guarded_src(src.size()), dst(expected.size());
                ASSERT_TRUE(guarded_src.ok() && dst.ok());
                std::copy(src.begin(), src.end(), guarded_src.data());
                for (SimdLevel level : availableLevels()) {
                    ScopedSimdLevel scope(level);
                    ImageUndistort u = withMap(sw, sh, dw, dh, mx, my);
                    std::fill_n(dst.data(), dst.size(), 0x5A);
                    ASSERT_EQ(u.Remap(guarded_src.data(), src_stride, dst.data(), dst_stride, channels), 0);
                    EXPECT_EQ(firstDifference(dst.data(), expected.data(), dst.size()), -1)
                        << levelName(level) << " src " << sw << "x" << sh << " dst " << dw << "x" << dh
                        << " channels " << channels << " padding " << padding;
                }
            }
        }
    }
}

TEST(ImageUndistort, RefusesSizesAndBuffersItCannotServe) {
    std::vector<uint8_t> src(64, 1), dst(64, 0xAA);
    ImageUndistort huge(kIntrinsic, nullptr, kLens12, 12, 8, 8, 70000, 70000);  // 4.9e9 output pixels
    EXPECT_EQ(huge.CreateUndistortMap(), -1);
    EXPECT_TRUE(huge.map_x.empty());
    EXPECT_EQ(huge.Compute(src.data(), 8, dst.data(), 8, 1), -1);

    ImageUndistort u(kIntrinsic, nullptr, kLens12, 12, 8, 8, 8, 8);
    EXPECT_EQ(u.Compute(nullptr, 8, dst.data(), 8, 1), -1);
    EXPECT_EQ(u.Compute(src.data(), 8, nullptr, 8, 1), -1);
    EXPECT_EQ(u.Compute(src.data(), 7, dst.data(), 8, 1), -1);  // stride shorter than a row
    EXPECT_EQ(u.Compute(src.data(), 8, dst.data(), 7, 1), -1);
    EXPECT_EQ(u.Compute(src.data(), 8, dst.data(), 8, 0), -1);  // unsupported channel counts
    EXPECT_EQ(u.Compute(src.data(), 8, dst.data(), 8, 5), -1);
    for (uint8_t b : dst) ASSERT_EQ(b, 0xAA);  // every refusal left the output untouched
    EXPECT_EQ(u.Compute(src.data(), 8, dst.data(), 8, 1), 0);
    // A map made for another output size is never used for this one.
    u.dst_width = 9;
    EXPECT_EQ(u.Remap(src.data(), 8, dst.data(), 9, 1), -1);
    u.dst_width = 8;
    u.src_width = 100000;
    u.src_height = 100000;
    EXPECT_EQ(u.Remap(src.data(), 100000, dst.data(), 8, 1), -1);  // source of 1e10 bytes

    ImageUndistort no_size(kIntrinsic, nullptr, kLens12, 12, 8, 8, 0, 8);
    EXPECT_EQ(no_size.CreateUndistortMap(), -1);
    ImageUndistort bad_matrix;
    bad_matrix.dst_width = bad_matrix.dst_height = 4;
    bad_matrix.distortion.assign(12, 0.0f);
    EXPECT_EQ(bad_matrix.CreateUndistortMap(), -1);  // no intrinsic
}

TEST(UndistortMapCache, OneMapForEachParameterBitPatternAndNoneForBadOnes) {
    UndistortMapCache cache(16, 1u << 24);
    auto base = cache.acquire(kIntrinsic, nullptr, kLens12, 32, 24, 32, 24);
    auto same = cache.acquire(kIntrinsic, kIntrinsic, kLens12, 32, 24, 32, 24);  // null means the intrinsic
    ASSERT_TRUE(base && same);
    EXPECT_EQ(base.get(), same.get());
    ImageUndistort fresh(kIntrinsic, nullptr, kLens12, 12, 32, 24, 32, 24);
    ASSERT_EQ(fresh.CreateUndistortMap(), 0);
    EXPECT_EQ(base->map_x, fresh.map_x);
    EXPECT_EQ(base->map_y, fresh.map_y);
    // Maps that cannot be built are refused and not kept.
    EXPECT_FALSE(cache.acquire(kIntrinsic, nullptr, kLens12, 8, 8, 70000, 70000));
    EXPECT_FALSE(cache.acquire(kIntrinsic, nullptr, kLens12, 8, 8, 0, 5));
    EXPECT_EQ(cache.entryCount(), 1u);

    float lens[12], zero_lens[12] = {}, negative_zero_lens[12] = {}, other_new[9];
    std::copy(kLens12, kLens12 + 12, lens);
    lens[11] = std::nextafter(lens[11], 1.0f);
    negative_zero_lens[4] = -0.0f;
    std::copy(kIntrinsic, kIntrinsic + 9, other_new);
    other_new[0] += 1;
    auto plus = cache.acquire(kIntrinsic, nullptr, zero_lens, 32, 24, 32, 24);
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, negative_zero_lens, 32, 24, 32, 24).get(), plus.get());
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, lens, 32, 24, 32, 24).get(), base.get());
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, kLens12, 32, 24, 33, 24).get(), base.get());
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, kLens12, 32, 25, 32, 24).get(), base.get());
    EXPECT_NE(cache.acquire(kIntrinsic, other_new, kLens12, 32, 24, 32, 24).get(), base.get());
    EXPECT_EQ(cache.entryCount(), 7u);
}

TEST(UndistortMapCache, StaysWithinItsEntryAndByteBounds) {
    const size_t map_bytes = 2 * sizeof(float) * 32 * 24;
    UndistortMapCache cache(3, 10 * map_bytes);
    float lens[12];
    std::copy(kLens12, kLens12 + 12, lens);
    std::shared_ptr<const ImageUndistort> oldest = cache.acquire(kIntrinsic, nullptr, lens, 32, 24, 32, 24);
    for (int i = 0; i < 10; ++i) {
        lens[0] += 0.01f;
        ASSERT_TRUE(cache.acquire(kIntrinsic, nullptr, lens, 32, 24, 32, 24));
        EXPECT_LE(cache.entryCount(), 3u);
    }
    // The evicted object stays valid for whoever still holds it.
    EXPECT_EQ(oldest->map_x.size(), 32u * 24u);

    UndistortMapCache small(8, 2 * map_bytes);
    for (int i = 0; i < 5; ++i) {
        lens[1] += 0.01f;
        small.acquire(kIntrinsic, nullptr, lens, 32, 24, 32, 24);
        EXPECT_LE(small.byteCount(), 2 * map_bytes);
    }
    EXPECT_EQ(small.entryCount(), 2u);
    // A map larger than the whole budget is computed but not kept.
    EXPECT_TRUE(small.acquire(kIntrinsic, nullptr, lens, 32, 24, 320, 240));
    EXPECT_LE(small.byteCount(), 2 * map_bytes);
}

// Evicted maps are recycled for the next one, but never one that someone still holds.
TEST(UndistortMapCache, RecycledStorageGivesAFreshMapAndNeverRecyclesAMapStillInUse) {
    UndistortMapCache cache(1, 1u << 24);
    float lens[12];
    std::copy(kLens12, kLens12 + 12, lens);
    std::shared_ptr<const ImageUndistort> held = cache.acquire(kIntrinsic, nullptr, lens, 40, 30, 40, 30);
    const MapVector copy_x = held->map_x;
    lens[0] = 0.3f;
    cache.acquire(kIntrinsic, nullptr, lens, 40, 30, 40, 30);  // evicts the held map, then goes spare itself
    for (int dst_width : {40, 20, 60, 40}) {  // same, smaller and larger than the recycled storage
        lens[0] -= 0.1f;
        auto recycled = cache.acquire(kIntrinsic, nullptr, lens, 40, 30, dst_width, 30);
        ImageUndistort fresh(kIntrinsic, nullptr, lens, 12, 40, 30, dst_width, 30);
        ASSERT_EQ(fresh.CreateUndistortMap(), 0);
        ASSERT_TRUE(recycled);
        EXPECT_EQ(recycled->map_x, fresh.map_x) << dst_width;
        EXPECT_EQ(recycled->map_y, fresh.map_y) << dst_width;
    }
    EXPECT_EQ(held->map_x, copy_x);
}

}  // namespace
}  // namespace orvane
