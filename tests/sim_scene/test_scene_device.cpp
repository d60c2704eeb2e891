// Scenes rendered by a simulated camera, checked against their ground truth: depth through the served
// intrinsics, infrared dots and their disparity, colour through the served colour calibration, motion,
// noise and speckles, and how often the device renders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "scene_test_util.h"
#include "sim/scene/scene_catalog.h"
#include "sim/scene/synthetic_scene.h"

namespace orvane {
namespace kvsim {
namespace {

using test::DeviceHarness;
using test::nextFrame;
using test::ServedIntrinsic;
using test::servedIntrinsic;
using test::stampedSequence;

constexpr uint64_t kPeriod = 33334;  // 30 fps
constexpr uint32_t kDepthComponent = 0x00010000;
constexpr uint32_t kColorComponent = 0x00100000;

struct Rig {
    explicit Rig(const std::string& scene_name, DeviceConfig config = DeviceConfig()) : h(config) {
        scene = makeSyntheticScene(scene_name, nullptr);
        h.device.setScene(scene);
    }
    std::string descriptor() {
        WirePacket r = h.request(descriptorRequest());
        std::optional<DescriptorReply> d = decodeDescriptorReply(r.payload);
        return d && d->checksum_ok ? d->text : std::string();
    }
    void set(uint32_t code, uint16_t value) { h.request(u16Request(code, value)); }
    std::map<uint8_t, WirePacket> stream(uint16_t work_mode, size_t images) {
        set(kCmdWorkMode, work_mode);
        return nextFrame(h, kPeriod, images);
    }

