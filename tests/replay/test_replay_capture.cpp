// A session recorded by `kvdepth record` from the simulator, replayed by `kvsim --replay` and captured
// again through the library: the same frames, byte for byte, at the recorded pace. Damaged recording files
// give an error or their good beginning; other files are refused.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "kvdepth.h"
#include "recording/recording_reader.h"
#include "recording/ros_messages.h"
#include "sim/replay/replay_file.h"
#include "sim_camera.h"
#include "tool_test_support.h"

namespace {

using namespace orvane::kvsim;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 16;
constexpr int32_t kComponents = KV_COMPONENT_DEPTH | KV_COMPONENT_LEFT_IR;

using Pixels = std::map<int32_t, Bytes>;  // a frame's images by component (the simulator stamps each one)

struct Capture {
    std::vector<Pixels> frames;
    double seconds = 0;  // from the first frame to the last
};

void append(Bytes& out, const void* p, size_t n) {
    out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}

// Opens the camera at `address` (retrying while it does not listen yet), captures kFrames frames, closes it.
Capture captureWithLibrary(const std::string& address) {
    struct Library {
        Library() { EXPECT_EQ(_KVInitLib(), KV_STATUS_OK); }
        ~Library() { EXPECT_EQ(KVDeinitLib(), KV_STATUS_OK); }
    } library;
    Capture c;
    KV_DEV_HANDLE h = nullptr;
    KV_STATUS status = KV_STATUS_OK;
    if (!kvtest::waitFor([&] { return (status = KVOpenDeviceWithIP(address.c_str(), &h)) == KV_STATUS_OK; },
                         20000)) {
        ADD_FAILURE() << address << ": " << KVErrorString(status);
        return c;
    }
    EXPECT_EQ(KVEnableComponents(h, kComponents), KV_STATUS_OK);
    uint32_t size = 0;
    EXPECT_EQ(KVGetFrameBufferSize(h, &size), KV_STATUS_OK);
    std::vector<Bytes> buffers(6, Bytes(size));
    for (Bytes& b : buffers)
        EXPECT_EQ(KVEnqueueBuffer(h, b.data(), static_cast<int32_t>(size)), KV_STATUS_OK);
    EXPECT_EQ(KVStartCapture(h), KV_STATUS_OK);
    Clock::time_point first;
    for (int i = 0; i < kFrames; ++i) {
        KV_FRAME_DATA frame{};
        if (KVFetchFrame(h, &frame, 5000) != KV_STATUS_OK) {
            ADD_FAILURE() << "no frame " << i << " from " << address;
            break;
        }
        if (i == 0) first = Clock::now();
        c.seconds = std::chrono::duration<double>(Clock::now() - first).count();
        c.frames.emplace_back();
        for (int k = 0; k < frame.validCount; ++k) {
            const KV_IMAGE_DATA& image = frame.image[k];
            append(c.frames.back()[image.componentID], image.buffer, static_cast<size_t>(image.size));
        }
        EXPECT_EQ(KVEnqueueBuffer(h, frame.userBuffer, frame.bufferSize), KV_STATUS_OK);
    }
    EXPECT_EQ(KVStopCapture(h), KV_STATUS_OK);
    EXPECT_EQ(KVCloseDevice(h), KV_STATUS_OK);
    return c;
}

void expectSameFrames(const std::vector<Pixels>& again, const std::vector<Pixels>& original,
                      const std::string& what) {
    ASSERT_EQ(again.size(), original.size()) << what;
    for (size_t i = 0; i < again.size(); ++i)
        EXPECT_TRUE(again[i] == original[i]) << what << ": frame " << i << " differs";
}

// A session recorded once for the whole suite by `kvdepth record` from its own simulator at 10 fps.
class ReplayCapture : public ::testing::Test {
  protected:
    // The file and its frames' images.
    static void SetUpTestSuite() {
        file_ = scratch_.path() + "/session.mcap";
        const kvtool::RunResult r =
            kvtool::run({KVDEPTH_TOOL, "record", "--sim", "--sim-address", "127.0.10.6", "--sim-fps", "10",
                         "--kvsim", KVSIM_PROGRAM, "--frames", std::to_string(kFrames), "--streams",
                         "depth,ir_left", "--out", file_});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        namespace rec = orvane::recording;
        std::map<uint32_t, Pixels> by_frame;
        std::vector<uint64_t> times;
        std::string error;
        auto visit = [&](const rec::Channel& channel, const rec::Message& m) {
            const int32_t component = channel.topic == "/depth"     ? KV_COMPONENT_DEPTH
                                      : channel.topic == "/ir_left" ? KV_COMPONENT_LEFT_IR
                                                                    : 0;
            rec::DecodedImage image;
            if (component && rec::decodeImageMessage(channel.schema_name, m.data, m.size, &image)) {
                append(by_frame[m.sequence][component], image.data, image.size);
                if (component == KV_COMPONENT_DEPTH) times.push_back(m.log_time);
            }
            return true;
        };
        ASSERT_TRUE(rec::visitMessages(file_, visit, &error)) << error;
        for (auto& [frame, pixels] : by_frame) tool_frames_.push_back(std::move(pixels));
        ASSERT_EQ(tool_frames_.size(), static_cast<size_t>(kFrames));
        tool_seconds_ = static_cast<double>(times.back() - times.front()) / 1e9;
    }

