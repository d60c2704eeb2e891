// Where OpenCV computes the same thing, our results agree with it.
#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <cmath>
#include <random>
#include <vector>

#include "imgproc/image_util.h"

namespace orvane {
namespace {

// Depth-like 16-bit content within 0..32767, so that OpenCV's signed 16-bit filter sees the same values.
std::vector<uint16_t> depthWithSpeckles(std::mt19937& rng, int width, int height) {
    std::vector<uint16_t> img(static_cast<size_t>(width) * height);
    std::uniform_int_distribution<int> noise(-10, 10), px(0, width - 1), py(0, height - 1), side(1, 16),
        value(0, 20000);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img[static_cast<size_t>(y) * width + x] =
                static_cast<uint16_t>((x < width / 3 ? 900 + x / 2 : 2500 + (y - x) / 3) + 20 + noise(rng));
    for (int i = 0; i < width * height / 150; ++i) {
        const int x0 = px(rng), y0 = py(rng), w = side(rng), h = side(rng),
                  v = value(rng) < 1500 ? 0 : value(rng);
        for (int y = y0; y < std::min(height, y0 + h); ++y)
            for (int x = x0; x < std::min(width, x0 + w); ++x)
                img[static_cast<size_t>(y) * width + x] = static_cast<uint16_t>(std::max(0, v + noise(rng)));
    }
    return img;
}

TEST(AgainstOpenCV, SpeckleFilterEqualsFilterSpeckles) {
    std::mt19937 rng(123);
    struct Case {
        int width, height, new_value, max_size, max_diff;
    };
    const Case cases[] = {
        {1280, 960, 0, 150, 64}, {640, 480, 0, 40, 16}, {333, 77, 7, 500, 200}, {64, 64, 0, 1, 0}};
    for (const Case& c : cases) {
        std::vector<uint16_t> ours = depthWithSpeckles(rng, c.width, c.height);
        cv::Mat theirs(c.height, c.width, CV_16SC1);
        std::memcpy(theirs.data, ours.data(), ours.size() * sizeof(uint16_t));
        std::vector<uint8_t> buffer;
        ASSERT_EQ(
            filterSpecklesImpl(c.width, c.height, ours.data(), c.new_value, c.max_size, c.max_diff, buffer),
            0);
        cv::filterSpeckles(theirs, c.new_value, c.max_size, c.max_diff);
        EXPECT_EQ(std::memcmp(theirs.data, ours.data(), ours.size() * sizeof(uint16_t)), 0)
            << c.width << "x" << c.height;
    }
}

TEST(AgainstOpenCV, UndistortMapWithinAThousandthOfAPixel) {
    const float intrinsic[9] = {1050.5f, 0, 641.25f, 0, 1048.0f, 479.75f, 0, 0, 1};
    const float new_intrinsic[9] = {980.0f, 0, 640.0f, 0, 980.0f, 480.0f, 0, 0, 1};
    const float lenses[][12] = {
        {-0.28f, 0.09f, 0.0012f, -0.0007f, -0.012f, 0.03f, -0.02f, 0.004f, 0.0011f, -0.0003f, 0.0009f,
         0.0002f},
        {0.12f, -0.25f, -0.001f, 0.0015f, 0.08f, 0, 0, 0, 0, 0, 0, 0},
        {-0.05f, 0.01f, 0, 0, 0, 0.2f, -0.1f, 0.05f, 0.002f, 0.001f, -0.002f, 0.0005f}};
    const int width = 1280, height = 960;
    for (const auto& lens : lenses) {
        for (const float* target : {static_cast<const float*>(nullptr), new_intrinsic}) {
            ImageUndistort ours(intrinsic, target, lens, 12, width, height, width, height);
            ASSERT_EQ(ours.CreateUndistortMap(), 0);
            cv::Mat camera(3, 3, CV_32F, const_cast<float*>(intrinsic));
            cv::Mat output(3, 3, CV_32F, const_cast<float*>(target ? target : intrinsic));
            cv::Mat coefficients(1, 12, CV_32F, const_cast<float*>(lens));
            cv::Mat map_x, map_y;
            cv::initUndistortRectifyMap(camera, coefficients, cv::Mat(), output, cv::Size(width, height),
                                        CV_32FC1, map_x, map_y);
            double worst = 0;
            for (int v = 0; v < height; ++v) {
                for (int u = 0; u < width; ++u) {
                    const size_t i = static_cast<size_t>(v) * width + u;
                    worst = std::max(worst,
                                     static_cast<double>(std::fabs(ours.map_x[i] - map_x.at<float>(v, u))));
                    worst = std::max(worst,
                                     static_cast<double>(std::fabs(ours.map_y[i] - map_y.at<float>(v, u))));
                }
            }
            EXPECT_LT(worst, 1e-3);
        }
    }
}

}  // namespace
}  // namespace orvane
