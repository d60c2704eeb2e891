// Image-processing benchmarks at 1280 x 960, single thread. With OpenCV, the same operations run on the
// same input in the same process and the ratios ours / OpenCV are printed after the table.
//
//   bench_imgproc [--benchmark_repetitions=N] [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imgproc/depth_world_mapper.h"
#include "imgproc/image_align.h"
#include "imgproc/image_util.h"
#include "kvdepth.h"

#ifdef KVDEPTH_BENCH_WITH_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 960;

const KV_CAMERA_INTRINSIC kIntrinsic = {{1050.5f, 0, 641.25f, 0, 1048.0f, 479.75f, 0, 0, 1}};
const KV_CAMERA_INTRINSIC kNewIntrinsic = {{980.0f, 0, 640.0f, 0, 980.0f, 480.0f, 0, 0, 1}};
// Rational and thin-prism terms all in use: the full formula, no shortcut.
const KV_CAMERA_DISTORTION kLens = {
    {-0.28f, 0.09f, 0.0012f, -0.0007f, -0.012f, 0.03f, -0.02f, 0.004f, 0.0011f, -0.0003f, 0.0009f, 0.0002f}};

// A depth frame as a structured-light camera delivers it: two surfaces with sensor noise, holes
// (value 0), and speckles of 1 to ~200 pixels with wrong depths.
const std::vector<uint16_t>& depthFrame() {
    static const std::vector<uint16_t> frame = [] {
        std::mt19937 rng(2024);
        std::vector<uint16_t> img(static_cast<size_t>(kWidth) * kHeight);
        std::normal_distribution<float> noise(0.0f, 3.0f);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const float surface = x < kWidth * 2 / 3 ? 1500.0f + 0.4f * x + 0.2f * y : 900.0f + 0.1f * y;
                img[static_cast<size_t>(y) * kWidth + x] = static_cast<uint16_t>(surface + noise(rng));
            }
        }
        std::uniform_int_distribution<int> px(0, kWidth - 1), py(0, kHeight - 1), side(1, 14),
            depth(300, 6000);
        for (int i = 0; i < 6000; ++i) {
            const int x0 = px(rng), y0 = py(rng), w = side(rng), h = side(rng);
            const bool hole = i % 5 == 0;
            const int d = depth(rng);
            for (int y = y0; y < std::min(kHeight, y0 + h); ++y)
                for (int x = x0; x < std::min(kWidth, x0 + w); ++x)
                    img[static_cast<size_t>(y) * kWidth + x] =
                        hole ? 0 : static_cast<uint16_t>(d + noise(rng));
        }
        return img;
    }();
    return frame;
}

std::vector<uint8_t> testImage(int channels) {
    std::vector<uint8_t> img(static_cast<size_t>(kWidth) * kHeight * channels);
    std::mt19937 rng(channels);
    std::uniform_int_distribution<int> noise(0, 40);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>((i / channels % kWidth) / 6 + noise(rng));
    return img;
}

orvane::KvDepthCameraIntrinsic depthIntrinsic() {
    orvane::KvDepthCameraIntrinsic in{{1050.5f, 0, 641.25f, 0, 1048.0f, 479.75f, 0, 0, 1, 0, 0}};
    in.updateReciprocals();
    return in;
}

// ------------------------------------------------------------------------------------------------ speckles

void BM_SpeckleFilter_Ours(benchmark::State& state) {
    const std::vector<uint16_t>& frame = depthFrame();
    std::vector<uint16_t> work(frame.size());
    orvane::ImageSpeckleFilter filter;  // 0, 150, 64
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), frame.data(), frame.size() * sizeof(uint16_t));
        state.ResumeTiming();
        filter.Compute(kWidth, kHeight, work.data());
        benchmark::DoNotOptimize(work.data());
    }
}
BENCHMARK(BM_SpeckleFilter_Ours)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------------------------------------
// undistortion

