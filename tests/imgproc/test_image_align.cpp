#include <gtest/gtest.h>

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
using testing_support::levelName;
using testing_support::ScopedSimdLevel;

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

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
    reference::Aligner r;
    std::copy(a.rotation, a.rotation + 9, r.rotation);
    std::copy(a.translation, a.translation + 3, r.translation);
    std::copy(a.color_intrinsic, a.color_intrinsic + 9, r.color_intrinsic);
    r.intrinsic_width = a.intrinsic_width;
    r.intrinsic_height = a.intrinsic_height;
    r.image_width = a.image_width;
    r.image_height = a.image_height;
    return r;
}

uint16_t at(const std::vector<uint16_t>& image, int width, int column, int row) {
    return image[static_cast<size_t>(row) * width + column];
}

TEST(ImageAligner, CentrePointLandsAtPrincipalPointAndSpreadsToNeighbours) {
    ImageAligner a = identityAligner();
    const float point[3] = {0, 0, 1000};
    std::vector<uint16_t> out(640 * 480, 0xBEEF);
    ASSERT_EQ(a.DepthAlignToColor(point, 0, 1, out.data()), 0);
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) EXPECT_EQ(at(out, 640, 320 + dx, 240 + dy), 1000);
    }
    size_t nonzero = 0;
    for (uint16_t v : out) nonzero += v != 0;
    EXPECT_EQ(nonzero, 9u);
}

TEST(ImageAligner, NearestOfTwoPointsInOneCellWinsInEitherOrder) {
    ImageAligner a = identityAligner();
    std::vector<uint16_t> out(640 * 480);
    const float far_first[6] = {0, 0, 1200, 0, 0, 900};
    ASSERT_EQ(a.DepthAlignToColor(far_first, 0, 2, out.data()), 0);
    EXPECT_EQ(at(out, 640, 320, 240), 900);
    const float near_first[6] = {0, 0, 900, 0, 0, 1200};
    ASSERT_EQ(a.DepthAlignToColor(near_first, 0, 2, out.data()), 0);
    EXPECT_EQ(at(out, 640, 320, 240), 900);
}

TEST(ImageAligner, NearerDepthSpreadsOverAFartherNeighbour) {
    ImageAligner a = identityAligner();
    std::vector<uint16_t> out(640 * 480);
    // 700 lands in column 320, 900 in column 321 (u = 2.7 * 500 / 900 + 320 = 321.5).
    const float points[6] = {0, 0, 700, 2.7f, 0, 900};
    ASSERT_EQ(a.DepthAlignToColor(points, 0, 2, out.data()), 0);
    EXPECT_EQ(at(out, 640, 319, 240), 700);
    EXPECT_EQ(at(out, 640, 320, 240), 700);
    EXPECT_EQ(at(out, 640, 321, 240), 700);  // its 3x3 holds 700 and 900
    EXPECT_EQ(at(out, 640, 322, 240), 900);  // only 900 within reach
    EXPECT_EQ(at(out, 640, 323, 240), 0);
    EXPECT_EQ(at(out, 640, 321, 241), 700);
    EXPECT_EQ(at(out, 640, 321, 242), 0);
}

