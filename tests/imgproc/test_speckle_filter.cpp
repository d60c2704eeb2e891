#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "imgproc/image_util.h"
#include "imgproc_test_support.h"
#include "reference_impl.h"

namespace orvane {
namespace {

using testing_support::availableLevels;
using testing_support::firstDifference;
using testing_support::GuardedBuffer;
using testing_support::levelName;
using testing_support::ScopedSimdLevel;

struct Image {
    int width, height;
    std::vector<uint16_t> pixels;
    Image(int w, int h, uint16_t fill) : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}
    uint16_t& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    uint16_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    Image& fillRect(int x0, int y0, int w, int h, uint16_t value) {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) at(x, y) = value;
        return *this;
    }
};

// Runs the filter on a copy of the image with the default settings (0, 150, 64) on every kernel
// variant, checks that all variants agree, and returns the result.
Image filtered(const Image& input, int new_value = 0, int max_size = 150, int max_diff = 64) {
    Image result = input;
    bool first = true;
    for (SimdLevel level : availableLevels()) {
        ScopedSimdLevel scope(level);
        Image copy = input;
        std::vector<uint8_t> buffer;
        EXPECT_EQ(filterSpecklesImpl(copy.width, copy.height, copy.pixels.data(), new_value, max_size,
                                     max_diff, buffer),
                  0);
        if (first) {
            result = copy;
            first = false;
        } else {
            EXPECT_EQ(copy.pixels, result.pixels) << levelName(level);
        }
    }
    return result;
}

// Hand-made images with the pixels they must hold after filtering (x, y, value triples), or the value
// every pixel must hold; with neither the image must come out unchanged.
TEST(SpeckleFilter, HandMadeImagesLoseExactlyTheirSpeckles) {
    Image ramp(200, 1, 0), checker(33, 17, 0);
    for (int x = 0; x < 200; ++x) ramp.at(x, 0) = static_cast<uint16_t>(100 + 60 * x);
    Image steep = ramp;
    steep.at(100, 0) = static_cast<uint16_t>(steep.at(100, 0) + 5);  // 65 and 55 from its neighbours
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 33; ++x) checker.at(x, y) = (x + y) % 2 ? 100 : 1000;
    struct Case {
        const char* what;
        Image image;
        int new_value, max_size;
        std::vector<int> probes;
        int every;
    };
    const Image field(60, 40, 1000);
    // clang-format off
    const Case cases[] = {
        {"island of 100", Image(field).fillRect(10, 10, 10, 10, 2000), 0, 150,
         {10, 10, 0, 19, 19, 0, 9, 10, 1000}, -1},
        {"island of exactly the max size", Image(field).fillRect(10, 10, 15, 10, 2000), 0, 150,
         {12, 12, 0}, -1},
        {"one pixel more is kept", Image(field).fillRect(10, 10, 15, 10, 2000).fillRect(25, 10, 1, 1, 2000),
         0, 150, {10, 10, 2000, 25, 10, 2000}, -1},
        {"gradual slope is one region", ramp, 0, 150, {}, -1},
        {"a steeper step splits it in halves of 100", steep, 0, 150, {0, 0, 0, 199, 0, 0}, -1},
        {"invalid pixels separate regions", Image(41, 5, 1000).fillRect(20, 0, 1, 5, 0), 0, 150, {}, 0},
        {"joined they are one region of 205", Image(41, 5, 1000), 0, 150, {}, -1},
        {"diagonal neighbours do not connect",
         Image(40, 40, 0).fillRect(0, 0, 20, 20, 1000).fillRect(20, 20, 1, 1, 1000), 0, 150,
         {20, 20, 0, 19, 19, 1000}, -1},
        {"no joined neighbours", checker, 7, 1, {}, 7},
        // With -1 no pixel counts as invalid, so the zero pixels form regions of their own, and the
        // written value is -1 stored in 16 bits.
        {"invalid value outside 16 bits",
         Image(20, 20, 1000).fillRect(3, 3, 2, 2, 0).fillRect(10, 10, 1, 1, 5000), -1, 10,
         {3, 3, 0xFFFF, 10, 10, 0xFFFF, 0, 0, 1000}, -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        const Image out = filtered(c.image, c.new_value, c.max_size);
        for (size_t i = 0; i + 2 < c.probes.size(); i += 3)
            EXPECT_EQ(out.at(c.probes[i], c.probes[i + 1]), c.probes[i + 2])
                << c.what << " at " << c.probes[i] << "," << c.probes[i + 1];
        if (c.every >= 0) {
            for (uint16_t v : out.pixels) ASSERT_EQ(v, c.every) << c.what;
        } else if (c.probes.empty()) {
            EXPECT_EQ(out.pixels, c.image.pixels) << c.what;
        }
    }
}

TEST(SpeckleFilter, SwitchedOffByZeroSizeOrDifference) {
    Image img(30, 30, 1000);
    img.at(5, 5) = 3000;
    for (auto settings : {std::pair<int, int>{0, 64}, {150, 0}, {-1, 64}, {150, -5}}) {
        ImageSpeckleFilter filter;
        filter.speckle_max_size = settings.first;
        filter.speckle_max_diff = settings.second;
        Image copy = img;
        EXPECT_EQ(filter.Compute(copy.width, copy.height, copy.pixels.data()), 0);
        EXPECT_EQ(copy.pixels, img.pixels);
    }
    ImageSpeckleFilter on;
    Image copy = img;
    EXPECT_EQ(on.Compute(copy.width, copy.height, copy.pixels.data()), 0);
    EXPECT_EQ(copy.at(5, 5), 0);
}