void runUndistort(benchmark::State& state, int channels, bool new_coefficients_each_call) {
    const std::vector<uint8_t> src_bytes = testImage(channels);
    std::vector<uint8_t> dst_bytes(src_bytes.size());
    KV_IMAGE_DATA src{}, dst{};
    src.buffer = const_cast<uint8_t*>(src_bytes.data());
    src.size = static_cast<int32_t>(src_bytes.size());
    src.width = kWidth;
    src.height = kHeight;
    src.pixelFormat = channels == 1 ? KV_PIXEL_FORMAT_MONO8 : KV_PIXEL_FORMAT_RGB8;
    dst = src;
    dst.buffer = dst_bytes.data();
    KV_CAMERA_DISTORTION lens = kLens;
    orvane::UndistortMapCache::shared().clear();
    for (auto _ : state) {
        // A coefficient one bit different each call: never a cached map.
        if (new_coefficients_each_call) lens.data[11] = std::nextafter(lens.data[11], 1.0f);
        if (KVUndistortImage(&kIntrinsic, &lens, &kNewIntrinsic, &src, &dst) != KV_STATUS_OK) {
            state.SkipWithError("KVUndistortImage failed");
            break;
        }
        benchmark::DoNotOptimize(dst_bytes.data());
    }
}

void BM_UndistortFirstCall_Mono_Ours(benchmark::State& state) {
    runUndistort(state, 1, true);
}
void BM_UndistortFirstCall_Rgb_Ours(benchmark::State& state) {
    runUndistort(state, 3, true);
}
void BM_UndistortRepeated_Mono_Ours(benchmark::State& state) {
    runUndistort(state, 1, false);
}
void BM_UndistortRepeated_Rgb_Ours(benchmark::State& state) {
    runUndistort(state, 3, false);
}
BENCHMARK(BM_UndistortFirstCall_Mono_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistortFirstCall_Rgb_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistortRepeated_Mono_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistortRepeated_Rgb_Ours)->Unit(benchmark::kMillisecond);

void BM_UndistortMapOnly_Ours(benchmark::State& state) {
    for (auto _ : state) {
        orvane::ImageUndistort u(kIntrinsic.data, kNewIntrinsic.data, kLens.data, 12, kWidth, kHeight, kWidth,
                                 kHeight);
        u.CreateUndistortMap();
        benchmark::DoNotOptimize(u.map_x.data());
    }
}
BENCHMARK(BM_UndistortMapOnly_Ours)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------------------------------------ point
// cloud

void BM_DepthToWorldImage_Ours(benchmark::State& state) {
    const std::vector<uint16_t>& frame = depthFrame();
    const orvane::KvDepthCameraIntrinsic in = depthIntrinsic();
    orvane::KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
    std::vector<KV_VECT_3F> world(frame.size());
    for (auto _ : state) {
        mapper.depthImage2WorldImage(frame.data(), kWidth, kHeight, world.data());
        benchmark::DoNotOptimize(world.data());
    }
    state.SetBytesProcessed(state.iterations() * world.size() * sizeof(KV_VECT_3F));
}
BENCHMARK(BM_DepthToWorldImage_Ours)->Unit(benchmark::kMillisecond);

void BM_MemcpyPointCloudSize(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(kWidth) * kHeight * sizeof(KV_VECT_3F);
    std::vector<uint8_t> from(bytes, 1), to(bytes, 2);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_MemcpyPointCloudSize)->Unit(benchmark::kMillisecond);