TEST(ImageAligner, DepthTruncatingToZeroEmptiesItsCellInInputOrder) {
    // A landing depth below 1 truncates to 0, which is "smaller" than any held value: the cell is
    // emptied, and the next point in input order fills it again. The points lead a set of 40, so
    // that the vector paths handle them; the rest are invalid.
    ImageAligner a = identityAligner();
    std::vector<uint16_t> out(640 * 480);
    auto cloud = [](std::initializer_list<float> depths) {
        std::vector<float> points(3 * 40, kNan);
        size_t i = 0;
        for (float d : depths) {
            points[3 * i] = 0;
            points[3 * i + 1] = 0;
            points[3 * i + 2] = d;
            ++i;
        }
        return points;
    };
    const std::vector<float> emptied = cloud({1000, 0.5f});
    const std::vector<float> refilled = cloud({1000, 0.5f, 1200});
    const std::vector<float> zero_first = cloud({0.5f, 1300, 1400});
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        ASSERT_EQ(a.DepthAlignToColor(emptied.data(), 0, 40, out.data()), 0);
        EXPECT_EQ(at(out, 640, 320, 240), 0) << levelName(level);
        ASSERT_EQ(a.DepthAlignToColor(refilled.data(), 0, 40, out.data()), 0);
        EXPECT_EQ(at(out, 640, 320, 240), 1200) << levelName(level);
        ASSERT_EQ(a.DepthAlignToColor(zero_first.data(), 0, 40, out.data()), 0);
        EXPECT_EQ(at(out, 640, 320, 240), 1300) << levelName(level);
        ASSERT_EQ(a.DepthAlignToColor(zero_first.data(), 0, 2, out.data()), 0);  // the plain tail path
        EXPECT_EQ(at(out, 640, 320, 240), 1300) << levelName(level);
    }
}

TEST(ImageAligner, PositionJustLeftOfTheImageTruncatesIntoColumnZero) {
    ImageAligner a = identityAligner();
    std::vector<uint16_t> out(640 * 480);
    // u = 500 * x / 1000 + 320 = -0.5 for x = -641.
    const float inside[3] = {-641, 0, 1000};
    float map[2];
    a.CreateDepth2ColorMap(inside, 0, 1, map);
    ASSERT_EQ(map[0], -0.5f);
    ASSERT_EQ(a.DepthAlignToColor(inside, 0, 1, out.data()), 0);
    EXPECT_EQ(at(out, 640, 0, 240), 0);        // border column stays 0
    EXPECT_EQ(at(out, 640, 1, 240), 1000);     // but the value landed in column 0 and spread
    const float outside[3] = {-642, 0, 1000};  // u = -1.0
    a.CreateDepth2ColorMap(outside, 0, 1, map);
    ASSERT_EQ(map[0], -1.0f);
    ASSERT_EQ(a.DepthAlignToColor(outside, 0, 1, out.data()), 0);
    for (uint16_t v : out) ASSERT_EQ(v, 0);
}

TEST(ImageAligner, TinyImagesHaveNoInteriorAndStayZero) {
    for (int size : {1, 2}) {
        ImageAligner a = identityAligner(size, 5);
        a.intrinsic_width = 1;
        const float point[3] = {0, 0, 1000};
        std::vector<uint16_t> out(size * 5, 7);
        ASSERT_EQ(a.DepthAlignToColor(point, 0, 1, out.data()), 0);
        for (uint16_t v : out) EXPECT_EQ(v, 0);
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
            a.translation[0] = shift(rng);
            a.translation[1] = shift(rng);
            a.translation[2] = shift(rng) / 10;
            const float intrinsic[9] = {
                0.9f * c[0], 0, c[0] / 2.0f + 3.3f, 0, 0.9f * c[0], c[1] / 2.0f - 1.7f, 0, 0, 1};
            std::copy(intrinsic, intrinsic + 9, a.color_intrinsic);
            a.image_width = c[0];
            a.image_height = c[1];
            a.intrinsic_width = c[2];
            a.intrinsic_height = c[3];
            const int count = 5003;  // several blocks and a ragged tail
            const std::vector<float> points = randomPoints(rng, count, extra);

            std::vector<float> expected_map(2 * count);
            reference::createDepth2ColorMap(referenceOf(a), points.data(), extra, count, expected_map.data());
            std::vector<uint16_t> expected(static_cast<size_t>(c[0]) * c[1]);
            reference::depthAlignToColor(referenceOf(a), points.data(), extra, count, expected.data());
            for (SimdLevel level : availableLevels()) {
                ScopedSimdLevel scope(level);
                std::vector<float> map(2 * count);
                ASSERT_EQ(a.CreateDepth2ColorMap(points.data(), extra, count, map.data()), 0);
                EXPECT_EQ(firstBitDifference(map.data(), expected_map.data(), map.size()), -1)
                    << levelName(level) << " extra " << extra;
                std::vector<uint16_t> out(expected.size(), 0xFFFF);
                ASSERT_EQ(a.DepthAlignToColor(points.data(), extra, count, out.data()), 0);
                EXPECT_EQ(firstDifference(out.data(), expected.data(), out.size()), -1)
                    << levelName(level) << " " << c[0] << "x" << c[1] << " extra " << extra;
            }
        }
    }
}