    static kvtool::ScratchDir scratch_;
    static std::string file_;
    static std::vector<Pixels> tool_frames_;
    static double tool_seconds_;
};

kvtool::ScratchDir ReplayCapture::scratch_;
std::string ReplayCapture::file_;
std::vector<Pixels> ReplayCapture::tool_frames_;
double ReplayCapture::tool_seconds_ = 0;

TEST_F(ReplayCapture, KvsimReplayGivesTheRecordedFramesAtTheRecordedPace) {
    // Duration bounds as shares of the recorded one, loose because the machine may be loaded (at double speed
    // a slow host, e.g. under a sanitizer, may not keep up).
    const struct {
        const char* speed;
        const char* address;
        double shortest, longest;
    } cases[] = {{"1", "127.0.10.2", 0.7, 1.3}, {"2", "127.0.10.3", 0.3, 0.85}};
    for (const auto& c : cases) {
        kvtool::RunResult result;
        // kvsim stops once the application has disconnected.
        std::thread kvsim([&] {
            result = kvtool::run(
                {KVSIM_PROGRAM, "--replay", file_, "--listen", c.address, "--speed", c.speed, "--verbose"},
                60000, "disconnected");
        });
        const Capture again = captureWithLibrary(c.address);
        kvsim.join();
        const std::string what = std::string("speed ") + c.speed;
        expectSameFrames(again.frames, tool_frames_, what);
        EXPECT_GT(again.seconds, c.shortest * tool_seconds_) << what;
        EXPECT_LT(again.seconds, c.longest * tool_seconds_) << what;
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.out.find("replaying " + file_), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("not in the recording"), std::string::npos) << result.out;
    }
}

TEST_F(ReplayCapture, DamagedRecordingsGiveAnErrorOrTheirGoodBeginning) {
    std::ifstream in(file_, std::ios::binary);
    const Bytes whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LoadedRecording full;
    std::string error;
    ASSERT_TRUE(loadRecording(file_, &full, &error)) << error;
    const std::vector<RecordedImage>& all = full.script.sessions().at(0).images;
    int served = 0;
    // Cut short at many points, and a byte changed at many points.
    for (int damage = 0; damage < 2; ++damage) {
        for (size_t at = 0; at < whole.size(); at += whole.size() / 8 + 1) {
            Bytes bytes = damage ? whole : Bytes(whole.begin(), whole.begin() + at);
            if (damage) bytes[at] ^= 0x5a;
            const std::string damaged = scratch_.path() + "/damaged.mcap";
            std::ofstream(damaged, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            LoadedRecording loaded;
            error.clear();
            const std::string what = (damage ? "byte changed at " : "cut at ") + std::to_string(at);
            if (!loadRecording(damaged, &loaded, &error)) {
                EXPECT_FALSE(error.empty()) << what;
                continue;
            }
            ++served;
            EXPECT_TRUE(damage || loaded.truncated) << what;
            const std::vector<ImageSession>& sessions = loaded.script.sessions();
            const size_t count = sessions.empty() ? 0 : sessions[0].images.size();
            ASSERT_LE(count, all.size()) << what;
            for (size_t i = 0; i < count; ++i)
                EXPECT_EQ(*sessions[0].images[i].packet, *all[i].packet) << what << ": image " << i;
        }
    }
    EXPECT_GT(served, 0);  // some damaged files still hold a replayable beginning
}

TEST_F(ReplayCapture, KvsimRefusesWhatIsNotARecording) {
    const std::string text = scratch_.path() + "/notes.txt";
    std::ofstream(text) << "not a recording\n";
    const std::string empty = scratch_.path() + "/empty.mcap";
    std::ofstream{empty};
    for (const std::string& file : {scratch_.path() + "/missing.mcap", text, empty}) {
        const kvtool::RunResult r =
            kvtool::run({KVSIM_PROGRAM, "--replay", file, "--listen", "127.0.10.5"}, 30000);
        EXPECT_EQ(r.exit_code, 1) << file;
        EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
    }
}

}  // namespace
