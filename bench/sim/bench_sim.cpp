// Simulator streaming cost: a camera served over loopback TCP sends 1280x960 depth, both infrared images and
// colour to a raw client that reads as fast as it can. Reports the serving thread's CPU time per frame,
// its share of one core, and the frame rate reached.
//
//   bench_sim --benchmark_filter=Paced    30 fps, the everyday load
//   bench_sim --benchmark_filter=Unpaced  frames as fast as the reader takes them: the highest rate
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sim/tcp/tcp_server.h"
#include "sim/wire/packets.h"

namespace {

using namespace orvane::kvsim;
using SteadyTime = std::chrono::steady_clock;

int connectTo(const char* address, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, address, &addr.sin_addr);
    for (int attempt = 0; attempt < 500; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            int rcvbuf = 8 * 1024 * 1024;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
            return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

void sendRequest(int fd, uint8_t id, const Bytes& payload) {
    Bytes packet = encodePacket(kPacketParam, id, payload);
    ssize_t n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    (void)n;
}

// Reads and drops everything for `seconds`; returns the bytes read.
uint64_t drain(int fd, double seconds, std::vector<uint8_t>& buf) {
    uint64_t total = 0;
    const auto end = SteadyTime::now() + std::chrono::duration<double>(seconds);
    while (SteadyTime::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        total += static_cast<uint64_t>(n);
    }
    return total;
}

void runStreaming(benchmark::State& state, const char* address, double fps) {
    DeviceConfig config;
    config.fps = fps;
    config.initial.depth_mode = 3;  // 1280x960
    config.initial.color_mode = 3;
    auto device = std::make_shared<SimDevice>(config);
    TcpCameraServer server(device, address, kDefaultCameraPort);
    std::string error;
    if (!server.start(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    int fd = connectTo(address, kDefaultCameraPort);
    if (fd < 0) {
        state.SkipWithError("cannot connect to the simulator");
        return;
    }
    std::vector<uint8_t> buf(4 << 20);
    sendRequest(fd, 1, u16Request(kCmdWorkMode, kWorkInfrared | kWorkDepth | kWorkColor));
    drain(fd, 0.5, buf);  // warm-up: first renders, socket buffers grown

    const double seconds = static_cast<double>(state.range(0));
    for (auto _ : state) {
        const DeviceStats d0 = device->stats();
        const uint64_t cpu0 = server.stats().thread_cpu_ns;
        const auto t0 = SteadyTime::now();
        uint64_t bytes = drain(fd, seconds, buf);
        const double wall = std::chrono::duration<double>(SteadyTime::now() - t0).count();
        const DeviceStats d1 = device->stats();
        const double cpu = static_cast<double>(server.stats().thread_cpu_ns - cpu0) * 1e-9;
        const double frames = static_cast<double>(d1.frames_sent - d0.frames_sent);
        state.SetIterationTime(wall);
        state.counters["frames"] = frames;
        state.counters["fps"] = frames / wall;
        state.counters["skipped"] = static_cast<double>(d1.frames_skipped - d0.frames_skipped);
        state.counters["sim_cpu_ms_per_frame"] = frames > 0 ? cpu * 1e3 / frames : 0;
        state.counters["sim_core_share"] = cpu / wall;
        state.counters["MB_per_s"] = static_cast<double>(bytes) / wall / 1e6;
    }
    ::close(fd);
    server.stop();
}

void BM_Paced30fps_1280x960_DepthIrColor(benchmark::State& state) {
    runStreaming(state, "127.0.0.68", 30);
}
void BM_Unpaced_1280x960_DepthIrColor(benchmark::State& state) {
    runStreaming(state, "127.0.0.69", 0);
}

BENCHMARK(BM_Paced30fps_1280x960_DepthIrColor)
    ->Arg(5)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unpaced_1280x960_DepthIrColor)
    ->Arg(5)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
