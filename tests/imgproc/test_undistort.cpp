#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
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
using testing_support::levelName;
using testing_support::ScopedSimdLevel;

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const float kIntrinsic[9] = {500, 0, 320.5f, 0, 505, 240.25f, 0, 0, 1};
const float kLens12[12] = {-0.28f, 0.09f,  0.0012f, -0.0007f, -0.012f, 0.03f,
                           -0.02f, 0.004f, 0.0011f, -0.0003f, 0.0009f, 0.0002f};

std::vector<uint8_t> randomImage(std::mt19937& rng, size_t bytes) {
    std::vector<uint8_t> image(bytes);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : image) b = static_cast<uint8_t>(byte(rng));
    return image;
}

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
    const std::vector<uint8_t> src = randomImage(rng, width * height);
    ImageUndistort u(exact, nullptr, zero, 12, width, height, width, height);
    ASSERT_EQ(u.CreateUndistortMap(), 0);
    for (int v = 0; v < height; ++v) {
        for (int x = 0; x < width; ++x) {
            ASSERT_EQ(u.map_x[v * width + x], static_cast<float>(x));
            ASSERT_EQ(u.map_y[v * width + x], static_cast<float>(v));
        }
    }
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        std::vector<uint8_t> dst(width * height, 0xAA);
        ASSERT_EQ(u.Compute(src.data(), width, dst.data(), width, 1), 0);
        for (int v = 0; v < height; ++v) {
            for (int x = 0; x < width; ++x) {
                const uint8_t expected = (x == width - 1 || v == height - 1) ? 0 : src[v * width + x];
                ASSERT_EQ(dst[v * width + x], expected) << levelName(level) << " at " << x << "," << v;
            }
        }
    }
}

TEST(ImageUndistort, PositionsLeftOfColumnZeroTruncateIntoItOrFallOutside) {
    const int sw = 4, sh = 8;
    std::vector<uint8_t> src(sw * sh);
    for (int i = 0; i < sw * sh; ++i)
        src[i] = static_cast<uint8_t>(10 * (i % sw) + 100);  // rows: 100 110 120 130
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        ImageUndistort u = withMap(sw, sh, 2, 1, {-0.3f, -1.2f}, {5.0f, 5.0f});
        uint8_t dst[2] = {0xAA, 0xAA};
        ASSERT_EQ(u.Remap(src.data(), sw, dst, 2, 1), 0);
        // Column 0 with a = -0.3 extrapolates: 100 * 1.3 + 110 * -0.3 + 0.5 = 97.5 -> 97.
        EXPECT_EQ(dst[0], 97) << levelName(level);
        EXPECT_EQ(dst[1], 0) << levelName(level);
    }
}

TEST(ImageUndistort, ExtrapolationLeftOfTheSourceIsClampedNotWrapped) {
    // Pins the byte conversion of extrapolated values: stored as a plain byte, 0 * 1.9 + 255 * -0.9 + 0.5
    // = -229 would wrap to 27 and 255 * 1.9 + 0.5 = 485 to 229, painting false edges along the border.
    const uint8_t dark_then_bright[4] = {0, 255, 0, 255};  // 2x2
    const uint8_t bright_then_dark[4] = {255, 0, 255, 0};
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        ImageUndistort u = withMap(2, 2, 9, 1, std::vector<float>(9, -0.9f), std::vector<float>(9, 0.0f));
        std::vector<uint8_t> dst(9, 0xAA);
        ASSERT_EQ(u.Remap(dark_then_bright, 2, dst.data(), 9, 1), 0);
        for (uint8_t v : dst) EXPECT_EQ(v, 0) << levelName(level);
        ASSERT_EQ(u.Remap(bright_then_dark, 2, dst.data(), 9, 1), 0);
        for (uint8_t v : dst) EXPECT_EQ(v, 255) << levelName(level);
    }
}