void BM_DepthAlignToColor_Ours(benchmark::State& state) {
    const std::vector<uint16_t>& frame = depthFrame();
    const orvane::KvDepthCameraIntrinsic in = depthIntrinsic();
    orvane::KvDepthCameraIntrinsic::DepthWorldMapper mapper(&in);
    std::vector<KV_VECT_3F> world(frame.size());
    mapper.depthImage2WorldImage(frame.data(), kWidth, kHeight, world.data());
    orvane::ImageAligner aligner;
    const float rotation[9] = {0.9998f,  -0.0150f, 0.0120f, 0.0151f, 0.9999f,
                               -0.0050f, -0.0119f, 0.0052f, 0.9999f};
    std::copy(rotation, rotation + 9, aligner.rotation);
    aligner.translation[0] = -25.0f;
    aligner.translation[1] = 0.4f;
    aligner.translation[2] = 1.2f;
    const float color[9] = {520.0f, 0, 321.5f, 0, 519.0f, 238.5f, 0, 0, 1};
    std::copy(color, color + 9, aligner.color_intrinsic);
    aligner.intrinsic_width = 640;
    aligner.intrinsic_height = 480;
    aligner.image_width = kWidth;
    aligner.image_height = kHeight;
    std::vector<uint16_t> out(static_cast<size_t>(kWidth) * kHeight);
    for (auto _ : state) {
        aligner.DepthAlignToColor(&world[0].x, 0, static_cast<int>(world.size()), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_DepthAlignToColor_Ours)->Unit(benchmark::kMillisecond);

#ifdef KVDEPTH_BENCH_WITH_OPENCV

void BM_SpeckleFilter_OpenCV(benchmark::State& state) {
    cv::setNumThreads(1);
    const std::vector<uint16_t>& frame = depthFrame();
    cv::Mat work(kHeight, kWidth, CV_16SC1);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data, frame.data(), frame.size() * sizeof(uint16_t));
        state.ResumeTiming();
        cv::filterSpeckles(work, 0, 150, 64);
        benchmark::DoNotOptimize(work.data);
    }
}
BENCHMARK(BM_SpeckleFilter_OpenCV)->Unit(benchmark::kMillisecond);

// The same with OpenCV's optional scratch buffer kept between calls, as our filter keeps its own.
void BM_SpeckleFilter_OpenCVReusedBuffer(benchmark::State& state) {
    cv::setNumThreads(1);
    const std::vector<uint16_t>& frame = depthFrame();
    cv::Mat work(kHeight, kWidth, CV_16SC1), buffer;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data, frame.data(), frame.size() * sizeof(uint16_t));
        state.ResumeTiming();
        cv::filterSpeckles(work, 0, 150, 64, buffer);
        benchmark::DoNotOptimize(work.data);
    }
}
BENCHMARK(BM_SpeckleFilter_OpenCVReusedBuffer)->Unit(benchmark::kMillisecond);

void runOpenCVUndistort(benchmark::State& state, int channels, bool compute_map_each_call) {
    cv::setNumThreads(1);
    const std::vector<uint8_t> bytes = testImage(channels);
    const cv::Mat src(kHeight, kWidth, channels == 1 ? CV_8UC1 : CV_8UC3, const_cast<uint8_t*>(bytes.data()));
    cv::Mat dst(kHeight, kWidth, src.type());
    const cv::Mat camera(3, 3, CV_32F, const_cast<float*>(kIntrinsic.data));
    const cv::Mat target(3, 3, CV_32F, const_cast<float*>(kNewIntrinsic.data));
    const cv::Mat lens(1, 12, CV_32F, const_cast<float*>(kLens.data));
    cv::Mat map_x, map_y;
    cv::initUndistortRectifyMap(camera, lens, cv::Mat(), target, cv::Size(kWidth, kHeight), CV_32FC1, map_x,
                                map_y);
    for (auto _ : state) {
        if (compute_map_each_call) {
            cv::initUndistortRectifyMap(camera, lens, cv::Mat(), target, cv::Size(kWidth, kHeight), CV_32FC1,
                                        map_x, map_y);
        }
        cv::remap(src, dst, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
        benchmark::DoNotOptimize(dst.data);
    }
}

void BM_UndistortFirstCall_Mono_OpenCV(benchmark::State& state) {
    runOpenCVUndistort(state, 1, true);
}
void BM_UndistortFirstCall_Rgb_OpenCV(benchmark::State& state) {
    runOpenCVUndistort(state, 3, true);
}
void BM_UndistortRepeated_Mono_OpenCV(benchmark::State& state) {
    runOpenCVUndistort(state, 1, false);
}
void BM_UndistortRepeated_Rgb_OpenCV(benchmark::State& state) {
    runOpenCVUndistort(state, 3, false);
}
BENCHMARK(BM_UndistortFirstCall_Mono_OpenCV)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistortFirstCall_Rgb_OpenCV)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistortRepeated_Mono_OpenCV)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UndistortRepeated_Rgb_OpenCV)->Unit(benchmark::kMillisecond);

