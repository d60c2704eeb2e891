// The video source against the simulator: handshake and its failures, frames by fetch and by callback with
// the speckle and point-cloud hooks checked against the scene, a device lost mid-stream, the receiver
// controls and the threads meeting on one source.
#include <cmath>
#include <thread>

#include "imgproc/depth_world_mapper.h"
#include "sim/scene/scene_catalog.h"
#include "video_source_rig.h"

namespace vstest {
namespace {

kvtest::TcpAddressRange addresses("127.0.1.", 1, 60);

using VideoSource = VideoSourceRig;

// ---- handshake
// ---------------------------------------------------------------------------------------------

TEST_P(VideoSource, HandshakeReadsEachFirmwareGenerationAndKeepAlivesHoldTheirIntervalOnAnIdleLink) {
    for (uint32_t major : {1u, 2u}) {
        SCOPED_TRACE(major);
        kv::DeviceConfig config;
        config.identity.fw_major = major;
        auto log = std::make_shared<KeepAliveLog>();
        plugAndOpen(config, log);
        EXPECT_EQ(source->firmware_major(), static_cast<int>(major));
        EXPECT_EQ(source->firmware_minor(), static_cast<int>(config.identity.fw_minor));
        if (major < 2) continue;  // the first generation has no keep-alive
        // The parser's 5000 ms read limit stays as it is: an idle step must still end in time.
        source->receive_controller.SetKeepAliveTiming(150, 30000);
        source->EnableKeepAlive();
        ASSERT_TRUE(kvtest::waitFor([&] { return log->copy().size() >= 5; }, 3000)) << "keep-alives held up";
        const auto times = log->copy();
        for (size_t i = 1; i < times.size(); ++i) {
            EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1]).count(),
                      1500)
                << "the fault made the gap 5000 ms";
        }
        EXPECT_EQ(offline_events.load(), 0);
    }
}

