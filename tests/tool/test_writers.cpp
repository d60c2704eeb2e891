// The capture tool's file writers, frame queue and feature-name lookup, without a camera.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>

#include "atomic_file.h"
#include "descriptor_model.h"
#include "frame_files.h"
#include "ply_file.h"
#include "png_file.h"
#include "tool_test_support.h"
#include "writer_queue.h"

namespace orvane {
namespace tool {
namespace {

struct PngCase {
    const char* name;
    PngKind kind;
    int width, height;
};

TEST(PngFile, ReadBackWithLibpngGivesTheSamePixels) {
    const PngCase cases[] = {{"gray8", PngKind::kGray8, 7, 5},
                             {"gray16", PngKind::kGray16, 640, 3},
                             {"rgb8", PngKind::kRgb8, 3, 9}};
    kvtool::ScratchDir dir;
    std::mt19937 random(7);
    for (const PngCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> pixels(static_cast<size_t>(c.width) * c.height * pngBytesPerPixel(c.kind));
        for (uint8_t& b : pixels) b = static_cast<uint8_t>(random());
        if (c.kind == PngKind::kGray16) {  // extremes of a millimetre depth map
            const uint16_t extremes[] = {0, 1, 65535, 0x0102};
            std::memcpy(pixels.data(), extremes, sizeof extremes);
        }
        const std::string path = dir.path() + "/" + c.name + ".png";
        std::string error;
        ASSERT_TRUE(writePng(path, c.width, c.height, c.kind, pixels.data(), &error)) << error;
        PngImage image;
        ASSERT_TRUE(readPng(path, image, &error)) << error;
        EXPECT_EQ(image.width, c.width);
        EXPECT_EQ(image.height, c.height);
        EXPECT_EQ(image.bit_depth, c.kind == PngKind::kGray16 ? 16 : 8);
        EXPECT_EQ(image.channels, c.kind == PngKind::kRgb8 ? 3 : 1);
        EXPECT_EQ(image.pixels, pixels);
    }
    EXPECT_EQ(kvtool::listDir(dir.path()), (std::vector<std::string>{"gray16.png", "gray8.png", "rgb8.png"}));
}

TEST(AtomicFiles, FailedWritesLeaveNoFileThatLooksComplete) {
    kvtool::ScratchDir dir;
    std::string error;
    const uint8_t pixel = 0;
    EXPECT_FALSE(writePng(dir.path() + "/missing/a.png", 1, 1, PngKind::kGray8, &pixel, &error));
    EXPECT_NE(error.find("missing/a.png"), std::string::npos) << error;
    EXPECT_FALSE(writePly(dir.path() + "/missing/a.ply", {}, false, "", &error));
    if (geteuid() != 0) {  // root writes anywhere
        chmod(dir.path().c_str(), 0500);
        EXPECT_FALSE(writePly(dir.path() + "/b.ply", {{1, 2, 3, 0, 0, 0}}, false, "", &error));
        chmod(dir.path().c_str(), 0700);
    }
    {
        AtomicFile unfinished(dir.path() + "/c.json");
        unfinished.write("{", 1);  // never committed, as when a capture is cut short
    }
    EXPECT_TRUE(kvtool::listDir(dir.path()).empty());
}

TEST(PlyFile, IndependentReaderSeesEveryVertexAndColour) {
    kvtool::ScratchDir dir;
    std::vector<PlyPoint> points;
    for (int i = 0; i < 5000; ++i)  // more than one write block
        points.push_back({i * 0.5f, -i * 0.25f, 1500.0f + i, static_cast<uint8_t>(i), 7, 255});
    for (bool with_color : {true, false}) {
        SCOPED_TRACE(with_color ? "colour" : "no colour");
        const std::string path = dir.path() + (with_color ? "/c.ply" : "/p.ply");
        std::string error;
        ASSERT_TRUE(writePly(path, points, with_color, "kvdepth test", &error)) << error;
        std::vector<kvtool::PlyVertex> read;
        ASSERT_TRUE(kvtool::readPlyIndependently(path, read, &error)) << error;
        ASSERT_EQ(read.size(), points.size());
        for (size_t i : {size_t(0), size_t(4095), size_t(4096), points.size() - 1}) {
            EXPECT_FLOAT_EQ(read[i].x, points[i].x);
            EXPECT_FLOAT_EQ(read[i].y, points[i].y);
            EXPECT_FLOAT_EQ(read[i].z, points[i].z);
            EXPECT_EQ(read[i].r, with_color ? points[i].r : -1);
            EXPECT_EQ(read[i].b, with_color ? 255 : -1);
        }
    }
}

TEST(PointCloud, HolesAreSkippedAndPointsTakeTheColourPixelTheyProjectTo) {
    const float nan = std::nanf("");
    // Colour camera 10 mm to the right of the depth camera, fx = fy = 100, centre (2, 1), 4 x 2 pixels.
    CaptureCalibration cal;
    cal.has_color_intrinsic = cal.has_color_extrinsic = true;
    const float k[9] = {100, 0, 2, 0, 100, 1, 0, 0, 1};
    const float rt[12] = {1, 0, 0, 10, 0, 1, 0, 0, 0, 0, 1, 0};
    std::memcpy(cal.color_intrinsic, k, sizeof k);
    std::memcpy(cal.color_extrinsic, rt, sizeof rt);
    ImageCopy color{KV_COMPONENT_COLOR, 4, 2, KV_PIXEL_FORMAT_RGB8, 0, 0, {}};
    for (int i = 0; i < 8; ++i) color.data.insert(color.data.end(), {uint8_t(i), uint8_t(10 * i), 200});
    const float xyz[5][3] = {{10, 0, 1000},    // straight ahead of the colour camera: (2, 1)
                             {nan, nan, nan},  // hole
                             {0, 0, 0},        // no depth
                             {1000, 0, 1000},  // outside the colour image
                             {0, -10, 1000}};  // (1, 0)
    ImageCopy points{KV_COMPONENT_POINT3D, 5, 1, KV_PIXEL_FORMAT_POINT3D_F32, 0, 0, {}};
    points.data.assign(reinterpret_cast<const uint8_t*>(xyz),
                       reinterpret_cast<const uint8_t*>(xyz) + sizeof xyz);
    const std::vector<PlyPoint> cloud = pointCloud(points, &color, cal);
    ASSERT_EQ(cloud.size(), 3u);
    EXPECT_EQ(cloud[0].r, 6);  // pixel (2, 1) = index 6
    EXPECT_EQ(cloud[0].g, 60);
    EXPECT_EQ(cloud[1].r, 128);  // not seen by the colour camera: grey
    EXPECT_EQ(cloud[2].r, 1);
    EXPECT_FLOAT_EQ(cloud[2].y, -10);
    // Without colour calibration the points stay grey.
    EXPECT_EQ(pointCloud(points, &color, CaptureCalibration{})[0].g, 128);
}

// Sizes come from recordings too: 2146721619 x 1432163965 x 12 wraps to 8788 bytes in 64 bits.
TEST(FrameFiles, ImageSizesWhoseProductWrapsAreRefusedNotRead) {
    ImageCopy points{KV_COMPONENT_POINT3D, 2146721619, 1432163965, KV_PIXEL_FORMAT_POINT3D_F32, 1, 0, {}};
    points.data.assign(8788, 0);
    EXPECT_TRUE(pointCloud(points, nullptr, CaptureCalibration{}).empty());
    const kvtool::ScratchDir dir;
    FrameRecord frame;
    frame.number = 1;
    frame.images = {points};
    FrameFileOptions options;
    options.directory = dir.path();
    options.ply = true;
    std::string error;
    EXPECT_FALSE(writeFrameFiles(frame, options, &error));
    EXPECT_NE(error.find("smaller than its size says"), std::string::npos) << error;
}

TEST(DepthColormap, NearIsRedFarIsBlueNoDepthIsBlack) {
    const uint16_t depth[] = {0, 600, 2000, 1300};
    const std::vector<uint8_t> rgb = colorizeDepth(depth, 4);
    ASSERT_EQ(rgb.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 9),
              (std::vector<uint8_t>{0, 0, 0, 255, 0, 0, 0, 0, 255}));
}

FrameRecord numbered(uint64_t n) {
    FrameRecord f;
    f.number = n;
    return f;
}

TEST(WriterQueue, AFullQueueDropsAndCountsInsteadOfWaiting) {
    for (int writers : {1, 2}) {
        SCOPED_TRACE(writers);
        std::mutex m;
        std::condition_variable cv;
        bool release = false;
        std::vector<uint64_t> done;
        WriterQueue queue(
            2,
            [&](const FrameRecord& f, std::string*) {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [&] { return release; });  // a disk that does not keep up
                done.push_back(f.number);
                return true;
            },
            writers);
        int accepted = 0;
        for (uint64_t n = 1; n <= 10; ++n) accepted += queue.offer(numbered(n)) ? 1 : 0;
        // Each writer may hold one frame, two wait in the queue; the rest is dropped at once.
        EXPECT_GE(accepted, 2);
        EXPECT_LE(accepted, 2 + writers);
        EXPECT_EQ(queue.dropped(), 10u - accepted);
        {
            std::lock_guard<std::mutex> lock(m);
            release = true;
        }
        cv.notify_all();
        queue.finish();
        EXPECT_EQ(queue.written(), static_cast<uint64_t>(accepted));
        std::sort(done.begin(), done.end());
        ASSERT_EQ(done.size(), static_cast<size_t>(accepted));
        EXPECT_EQ(done.front(), 1u);
    }
}

TEST(WriterQueue, AWriteFailureStopsWritingAndKeepsTheMessage) {
    std::atomic<int> calls{0};
    WriterQueue queue(8, [&](const FrameRecord& f, std::string* error) {
        ++calls;
        if (f.number == 2) *error = "disk full";
        return f.number != 2;
    });
    for (uint64_t n = 1; n <= 5; ++n) queue.offer(numbered(n));
    queue.finish();
    EXPECT_TRUE(queue.failed());
    EXPECT_EQ(queue.error(), "disk full");
    EXPECT_EQ(queue.written(), 1u);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(queue.dropped(), 3u);
    EXPECT_FALSE(queue.offer(numbered(6)));
}

const char* kDescriptor = R"(<?xml version="1.0" ?>
<config version="1">
  <component id="0x80000000" name="device"><feature id="0x5f00" name="SN" rw="1"/></component>
  <component id="0x00010000" name="depth">
    <feature id="0x3108" name="image mode" rw="3"><entry value="1" name="a"/></feature>
    <feature id="0x1104" name="image width" rw="1">640</feature>
  </component>
  <component id="0x00040000" name="leftIR">
    <feature bind="0x00013108"/>
    <feature id="0x1303" name="gain" rw="3"/>
  </component>
  <component id="0x00400000" name="laser"><feature id="0x1500" name="power" rw="3"/></component>
</config>)";

