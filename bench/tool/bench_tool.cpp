// Capture rate of the kvdepth tool.
//
//   bench_tool --benchmark_filter=WriteFrame   the writer thread's cost per frame (PNG, PLY, JSON to disk)
//   bench_tool --benchmark_filter=Capture      `kvdepth capture --sim --frames 300` at 30 fps: frames
//   written,
//                                              frames lost and the rate achieved, for depth + colour and for
//                                              every stream with point clouds
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "frame_files.h"

namespace {

using namespace orvane::tool;

ImageCopy image(int32_t component, int32_t format, int bytes_per_pixel) {
    ImageCopy img;
    img.component = component;
    img.pixel_format = format;
    img.width = 640;
    img.height = 480;
    img.data.resize(640u * 480u * bytes_per_pixel);
    return img;
}

// A frame that looks like the simulator's: a depth ramp, textured infrared and colour, a point cloud.
FrameRecord syntheticFrame(bool all_streams) {
    FrameRecord frame;
    frame.number = 1;
    ImageCopy depth = image(KV_COMPONENT_DEPTH, KV_PIXEL_FORMAT_DEPTH16, 2);
    for (size_t i = 0; i < 640u * 480u; ++i) {
        const uint16_t d = static_cast<uint16_t>(600 + (i % 640) * 2 + (i / 640));
        std::memcpy(&depth.data[i * 2], &d, 2);
    }
    ImageCopy color = image(KV_COMPONENT_COLOR, KV_PIXEL_FORMAT_RGB8, 3);
    for (size_t i = 0; i < color.data.size(); ++i) color.data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
    frame.images.push_back(depth);
    if (all_streams) {
        ImageCopy left = image(KV_COMPONENT_LEFT_IR, KV_PIXEL_FORMAT_MONO8, 1);
        for (size_t i = 0; i < left.data.size(); ++i)
            left.data[i] = static_cast<uint8_t>(((i % 640) / 8 + (i / 5120)) % 2 ? 200 : 40);
        ImageCopy right = left;
        right.component = KV_COMPONENT_RIGHT_IR;
        ImageCopy points = image(KV_COMPONENT_POINT3D, KV_PIXEL_FORMAT_POINT3D_F32, 12);
        for (size_t i = 0; i < 640u * 480u; ++i) {
            const float xyz[3] = {static_cast<float>(i % 640) - 320.0f, static_cast<float>(i / 640) - 240.0f,
                                  1500.0f};
            std::memcpy(&points.data[i * 12], xyz, 12);
        }
        frame.images.push_back(left);
        frame.images.push_back(right);
        frame.images.push_back(points);
    }
    frame.images.push_back(color);
    return frame;
}

void BM_WriteFrame(benchmark::State& state) {
    const bool all_streams = state.range(0) != 0;
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("kvdepth_bench_" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(dir);
    FrameFileOptions options;
    options.directory = dir;
    options.camera = "bench";
    const FrameRecord frame = syntheticFrame(all_streams);
    for (auto _ : state) {
        std::string error;
        if (!writeFrameFiles(frame, options, &error)) state.SkipWithError(error.c_str());
    }
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_WriteFrame)->ArgName("all_streams")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Runs the tool as a user would and reads its summary line.
void BM_Capture(benchmark::State& state, const char* streams) {
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("kvdepth_capture_" + std::to_string(getpid()))).string();
    double written = 0, lost = 0, fps = 0;
    for (auto _ : state) {
        std::filesystem::remove_all(dir);
        const std::string command = std::string("'") + KVDEPTH_TOOL + "' capture --sim --kvsim '" +
                                    KVSIM_PROGRAM + "' --frames 300 --streams " + streams + " --out '" + dir +
                                    "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        char line[512];
        std::string summary;
        while (pipe && std::fgets(line, sizeof line, pipe))
            if (std::strncmp(line, "done: ", 6) == 0) summary = line;
        const int status = pipe ? pclose(pipe) : -1;
        unsigned long long w = 0, l = 0;
        if (status != 0 ||
            std::sscanf(summary.c_str(), "done: %llu frames written to %*s %llu lost (%*[^)]), %lf fps", &w,
                        &l, &fps) != 3) {
            state.SkipWithError(("capture failed: " + summary).c_str());
            break;
        }
        written = static_cast<double>(w);
        lost = static_cast<double>(l);
    }
    std::filesystem::remove_all(dir);
    state.counters["frames_written"] = written;
    state.counters["frames_lost"] = lost;
    state.counters["fps"] = fps;
}
BENCHMARK_CAPTURE(BM_Capture, depth_color, "depth,color")->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Capture, all_streams_ply, "depth,ir,color,points")
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
