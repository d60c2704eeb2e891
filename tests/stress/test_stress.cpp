// Lifecycle, two cameras on two application threads, and connection faults in a loop.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "api/KV_API.h"
#include "api_fixture.h"
#include "camera/KvCamera.h"

namespace apitest {
namespace {

// 127.0.7.99 and 127.0.7.100 belong to bench_soak.
const kvtest::TcpAddressRange kAddresses("127.0.7.", 1, 90);

// Sanitizers slow everything down several times; CI runs all three builds on two cores. A long run sets
// KVDEPTH_STRESS_REPEAT (e.g. 5: 500 TCP cycles, 50 of each fault).
int scaled(int cycles) {
    const char* repeat = std::getenv("KVDEPTH_STRESS_REPEAT");
    if (repeat != nullptr && std::atoi(repeat) > 0) return cycles * std::atoi(repeat);
#if defined(__SANITIZE_THREAD__)
    return std::max(2, cycles / 5);
#elif defined(__SANITIZE_ADDRESS__)
    return std::max(2, cycles / 2);
#else
    return cycles;
#endif
}

int entriesIn(const char* dir) {
    int count = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr) ++count;
        closedir(d);
    }
    return count;
}
int openFds() {
    return entriesIn("/proc/self/fd");
}
int threads() {
    return entriesIn("/proc/self/task");
}

int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

class Stress : public ApiTest {
  protected:
    // Enable, enqueue, start, fetch `frames` frames.
    void capture(KV_DEV_HANDLE h, int frames) {
        ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), KV_STATUS_OK);
        buffers_.clear();
        enqueue(h, 3);
        ASSERT_EQ(KVStartCapture(h), KV_STATUS_OK);
        for (int i = 0; i < frames; ++i) {
            KV_FRAME_DATA frame{};
            ASSERT_EQ(KVFetchFrame(h, &frame, 3000), KV_STATUS_OK) << "frame " << i;
            ASSERT_EQ(KVEnqueueBuffer(h, frame.userBuffer, frame.bufferSize), KV_STATUS_OK);
        }
    }
    void cycle(CameraEnd& end) {
        KV_DEV_HANDLE h = open(end);
        ASSERT_NE(h, nullptr);
        capture(h, 2);
        EXPECT_EQ(KVStopCapture(h), KV_STATUS_OK);
        EXPECT_EQ(KVCloseDevice(h), KV_STATUS_OK);
    }
};

struct LifecycleCase {
    Transport transport;
    int cycles;
};
class Lifecycle : public Stress, public ::testing::WithParamInterface<LifecycleCase> {};

// A closed camera keeps its link for a quick reopen; the library lets go of it only when deinitialised,
// which every tenth cycle does.
TEST_P(Lifecycle, OpenCaptureCloseCyclesLeaveNoDescriptorOrThreadBehind) {
    CameraEnd end(GetParam().transport, simDevice("KVSIM0000001", 60));
    ASSERT_TRUE(end.ready());
    auto reinit = [] {
        ASSERT_EQ(KVDeinitLib(), KV_STATUS_OK);
        ASSERT_EQ(_KVInitLib(), KV_STATUS_OK);
    };
    cycle(end);  // the first cycle may set up process-wide state for good
    reinit();
    // The simulator runs in this process: its end of the last link counts until it has seen the close.
    ASSERT_TRUE(waitFor([&] { return !end.tcpConnected(); }, 2000));
    const int fds = openFds(), tasks = threads();
    const int cycles = scaled(GetParam().cycles);
    for (int i = 1; i <= cycles && !HasFailure(); ++i) {
        cycle(end);
        if (i % 10 == 0) reinit();
    }
    reinit();
    EXPECT_TRUE(waitFor([&] { return openFds() == fds; }, 2000)) << openFds() << " fds, were " << fds;
    EXPECT_TRUE(waitFor([&] { return threads() == tasks; }, 2000)) << threads() << " threads, were " << tasks;
}

INSTANTIATE_TEST_SUITE_P(Transports, Lifecycle,
                         ::testing::Values(LifecycleCase{Transport::kTcp, 100},
                                           LifecycleCase{Transport::kUsb, 20}),
                         [](const auto& info) {
                             return std::string(kvtest::transportName(info.param.transport));
                         });