// Depth-like content: planes, ramps and holes, with noise and speckles of many sizes.
Image syntheticDepth(std::mt19937& rng, int width, int height) {
    Image img(width, height, 0);
    std::uniform_int_distribution<int> noise(-8, 8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.at(x, y) = static_cast<uint16_t>((x < width / 2 ? 1200 + x : 3000 - 2 * y) + noise(rng));
    std::uniform_int_distribution<int> px(0, width - 1), py(0, height - 1), side(1, 14), value(0, 6000);
    const int speckles = width * height / 200 + 3;
    for (int i = 0; i < speckles; ++i) {
        const int x0 = px(rng), y0 = py(rng), w = side(rng), h = side(rng);
        const int v = value(rng) < 500 ? 0 : value(rng);
        for (int y = y0; y < std::min(height, y0 + h); ++y)
            for (int x = x0; x < std::min(width, x0 + w); ++x)
                img.at(x, y) = static_cast<uint16_t>(v + noise(rng));
    }
    return img;
}

TEST(SpeckleFilter, MatchesFloodFillReferenceOnRandomImages) {
    std::mt19937 rng(77);
    const int sizes[][2] = {{1, 1},  {1, 40}, {40, 1},  {31, 9},  {32, 9},   {33, 9}, {63, 5},
                            {64, 5}, {65, 5}, {97, 31}, {128, 3}, {321, 41}, {100, 4}};
    struct Settings {
        int new_value, max_size, max_diff;
    };
    const Settings settings[] = {{0, 150, 64},   {0, 1, 64},      {5, 30, 0},      {0, 40, 1},
                                 {1000, 25, 20}, {0, 100000, 64}, {70000, 60, 64}, {-1, 60, 64},
                                 {0, 60, 65535}, {0, 60, 100000}, {0, 60, -3}};
    for (const auto& size : sizes) {
        for (const Settings& s : settings) {
            const Image input = syntheticDepth(rng, size[0], size[1]);
            Image expected = input;
            reference::filterSpeckles(expected.width, expected.height, expected.pixels.data(), s.new_value,
                                      s.max_size, s.max_diff);
            // The image ends at a guard page, so a kernel reading or writing past it faults.
            GuardedBuffer pixels(input.pixels.size() * sizeof(uint16_t));
            ASSERT_TRUE(pixels.ok());
            for (SimdLevel level : availableLevels()) {
                ScopedSimdLevel scope(level);
                std::copy(input.pixels.begin(), input.pixels.end(), pixels.as<uint16_t>());
                std::vector<uint8_t> buffer;
                ASSERT_EQ(filterSpecklesImpl(input.width, input.height, pixels.as<uint16_t>(), s.new_value,
                                             s.max_size, s.max_diff, buffer),
                          0);
                EXPECT_EQ(firstDifference(pixels.as<uint16_t>(), expected.pixels.data(), input.pixels.size()),
                          -1)
                    << levelName(level) << " " << size[0] << "x" << size[1] << " new " << s.new_value
                    << " size " << s.max_size << " diff " << s.max_diff;
            }
        }
    }
}

TEST(SpeckleFilter, MatchesReferenceOnNoiseAndOnFullFrames) {
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> value(0, 400);
    Image noise(301, 77, 0);
    for (uint16_t& v : noise.pixels) v = static_cast<uint16_t>(value(rng));
    Image expected = noise;
    reference::filterSpeckles(expected.width, expected.height, expected.pixels.data(), 0, 12, 50);
    EXPECT_EQ(filtered(noise, 0, 12, 50).pixels, expected.pixels);

    const Image frame = syntheticDepth(rng, 1280, 960);
    expected = frame;
    reference::filterSpeckles(expected.width, expected.height, expected.pixels.data(), 0, 150, 64);
    EXPECT_EQ(filtered(frame).pixels, expected.pixels);
}

TEST(SpeckleFilter, RefusesNullImagesAndDimensionsBeyondSixteenBitCoordinates) {
    std::vector<uint8_t> buffer;
    std::vector<uint16_t> row(32768, 1000);
    row[5] = 3000;
    EXPECT_EQ(filterSpecklesImpl(32768, 1, row.data(), 0, 150, 64, buffer), -1);
    EXPECT_EQ(filterSpecklesImpl(1, 32768, row.data(), 0, 150, 64, buffer), -1);
    EXPECT_EQ(row[5], 3000);
    EXPECT_TRUE(buffer.empty());
    // The largest accepted width works.
    EXPECT_EQ(filterSpecklesImpl(32767, 1, row.data(), 0, 150, 64, buffer), 0);
    EXPECT_EQ(row[5], 0);
    EXPECT_EQ(filterSpecklesImpl(10, 10, nullptr, 0, 150, 64, buffer), -1);  // null image
    EXPECT_EQ(filterSpecklesImpl(0, 10, nullptr, 0, 150, 64, buffer), 0);    // empty ones are ignored
    EXPECT_EQ(filterSpecklesImpl(10, -1, nullptr, 0, 150, 64, buffer), 0);
}

}  // namespace
}  // namespace orvane