TEST(ImageUndistort, InterpolatesHalfwayWithRoundingByTruncation) {
    const uint8_t src[4] = {10, 20, 10, 20};  // 2x2
    const uint8_t src2[4] = {10, 11, 10, 11};
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        ImageUndistort u = withMap(2, 2, 1, 1, {0.5f}, {0.0f});
        uint8_t dst = 0;
        ASSERT_EQ(u.Remap(src, 2, &dst, 1, 1), 0);
        EXPECT_EQ(dst, 15) << levelName(level);
        ASSERT_EQ(u.Remap(src2, 2, &dst, 1, 1), 0);
        EXPECT_EQ(dst, 11) << levelName(level);  // 10.5 + 0.5 truncated
    }
}

TEST(ImageUndistort, UnsupportedChannelCountLeavesOutputUntouched) {
    ImageUndistort u(kIntrinsic, nullptr, kLens12, 12, 8, 8, 8, 8);
    std::vector<uint8_t> src(8 * 8 * 5, 1), dst(8 * 8 * 5, 0xAA);
    EXPECT_EQ(u.Compute(src.data(), 40, dst.data(), 40, 5), -1);
    EXPECT_EQ(u.Compute(src.data(), 40, dst.data(), 40, 0), -1);
    for (uint8_t b : dst) ASSERT_EQ(b, 0xAA);
}

TEST(ImageUndistort, FewerCoefficientsMeanZeroHigherTerms) {
    // 5 given coefficients act like 12 with the rest 0... except that the 8-coefficient rule reads k3
    // only from 8 or more values: with 4 values k3 is 0 as well.
    const float four[4] = {-0.2f, 0.05f, 0.001f, 0.002f};
    const float eight[8] = {-0.2f, 0.05f, 0.001f, 0.002f, 0, 0, 0, 0};
    const float twelve[12] = {-0.2f, 0.05f, 0.001f, 0.002f, 0, 0, 0, 0, 0, 0, 0, 0};
    ImageUndistort a(kIntrinsic, nullptr, four, 4, 30, 20, 30, 20);
    ImageUndistort b(kIntrinsic, nullptr, eight, 8, 30, 20, 30, 20);
    ImageUndistort c(kIntrinsic, nullptr, twelve, 12, 30, 20, 30, 20);
    ASSERT_EQ(a.CreateUndistortMap(), 0);
    ASSERT_EQ(b.CreateUndistortMap(), 0);
    ASSERT_EQ(c.CreateUndistortMap(), 0);
    EXPECT_EQ(a.map_x, c.map_x);
    EXPECT_EQ(b.map_y, c.map_y);
    const float three[3] = {0.1f, 0.1f, 0.1f};
    ImageUndistort d(kIntrinsic, nullptr, three, 3, 30, 20, 30, 20);
    EXPECT_EQ(d.CreateUndistortMap(), -1);
}

struct MapCase {
    const char* name;
    float intrinsic[9];
    float new_intrinsic[9];
    std::vector<float> coefficients;
    int width, height;
};

