// The viewer's parts that need no camera or browser: who may talk to it, how a frame becomes a message
// for the page, that only the newest frame is encoded, and its CPU figure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "cpu_meter.h"
#include "frame_encoder.h"
#include "request_guard.h"

namespace orvane {
namespace tool {
namespace {

TEST(RequestGuard, ServesOnlyRequestsNamingItsOwnAddress) {
    struct Case {
        const char* listen;
        int port;
        const char* host;
        const char* origin;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", 8080, "127.0.0.1:8080", nullptr, true},
        {"127.0.0.1", 8080, "localhost:8080", "http://localhost:8080", true},
        {"127.0.0.1", 8080, "127.0.0.1:8080", "http://127.0.0.1:8080", true},
        {"127.0.8.1", 8080, "localhost:8080", nullptr, false},  // localhost is not this listener
        {"127.0.0.1", 8080, nullptr, nullptr, false},
        {"127.0.0.1", 8080, "evil.example:8080", nullptr, false},  // DNS rebinding
        {"127.0.0.1", 8080, "127.0.0.1:8081", nullptr, false},
        {"127.0.0.1", 8080, "127.0.0.1:8080", "http://evil.example", false},
        {"127.0.0.1", 8080, "127.0.0.1:8080", "null", false},
        {"127.0.0.1", 8080, "127.0.0.1:8080", "https://127.0.0.1:8080", false},
        {"127.0.0.1", 8080, "127.0.0.1:8080", "http://127.0.0.1:8080.evil.example", false},
        {"127.0.0.1", 80, "127.0.0.1", "http://127.0.0.1", true},
    };
    for (const Case& c : cases) {
        const RequestGuard guard(c.listen, c.port);
        EXPECT_EQ(guard.allows(c.host, c.origin), c.allowed)
            << c.listen << ":" << c.port << " host " << (c.host ? c.host : "-") << " origin "
            << (c.origin ? c.origin : "-");
    }
}

TEST(CpuMeter, ReadsUserAndSystemTimeAfterTheCommandName) {
    struct Case {
        std::string line;
        double seconds;
    } cases[] = {
        {"42 (kvdepth) S 1 42 42 0 -1 4194560 100 0 0 0 250 150 0 0 20 0 9", 4.0},
        {"42 (a) b (c) S 1 42 42 0 -1 4194560 100 0 0 0 100 0 0 0 20 0 9", 1.0},  // ')' in the name
        {"42 (kvdepth) S 1 42", -1},
        {"garbage", -1},
        {"42 (kvdepth) S 1 42 42 0 -1 4194560 100 0 0 0 x 150 0 0", -1},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(cpuSecondsOfStatLine(c.line, 100), c.seconds) << c.line;
}

ImageCopy image(int32_t component, int32_t format, int w, int h, size_t bytes_per_pixel, int32_t index) {
    ImageCopy i;
    i.component = component;
    i.pixel_format = format;
    i.width = w;
    i.height = h;
    i.index = index;
    i.data.assign(static_cast<size_t>(w) * h * bytes_per_pixel, 0);
    return i;
}

// A 4x2 frame: depth with a hole, grey infrared, RGB colour, points with one NaN.
std::shared_ptr<LiveFrame> smallFrame(uint64_t number) {
    FrameRecord record;
    record.number = number;
    ImageCopy depth = image(KV_COMPONENT_DEPTH, KV_PIXEL_FORMAT_DEPTH16, 4, 2, 2, 7);
    const uint16_t mm[8] = {0, 900, 1000, 1100, 1200, 1300, 1400, 1500};
    std::memcpy(depth.data.data(), mm, sizeof mm);
    ImageCopy points = image(KV_COMPONENT_POINT3D, KV_PIXEL_FORMAT_POINT3D_F32, 4, 2, 12, 7);
    std::vector<float> xyz(24, 1000.0f);
    xyz[3] = xyz[4] = xyz[5] = NAN;  // pixel (1, 0)
    std::memcpy(points.data.data(), xyz.data(), xyz.size() * 4);
    record.images = {depth, image(KV_COMPONENT_LEFT_IR, KV_PIXEL_FORMAT_MONO8, 4, 2, 1, 7),
                     image(KV_COMPONENT_COLOR, KV_PIXEL_FORMAT_RGB8, 4, 2, 3, 7), points};
    auto frame = std::make_shared<LiveFrame>();
    frame->record = std::make_shared<const FrameRecord>(std::move(record));
    frame->fps[KV_COMPONENT_DEPTH] = 30;
    return frame;
}

TEST(FrameMessage, HoldsEveryImageAsJpegAndThePointsInsideTheMessage) {
    JpegEncoder jpeg;
    const std::string message = frameMessage(*smallFrame(3), jpeg, true, 12.5);
    ASSERT_GE(message.size(), 4u);
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<uint8_t>(message[i])) << (8 * i);
    ASSERT_LE(4 + length, message.size());
    const auto head = nlohmann::json::parse(message.substr(4, length));
    const std::string blobs = message.substr(4 + length);
    EXPECT_EQ(head["number"], 3);
    ASSERT_EQ(head["images"].size(), 4u);
    const auto& depth = head["images"].at(0);
    EXPECT_EQ(depth["stream"], "depth");
    EXPECT_EQ(depth["index"], 7);
    EXPECT_EQ(depth["fps"], 30.0);
    EXPECT_EQ(depth["min_mm"], 900);  // the hole is not the near end of the colour bar
    EXPECT_EQ(depth["max_mm"], 1500);
    for (int i = 0; i < 3; ++i) {  // depth, infrared and colour are JPEG images within the message
        const auto& entry = head["images"].at(i);
        const size_t offset = entry["offset"], size = entry["size"];
        ASSERT_LE(offset + size, blobs.size());
        EXPECT_EQ(blobs.substr(offset, 2), "\xff\xd8") << entry["stream"];
    }
    EXPECT_FALSE(head["images"].at(3).contains("offset"));  // the point image goes as a point cloud
    ASSERT_TRUE(head.contains("points"));
    EXPECT_EQ(head["points"]["count"], 1);  // a 4x2 point image sampled sparsely keeps (0, 0)
    EXPECT_EQ(static_cast<size_t>(head["points"]["offset"]) + 16, blobs.size());
}

TEST(JsonText, ReplacesInvalidUtf8FromTheDeviceInsteadOfThrowing) {
    // Names and texts come from the camera; a throw here would end the server thread and the program.
    const nlohmann::json value = {{"model", std::string("KV\xff\xfe-S1")}};
    std::string text;
    ASSERT_NO_THROW(text = jsonText(value));
    EXPECT_EQ(nlohmann::json::parse(text)["model"], "KV\xef\xbf\xbd\xef\xbf\xbd-S1");
}

TEST(ReducedPointCloud, TakesEveryStrideThPointOfEveryStrideThRow) {
    const auto frame = smallFrame(1);
    for (const auto& c : {std::make_pair(1, 7u), std::make_pair(2, 2u), std::make_pair(3, 2u)}) {
        size_t count = 0;
        const std::string cloud = reducedPointCloud(*frame->record, frame->calibration, c.first, &count);
        EXPECT_EQ(count, c.second) << "stride " << c.first;  // (1, 0) is NaN and left out
        EXPECT_EQ(cloud.size(), count * 16);
    }
}

// The frame number in a message's JSON head (after its 4-byte length).
uint64_t frameNumberOf(const std::string& message) {
    uint32_t length = 0;
    std::memcpy(&length, message.data(), 4);
    return nlohmann::json::parse(message.substr(4, length))["number"];
}

TEST(FrameEncoder, EncodesOnlyTheNewestFrameWhileBusy) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::vector<uint64_t> published;
    FrameEncoder encoder(
        [&](const std::string& message) {
            std::unique_lock<std::mutex> lock(m);
            published.push_back(frameNumberOf(message));
            cv.notify_all();
            cv.wait(lock, [&] { return release; });  // a slow page holds the encoder
        },
        nullptr);
    encoder.offer(smallFrame(1));
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return published.size() == 1; }));
    }
    for (uint64_t n = 2; n <= 5; ++n) encoder.offer(smallFrame(n));
    {
        std::unique_lock<std::mutex> lock(m);
        release = true;
        cv.notify_all();
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return published.size() == 2; }));
    }
    encoder.stop();
    EXPECT_EQ(published, (std::vector<uint64_t>{1, 5}));
    EXPECT_EQ(encoder.encoded(), 2u);
}

TEST(FrameEncoder, EncodesNothingWhileNoPageCanTakeAFrameThenOnlyTheNewest) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint64_t> published;
    std::atomic<bool> wanted{false};
    FrameEncoder encoder(
        [&](const std::string& message) {
            std::lock_guard<std::mutex> lock(m);
            published.push_back(frameNumberOf(message));
            cv.notify_all();
        },
        nullptr, [&] { return wanted.load(); });
    for (uint64_t n = 1; n <= 3; ++n) {
        encoder.offer(smallFrame(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // time enough to encode, if it would
    }
    EXPECT_EQ(encoder.encoded(), 0u);
    wanted.store(true);
    encoder.poke();
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return !published.empty(); }));
    EXPECT_EQ(published, (std::vector<uint64_t>{3}));
}

}  // namespace
}  // namespace tool
}  // namespace orvane