    DeviceHarness h;
    std::shared_ptr<SyntheticScene> scene;
};

uint16_t depthAt(const WirePacket& img, int u, int v) {
    return getU16(img.payload.data() + 2 * (static_cast<size_t>(v) * img.image.width + u));
}

bool stamped(int u, int v, int bytes_per_pixel) {
    return v == 0 && u * bytes_per_pixel < 8;  // sequence number and timestamp
}

TEST(SceneOnDevice, DepthBackProjectedWithTheServedIntrinsicsLandsOnTheSurfaces) {
    for (int mode : {0, 2, 3}) {
        SCOPED_TRACE("depth resolution mode " + std::to_string(mode));
        Rig rig("room");
        rig.set(kCmdDepthResolution, static_cast<uint16_t>(mode));
        const ServedIntrinsic k = servedIntrinsic(rig.descriptor(), kDepthComponent);
        ASSERT_TRUE(k.ok);
        auto frame = rig.stream(kWorkDepth, 1);
        ASSERT_EQ(frame.count(kCamDepth), 1u);
        const WirePacket& depth = frame[kCamDepth];
        ASSERT_EQ(depth.image.width, k.width);
        ASSERT_EQ(depth.image.height, k.height);
        ASSERT_EQ(depth.image.pixel_format, kPixDepth16);
        const uint32_t seq = stampedSequence(depth);
        const Intrinsic truth_k = rig.h.device.calibration().depth.scaledTo(k.width, k.height);

        size_t checked = 0, off_surface = 0, wrong_value = 0;
        double worst = 0;
        for (int v = 0; v < k.height; ++v) {
            for (int u = 0; u < k.width; ++u) {
                if (stamped(u, v, 2)) continue;
                const uint16_t d = depthAt(depth, u, v);
                ASSERT_NE(d, 0) << "every ray of the room meets a wall or the floor";
                if (d != rig.scene->trueDepth(truth_k, u, v, seq)) ++wrong_value;
                const double dist = rig.scene->distanceToSurface(test::backProject(k, u, v, d), seq);
                worst = std::max(worst, dist);
                if (dist > 1.0) ++off_surface;
                ++checked;
            }
        }
        EXPECT_EQ(checked, static_cast<size_t>(k.width) * k.height - 4);
        EXPECT_EQ(wrong_value, 0u);
        EXPECT_EQ(off_surface, 0u) << "worst distance " << worst << " mm";
    }
}

TEST(SceneOnDevice, ColourImageShowsTheSurfaceEachDepthPointProjectsTo) {
    // A colour camera set well apart and turned a little, so that a projection that ignored the
    // calibration would land on the wrong surface patches.
    DeviceConfig config;
    const float a = 0.04f;
    config.calibration.color_from_depth = {std::cos(a),  0, std::sin(a), 60.0f, 0, 1, 0, 8.0f,
                                           -std::sin(a), 0, std::cos(a), 0,     0, 0, 0, 1};
    for (int color_mode : {2, 3}) {
        SCOPED_TRACE("colour resolution mode " + std::to_string(color_mode));
        Rig rig("room", config);
        rig.set(kCmdRgbResolution, static_cast<uint16_t>(color_mode));
        const std::string descriptor = rig.descriptor();
        const ServedIntrinsic kd = servedIntrinsic(descriptor, kDepthComponent);
        const ServedIntrinsic kc = servedIntrinsic(descriptor, kColorComponent);
        ASSERT_TRUE(kd.ok && kc.ok);
        auto frame = rig.stream(kWorkDepth | kWorkColor, 2);
        ASSERT_EQ(frame.size(), 2u);
        const WirePacket& depth = frame[kCamDepth];
        const WirePacket& color = frame[kCamColor];
        ASSERT_EQ(color.image.width, kc.width);
        ASSERT_EQ(color.image.pixel_format, kPixRgb24);
        const uint32_t seq = stampedSequence(depth);
        const Calibration& cal = rig.h.device.calibration();
        Calibration ignored = cal;  // what a host that skipped the extrinsic would compute
        ignored.color_from_depth = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

        auto matchRate = [&](const Calibration& use) {
            size_t inside = 0, match = 0;
            for (int v = 1; v < kd.height; v += 5) {
                for (int u = 0; u < kd.width; u += 5) {
                    const uint16_t d = depthAt(depth, u, v);
                    const Vec3 p = test::backProject(kd, u, v, d);
                    double cu = 0, cv = 0;
                    if (!SyntheticScene::projectToColor(use, kc.width, kc.height, p, cu, cv)) continue;
                    const long iu = std::lround(cu), iv = std::lround(cv);
                    if (iu < 0 || iv < 1 || iu >= kc.width || iv >= kc.height) continue;
                    ++inside;
                    SurfaceHit truth =
                        rig.scene->depthPixel(cal.depth.scaledTo(kd.width, kd.height), u, v, seq);
                    uint8_t expected[3];
                    rig.scene->colorOf(truth, expected);
                    const uint8_t* px = color.payload.data() + 3 * (static_cast<size_t>(iv) * kc.width + iu);
                    if (std::memcmp(px, expected, 3) == 0) ++match;
                }
            }
            return inside > 0 ? static_cast<double>(match) / static_cast<double>(inside) : 0.0;
        };
        const double right = matchRate(cal);
        const double wrong = matchRate(ignored);
        EXPECT_GT(right, 0.95);
        EXPECT_LT(wrong, right - 0.1) << "the check must notice a projection without the extrinsic";
    }
}

TEST(SceneOnDevice, NoiseStaysWithinItsBoundAndSpecklesSitWhereTheTruthSays) {
    Rig rig("noisy,seed=77");
    rig.set(kCmdDepthResolution, 1);
    auto frame = rig.stream(kWorkDepth, 1);
    ASSERT_EQ(frame.count(kCamDepth), 1u);
    const WirePacket& depth = frame[kCamDepth];
    const int w = depth.image.width, hgt = depth.image.height;
    const uint32_t seq = stampedSequence(depth);
    const Intrinsic k = rig.h.device.calibration().depth.scaledTo(w, hgt);
    const std::vector<Speckle> speckles = rig.scene->speckles(w, hgt, seq);
    ASSERT_EQ(speckles.size(), 12u);
    size_t noisy = 0, speckled = 0, beyond = 0;
    for (int v = 0; v < hgt; ++v) {
        for (int u = 0; u < w; ++u) {
            if (stamped(u, v, 2)) continue;
            const int d = depthAt(depth, u, v);
            const int truth = rig.scene->trueDepth(k, u, v, seq);
            const Speckle* in = nullptr;
            for (const Speckle& s : speckles)
                if (s.covers(u, v)) in = &s;  // the last island drawn wins
            if (in != nullptr) {
                ++speckled;
                EXPECT_EQ(d, std::min(65535, std::max(1, truth + in->offset_mm))) << u << "," << v;
            } else {
                noisy += d != truth;
                beyond += std::abs(d - truth) > rig.scene->noiseBound();
            }
        }
    }
    EXPECT_EQ(beyond, 0u);
    EXPECT_GT(noisy, static_cast<size_t>(w * hgt / 2)) << "noise of +-2 leaves about 1 pixel in 5 unchanged";
    EXPECT_GE(speckled, 12u * 9u / 2u);

    // The same seed renders the same bytes; another seed does not.
    Rig twin("noisy,seed=77"), other("noisy,seed=78");
    for (Rig* r : {&twin, &other}) r->set(kCmdDepthResolution, 1);
    auto a = twin.stream(kWorkDepth, 1), b = other.stream(kWorkDepth, 1);
    ASSERT_EQ(stampedSequence(a[kCamDepth]), seq);
    EXPECT_EQ(a[kCamDepth].payload, depth.payload);
    EXPECT_NE(b[kCamDepth].payload, depth.payload);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
