#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "imgproc/depth_world_mapper.h"
#include "imgproc_test_support.h"
#include "reference_impl.h"

namespace orvane {
namespace {

using testing_support::availableLevels;
using testing_support::bitsOf;
using testing_support::firstBitDifference;
using testing_support::GuardedBuffer;
using testing_support::levelName;
using testing_support::ScopedSimdLevel;

KvDepthCameraIntrinsic makeIntrinsic(float fx, float fy, float cx, float cy) {
    KvDepthCameraIntrinsic in{{fx, 0, cx, 0, fy, cy, 0, 0, 1, 0, 0}};
    in.updateReciprocals();
    return in;
}

TEST(DepthWorldMapper, ConvertsTheDocumentedPoints) {
    const KvDepthCameraIntrinsic in = makeIntrinsic(500, 500, 320, 240);
    KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
    const KvDepthWorldMapper& base = mapper;

    KV_VECT_3F w = base.getWorld(KV_VECT_3F{320, 240, 1000});
    EXPECT_EQ(w.x, 0.0f);
    EXPECT_EQ(w.y, 0.0f);
    EXPECT_EQ(w.z, 1000.0f);
    w = base.getWorld(KV_VECT_3F{420, 240, 1000});
    EXPECT_FLOAT_EQ(w.x, 200.0f);  // 1/500 is not exact in float
    EXPECT_EQ(w.y, 0.0f);
    EXPECT_EQ(w.z, 1000.0f);
    const KV_VECT_3F d = base.getDepth(KV_VECT_3F{200, 0, 1000});
    EXPECT_FLOAT_EQ(d.x, 420.0f);
    EXPECT_EQ(d.y, 240.0f);
    EXPECT_EQ(d.z, 1000.0f);
    const KV_VECT_3F at_zero = base.getDepth(KV_VECT_3F{10, 0, 0});  // float rules: 10 / 0 and 0 / 0
    EXPECT_TRUE(std::isinf(at_zero.x));
    EXPECT_TRUE(std::isnan(at_zero.y));
}

TEST(DepthWorldMapper, GetDepthThenGetWorldReturnsTheStartingPoint) {
    const KvDepthCameraIntrinsic in = makeIntrinsic(575.5f, 571.25f, 319.7f, 243.1f);
    KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-2000, 2000), depth(100, 8000);
    for (int i = 0; i < 1000; ++i) {
        const KV_VECT_3F world{coord(rng), coord(rng), depth(rng)};
        const KV_VECT_3F back = mapper.getWorld(mapper.getDepth(world));
        EXPECT_NEAR(back.x, world.x, 1e-3f * std::max(1.0f, std::fabs(world.x)));
        EXPECT_NEAR(back.y, world.y, 1e-3f * std::max(1.0f, std::fabs(world.y)));
        EXPECT_EQ(back.z, world.z);
    }
}

TEST(DepthWorldMapper, FollowsChangesOfTheIntrinsicItPointsTo) {
    KvDepthCameraIntrinsic in = makeIntrinsic(500, 500, 320, 240);
    KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
    EXPECT_EQ(mapper.getWorld(KV_VECT_3F{384, 240, 1000}).x, 128.0f);
    in = makeIntrinsic(250, 256, 160, 120);  // half resolution
    EXPECT_EQ(mapper.getWorld(KV_VECT_3F{224, 120, 1000}).x, 256.0f);
    EXPECT_EQ(mapper.getWorld(KV_VECT_3F{224, 376, 1000}).y, 1000.0f);
}

TEST(DepthWorldMapper, DepthImageMatchesReferenceBitForBit) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> focal(100, 2000), centre(-50, 1400);
    std::uniform_int_distribution<int> value(0, 65535), coin(0, 9);
    const int sizes[][2] = {{1, 1}, {7, 3}, {8, 2}, {9, 5}, {31, 4}, {64, 3}, {641, 7}};
    for (const auto& size : sizes) {
        const int width = size[0], height = size[1];
        KvDepthCameraIntrinsic in = makeIntrinsic(focal(rng), focal(rng), centre(rng), centre(rng));
        KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
        std::vector<uint16_t> depth(static_cast<size_t>(width) * height);
        for (auto& d : depth) d = coin(rng) < 2 ? 0 : static_cast<uint16_t>(value(rng));
        depth.back() = 65535;
        depth.front() = 0;
        std::vector<KV_VECT_3F> expected(depth.size());
        reference::depthImage2WorldImage(in.data, depth.data(), width, height, expected.data());
        // Both buffers end at a guard page, so a kernel reading or writing past either one faults.
        GuardedBuffer guarded_depth(depth.size() * sizeof(uint16_t)),
            world(depth.size() * sizeof(KV_VECT_3F));
        ASSERT_TRUE(guarded_depth.ok() && world.ok());
        std::copy(depth.begin(), depth.end(), guarded_depth.as<uint16_t>());
        for (SimdLevel level : availableLevels()) {
            ScopedSimdLevel scope(level);
            std::fill_n(world.as<float>(), 3 * depth.size(), -1.0f);
            mapper.depthImage2WorldImage(guarded_depth.as<uint16_t>(), width, height, world.as<KV_VECT_3F>());
            EXPECT_EQ(firstBitDifference(world.as<float>(), &expected[0].x, 3 * depth.size()), -1)
                << levelName(level) << " " << width << "x" << height;
            // Zero depth gives the invalid point: a quiet NaN in all three coordinates.
            for (int k = 0; k < 3; ++k) EXPECT_EQ(bitsOf(world.as<float>()[k]), kInvalidPointBits);
        }
    }
}

TEST(DepthWorldMapper, DepthImageWithoutPixelsWritesNothing) {
    const KvDepthCameraIntrinsic in = makeIntrinsic(500, 500, 320, 240);
    KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
    std::vector<uint16_t> depth(16, 1000);
    std::vector<KV_VECT_3F> world(16, KV_VECT_3F{7, 7, 7});
    mapper.depthImage2WorldImage(depth.data(), 0, 4, world.data());
    mapper.depthImage2WorldImage(depth.data(), 4, 0, world.data());
    mapper.depthImage2WorldImage(depth.data(), -4, -4, world.data());
    for (const KV_VECT_3F& p : world) EXPECT_EQ(p.x, 7.0f);
}

}  // namespace
}  // namespace orvane