TEST(FeatureNames, NamesAndHexIdentifiersResolveAndWrongNamesListTheCloseMatches) {
    std::vector<DescComponent> components;
    std::string error;
    ASSERT_TRUE(parseDescriptor(kDescriptor, components, &error)) << error;
    ASSERT_EQ(components.size(), 4u);
    EXPECT_EQ(components[2].features[0].name, "image mode");  // bound feature named by its owner
    struct Case {
        const char* text;
        int32_t component, feature;
    } cases[] = {{"laser.power", 0x00400000, 0x1500},
                 {"Laser.POWER", 0x00400000, 0x1500},
                 {"depth.image_mode", 0x00010000, 0x3108},
                 {"depth.image-mode", 0x00010000, 0x3108},
                 {"left_ir.image mode", 0x00040000, 0x3108},
                 {"0x00400000.0x1500", 0x00400000, 0x1500},
                 {"laser.0x1500", 0x00400000, 0x1500},
                 {"0x00401500", 0x00400000, 0x1500},
                 {"device.sn", static_cast<int32_t>(0x80000000u), 0x5f00}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FeatureRef ref;
        ASSERT_TRUE(resolveFeature(components, c.text, ref, &error)) << error;
        EXPECT_EQ(ref.component, c.component);
        EXPECT_EQ(ref.feature, c.feature);
    }
    struct Wrong {
        const char* text;
        const char* message_part;
    } wrong[] = {{"laser.powr", "did you mean: laser.power"},
                 {"lazer.power", "did you mean: laser"},
                 {"depth.imagemod", "did you mean: depth.image mode"},
                 {"nothing.x", "components: device, depth, leftIR, laser"},
                 {"laser.0x1501", "unknown feature '0x1501' in component laser"},
                 {"power", "is not COMPONENT.FEATURE"}};
    for (const Wrong& c : wrong) {
        SCOPED_TRACE(c.text);
        FeatureRef ref;
        error.clear();
        EXPECT_FALSE(resolveFeature(components, c.text, ref, &error));
        EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
    }
    error.clear();
    EXPECT_FALSE(parseDescriptor("<config", components, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tool
}  // namespace orvane