std::vector<MapCase> mapCases() {
    std::vector<MapCase> cases;
    const std::vector<float> lens12(kLens12, kLens12 + 12);
    cases.push_back({"rational+prism",
                     {500, 0, 320.5f, 0, 505, 240.25f, 0, 0, 1},
                     {450, 0, 300, 0, 455, 230, 0, 0, 1},
                     lens12,
                     64,
                     48});
    cases.push_back({"polynomial5",
                     {700, 0, 641, 0, 700, 479, 0, 0, 1},
                     {600, 0, 640, 0, 600, 480, 0, 0, 1},
                     {-0.3f, 0.12f, 0.001f, -0.001f, -0.02f},
                     131,
                     9});
    cases.push_back({"four",
                     {300, 0, 50, 0, 310, 40, 0, 0, 1},
                     {300, 0, 50, 0, 310, 40, 0, 0, 1},
                     {0.1f, -0.05f, 0, 0},
                     13,
                     7});
    cases.push_back({"skewed-new",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {480, 3.5f, 310, 0.2f, 470, 250, 0, 0, 1},
                     lens12,
                     33,
                     6});
    // A projective new matrix: W = N21 * v + N22 + N20 * u crosses zero inside the image, giving infinite
    // and NaN rays that must come out identical on every path.
    cases.push_back({"projective",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {500, 0, 16, 0, 500, 8, 0.05f, -0.06f, 1},
                     lens12,
                     41,
                     21});
    cases.push_back({"projective-poly",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {500, 0, 16, 0, 500, 8, 0.05f, -0.06f, 1},
                     {0.2f, 0.1f, 0.01f, 0.02f, 0.3f},
                     41,
                     21});
    // Huge coefficients overflow r2 terms to infinity in some pixels.
    cases.push_back({"overflow",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {1e-30f, 0, 5, 0, 1e-30f, 5, 0, 0, 1},
                     {1e30f, -1e30f, 1e20f, 1e20f, 3e38f},
                     11,
                     5});
    // The inverse of this matrix is exact: W = 0.5 * u - 2 reaches 0 exactly at u = 4, where rays become
    // infinite or NaN and the polynomial model's denominator (1 for finite rays) turns NaN.
    // With every other coefficient positive the infinite ray keeps infinite terms (no 0 * inf), so the
    // NaN of the denominator is what decides the result.
    cases.push_back({"zero-ray-poly",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {1, 0, 0, 0, 1, 0, 0.25f, 0, -0.5f},
                     {0.2f, 0.1f, 0.01f, 0.02f, 0.3f, 0, 0, 0, 0.001f, 0.002f, 0.003f, 0.004f},
                     13,
                     6});
    cases.push_back({"zero-ray-rational",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {1, 0, 0, 0, 1, 0, 0.25f, 0, -0.5f},
                     lens12,
                     13,
                     6});
    // W changes from row to row only (its inverse has the exact last row 0, 0.5, 1).
    cases.push_back({"row-projective",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {1, 0, 0, 0, 1, 0, 0, -0.5f, 1},
                     lens12,
                     11,
                     7});
    // Denormal focal lengths: the inverse overflows float to infinities.
    cases.push_back({"infinite-inverse",
                     {500, 0, 320, 0, 500, 240, 0, 0, 1},
                     {1e-39f, 0, 5, 0, 1e-39f, 5, 0, 0, 1},
                     {0.2f, 0.1f, 0.01f, 0.02f},
                     9,
                     5});
    cases.push_back(
        {"singular-new", {500, 0, 320, 0, 500, 240, 0, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0}, lens12, 9, 5});
    cases.push_back(
        {"one-pixel", {500, 0, 0, 0, 500, 0, 0, 0, 1}, {500, 0, 0, 0, 500, 0, 0, 0, 1}, lens12, 1, 1});
    cases.push_back(
        {"tall", {500, 0, 2, 0, 500, 30, 0, 0, 1}, {500, 0, 2, 0, 500, 30, 0, 0, 1}, lens12, 5, 67});
    return cases;
}

TEST(ImageUndistort, MapMatchesReferenceBitForBit) {
    for (const MapCase& c : mapCases()) {
        reference::UndistortSetup setup;
        std::copy(c.intrinsic, c.intrinsic + 9, setup.intrinsic);
        std::copy(c.new_intrinsic, c.new_intrinsic + 9, setup.new_intrinsic);
        setup.coefficients = c.coefficients;
        setup.dst_width = c.width;
        setup.dst_height = c.height;
        std::vector<float> expected_x, expected_y;
        reference::undistortMap(setup, expected_x, expected_y);
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            ImageUndistort u(c.intrinsic, c.new_intrinsic, c.coefficients.data(),
                             static_cast<int>(c.coefficients.size()), c.width, c.height, c.width, c.height);
            ASSERT_EQ(u.CreateUndistortMap(), 0) << c.name;
            ASSERT_EQ(u.map_x.size(), expected_x.size());
            EXPECT_EQ(firstBitDifference(u.map_x.data(), expected_x.data(), expected_x.size()), -1)
                << c.name << " " << levelName(level);
            EXPECT_EQ(firstBitDifference(u.map_y.data(), expected_y.data(), expected_y.size()), -1)
                << c.name << " " << levelName(level);
        }
    }
}