TEST(ImageAligner, DenseCloudMatchesReference) {
    // A plane seen by a slightly rotated colour camera: most cells get several candidates.
    std::mt19937 rng(5);
    ImageAligner a = identityAligner(320, 240);
    a.rotation[1] = 0.01f;
    a.rotation[3] = -0.01f;
    a.translation[0] = 25;
    std::vector<float> points;
    for (int v = 0; v < 480; ++v) {
        for (int u = 0; u < 640; ++u) {
            const float d = 1500 + 0.5f * u + std::uniform_real_distribution<float>(-3, 3)(rng);
            points.push_back((u - 320) * d / 500);
            points.push_back((v - 240) * d / 500);
            points.push_back((u + v) % 37 == 0 ? kNan : d);
        }
    }
    const int count = static_cast<int>(points.size() / 3);
    std::vector<uint16_t> expected(320 * 240);
    reference::depthAlignToColor(referenceOf(a), points.data(), 0, count, expected.data());
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        std::vector<uint16_t> out(expected.size());
        ASSERT_EQ(a.DepthAlignToColor(points.data(), 0, count, out.data()), 0);
        EXPECT_EQ(firstDifference(out.data(), expected.data(), out.size()), -1) << levelName(level);
    }
}

TEST(ImageAligner, NonFiniteAndHugePositionsAreDroppedWithoutConversion) {
    // Points on the colour camera's own plane (q.z = 0) and behind it project to infinities, NaN or
    // mirrored huge coordinates; none may be converted to an int or land in the image.
    ImageAligner a = identityAligner();
    const float points[] = {1,    1, 0,    0, 0,     0,    1e30f, 0, 1,    0, -1e30f, 1,    5, 5, -1e-30f,
                            kInf, 0, 1000, 0, -kInf, 1000, 0,     0, kNan, 0, 0,      kInf, 0, 0, 1e20f};
    const int count = sizeof(points) / sizeof(float) / 3;
    std::vector<uint16_t> out(640 * 480, 3);
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        ASSERT_EQ(a.DepthAlignToColor(points, 0, count, out.data()), 0);
        for (uint16_t v : out) ASSERT_EQ(v, 0) << levelName(level);
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

TEST(ImageAligner, ZeroPointsGiveAnEmptyImage) {
    ImageAligner a = identityAligner(16, 16);
    a.intrinsic_width = 16;
    a.intrinsic_height = 16;
    std::vector<uint16_t> out(256, 9);
    ASSERT_EQ(a.DepthAlignToColor(nullptr, 0, 0, out.data()), 0);
    for (uint16_t v : out) EXPECT_EQ(v, 0);
}

TEST(ImageAligner, StaysWithinPointAndImageBuffers) {
    ImageAligner a = identityAligner(37, 11);
    a.intrinsic_width = 37;
    a.intrinsic_height = 11;
    a.color_intrinsic[2] = 18;
    a.color_intrinsic[5] = 5;
    a.color_intrinsic[0] = a.color_intrinsic[4] = 30;
    for (int extra : {0, 2}) {
        const int count = 21;
        std::mt19937 rng(extra);
        const std::vector<float> source = randomPoints(rng, count, extra);
        GuardedBuffer points(source.size() * sizeof(float));
        GuardedBuffer out(37 * 11 * sizeof(uint16_t));
        ASSERT_TRUE(points.ok() && out.ok());
        std::copy(source.begin(), source.end(), points.as<float>());
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            EXPECT_EQ(a.DepthAlignToColor(points.as<float>(), extra, count, out.as<uint16_t>()), 0);
        }
    }
}

}  // namespace
}  // namespace orvane