void BM_UndistortMapOnly_OpenCV(benchmark::State& state) {
    cv::setNumThreads(1);
    const cv::Mat camera(3, 3, CV_32F, const_cast<float*>(kIntrinsic.data));
    const cv::Mat target(3, 3, CV_32F, const_cast<float*>(kNewIntrinsic.data));
    const cv::Mat lens(1, 12, CV_32F, const_cast<float*>(kLens.data));
    cv::Mat map_x, map_y;
    for (auto _ : state) {
        cv::initUndistortRectifyMap(camera, lens, cv::Mat(), target, cv::Size(kWidth, kHeight), CV_32FC1,
                                    map_x, map_y);
        benchmark::DoNotOptimize(map_x.data);
    }
}
BENCHMARK(BM_UndistortMapOnly_OpenCV)->Unit(benchmark::kMillisecond);

#endif  // KVDEPTH_BENCH_WITH_OPENCV

// Keeps the per-benchmark time (the median when repetitions are asked for) to print ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") median_[name] = run.GetAdjustedRealTime();
            } else if (!single_.count(name)) {
                single_[name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double time(const std::string& name) const {
        auto m = median_.find(name);
        if (m != median_.end()) return m->second;
        auto s = single_.find(name);
        return s != single_.end() ? s->second : -1.0;
    }

    void printRatio(const char* what, const std::string& ours, const std::string& theirs,
                    double target) const {
        const double a = time(ours), b = time(theirs);
        if (a <= 0 || b <= 0) return;
        std::printf("%-58s %8.3f ms / %8.3f ms = %5.2fx (target <= %.1fx) %s\n", what, a, b, a / b, target,
                    a / b <= target ? "met" : "MISSED");
    }

  private:
    std::map<std::string, double> median_, single_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios (times per call, %s):\n", "median of repetitions when repeated");
    reporter.printRatio("speckle filter / cv::filterSpeckles", "BM_SpeckleFilter_Ours",
                        "BM_SpeckleFilter_OpenCV", 0.8);
    reporter.printRatio("speckle filter / cv::filterSpeckles with reused buffer", "BM_SpeckleFilter_Ours",
                        "BM_SpeckleFilter_OpenCVReusedBuffer", 0.8);
    reporter.printRatio("KVUndistortImage first call, mono8 / initUndistort+remap",
                        "BM_UndistortFirstCall_Mono_Ours", "BM_UndistortFirstCall_Mono_OpenCV", 1.0);
    reporter.printRatio("KVUndistortImage first call, RGB / initUndistort+remap",
                        "BM_UndistortFirstCall_Rgb_Ours", "BM_UndistortFirstCall_Rgb_OpenCV", 1.0);
    reporter.printRatio("KVUndistortImage repeated, mono8 / cv::remap", "BM_UndistortRepeated_Mono_Ours",
                        "BM_UndistortRepeated_Mono_OpenCV", 1.0);
    reporter.printRatio("KVUndistortImage repeated, RGB / cv::remap", "BM_UndistortRepeated_Rgb_Ours",
                        "BM_UndistortRepeated_Rgb_OpenCV", 1.0);
    reporter.printRatio("depthImage2WorldImage / memcpy of its output", "BM_DepthToWorldImage_Ours",
                        "BM_MemcpyPointCloudSize", 1.5);
    reporter.printRatio("DepthAlignToColor / depthImage2WorldImage", "BM_DepthAlignToColor_Ours",
                        "BM_DepthToWorldImage_Ours", 2.0);
    benchmark::Shutdown();
    return 0;
}