TEST(ImageUndistort, RandomCalibrationsMatchReferenceBitForBit) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> focal(200, 1500), centre(0, 1000), small(-0.5f, 0.5f);
    std::uniform_int_distribution<int> size(1, 70), count_pick(0, 2);
    for (int trial = 0; trial < 40; ++trial) {
        reference::UndistortSetup s;
        const float in[9] = {focal(rng), 0, centre(rng), 0, focal(rng), centre(rng), 0, 0, 1};
        std::copy(in, in + 9, s.intrinsic);
        const float nw[9] = {focal(rng),
                             small(rng),
                             centre(rng),
                             small(rng),
                             focal(rng),
                             centre(rng),
                             trial % 3 == 0 ? small(rng) / 100 : 0.0f,
                             trial % 3 == 0 ? small(rng) / 100 : 0.0f,
                             1};
        std::copy(nw, nw + 9, s.new_intrinsic);
        const int counts[3] = {4, 8, 12};
        s.coefficients.resize(counts[count_pick(rng)]);
        for (float& k : s.coefficients) k = small(rng);
        if (trial % 4 == 1 && s.coefficients.size() >= 8)
            s.coefficients[5] = s.coefficients[6] = s.coefficients[7] = 0;
        s.dst_width = size(rng);
        s.dst_height = size(rng);
        std::vector<float> expected_x, expected_y;
        reference::undistortMap(s, expected_x, expected_y);
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            ImageUndistort u(s.intrinsic, s.new_intrinsic, s.coefficients.data(),
                             static_cast<int>(s.coefficients.size()), 8, 8, s.dst_width, s.dst_height);
            ASSERT_EQ(u.CreateUndistortMap(), 0);
            ASSERT_EQ(firstBitDifference(u.map_x.data(), expected_x.data(), expected_x.size()), -1)
                << "trial " << trial << " " << levelName(level);
            ASSERT_EQ(firstBitDifference(u.map_y.data(), expected_y.data(), expected_y.size()), -1)
                << "trial " << trial << " " << levelName(level);
        }
    }
}

// Map positions chosen to hit every boundary of the resampling: exact integers, the last valid cell,
// just outside, left of zero, NaN, infinities and values beyond an int.
std::vector<float> randomPositions(std::mt19937& rng, size_t count, int limit) {
    std::uniform_real_distribution<float> inside(-1.5f, limit + 0.5f), unit(0, 1);
    const float specials[] = {kNan,
                              kInf,
                              -kInf,
                              3e9f,
                              -3e9f,
                              2147483520.0f,
                              2147483648.0f,
                              -0.999f,
                              -1.0f,
                              -0.0f,
                              0.0f,
                              static_cast<float>(limit - 1),
                              static_cast<float>(limit - 2) + 0.999f,
                              static_cast<float>(limit - 2),
                              std::nextafter(static_cast<float>(limit - 1), 0.0f)};
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
    const int sizes[][4] = {{64, 48, 64, 48}, {17, 5, 29, 3}, {2, 2, 9, 9},
                            {1, 9, 12, 4},    {9, 1, 12, 4},  {3, 3, 33, 2}};
    for (const auto& sz : sizes) {
        const int sw = sz[0], sh = sz[1], dw = sz[2], dh = sz[3];
        for (int channels = 1; channels <= 4; ++channels) {
            for (int padding : {0, 3}) {
                const int src_stride = sw * channels + padding, dst_stride = dw * channels + padding;
                const std::vector<uint8_t> src = randomImage(rng, static_cast<size_t>(src_stride) * sh);
                std::vector<float> mx = randomPositions(rng, static_cast<size_t>(dw) * dh, sw);
                std::vector<float> my = randomPositions(rng, static_cast<size_t>(dw) * dh, sh);
                std::vector<uint8_t> expected(static_cast<size_t>(dst_stride) * dh, 0x5A);
                reference::remap(mx, my, dw, dh, src.data(), sw, sh, src_stride, expected.data(), dst_stride,
                                 channels);
                for (SimdLevel level : availableLevels()) {
                    ScopedSimdLevel scope(level);
                    ImageUndistort u = withMap(sw, sh, dw, dh, mx, my);
                    std::vector<uint8_t> dst(expected.size(), 0x5A);
                    ASSERT_EQ(u.Remap(src.data(), src_stride, dst.data(), dst_stride, channels), 0);
                    EXPECT_EQ(firstDifference(dst.data(), expected.data(), dst.size()), -1)
                        << levelName(level) << " src " << sw << "x" << sh << " dst " << dw << "x" << dh
                        << " channels " << channels << " padding " << padding;
                }
            }
        }
    }
}

