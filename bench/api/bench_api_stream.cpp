// Receive-path cost of the library, through its public header, against a simulated camera on loopback TCP
// streaming 1280x960 depth, both infrared images and colour at 30 fps.
//
//   bench_api_stream --benchmark_filter=Capture   library CPU per frame and share of a core (process CPU
//                                                  minus the simulator's serving thread), frames lost,
//                                                  latency from the frame's device time stamp to the fetch
//                                                  returning it; then a plain socket reader of the same
//                                                  stream for comparison
//   bench_api_stream --benchmark_filter=Idle      CPU of an open camera that is not capturing
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kvdepth.h"
#include "sim/tcp/tcp_server.h"
#include "sim/wire/packets.h"

namespace {

using namespace orvane::kvsim;

uint64_t cpuNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

uint64_t steadyMicros() {
    return SteadyClock().nowMicros();
}

struct Camera {
    std::shared_ptr<SimDevice> device;
    std::unique_ptr<TcpCameraServer> server;

    bool start(const char* address, std::string* error) {
        DeviceConfig config;
        config.fps = 30;
        config.initial.depth_mode = 3;  // 1280x960
        config.initial.color_mode = 3;
        config.timestamp_origin_us = steadyMicros();  // device time stamps on this process's steady clock
        device = std::make_shared<SimDevice>(config);
        server = std::make_unique<TcpCameraServer>(device, address, kDefaultCameraPort);
        return server->start(error);
    }
    uint64_t simCpuNs() { return server->stats().thread_cpu_ns; }
};

// The plain reader: asks for the same work mode and reads the bytes off the socket, nothing else.
uint64_t plainReaderCpuNs(const char* address, double seconds, uint64_t* bytes) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kDefaultCameraPort);
    inet_pton(AF_INET, address, &addr.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    const Bytes request =
        encodePacket(kPacketParam, 1, u16Request(kCmdWorkMode, kWorkInfrared | kWorkDepth | kWorkColor));
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::vector<uint8_t> buf(1 << 20);
    const uint64_t cpu0 = cpuNs(CLOCK_THREAD_CPUTIME_ID);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    *bytes = 0;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        *bytes += static_cast<uint64_t>(n);
    }
    const uint64_t cpu = cpuNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    ::close(fd);
    return cpu;
}

void BM_Capture30fps_1280x960_DepthIrColor(benchmark::State& state) {
    const double seconds = static_cast<double>(state.range(0));
    Camera camera, plain;
    std::string error;
    if (!camera.start("127.0.4.95", &error) || !plain.start("127.0.4.96", &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    _KVInitLib();
    KV_DEV_HANDLE h = nullptr;
    if (KVOpenDeviceWithIP("127.0.4.95", &h) != KV_STATUS_OK) {
        state.SkipWithError("cannot open the simulated camera");
        KVDeinitLib();
        return;
    }
    KVEnableComponents(
        h, KV_COMPONENT_DEPTH | KV_COMPONENT_LEFT_IR | KV_COMPONENT_RIGHT_IR | KV_COMPONENT_COLOR);
    uint32_t size = 0;
    KVGetFrameBufferSize(h, &size);
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(size));
    for (auto& b : buffers) KVEnqueueBuffer(h, b.data(), static_cast<int32_t>(size));
    KVStartCapture(h);

    for (auto _ : state) {
        KV_FRAME_DATA frame{};
        std::vector<double> latency_ms;
        int64_t frames = 0, lost = 0, last_index = -1;
        const uint64_t cpu0 = cpuNs(CLOCK_PROCESS_CPUTIME_ID), sim0 = camera.simCpuNs();
        const auto t0 = std::chrono::steady_clock::now();
        const auto end = t0 + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (KVFetchFrame(h, &frame, 200) != KV_STATUS_OK) continue;
            const uint64_t now = steadyMicros();
            latency_ms.push_back(static_cast<double>(now - frame.image[frame.validCount - 1].timestamp) /
                                 1000.0);
            const int64_t index = frame.image[0].imageIndex;
            if (last_index >= 0 && index > last_index + 1) lost += index - last_index - 1;
            last_index = index;
            ++frames;
            KVEnqueueBuffer(h, frame.userBuffer, frame.bufferSize);
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double library_cpu =
            static_cast<double>((cpuNs(CLOCK_PROCESS_CPUTIME_ID) - cpu0) - (camera.simCpuNs() - sim0)) * 1e-9;
        std::sort(latency_ms.begin(), latency_ms.end());
        uint64_t plain_bytes = 0;
        const double plain_cpu =
            static_cast<double>(plainReaderCpuNs("127.0.4.96", seconds, &plain_bytes)) * 1e-9;
        state.SetIterationTime(wall);
        state.counters["frames"] = static_cast<double>(frames);
        state.counters["frames_lost"] = static_cast<double>(lost);
        state.counters["lib_core_share"] = library_cpu / wall;
        state.counters["lib_cpu_ms_per_frame"] = frames > 0 ? library_cpu * 1e3 / frames : 0;
        state.counters["plain_core_share"] = plain_cpu / seconds;
        state.counters["lib_vs_plain"] = plain_cpu > 0 ? (library_cpu / wall) / (plain_cpu / seconds) : 0;
        state.counters["latency_median_ms"] = latency_ms.empty() ? 0 : latency_ms[latency_ms.size() / 2];
        state.counters["latency_p99_ms"] = latency_ms.empty() ? 0 : latency_ms[latency_ms.size() * 99 / 100];
    }
    KVStopCapture(h);
    KVCloseDevice(h);
    KVDeinitLib();
}

void BM_IdleOpenCamera(benchmark::State& state) {
    Camera camera;
    std::string error;
    if (!camera.start("127.0.4.97", &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    _KVInitLib();
    KV_DEV_HANDLE h = nullptr;
    if (KVOpenDeviceWithIP("127.0.4.97", &h) != KV_STATUS_OK) {
        state.SkipWithError("cannot open the simulated camera");
        KVDeinitLib();
        return;
    }
    for (auto _ : state) {
        const uint64_t cpu0 = cpuNs(CLOCK_PROCESS_CPUTIME_ID), sim0 = camera.simCpuNs();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu =
            static_cast<double>((cpuNs(CLOCK_PROCESS_CPUTIME_ID) - cpu0) - (camera.simCpuNs() - sim0)) * 1e-9;
        state.SetIterationTime(wall);
        state.counters["lib_core_share"] = cpu / wall;
    }
    KVCloseDevice(h);
    KVDeinitLib();
}

BENCHMARK(BM_Capture30fps_1280x960_DepthIrColor)
    ->Arg(60)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleOpenCamera)->Arg(10)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
