#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "imgproc/image_align.h"
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
using testing_support::ScopedSimdLevel;

ImageAligner identityAligner(int image_width = 640, int image_height = 480) {
    ImageAligner a;
    const float intrinsic[9] = {500, 0, 320, 0, 500, 240, 0, 0, 1};
    std::copy(intrinsic, intrinsic + 9, a.color_intrinsic);
    a.intrinsic_width = 640;
    a.intrinsic_height = 480;
    a.image_width = image_width;
    a.image_height = image_height;
    return a;
}

reference::Aligner referenceOf(const ImageAligner& a) {
    reference::Aligner r{{}, {}, {}, a.intrinsic_width, a.intrinsic_height, a.image_width, a.image_height};
    std::copy(a.rotation, a.rotation + 9, r.rotation);
    std::copy(a.translation, a.translation + 3, r.translation);
    std::copy(a.color_intrinsic, a.color_intrinsic + 9, r.color_intrinsic);
    return r;
}

uint16_t at(const std::vector<uint16_t>& image, int width, int column, int row) {
    return image[static_cast<size_t>(row) * width + column];
}

// Points on the optical axis at the given depths, leading a set of 40 so that the vector paths handle
// them; the rest are invalid.
std::vector<float> onAxis(std::initializer_list<float> depths) {
    std::vector<float> points(3 * 40, kNan);
    size_t i = 0;
    for (float d : depths) {
        points[3 * i] = points[3 * i + 1] = 0;
        points[3 * i + 2] = d;
        ++i;
    }
    return points;
}

// Hand-made clouds on the identity calibration, each with the cells it must fill and the number of
// filled cells (-1: not checked).
TEST(ImageAligner, HandMadeCloudsFillTheExpectedCells) {
    struct Case {
        const char* what;
        std::vector<float> points;
        int count;
        std::vector<int> probes;  // column, row, value
        long filled;
    };
    // clang-format off
    const Case cases[] = {
        {"centre spreads to its 3x3", {0, 0, 1000}, 1,
         {319, 239, 1000, 320, 239, 1000, 321, 239, 1000, 319, 240, 1000, 320, 240, 1000,
          321, 240, 1000, 319, 241, 1000, 320, 241, 1000, 321, 241, 1000}, 9},
        {"nearest of two wins, far first", {0, 0, 1200, 0, 0, 900}, 2, {320, 240, 900}, -1},
        {"nearest of two wins, near first", {0, 0, 900, 0, 0, 1200}, 2, {320, 240, 900}, -1},
        // 700 lands in column 320, 900 in column 321 (u = 2.7 * 500 / 900 + 320 = 321.5).
        {"nearer spreads over a farther neighbour", {0, 0, 700, 2.7f, 0, 900}, 2,
         {319, 240, 700, 320, 240, 700, 321, 240, 700, 322, 240, 900, 323, 240, 0,
          321, 241, 700, 321, 242, 0}, -1},
        // A landing depth below 1 truncates to 0, which is "smaller" than any held value: the cell is
        // emptied, and the next point in input order fills it again.
        {"depth below 1 empties its cell", onAxis({1000, 0.5f}), 40, {320, 240, 0}, -1},
        {"the next point refills it", onAxis({1000, 0.5f, 1200}), 40, {320, 240, 1200}, -1},
        {"a zero first is replaced", onAxis({0.5f, 1300, 1400}), 40, {320, 240, 1300}, -1},
        {"a zero first is replaced, plain tail path", onAxis({0.5f, 1300, 1400}), 2, {320, 240, 1300}, -1},
        // u = 500 * x / 1000 + 320 = -0.5 for x = -641: truncates into column 0 and spreads, but the
        // border column stays 0. At x = -642 (u = -1.0) it falls outside.
        {"just left of the image", {-641, 0, 1000}, 1, {0, 240, 0, 1, 240, 1000}, 3},
        {"outside the image", {-642, 0, 1000}, 1, {}, 0},
        // Points on the colour camera's own plane (q.z = 0) and behind it project to infinities, NaN or
        // mirrored huge coordinates; none may be converted to an int or land in the image.
        {"non-finite and huge positions",
         {1, 1, 0, 0, 0, 0, 1e30f, 0, 1, 0, -1e30f, 1, 5, 5, -1e-30f,
          kInf, 0, 1000, 0, -kInf, 1000, 0, 0, kNan, 0, 0, kInf, 0, 0, 1e20f}, 10, {}, 0},
    };
    // clang-format on
    ImageAligner a = identityAligner();
    for (const Case& c : cases) {
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            std::vector<uint16_t> out(640 * 480, 0xBEEF);
            ASSERT_EQ(a.DepthAlignToColor(c.points.data(), 0, c.count, out.data()), 0) << c.what;
            for (size_t i = 0; i + 2 < c.probes.size(); i += 3)
                EXPECT_EQ(at(out, 640, c.probes[i], c.probes[i + 1]), c.probes[i + 2])
                    << c.what << " at " << c.probes[i] << "," << c.probes[i + 1] << " " << levelName(level);
            if (c.filled >= 0) {
                EXPECT_EQ(std::count_if(out.begin(), out.end(), [](uint16_t v) { return v != 0; }), c.filled)
                    << c.what << " " << levelName(level);
            }
        }
    }
}

