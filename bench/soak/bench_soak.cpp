// Soak runs against a simulated camera on loopback TCP.
//
//   bench_soak capture [SECONDS]   depth, both infrared images and colour at 30 fps for SECONDS (default 60;
//                                  3600 for the full run): resident memory growth after the warm-up (the
//                                  first minute, or the first 10 s of a run shorter than 10 minutes) and
//                                  frames lost (gaps in the image index, fetch time-outs)
//   bench_soak cycles [COUNT]      COUNT (default 1000) cycles of open, enable, enqueue, start, fetch two
//                                  frames, stop, close: open files, threads and resident memory before and
//                                  after
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kvdepth.h"
#include "sim/tcp/tcp_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kAllStreams =
    KV_COMPONENT_DEPTH | KV_COMPONENT_LEFT_IR | KV_COMPONENT_RIGHT_IR | KV_COMPONENT_COLOR;

int entriesIn(const char* dir) {
    int count = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d) != nullptr) ++count;
        closedir(d);
    }
    return count;
}

long residentKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct SimCamera {
    std::shared_ptr<orvane::kvsim::SimDevice> device;
    std::unique_ptr<orvane::kvsim::TcpCameraServer> server;

    explicit SimCamera(const char* address) {
        orvane::kvsim::DeviceConfig config;
        config.fps = 30;
        device = std::make_shared<orvane::kvsim::SimDevice>(config);
        server = std::make_unique<orvane::kvsim::TcpCameraServer>(device, address);
    }
    // Starts serving; says why on standard error when it cannot.
    bool start() {
        std::string error;
        if (server->start(&error)) return true;
        fprintf(stderr, "simulator: %s\n", error.c_str());
        return false;
    }
};

// The library, initialised for one run and let go before the simulator stops (a closed camera keeps its
// link until then).
struct Library {
    const bool ready = _KVInitLib() == KV_STATUS_OK;
    ~Library() { KVDeinitLib(); }
};

// An open camera with all streams enabled and `count` buffers enqueued; null on failure.
KV_DEV_HANDLE openAndEnqueue(const char* address, std::vector<std::vector<uint8_t>>& buffers, int count) {
    KV_DEV_HANDLE h = nullptr;
    KV_STATUS status = KVOpenDeviceWithIP(address, &h);
    uint32_t size = 0;
    if (status == KV_STATUS_OK) status = KVEnableComponents(h, kAllStreams);
    if (status == KV_STATUS_OK) status = KVGetFrameBufferSize(h, &size);
    buffers.assign(static_cast<size_t>(count), std::vector<uint8_t>(size));
    for (auto& b : buffers)
        if (status == KV_STATUS_OK) status = KVEnqueueBuffer(h, b.data(), static_cast<int32_t>(size));
    if (status != KV_STATUS_OK) {
        fprintf(stderr, "open %s: %s\n", address, KVErrorString(status));
        if (h != nullptr) KVCloseDevice(h);
        return nullptr;
    }
    return h;
}

int soakCapture(double seconds) {
    const char* address = "127.0.7.99";
    SimCamera camera(address);
    if (!camera.start()) return 1;
    Library library;
    if (!library.ready) return 1;
    std::vector<std::vector<uint8_t>> buffers;
    KV_DEV_HANDLE h = openAndEnqueue(address, buffers, 4);
    if (h == nullptr || KVStartCapture(h) != KV_STATUS_OK) return 1;

    const double warmup = seconds >= 600 ? 60 : 10;
    long baseline = -1, peak = 0;
    int64_t frames = 0, lost = 0, timeouts = 0, last_index = -1;
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        KV_FRAME_DATA frame{};
        if (KVFetchFrame(h, &frame, 500) != KV_STATUS_OK) {
            ++timeouts;
            continue;
        }
        ++frames;
        const int64_t index = frame.image[0].imageIndex;
        if (last_index >= 0 && index > last_index + 1) lost += index - last_index - 1;
        last_index = index;
        KVEnqueueBuffer(h, frame.userBuffer, frame.bufferSize);
        if (baseline < 0 && secondsSince(start) >= warmup) baseline = residentKiB();
        if (baseline >= 0) peak = std::max(peak, residentKiB());
    }
    const long end = residentKiB();
    KVStopCapture(h);
    KVCloseDevice(h);
    printf("capture %.0f s, all streams at 30 fps: %lld frames (%.1f fps), %lld lost, %lld fetch time-outs\n",
           seconds, static_cast<long long>(frames), frames / seconds, static_cast<long long>(lost),
           static_cast<long long>(timeouts));
    printf(
        "resident memory after %.0f s warm-up: %ld KiB, at the end %ld KiB, peak %ld KiB, growth %ld KiB\n",
        warmup, baseline, end, peak, end - baseline);
    return 0;
}

int soakCycles(int cycles) {
    const char* address = "127.0.7.100";
    SimCamera camera(address);
    if (!camera.start()) return 1;
    Library library;
    if (!library.ready) return 1;
    long rss0 = 0;
    int fds0 = 0, threads0 = 0, failures = 0;
    const auto start = Clock::now();
    for (int i = 0; i <= cycles; ++i) {
        if (i == 1) {  // after one cycle that may set up process-wide state for good
            rss0 = residentKiB();
            fds0 = entriesIn("/proc/self/fd");
            threads0 = entriesIn("/proc/self/task");
        }
        std::vector<std::vector<uint8_t>> buffers;
        KV_DEV_HANDLE h = openAndEnqueue(address, buffers, 3);
        bool ok = h != nullptr && KVStartCapture(h) == KV_STATUS_OK;
        for (int f = 0; ok && f < 2; ++f) {
            KV_FRAME_DATA frame{};
            ok = KVFetchFrame(h, &frame, 3000) == KV_STATUS_OK;
            if (ok) KVEnqueueBuffer(h, frame.userBuffer, frame.bufferSize);
        }
        if (h != nullptr) ok = KVStopCapture(h) == KV_STATUS_OK && KVCloseDevice(h) == KV_STATUS_OK && ok;
        failures += ok ? 0 : 1;
    }
    printf("%d cycles in %.1f s (%.1f ms each), %d failed\n", cycles, secondsSince(start),
           secondsSince(start) * 1000 / (cycles + 1), failures);
    printf("open files %d -> %d, threads %d -> %d, resident memory %ld KiB -> %ld KiB\n", fds0,
           entriesIn("/proc/self/fd"), threads0, entriesIn("/proc/self/task"), rss0, residentKiB());
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "capture";
    int result = 2;
    if (mode == "capture") {
        result = soakCapture(argc > 2 ? atof(argv[2]) : 60);
    } else if (mode == "cycles") {
        result = soakCycles(argc > 2 ? atoi(argv[2]) : 1000);
    } else {
        fprintf(stderr, "usage: %s capture [SECONDS] | cycles [COUNT]\n", argv[0]);
    }
    return result;
}
