// Scene geometry and ground truth on their own: ray hits, distances and the catalogue of named scenes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <sstream>
#include <vector>

#include "sim/scene/geometry.h"
#include "sim/scene/scene_catalog.h"
#include "sim/scene/synthetic_scene.h"

namespace orvane {
namespace kvsim {
namespace {

TEST(SceneGeometry, RaysFindTheNearestFaceOfEachShapeWithItsNormal) {
    Material m;
    double t = 0;
    Vec3 n;

    Shape wall = Shape::plane("wall", Vec3{0, 0, 2000}, Vec3{0, 0, -5}, m);
    ASSERT_TRUE(wall.intersect(Vec3{}, Vec3{0.5, 0, 1}, 1e-9, t, n));
    EXPECT_DOUBLE_EQ(t, 2000);
    EXPECT_DOUBLE_EQ(n.z, -1);  // normalised
    EXPECT_FALSE(wall.intersect(Vec3{}, Vec3{1, 0, 0}, 1e-9, t, n)) << "parallel ray";
    EXPECT_FALSE(wall.intersect(Vec3{}, Vec3{0, 0, -1}, 1e-9, t, n)) << "plane behind the ray";

    Shape box = Shape::box("box", Vec3{100, 100, 1000}, Vec3{-100, -100, 1200}, m);  // corners in any order
    ASSERT_TRUE(box.intersect(Vec3{}, Vec3{0, 0, 1}, 1e-9, t, n));
    EXPECT_DOUBLE_EQ(t, 1000);
    EXPECT_EQ(n.z, -1);
    ASSERT_TRUE(box.intersect(Vec3{0, 0, 1100}, Vec3{1, 0, 0}, 1e-9, t, n)) << "from inside";
    EXPECT_DOUBLE_EQ(t, 100);
    EXPECT_EQ(n.x, 1);
    ASSERT_TRUE(box.intersect(Vec3{-500, 0, 1100}, Vec3{1, 0, 0}, 1e-9, t, n));
    EXPECT_DOUBLE_EQ(t, 400);
    EXPECT_EQ(n.x, -1);
    EXPECT_FALSE(box.intersect(Vec3{}, Vec3{1, 0, 1}, 1e-9, t, n)) << "passes beside the box";

    Shape ball = Shape::sphere("ball", Vec3{0, 0, 1000}, 200, m);
    ASSERT_TRUE(ball.intersect(Vec3{}, Vec3{0, 0, 2}, 1e-9, t, n));
    EXPECT_DOUBLE_EQ(t, 400);  // direction not normalised: the point is at 800 mm
    EXPECT_DOUBLE_EQ(n.z, -1);
    ASSERT_TRUE(ball.intersect(Vec3{0, 0, 1000}, Vec3{0, 1, 0}, 1e-9, t, n)) << "from the centre";
    EXPECT_DOUBLE_EQ(t, 200);
    EXPECT_FALSE(ball.intersect(Vec3{300, 0, 0}, Vec3{0, 0, 1}, 1e-9, t, n));
}

TEST(SceneGeometry, DistanceIsToTheSurfaceFromInsideAndOutside) {
    Material m;
    Shape box = Shape::box("box", Vec3{0, 0, 0}, Vec3{100, 100, 100}, m);
    EXPECT_DOUBLE_EQ(box.distanceTo(Vec3{50, 50, 50}), 50);  // centre: nearest face
    EXPECT_DOUBLE_EQ(box.distanceTo(Vec3{10, 50, 50}), 10);
    EXPECT_DOUBLE_EQ(box.distanceTo(Vec3{103, 104, 50}), 5);  // beside an edge
    EXPECT_DOUBLE_EQ(box.distanceTo(Vec3{100, 50, 50}), 0);
    Shape ball = Shape::sphere("ball", Vec3{0, 0, 0}, 10, m);
    EXPECT_DOUBLE_EQ(ball.distanceTo(Vec3{0, 0, 0}), 10);
    EXPECT_DOUBLE_EQ(ball.distanceTo(Vec3{0, 13, 0}), 3);
    Shape floor = Shape::plane("floor", Vec3{0, 500, 0}, Vec3{0, -1, 0}, m);
    EXPECT_DOUBLE_EQ(floor.distanceTo(Vec3{7, 480, -3}), 20);
}

TEST(SyntheticScene, DepthPixelTruthAndDistancesAgreeOnTheRoom) {
    std::shared_ptr<SyntheticScene> room = makeSyntheticScene("room", nullptr);
    ASSERT_TRUE(room);
    const Intrinsic k = Calibration().depth.scaledTo(640, 480);
    // The centre pixel looks straight ahead, between the two balls, onto the back wall.
    SurfaceHit centre = room->depthPixel(k, k.cx, k.cy, 1);
    ASSERT_TRUE(centre.valid);
    EXPECT_EQ(room->shapes()[static_cast<size_t>(centre.shape)].name, "back wall");
    EXPECT_NEAR(centre.point.z, 3000, 1e-9);
    EXPECT_EQ(room->trueDepth(k, 320, 240, 1), 3000);
    // The bottom rows see the floor, 500 mm below the camera.
    SurfaceHit low = room->depthPixel(k, 100, 479, 1);
    ASSERT_TRUE(low.valid);
    EXPECT_EQ(room->shapes()[static_cast<size_t>(low.shape)].name, "floor");
    EXPECT_NEAR(low.point.y, 500, 1e-9);
    // A point off the surfaces is as far as the nearest one (every pixel's hit lying on a surface is
    // checked through the rendered images in SceneOnDevice).
    EXPECT_NEAR(room->distanceToSurface(Vec3{0, 0, 2900}, 1), 100, 1e-9);
}

TEST(SyntheticScene, ColourProjectionInvertsTheColourPixelRay) {
    std::shared_ptr<SyntheticScene> room = makeSyntheticScene("room", nullptr);
    Calibration cal;
    // A slightly rotated colour camera, so that rotation and translation both matter.
    const double a = 0.05;
    cal.color_from_depth = {
        static_cast<float>(std::cos(a)),  0, static_cast<float>(std::sin(a)), 25.0f, 0, 1, 0, -3.0f,
        static_cast<float>(-std::sin(a)), 0, static_cast<float>(std::cos(a)), 4.0f,  0, 0, 0, 1};
    for (double u : {10.5, 320.0, 600.25}) {
        for (double v : {5.0, 240.0, 470.75}) {
            SurfaceHit h = room->colorPixel(cal, 640, 480, u, v, 1);
            ASSERT_TRUE(h.valid);
            double cu = 0, cv = 0;
            ASSERT_TRUE(SyntheticScene::projectToColor(cal, 640, 480, h.point, cu, cv));
            EXPECT_NEAR(cu, u, 1e-3);
            EXPECT_NEAR(cv, v, 1e-3);
        }
    }
    double cu = 0, cv = 0;
    EXPECT_FALSE(SyntheticScene::projectToColor(cal, 640, 480, Vec3{0, 0, -100}, cu, cv)) << "behind";
}

TEST(SceneCatalog, KnowsItsScenesAndModifiersAndRefusesTheRest) {
    std::string error;
    EXPECT_TRUE(makeScene("pattern", &error));
    EXPECT_FALSE(makeSyntheticScene("pattern", &error)) << "no ground truth for the pattern";
    auto room = makeSyntheticScene("room", &error);
    ASSERT_TRUE(room);
    EXPECT_FALSE(room->animated());
    EXPECT_EQ(room->shapes().size(), 6u);
    auto moving = makeSyntheticScene("moving", &error);
    ASSERT_TRUE(moving);
    EXPECT_TRUE(moving->animated());
    auto noisy = makeSyntheticScene("noisy", &error);
    ASSERT_TRUE(noisy);
    EXPECT_EQ(noisy->noiseBound(), 2);
    EXPECT_EQ(noisy->options().speckles, 12);
    auto custom = makeSyntheticScene("wall,noise=5,speckles=3,seed=0x2a,motion", &error);
    ASSERT_TRUE(custom) << error;
    EXPECT_EQ(custom->options().seed, 42u);
    EXPECT_EQ(custom->noiseBound(), 5);
    EXPECT_TRUE(custom->animated());  // noise changes every frame even though the wall stands still
    auto still = makeSyntheticScene("moving,still", &error);
    ASSERT_TRUE(still);
    EXPECT_FALSE(still->animated());

    for (const char* bad : {"", "garden", "room,", "room,noise", "room,noise=51", "room,speckles=1.5",
                            "room,seed=-1", "room,fast", "room,motion=1"}) {
        error.clear();
        EXPECT_FALSE(makeScene(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(SceneCatalog, SpecklesAreReproducibleFromTheSeedAndStayInTheImage) {
    auto a = makeSyntheticScene("room,speckles=40,seed=9", nullptr);
    auto b = makeSyntheticScene("room,speckles=40,seed=9", nullptr);
    auto c = makeSyntheticScene("room,speckles=40,seed=10", nullptr);
    const std::vector<Speckle> sa = a->speckles(320, 240, 7);
    ASSERT_EQ(sa.size(), 40u);
    // Every field with the offsets, or the centres alone.
    auto fields = [](const std::vector<Speckle>& speckles, bool offsets) {
        std::vector<std::array<int, 4>> out;
        for (const Speckle& s : speckles)
            out.push_back({s.cu, s.cv, offsets ? s.offset_mm : 0, offsets ? s.radius : 0});
        return out;
    };
    EXPECT_EQ(fields(b->speckles(320, 240, 7), true), fields(sa, true));
    EXPECT_NE(fields(c->speckles(320, 240, 7), false), fields(sa, false)) << "another seed";
    EXPECT_NE(fields(a->speckles(320, 240, 8), false), fields(sa, false)) << "the next frame";
    for (const Speckle& s : sa) {
        EXPECT_TRUE(s.cu >= 0 && s.cu < 320 && s.cv >= 0 && s.cv < 240) << s.cu << "," << s.cv;
        EXPECT_GE(std::abs(s.offset_mm), 150);
        EXPECT_TRUE(s.radius >= 1 && s.radius <= 3);
    }
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