TEST(ImageAligner, ImagesWithoutInteriorOrPointsStayZero) {
    const float point[3] = {0, 0, 1000};
    for (auto [width, height, count] : {std::array<int, 3>{1, 5, 1}, {2, 5, 1}, {16, 16, 0}}) {
        ImageAligner a = identityAligner(width, height);
        a.intrinsic_width = 1;
        std::vector<uint16_t> out(width * height, 7);
        ASSERT_EQ(a.DepthAlignToColor(count ? point : nullptr, 0, count, out.data()), 0);
        for (uint16_t v : out) EXPECT_EQ(v, 0) << width << "x" << height;
    }
}

// Random calibrations and point sets, including invalid points, points behind the colour camera,
// non-finite and huge coordinates and depths beyond 16 and 32 bits.
std::vector<float> randomPoints(std::mt19937& rng, int count, int extra) {
    std::uniform_real_distribution<float> lateral(-3000, 3000), depth(50, 9000), unit(0, 1);
    std::vector<float> points(static_cast<size_t>(count) * (3 + extra), 0.0f);
    const float specials[] = {kNan, kInf, -kInf, 3e9f, -3e9f, 1e30f, -0.0f, 0.0f, 65535.9f, 70000.0f, -5.0f};
    for (int i = 0; i < count; ++i) {
        float* p = &points[static_cast<size_t>(i) * (3 + extra)];
        p[0] = lateral(rng);
        p[1] = lateral(rng);
        p[2] = depth(rng);
        for (int e = 0; e < extra; ++e) p[3 + e] = lateral(rng);
        const float r = unit(rng);
        if (r < 0.15f)
            p[0] = kNan;
        else if (r < 0.25f)
            p[std::uniform_int_distribution<int>(0, 2)(rng)] =
                specials[std::uniform_int_distribution<int>(0, 10)(rng)];
        else if (r < 0.3f)
            p[2] = -p[2];  // behind the camera
    }
    return points;
}