TEST_P(VideoSource, HandshakeFailuresEndPromptlyWithTheReceiverStopped) {
    struct Case {
        const char* name;
        const char* faults;  // null: the link is cut before opening
    };
    const Case cases[] = {
        {"no reply to ping", "drop=0"},
        {"device gone during the handshake", "close-after-bytes=10"},
        {"closed port", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plug(kv::DeviceConfig(), c.faults ? kvtest::faultPlan(c.faults) : nullptr);
        if (c.faults == nullptr) camera->cut();
        source->ping_timeout_ms = 150;
        const auto start = Clock::now();
        EXPECT_EQ(source->OpenDevice(), -1);
        EXPECT_LT(msSince(start), 4000);
        EXPECT_FALSE(source->ReceiverRunning());
        KV_FRAME_DATA frame;
        EXPECT_EQ(source->fetchFrame(&frame, -1), KV_STATUS_IDLE);
    }
}

// ---- frames
// ------------------------------------------------------------------------------------------------

class FramesOfAScene : public VideoSource {
  protected:
    void openOnWall(int buffers, bool points) {
        std::string error;
        scene = kv::makeSyntheticScene("wall,speckles=25,seed=3", &error);
        ASSERT_TRUE(scene) << error;
        kv::DeviceConfig config;
        config.fps = 60;
        plugAndOpen(config, nullptr, scene);
        const kv::ResolutionMode* d = kv::findResolutionMode(dev().settings().depth_mode);
        k = dev().calibration().depth.scaledTo(d->stream_width, d->stream_height);
        const float m[11] = {k.fx, 0, k.cx, 0, k.fy, k.cy, 0, 0, 1, 0, 0};
        std::memcpy(intrinsic.data, m, sizeof m);
        intrinsic.updateReciprocals();
        source->SetDepthWorldMapper(&mapper);
        ASSERT_EQ(startStreaming(buffers, points), 4);
    }
    // Speckles the filter must remove: small, clearly off the wall, inside the image, apart from the others.
    std::vector<kv::Speckle> removable(const KV_IMAGE_DATA& depth, uint32_t sequence) {
        const auto all = scene->speckles(depth.width, depth.height, sequence);
        std::vector<kv::Speckle> out;
        for (const kv::Speckle& s : all) {
            const int side = 2 * s.radius + 1;
            bool apart = true;
            for (const kv::Speckle& o : all)
                if (&o != &s && std::abs(o.cu - s.cu) <= s.radius + o.radius + 1 &&
                    std::abs(o.cv - s.cv) <= s.radius + o.radius + 1)
                    apart = false;
            const bool inside = s.cu - s.radius > 0 && s.cv - s.radius > 1 &&
                                s.cu + s.radius < depth.width - 1 && s.cv + s.radius < depth.height - 1;
            if (apart && inside && side * side <= 150 && std::abs(s.offset_mm) > 64) out.push_back(s);
        }
        return out;
    }
    // Checks one frame against the scene: removed speckles read 0 (or keep their depth with the filter off)
    // and every point lies on the wall.
    void checkFrame(const KV_FRAME_DATA& frame, bool filtered, bool points) {
        const KV_IMAGE_DATA* depth = imageOf(frame, kDepth);
        const KV_IMAGE_DATA* ir = imageOf(frame, kLeftIr);
        ASSERT_TRUE(depth && ir);
        const uint32_t sequence = kv::getU32(static_cast<const uint8_t*>(ir->buffer));
        const auto* d = static_cast<const uint16_t*>(depth->buffer);
        const auto speckles = removable(*depth, sequence);
        ASSERT_FALSE(speckles.empty());
        for (const kv::Speckle& s : speckles) {
            const uint16_t value = d[s.cv * depth->width + s.cu];
            if (filtered) {
                EXPECT_EQ(value, 0) << "speckle at " << s.cu << "," << s.cv;
            } else {
                EXPECT_NE(value, 0);
            }
        }
        const KV_IMAGE_DATA* cloud = imageOf(frame, kPoints);
        if (!points) {
            EXPECT_EQ(cloud, nullptr);
            return;
        }
        ASSERT_NE(cloud, nullptr);
        ASSERT_NE(cloud->buffer, nullptr);
        EXPECT_EQ(cloud->pixelFormat, KV_PIXEL_FORMAT_POINT3D_F32);
        EXPECT_EQ(cloud->width * cloud->height, depth->width * depth->height);
        const auto* p = static_cast<const KV_VECT_3F*>(cloud->buffer);
        int checked = 0;
        for (int v = 1; v < depth->height; v += 7) {
            for (int u = 0; u < depth->width; u += 7) {
                const int i = v * depth->width + u;
                if (d[i] == 0) {
                    EXPECT_TRUE(std::isnan(p[i].z));
                    continue;
                }
                bool on_speckle = false;
                for (const kv::Speckle& s : scene->speckles(depth->width, depth->height, sequence))
                    on_speckle = on_speckle || s.covers(u, v);
                if (on_speckle) continue;
                EXPECT_FLOAT_EQ(p[i].z, d[i]);
                EXPECT_LT(scene->distanceToSurface({p[i].x, p[i].y, p[i].z}, sequence), 2.0) << u << "," << v;
                ++checked;
            }
        }
        EXPECT_GT(checked, 1000);
    }
    // Fetches a frame and gives its buffer back.
    KV_FRAME_DATA fetch(int timeout_ms) {
        KV_FRAME_DATA frame{};
        EXPECT_EQ(source->fetchFrame(&frame, timeout_ms), 0);
        if (frame.userBuffer != nullptr) requeue(frame.userBuffer);
        return frame;
    }

    std::shared_ptr<kv::SyntheticScene> scene;
    kv::Intrinsic k;
    orvane::KvDepthCameraIntrinsic intrinsic{};
    orvane::KvDepthCameraIntrinsic::DepthWorldMapper mapper{&intrinsic};
};

TEST_P(FramesOfAScene, FetchedFramesCarryFilteredDepthAndPointsOnTheWall) {
    openOnWall(3, true);
    const struct {
        orvane::SpeckleFilterRecord filter;
        char points;
        int timeout_ms;
    } phases[] = {{{0, 0}, 1, -1}, {{150, 64}, 1, 3000}, {{150, 64}, 0, 3000}};
    for (const auto& phase : phases) {
        ASSERT_EQ(source->SetSpeckleFilter(&phase.filter, sizeof phase.filter), 0);
        ASSERT_EQ(source->SetOutputPoint3D(&phase.points, 1), 1);
        fetch(3000);
        fetch(3000);  // settings changed between frames are in force from the next whole frame
        checkFrame(fetch(phase.timeout_ms), phase.filter.max_size != 0, phase.points != 0);
    }
}

// Slot 0 checks its frames against the wall; slot 1 unregisters from inside its own call, which must not
// wait for itself. After unregistering returns the old callback is not running and is never called again.
TEST_P(FramesOfAScene, CallbacksDeliverFilteredFramesAndNeverRunAfterUnregistering) {
    openOnWall(3, false);
    CallbackSlot slots[2];
    for (CallbackSlot& slot : slots) slot.rig = this;
    slots[0].check = [this](const KV_FRAME_DATA& frame) { checkFrame(frame, true, false); };
    slots[1].unregister_inside = true;
    for (int round = 0; round < 8; ++round) {
        CallbackSlot& slot = slots[round % 2];
        const int before = slot.calls.load();
        slot.registerOn(*source);
        ASSERT_TRUE(kvtest::waitFor([&] { return slot.calls.load() > before + (round == 0 ? 4 : 0); }, 5000))
            << "round " << round;
        source->SetFrameCallback(nullptr, nullptr);
        EXPECT_FALSE(slot.in_call.load()) << "the old callback still ran after unregistering";
        const int after = slot.calls.load();
        EXPECT_FALSE(kvtest::waitFor([&] { return slot.calls.load() != after; }, round == 0 ? 300 : 50))
            << "called after unregistering";
    }
    KV_FRAME_DATA frame;
    EXPECT_EQ(source->fetchFrame(&frame, 3000), 0) << "polling again once no callback is registered";
}

// ---- a device lost mid-stream
// --------------------------------------------------------------------------------

TEST_P(VideoSource, AFetchWithoutLimitWakesWhenTheDeviceIsLostOrTheSourceClosesAndClosingIsPrompt) {
    // null: no fault, the application closes the source while the fetch waits for a first frame
    const char* faults[] = {"reset-after-frames=3", "close-after-bytes=300000", "stall=5000:300000",
                            "no-keepalive=1", nullptr};
    for (const char* fault : faults) {
        SCOPED_TRACE(fault ? fault : "closed by the application");
        plugAndOpen(kv::DeviceConfig(), fault ? kvtest::faultPlan(fault) : nullptr);
        fastKeepAlive();
        if (fault) startStreaming(3);  // the device may already be gone when the command's reply is due
        std::atomic<int> last{1};
        std::thread fetcher([&] {
            KV_FRAME_DATA frame;
            int result;
            while ((result = source->fetchFrame(&frame, -1)) == 0) requeue(frame.userBuffer);
            last = result;
        });
        auto start = Clock::now();
        if (fault) {
            EXPECT_TRUE(kvtest::waitFor([&] { return offline_events.load() > 0; }, 6000));
        } else {
            EXPECT_FALSE(kvtest::waitFor([&] { return last.load() != 1; }, 100)) << "nothing to fetch yet";
            start = Clock::now();
            source->CloseDevice();
        }
        EXPECT_TRUE(kvtest::waitFor([&] { return last.load() != 1; }, 2000)) << "fetch still waiting";
        fetcher.join();
        if (!fault) {
            EXPECT_LT(msSince(start), 2000);
        }
        EXPECT_EQ(last.load(), KV_STATUS_IDLE);
        EXPECT_EQ(offline_events.load(), fault ? 1 : 0);
        start = Clock::now();
        source->CloseDevice();
        EXPECT_LT(msSince(start), 2000);
        const auto after_close = snapshot();
        EXPECT_FALSE(kvtest::waitFor([&] { return snapshot() != after_close; }, 300))
            << "written after close";
        KV_FRAME_DATA frame;
        EXPECT_EQ(source->fetchFrame(&frame, 100), KV_STATUS_IDLE);
    }
}

// ---- receiver controls
// -----------------------------------------------------------------------------------------

TEST_P(VideoSource, ReopeningTheReceiverRestoresCallbacksAndFailsOnceTheDeviceIsGone) {
    plugAndOpen();
    fastKeepAlive();
    CallbackSlot slot;
    slot.rig = this;
    slot.registerOn(*source);
    ASSERT_EQ(startStreaming(3), 4);
    ASSERT_TRUE(kvtest::waitFor([&] { return slot.calls.load() >= 2; }, 5000));
    ASSERT_EQ(source->CloseReceiver(), 0);
    EXPECT_FALSE(source->ReceiverRunning());
    // The simulator serves one TCP client at a time: a reconnect that beats its noticing the close is
    // turned away, so connect again until it is served.
    for (int i = 0; i < 5 && GetParam() == Transport::kTcp; ++i) {
        if (kvtest::waitFor([&] { return dev().stats().connections >= 2; }, 300)) break;
        stream->Close();
        ASSERT_EQ(source->CloseReceiver(), 0);
    }
    ASSERT_EQ(source->OpenReceiver(), 0);
    const int before = slot.calls.load();
    int32_t mode = kDepthAndIr;
    ASSERT_EQ(source->SetWorkMode(&mode, 4), 4);
    EXPECT_TRUE(kvtest::waitFor([&] { return slot.calls.load() >= before + 2; }, 5000))
        << "no frames after reopening";
    camera->cut();
    ASSERT_TRUE(kvtest::waitFor([&] { return offline_events.load() > 0; }, 5000));
    EXPECT_EQ(source->CloseReceiver(), -1) << "a device that is gone cannot be reopened";
}

// ---- threads meeting on one source
// -------------------------------------------------------------------------------

TEST_P(VideoSource, CommandsFromTwoThreadsDoNotInterleave) {
    plugAndOpen();
    constexpr int kRounds = 40;
    auto writer = [&](int index) {
        for (int i = 1; i <= kRounds; ++i) EXPECT_EQ(source->SetRgbGainComponent(index, index * 100 + i), 4);
    };
    std::thread first(writer, 0), second(writer, 1);
    int power = 0;
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(source->GetLaserPow(&power, 4), 4);
    first.join();
    second.join();
    const kv::DeviceSettings s = dev().settings();
    EXPECT_EQ(s.rgb_gain[0], kRounds) << "a read-modify-write of another thread was lost";
    EXPECT_EQ(s.rgb_gain[1], 100 + kRounds);
    EXPECT_EQ(power, s.laser_power);
}

// ---- frame hooks on frames that do not fit
// ------------------------------------------------------------------------

TEST(VideoSourceHooks, FramesWithoutAUsableDepthImageAreDeliveredUntouched) {
    orvane::KvFrameBufferQueue queue;
    VOVCamVideoSource source(queue);
    constexpr int kWidth = 32, kHeight = 24;
    orvane::KvDepthCameraIntrinsic intrinsic{{500, 0, 16, 0, 500, 12, 0, 0, 1, 0, 0}};
    intrinsic.updateReciprocals();
    orvane::KvDepthCameraIntrinsic::DepthWorldMapper mapper(&intrinsic);
    source.SetDepthWorldMapper(&mapper);
    const char on = 1;
    source.SetOutputPoint3D(&on, 1);
    std::vector<uint16_t> pixels(kWidth * kHeight, 1000);
    pixels[100] = 3000;  // a one-pixel speckle
    struct Case {
        const char* name;
        int32_t component, format, size, valid_count;
        bool usable;
    };
    const int32_t full = kWidth * kHeight * 2;
    const Case cases[] = {
        {"no depth image", kLeftIr, KV_PIXEL_FORMAT_DEPTH16, full, 1, false},
        {"not 16-bit depth", kDepth, KV_PIXEL_FORMAT_MONO8, full, 1, false},
        {"buffer shorter than the image", kDepth, KV_PIXEL_FORMAT_DEPTH16, full - 2, 1, false},
        {"record count out of range", kDepth, KV_PIXEL_FORMAT_DEPTH16, full, KV_MAX_IMAGES_PER_FRAME + 3,
         false},
        // Usable, but no point sub-buffer to write into: the point image is announced empty.
        {"usable depth image", kDepth, KV_PIXEL_FORMAT_DEPTH16, full, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint16_t> image = pixels;
        KV_FRAME_DATA frame{};
        frame.validCount = c.valid_count;
        frame.image[0] = {0, 0, 0, c.component, c.size, image.data(), kWidth, kHeight, c.format, {}};
        const KV_FRAME_DATA before = frame;
        source.OnFrameArrived(&frame);
        if (c.usable) {
            EXPECT_EQ(image[100], 0) << "the speckle is removed";
            ASSERT_EQ(frame.validCount, 2);
            EXPECT_EQ(frame.image[1].componentID, kPoints);
            EXPECT_EQ(frame.image[1].buffer, nullptr);
            EXPECT_EQ(frame.image[1].size, 0);
            continue;
        }
        EXPECT_EQ(std::memcmp(&frame, &before, sizeof frame), 0);
        EXPECT_EQ(image, pixels);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, VideoSource, ::testing::Values(Transport::kTcp, Transport::kUsb),
                         transportSuffix);
INSTANTIATE_TEST_SUITE_P(Transports, FramesOfAScene, ::testing::Values(Transport::kTcp, Transport::kUsb),
                         transportSuffix);

}  // namespace
}  // namespace vstest
