#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "imgproc/image_util.h"
#include "kvdepth.h"

namespace orvane {
namespace {

const KV_CAMERA_INTRINSIC kIntrinsic = {{400, 0, 40.5f, 0, 402, 30.25f, 0, 0, 1}};
const KV_CAMERA_DISTORTION kLens = {
    {-0.28f, 0.09f, 0.0012f, -0.0007f, -0.012f, 0.03f, -0.02f, 0.004f, 0.0011f, -0.0003f, 0.0009f, 0.0002f}};

struct TestImage {
    std::vector<uint8_t> bytes;
    KV_IMAGE_DATA record{};
    TestImage(int width, int height, int format, int channels, uint8_t fill = 0) {
        bytes.assign(static_cast<size_t>(width) * height * channels, fill);
        record.buffer = bytes.data();
        record.size = static_cast<int32_t>(bytes.size());
        record.width = width;
        record.height = height;
        record.pixelFormat = format;
    }
};

std::vector<uint8_t> expectedUndistort(const KV_CAMERA_INTRINSIC& in, const KV_CAMERA_DISTORTION& lens,
                                       const KV_CAMERA_INTRINSIC* new_in, const TestImage& src, int dst_width,
                                       int dst_height, int channels) {
    ImageUndistort u(in.data, new_in ? new_in->data : nullptr, lens.data, 12, src.record.width,
                     src.record.height, dst_width, dst_height);
    std::vector<uint8_t> out(static_cast<size_t>(dst_width) * dst_height * channels);
    EXPECT_EQ(
        u.Compute(src.bytes.data(), src.record.width * channels, out.data(), dst_width * channels, channels),
        0);
    return out;
}

TestImage randomImage(std::mt19937& rng, int width, int height, int format, int channels) {
    TestImage image(width, height, format, channels);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : image.bytes) b = static_cast<uint8_t>(byte(rng));
    return image;
}

TEST(KVUndistortImage, RefusesNullRecordsAndBuffersFirst) {
    TestImage src(80, 60, KV_PIXEL_FORMAT_MONO8, 1), dst(80, 60, 0, 1);
    EXPECT_EQ(KVUndistortImage(nullptr, &kLens, nullptr, &src.record, &dst.record), KV_STATUS_NULL_POINTER);
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, nullptr, nullptr, &src.record, &dst.record),
              KV_STATUS_NULL_POINTER);
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, nullptr, &dst.record), KV_STATUS_NULL_POINTER);
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, nullptr), KV_STATUS_NULL_POINTER);
    KV_IMAGE_DATA no_buffer = dst.record;
    no_buffer.buffer = nullptr;
    no_buffer.width = -5;  // the null buffer is reported before the size
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &no_buffer),
              KV_STATUS_NULL_POINTER);
    no_buffer = src.record;
    no_buffer.buffer = nullptr;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &no_buffer, &dst.record),
              KV_STATUS_NULL_POINTER);
}

TEST(KVUndistortImage, RefusesBadSizesAndFormats) {
    TestImage src(80, 60, KV_PIXEL_FORMAT_MONO8, 1), dst(80, 60, 0, 1);
    for (int* field : {&src.record.width, &src.record.height, &dst.record.width, &dst.record.height}) {
        const int saved = *field;
        *field = 0;
        EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record),
                  KV_STATUS_INVALID_PARAMETER);
        *field = -3;
        EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record),
                  KV_STATUS_INVALID_PARAMETER);
        *field = saved;
    }
    for (int format : {KV_PIXEL_FORMAT_DEPTH16, KV_PIXEL_FORMAT_POINT3D_F32, KV_PIXEL_FORMAT_COLOR_16_A, 0}) {
        src.record.pixelFormat = format;
        EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record),
                  KV_STATUS_INVALID_PARAMETER);
    }
}

TEST(KVUndistortImage, DestinationMustHoldTheWholeImage) {
    TestImage src(80, 60, KV_PIXEL_FORMAT_MONO8, 1, 100), dst(80, 60, 0, 1);
    dst.record.size = 80 * 60 - 1;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record),
              KV_STATUS_INVALID_PARAMETER);
    dst.record.size = 80 * 60;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record), KV_STATUS_OK);
    TestImage rgb(80, 60, KV_PIXEL_FORMAT_RGB8, 3), rgb_out(80, 60, 0, 3);
    rgb_out.record.size = 80 * 60 * 3 - 1;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &rgb.record, &rgb_out.record),
              KV_STATUS_INVALID_PARAMETER);
}

TEST(KVUndistortImage, RefusesSourceRecordSmallerThanItsImage) {
    // Reading a width x height image from a buffer announced smaller would run past it.
    TestImage src(80, 60, KV_PIXEL_FORMAT_RGB8, 3), dst(80, 60, 0, 3);
    src.record.size = 80 * 60 * 3 - 1;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record),
              KV_STATUS_INVALID_PARAMETER);
}