TEST(ImageUndistort, ComputeOnRealLensMatchesReference) {
    std::mt19937 rng(8);
    const int width = 160, height = 120;
    const float intrinsic[9] = {125, 0, 80.5f, 0, 126, 60.25f, 0, 0, 1};
    for (int channels : {1, 3}) {
        const std::vector<uint8_t> src = randomImage(rng, static_cast<size_t>(width) * height * channels);
        reference::UndistortSetup s;
        std::copy(intrinsic, intrinsic + 9, s.intrinsic);
        std::copy(intrinsic, intrinsic + 9, s.new_intrinsic);
        s.coefficients.assign(kLens12, kLens12 + 12);
        s.dst_width = width;
        s.dst_height = height;
        std::vector<float> mx, my;
        reference::undistortMap(s, mx, my);
        std::vector<uint8_t> expected(src.size());
        reference::remap(mx, my, width, height, src.data(), width, height, width * channels, expected.data(),
                         width * channels, channels);
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            ImageUndistort u(intrinsic, nullptr, kLens12, 12, width, height, width, height);
            std::vector<uint8_t> dst(src.size());
            ASSERT_EQ(u.Compute(src.data(), width * channels, dst.data(), width * channels, channels), 0);
            EXPECT_EQ(firstDifference(dst.data(), expected.data(), dst.size()), -1) << levelName(level);
        }
    }
}

TEST(ImageUndistort, ReadsNothingPastAnExactlySizedSource) {
    // Every position sits in the last cell that fits, so the bottom-right samples are the last bytes of
    // the source; a guard page follows them.
    for (int channels = 1; channels <= 4; ++channels) {
        for (int sw : {2, 3, 9, 40}) {
            const int sh = 3;
            GuardedBuffer src(static_cast<size_t>(sw) * sh * channels);
            ASSERT_TRUE(src.ok());
            for (size_t i = 0; i < src.size(); ++i) src.data()[i] = static_cast<uint8_t>(i * 7);
            const int dw = 19;
            std::vector<float> mx(dw), my(dw, static_cast<float>(sh - 2) + 0.75f);
            for (int i = 0; i < dw; ++i) mx[i] = static_cast<float>(sw - 2) + (i % 4) * 0.25f;
            GuardedBuffer dst(static_cast<size_t>(dw) * channels);
            ASSERT_TRUE(dst.ok());
            const std::vector<uint8_t> copy(src.data(), src.data() + src.size());
            std::vector<uint8_t> expected(dst.size());
            reference::remap(mx, my, dw, 1, copy.data(), sw, sh, sw * channels, expected.data(),
                             dw * channels, channels);
            for (SimdLevel level : availableLevels()) {
                ScopedSimdLevel scope(level);
                ImageUndistort u = withMap(sw, sh, dw, 1, mx, my);
                ASSERT_EQ(u.Remap(src.data(), sw * channels, dst.data(), dw * channels, channels), 0);
                EXPECT_EQ(firstDifference(dst.data(), expected.data(), expected.size()), -1)
                    << levelName(level) << " channels " << channels << " width " << sw;
            }
        }
    }
}

