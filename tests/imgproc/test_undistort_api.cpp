#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "imgproc/image_util.h"
#include "imgproc_test_support.h"
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
    const std::vector<uint8_t> bytes = testing_support::randomBytes(rng, image.bytes.size());
    std::copy(bytes.begin(), bytes.end(), image.bytes.begin());
    return image;
}

TEST(KVUndistortImage, RefusesNullArgumentsFirst) {
    TestImage src(80, 60, KV_PIXEL_FORMAT_MONO8, 1), dst(80, 60, 0, 1);
    EXPECT_EQ(KVUndistortImage(nullptr, &kLens, nullptr, &src.record, &dst.record), KV_STATUS_NULL_POINTER);
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, nullptr, nullptr, &src.record, &dst.record),
              KV_STATUS_NULL_POINTER);
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, nullptr, &dst.record), KV_STATUS_NULL_POINTER);
    EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, nullptr), KV_STATUS_NULL_POINTER);
}

// Each row changes one thing of a valid RGB call (80x60, both buffers exact).
TEST(KVUndistortImage, RefusesNullBuffersBadSizesFormatsAndBuffersThatCannotHoldTheImage) {
    using R = KV_IMAGE_DATA&;
    constexpr KV_STATUS kBad = KV_STATUS_INVALID_PARAMETER, kNull = KV_STATUS_NULL_POINTER;
    struct Case {
        const char* what;
        void (*change)(R src, R dst);
        KV_STATUS expected;
    };
    const Case cases[] = {
        {"valid", [](R, R) {}, KV_STATUS_OK},
        {"null source buffer", [](R s, R) { s.buffer = nullptr; }, kNull},
        // The null buffer is reported before the size.
        {"null destination buffer", [](R, R d) { d.buffer = nullptr, d.width = -5; }, kNull},
        {"source width 0", [](R s, R) { s.width = 0; }, kBad},
        {"source width -3", [](R s, R) { s.width = -3; }, kBad},
        {"source height 0", [](R s, R) { s.height = 0; }, kBad},
        {"source height -3", [](R s, R) { s.height = -3; }, kBad},
        {"destination width 0", [](R, R d) { d.width = 0; }, kBad},
        {"destination width -3", [](R, R d) { d.width = -3; }, kBad},
        {"destination height 0", [](R, R d) { d.height = 0; }, kBad},
        {"destination height -3", [](R, R d) { d.height = -3; }, kBad},
        {"depth", [](R s, R) { s.pixelFormat = KV_PIXEL_FORMAT_DEPTH16; }, kBad},
        {"points", [](R s, R) { s.pixelFormat = KV_PIXEL_FORMAT_POINT3D_F32; }, kBad},
        {"16-bit colour", [](R s, R) { s.pixelFormat = KV_PIXEL_FORMAT_COLOR_16_A; }, kBad},
        {"no format", [](R s, R) { s.pixelFormat = 0; }, kBad},
        {"destination one byte short", [](R, R d) { d.size -= 1; }, kBad},
        {"mono destination exact", [](R s, R d) { s.pixelFormat = KV_PIXEL_FORMAT_MONO8, d.size = 4800; },
         KV_STATUS_OK},
        {"mono destination short", [](R s, R d) { s.pixelFormat = KV_PIXEL_FORMAT_MONO8, d.size = 4799; },
         kBad},
        // Reading a width x height image from a buffer announced smaller would run past it.
        {"source one byte short", [](R s, R) { s.size -= 1; }, kBad},
        // Byte counts that a 32-bit product would wrap (7.5e9 bytes; exactly 2^32 pixels).
        {"huge destination", [](R, R d) { d.width = d.height = 50000, d.size = INT32_MAX; }, kBad},
        {"2^32 destination pixels", [](R, R d) { d.width = d.height = 65536, d.size = INT32_MAX; }, kBad},
        {"2^32 source pixels", [](R s, R) { s.width = s.height = 65536, s.size = 0; }, kBad},
    };
    for (const Case& c : cases) {
        TestImage src(80, 60, KV_PIXEL_FORMAT_RGB8, 3, 100), dst(80, 60, 0, 3);
        c.change(src.record, dst.record);
        EXPECT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &dst.record), c.expected)
            << c.what;
    }
}

TEST(KVUndistortImage, UndistortsMonoAndRgbIntoSeparateBuffersOrInPlace) {
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

        // In place: reading the source while writing the same memory would mix undistorted pixels back in.
        const std::vector<uint8_t> expected =
            expectedUndistort(kIntrinsic, kLens, nullptr, src, 81, 61, channels);
        ASSERT_EQ(KVUndistortImage(&kIntrinsic, &kLens, nullptr, &src.record, &src.record), KV_STATUS_OK);
        EXPECT_EQ(src.bytes, expected) << channels;
    }
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