TEST(KVUndistortImage, SizesWhoseByteCountOverflowsAreRefused) {
    TestImage src(80, 60, KV_PIXEL_FORMAT_RGB8, 3), dst(80, 60, 0, 3);
    KV_IMAGE_DATA huge = dst.record;
    huge.width = 50000;
    huge.height = 50000;  // 7.5e9 bytes; a 32-bit product would wrap
    huge.size = INT32_MAX;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &huge),
              KV_STATUS_INVALID_PARAMETER);
    huge.width = 65536;
    huge.height = 65536;  // exactly 2^32 pixels: wraps to 0 in 32 bits
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &huge),
              KV_STATUS_INVALID_PARAMETER);
    KV_IMAGE_DATA huge_src = src.record;
    huge_src.width = 65536;
    huge_src.height = 65536;
    huge_src.size = 0;
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &huge_src, &dst.record),
              KV_STATUS_INVALID_PARAMETER);
}

TEST(KVUndistortImage, UndistortsMonoAndRgbAndCopiesTheFormat) {
    std::mt19937 rng(31);
    const KV_CAMERA_INTRINSIC wider = {{380, 0, 50, 0, 380, 35, 0, 0, 1}};
    for (auto [format, channels] :
         {std::pair<int, int>{KV_PIXEL_FORMAT_MONO8, 1}, {KV_PIXEL_FORMAT_RGB8, 3}}) {
        TestImage src = randomImage(rng, 81, 61, format, channels);
        TestImage dst(100, 70, 0, channels, 0xAA);
        ASSERT_EQ(KVUndistortImage(&kIntrinsic, &kLens, &wider, &src.record, &dst.record), KV_STATUS_OK);
        EXPECT_EQ(dst.record.pixelFormat, format);
        EXPECT_EQ(dst.bytes, expectedUndistort(kIntrinsic, kLens, &wider, src, 100, 70, channels));

        // No new intrinsic: the source one is used for the output.
        ASSERT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record), KV_STATUS_OK);
        EXPECT_EQ(dst.bytes, expectedUndistort(kIntrinsic, kLens, nullptr, src, 100, 70, channels));
    }
}

TEST(KVUndistortImage, InPlaceCallGivesTheSameImageAsSeparateBuffers) {
    std::mt19937 rng(41);
    for (auto [format, channels] :
         {std::pair<int, int>{KV_PIXEL_FORMAT_MONO8, 1}, {KV_PIXEL_FORMAT_RGB8, 3}}) {
        TestImage image = randomImage(rng, 64, 48, format, channels);
        const std::vector<uint8_t> expected =
            expectedUndistort(kIntrinsic, kLens, nullptr, image, 64, 48, channels);
        // Reading the source while writing the same memory would mix undistorted pixels back in.
        ASSERT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &image.record, &image.record), KV_STATUS_OK);
        EXPECT_EQ(image.bytes, expected) << channels;
    }
}

TEST(KVUndistortImage, RepeatedCallsReuseOneMapAndGiveIdenticalOutput) {
    UndistortMapCache::shared().clear();
    std::mt19937 rng(5);
    TestImage first = randomImage(rng, 64, 48, KV_PIXEL_FORMAT_MONO8, 1);
    TestImage second = randomImage(rng, 64, 48, KV_PIXEL_FORMAT_MONO8, 1);
    TestImage dst(64, 48, 0, 1);
    ASSERT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &first.record, &dst.record), KV_STATUS_OK);
    EXPECT_EQ(UndistortMapCache::shared().entryCount(), 1u);
    ASSERT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &second.record, &dst.record), KV_STATUS_OK);
    EXPECT_EQ(UndistortMapCache::shared().entryCount(), 1u);
    EXPECT_EQ(dst.bytes, expectedUndistort(kIntrinsic, kLens, nullptr, second, 64, 48, 1));

    // A different calibration is a different map, never the cached one.
    KV_CAMERA_DISTORTION other = kLens;
    other.data[0] = -0.1f;
    ASSERT_EQ(KVUndistortImage(&kIntrinsic, &other, nullptr, &second.record, &dst.record), KV_STATUS_OK);
    EXPECT_EQ(dst.bytes, expectedUndistort(kIntrinsic, other, nullptr, second, 64, 48, 1));
    EXPECT_EQ(UndistortMapCache::shared().entryCount(), 2u);
}

TEST(KVUndistortImage, ConcurrentCallersWithDifferentCalibrationsGetTheirOwnResults) {
    UndistortMapCache::shared().clear();
    std::mt19937 rng(17);
    constexpr int kCalibrations = 6;  // more than the cache holds, so entries are evicted while in use
    std::vector<KV_CAMERA_DISTORTION> lenses(kCalibrations, kLens);
    for (int i = 0; i < kCalibrations; ++i) lenses[i].data[0] = -0.3f + 0.05f * i;
    const TestImage src = randomImage(rng, 96, 64, KV_PIXEL_FORMAT_RGB8, 3);
    std::vector<std::vector<uint8_t>> expected;
    for (int i = 0; i < kCalibrations; ++i)
        expected.push_back(expectedUndistort(kIntrinsic, lenses[i], nullptr, src, 96, 64, 3));

    std::atomic<int> mismatches{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            TestImage dst(96, 64, 0, 3);
            for (int round = 0; round < 30; ++round) {
                const int which = (t + round) % kCalibrations;
                if (KVUndistortImage(&kIntrinsic, &lenses[which], nullptr, &src.record, &dst.record) !=
                    KV_STATUS_OK) {
                    ++failures;
                } else if (dst.bytes != expected[which]) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_LE(UndistortMapCache::shared().entryCount(), 4u);
}

}  // namespace
}  // namespace orvane