TEST(ImageUndistort, NonFiniteAndHugeMapPositionsGiveZero) {
    const int sw = 8, sh = 8;
    std::vector<uint8_t> src(sw * sh, 200);
    const std::vector<float> bad = {kNan, kInf, -kInf, 1e10f, -1e10f, 2147483648.0f, 4e9f, -2147483904.0f};
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        for (bool bad_x : {true, false}) {
            std::vector<float> good(bad.size(), 3.5f);
            ImageUndistort u =
                withMap(sw, sh, static_cast<int>(bad.size()), 1, bad_x ? bad : good, bad_x ? good : bad);
            std::vector<uint8_t> dst(bad.size(), 0xAA);
            ASSERT_EQ(u.Remap(src.data(), sw, dst.data(), static_cast<int>(bad.size()), 1), 0);
            for (uint8_t b : dst) EXPECT_EQ(b, 0) << levelName(level);
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

TEST(UndistortMapCache, ReturnsTheSameMapForTheSameParameters) {
    UndistortMapCache cache(4, 1u << 20);
    auto first = cache.acquire(kIntrinsic, nullptr, kLens12, 32, 24, 32, 24);
    auto second = cache.acquire(kIntrinsic, kIntrinsic, kLens12, 32, 24, 32, 24);  // null means the intrinsic
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(cache.entryCount(), 1u);
    ImageUndistort fresh(kIntrinsic, nullptr, kLens12, 12, 32, 24, 32, 24);
    ASSERT_EQ(fresh.CreateUndistortMap(), 0);
    EXPECT_EQ(first->map_x, fresh.map_x);
    EXPECT_EQ(first->map_y, fresh.map_y);
}

TEST(UndistortMapCache, DistinguishesEveryParameterBit) {
    UndistortMapCache cache(16, 1u << 24);
    auto base = cache.acquire(kIntrinsic, nullptr, kLens12, 32, 24, 32, 24);
    float lens[12];
    std::copy(kLens12, kLens12 + 12, lens);
    lens[11] = std::nextafter(lens[11], 1.0f);
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, lens, 32, 24, 32, 24).get(), base.get());
    float zero_lens[12] = {};
    float negative_zero_lens[12] = {};
    negative_zero_lens[4] = -0.0f;
    auto plus = cache.acquire(kIntrinsic, nullptr, zero_lens, 32, 24, 32, 24);
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, negative_zero_lens, 32, 24, 32, 24).get(), plus.get());
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, kLens12, 32, 24, 33, 24).get(), base.get());
    EXPECT_NE(cache.acquire(kIntrinsic, nullptr, kLens12, 32, 25, 32, 24).get(), base.get());
    float other_new[9];
    std::copy(kIntrinsic, kIntrinsic + 9, other_new);
    other_new[0] += 1;
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

TEST(UndistortMapCache, RecycledStorageGivesTheSameMapAsAFreshComputation) {
    UndistortMapCache cache(1, 1u << 24);
    float lens[12];
    std::copy(kLens12, kLens12 + 12, lens);
    cache.acquire(kIntrinsic, nullptr, lens, 40, 30, 40, 30);
    lens[0] = 0.3f;
    cache.acquire(kIntrinsic, nullptr, lens, 40, 30, 40, 30);  // evicts the first map into the spare
    lens[0] = -0.1f;
    for (int dst_width : {40, 20, 60}) {  // same, smaller and larger than the recycled storage
        auto recycled = cache.acquire(kIntrinsic, nullptr, lens, 40, 30, dst_width, 30);
        ImageUndistort fresh(kIntrinsic, nullptr, lens, 12, 40, 30, dst_width, 30);
        ASSERT_EQ(fresh.CreateUndistortMap(), 0);
        ASSERT_TRUE(recycled);
        EXPECT_EQ(recycled->map_x, fresh.map_x) << dst_width;
        EXPECT_EQ(recycled->map_y, fresh.map_y) << dst_width;
    }
}

TEST(UndistortMapCache, NeverRecyclesAMapStillInUse) {
    UndistortMapCache cache(1, 1u << 24);
    float lens[12];
    std::copy(kLens12, kLens12 + 12, lens);
    std::shared_ptr<const ImageUndistort> held = cache.acquire(kIntrinsic, nullptr, lens, 40, 30, 40, 30);
    const MapVector copy_x = held->map_x;
    for (int i = 0; i < 4; ++i) {
        lens[0] += 0.05f;
        cache.acquire(kIntrinsic, nullptr, lens, 40, 30, 40, 30);
    }
    EXPECT_EQ(held->map_x, copy_x);
}

TEST(UndistortMapCache, RefusesMapsThatCannotBeBuilt) {
    UndistortMapCache cache(4, 1u << 20);
    EXPECT_FALSE(cache.acquire(kIntrinsic, nullptr, kLens12, 8, 8, 70000, 70000));
    EXPECT_FALSE(cache.acquire(kIntrinsic, nullptr, kLens12, 8, 8, 0, 5));
    EXPECT_EQ(cache.entryCount(), 0u);
}

}  // namespace
}  // namespace orvane