TEST_F(Stress, TwoCamerasOnTwoApplicationThreadsDeliverByCallback) {
    CameraEnd first(Transport::kTcp, simDevice("KVSIM0000001")),
        second(Transport::kTcp, simDevice("KVSIM0000002"));
    ASSERT_TRUE(first.ready() && second.ready());
    struct Sink {
        KV_DEV_HANDLE h = nullptr;
        std::atomic<int> frames{0};
    };
    auto drive = [](CameraEnd* end, Sink* sink) {
        for (int round = 0; round < 3; ++round) {
            sink->frames = 0;
            ASSERT_EQ(KVOpenDeviceWithIP(end->address().c_str(), &sink->h), KV_STATUS_OK);
            ASSERT_EQ(KVEnableComponents(sink->h, KV_COMPONENT_DEPTH | KV_COMPONENT_COLOR), KV_STATUS_OK);
            uint32_t size = 0;
            ASSERT_EQ(KVGetFrameBufferSize(sink->h, &size), KV_STATUS_OK);
            std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(size));
            for (auto& b : buffers)
                ASSERT_EQ(KVEnqueueBuffer(sink->h, b.data(), int32_t(size)), KV_STATUS_OK);
            auto onFrame = [](KV_FRAME_DATA* frame, void* user) {
                auto* s = static_cast<Sink*>(user);
                if (frame->validCount == 2) ++s->frames;
                KVEnqueueBuffer(s->h, frame->userBuffer, frame->bufferSize);
            };
            ASSERT_EQ(KVRegisterCallback(sink->h, onFrame, sink), KV_STATUS_OK);
            ASSERT_EQ(KVStartCapture(sink->h), KV_STATUS_OK);
            EXPECT_TRUE(waitFor([&] { return sink->frames >= 4; }, 5000));
            EXPECT_EQ(KVStopCapture(sink->h), KV_STATUS_OK);
            EXPECT_EQ(KVCloseDevice(sink->h), KV_STATUS_OK);
        }
    };
    Sink a, b;
    std::thread one(drive, &first, &a), two(drive, &second, &b);
    one.join();
    two.join();
    EXPECT_NE(a.h, b.h);
}

// Each iteration (re)opens the camera, captures until the fault strikes, and closes; the next iteration's
// open is the reopen after the fault.
struct FaultCase {
    const char* name;
    std::string plan;
    bool capture;  // a stream is running when the fault strikes
};
class ConnectionFault : public Stress, public ::testing::WithParamInterface<FaultCase> {};

constexpr int kDepthFrameBytes = 640 * 480 * 2;

TEST_P(ConnectionFault, EveryFaultRaisesOneOfflineEventThenCloseAndReopenWork) {
    auto device = simDevice();
    device->setFaultHook(kvtest::faultPlan(GetParam().plan));
    CameraEnd end(Transport::kTcp, device);
    ASSERT_TRUE(end.ready());
    std::atomic<int> offline{0};
    const int iterations = scaled(10);
    for (int i = 0; i < iterations && !HasFailure(); ++i) {
        SCOPED_TRACE(i);
        // The camera serves one client at a time: the reopen waits until it has noticed the old link's end.
        ASSERT_TRUE(waitFor([&] { return !end.tcpConnected(); }, 3000));
        KV_DEV_HANDLE h = open(end);
        ASSERT_NE(h, nullptr);
        if (i == 0) {
            // A dead link is otherwise noticed only after 30 s without a keep-alive reply.
            orvane::KvCamera* camera = nullptr;
            ASSERT_EQ(orvane::checkHandle(h, &camera), KV_STATUS_OK);
            camera->setKeepAliveTiming(100, 800);
        }
        ASSERT_EQ(KVRegisterEventCallback(h, countOffline, &offline), KV_STATUS_OK);
        if (GetParam().capture) {
            capture(h, 1);
            ASSERT_EQ(buffers_.front().size(), size_t(kDepthFrameBytes)) << "the byte counts assume it";
        }
        ASSERT_TRUE(waitFor([&] { return offline > i; }, 10000));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KVCloseDevice(h), KV_STATUS_OK);
        EXPECT_LT(msSince(start), 2000);
        EXPECT_EQ(offline, i + 1);  // a late second event shows up here or in the next iteration
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ConnectionFault,
    ::testing::Values(FaultCase{"Reset", "reset-after-frames=3", true},
                      FaultCase{"CloseMidImage",
                                "close-after-bytes=" + std::to_string(kDepthFrameBytes * 5 / 2), true},
                      FaultCase{"Stall", "stall=1200:" + std::to_string(kDepthFrameBytes * 2), true},
                      FaultCase{"NoKeepAlive", "no-keepalive", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apitest
