// Recording rate.
//
//   bench_recording --benchmark_filter=WriteFrame  the writer's cost for one frame of depth, two infrared
//                                                  and colour images in zstd chunks (per zstd level)
//   bench_recording --benchmark_filter=Record      `kvdepth record --sim` of depth, infrared and colour at
//                                                  30 fps for 20 s: frames recorded, dropped and missed,
//                                                  and the file size per minute
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "recording/mcap_writer.h"

namespace {

using orvane::recording::McapWriter;
using orvane::recording::WriterOptions;

std::string scratchFile(const char* name) {
    return (std::filesystem::temp_directory_path() / (name + std::to_string(getpid()) + ".mcap")).string();
}

// Images like the simulator's: a depth ramp, a checkered infrared pattern, textured colour.
std::vector<std::vector<uint8_t>> syntheticImages() {
    std::vector<uint8_t> depth(640 * 480 * 2), ir(640 * 480), color(640 * 480 * 3);
    for (size_t i = 0; i < 640u * 480u; ++i) {
        const uint16_t d = static_cast<uint16_t>(600 + (i % 640) * 2 + (i / 640));
        std::memcpy(&depth[i * 2], &d, 2);
        ir[i] = static_cast<uint8_t>(((i % 640) / 8 + (i / 5120)) % 2 ? 200 : 40);
    }
    for (size_t i = 0; i < color.size(); ++i) color[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
    return {depth, ir, ir, color};
}

void BM_WriteFrame(benchmark::State& state) {
    WriterOptions options;
    options.zstd_level = static_cast<int>(state.range(0));
    const std::string path = scratchFile("kvdepth_bench_writer_");
    McapWriter writer(options);
    std::string error;
    if (!writer.open(path, &error)) state.SkipWithError(error.c_str());
    const uint16_t channel = writer.addChannel(0, "/image", "raw");
    const auto images = syntheticImages();
    uint64_t bytes = 0;
    uint32_t sequence = 0;
    for (auto _ : state) {
        for (const auto& image : images) {
            ++sequence;
            writer.writeMessage(channel, sequence, sequence, sequence, {{image.data(), image.size()}});
            bytes += image.size();
        }
    }
    writer.close(&error);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["file_ratio"] = static_cast<double>(writer.bytesWritten()) / static_cast<double>(bytes);
    std::filesystem::remove(path);
}
BENCHMARK(BM_WriteFrame)->ArgName("zstd_level")->Arg(-5)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

// Runs the tool as a user would and reads its summary line.
void BM_Record(benchmark::State& state) {
    const std::string path = scratchFile("kvdepth_bench_record_");
    double recorded = 0, dropped = 0, missed = 0, per_minute = 0;
    for (auto _ : state) {
        const std::string command =
            std::string("'") + KVDEPTH_TOOL + "' record --sim --sim-address 127.0.9.250 --kvsim '" +
            KVSIM_PROGRAM + "' --sim-fps 30 --seconds 20 --streams depth,ir,color --out '" + path + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        char line[512];
        std::string summary;
        while (pipe && std::fgets(line, sizeof line, pipe))
            if (std::strncmp(line, "done: ", 6) == 0) summary = line;
        const int status = pipe ? pclose(pipe) : -1;
        unsigned long long r = 0, d = 0, m = 0;
        if (status != 0 ||
            std::sscanf(summary.c_str(),
                        "done: %llu frames recorded to %*s in %*f s, %llu dropped by the writer, "
                        "%llu missed, %*f MB (%lf MB per minute)",
                        &r, &d, &m, &per_minute) != 4) {
            state.SkipWithError(("record failed: " + summary).c_str());
            break;
        }
        recorded = static_cast<double>(r);
        dropped = static_cast<double>(d);
        missed = static_cast<double>(m);
    }
    std::filesystem::remove(path);
    state.counters["frames_recorded"] = recorded;
    state.counters["frames_dropped"] = dropped;
    state.counters["frames_missed"] = missed;
    state.counters["MB_per_minute"] = per_minute;
}
BENCHMARK(BM_Record)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