// Also covers what no hand-made case repeats: all-invalid sets, extra floats between points, calibration
// scaled to another image size, and the position map.
TEST(ImageAligner, MatchesReferenceBitForBitOnRandomInput) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> angle(-0.3f, 0.3f), shift(-80, 80);
    const int cases[][4] = {{640, 480, 640, 480}, {640, 480, 1280, 960}, {97, 61, 64, 48}, {33, 3, 32, 3}};
    for (const auto& c : cases) {
        for (int extra : {0, 1, 4}) {
            ImageAligner a;
            const float ax = angle(rng), ay = angle(rng);
            // clang-format off
            const float rot[9] = {std::cos(ay), 0, std::sin(ay),
                                  std::sin(ax) * std::sin(ay), std::cos(ax), -std::sin(ax) * std::cos(ay),
                                  -std::cos(ax) * std::sin(ay), std::sin(ax), std::cos(ax) * std::cos(ay)};
            // clang-format on
            std::copy(rot, rot + 9, a.rotation);
            const float translation[3] = {shift(rng), shift(rng), shift(rng) / 10};  // drawn left to right
            std::copy(translation, translation + 3, a.translation);
            const float intrinsic[9] = {
                0.9f * c[0], 0, c[0] / 2.0f + 3.3f, 0, 0.9f * c[0], c[1] / 2.0f - 1.7f, 0, 0, 1};
            std::copy(intrinsic, intrinsic + 9, a.color_intrinsic);
            a.image_width = c[0];
            a.image_height = c[1];
            a.intrinsic_width = c[2];
            a.intrinsic_height = c[3];
            const int count = 5003;  // several blocks and a ragged tail
            const std::vector<float> source = randomPoints(rng, count, extra);
            std::vector<float> expected_map(2 * count);
            reference::createDepth2ColorMap(referenceOf(a), source.data(), extra, count, expected_map.data());
            std::vector<uint16_t> expected(static_cast<size_t>(c[0]) * c[1]);
            reference::depthAlignToColor(referenceOf(a), source.data(), extra, count, expected.data());
            // Points, map and image end at a guard page, so a kernel reading or writing past one faults.
            GuardedBuffer points(source.size() * sizeof(float)), map(expected_map.size() * sizeof(float)),
                out(expected.size() * sizeof(uint16_t));
            ASSERT_TRUE(points.ok() && map.ok() && out.ok());
            std::copy(source.begin(), source.end(), points.as<float>());
            for (SimdLevel level : availableLevels()) {
                ScopedSimdLevel scope(level);
                std::fill_n(map.as<float>(), expected_map.size(), -1.0f);
                ASSERT_EQ(a.CreateDepth2ColorMap(points.as<float>(), extra, count, map.as<float>()), 0);
                EXPECT_EQ(firstBitDifference(map.as<float>(), expected_map.data(), expected_map.size()), -1)
                    << levelName(level) << " extra " << extra;
                std::fill_n(out.as<uint16_t>(), expected.size(), 0xFFFF);
                ASSERT_EQ(a.DepthAlignToColor(points.as<float>(), extra, count, out.as<uint16_t>()), 0);
                EXPECT_EQ(firstDifference(out.as<uint16_t>(), expected.data(), expected.size()), -1)
                    << levelName(level) << " " << c[0] << "x" << c[1] << " extra " << extra;
            }
        }
    }
}

TEST(ImageAligner, RefusesSizesAndPointersItCannotServe) {
    ImageAligner a = identityAligner();
    const float point[3] = {0, 0, 1000};
    uint16_t guard[4] = {1, 2, 3, 4};
    EXPECT_EQ(a.DepthAlignToColor(point, 0, 1, nullptr), -1);
    EXPECT_EQ(a.DepthAlignToColor(nullptr, 0, 1, guard), -1);
    EXPECT_EQ(a.DepthAlignToColor(point, -1, 1, guard), -1);
    a.image_width = 70000;
    a.image_height = 70000;  // 4.9e9 pixels: beyond a 32-bit count
    EXPECT_EQ(a.DepthAlignToColor(point, 0, 1, guard), -1);
    a.image_width = 0;
    EXPECT_EQ(a.DepthAlignToColor(point, 0, 1, guard), -1);
    EXPECT_EQ(guard[0], 1);
    EXPECT_EQ(guard[3], 4);
    float map[2];
    EXPECT_EQ(a.CreateDepth2ColorMap(point, -3, 1, map), -1);
    EXPECT_EQ(a.CreateDepth2ColorMap(nullptr, 0, 1, map), -1);
}

}  // namespace
}  // namespace orvane
