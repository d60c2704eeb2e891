// kvdepth record, convert and info FILE run as programs against a simulated camera: the reference MCAP
// reader reads what record writes, convert writes what capture writes, and damaged files never crash.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "recording/recording_reader.h"
#include "recording/ros_messages.h"
#include "sim/scene/scene_catalog.h"
#include "sim_camera.h"
#include "tool_test_support.h"

namespace {

using kvtool::run;
using kvtool::RunResult;
using Bytes = std::vector<uint8_t>;

const kvtest::TcpAddressRange kAddresses("127.0.9.", 30, 20);
const char* const kStreams = "depth,ir,color,points";
constexpr int kFrames = 3;

std::vector<std::string> kvdepth(std::vector<std::string> args) {
    args.insert(args.begin(), KVDEPTH_TOOL);
    return args;
}

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// One recording of a still scene (no frame stamps, a frame whenever the host takes one), shared by the
// suite: every frame of it equals every frame a capture of the same camera takes.
class RecordTool : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        orvane::kvsim::DeviceConfig config;
        config.stamp_frames = false;
        config.fps = 0;
        auto device = std::make_shared<orvane::kvsim::SimDevice>(config);
        device->setScene(orvane::kvsim::makeSyntheticScene("room", nullptr));
        camera_ = new kvtest::CameraEnd(kvtest::Transport::kTcp, device);
        dir_ = new kvtool::ScratchDir();
        recorded_ =
            new RunResult(run(kvdepth({"record", "--ip", camera_->address(), "--frames",
                                       std::to_string(kFrames), "--streams", kStreams, "--out", file()})));
    }
    static void TearDownTestSuite() {
        delete recorded_;
        delete dir_;
        delete camera_;
    }
    void SetUp() override {
        ASSERT_EQ(recorded_->exit_code, 0) << recorded_->err;
        ASSERT_NE(recorded_->out.find("done: 3 frames recorded"), std::string::npos) << recorded_->out;
    }
    static std::string file() { return dir_->path() + "/session.mcap"; }

    static kvtest::CameraEnd* camera_;
    static kvtool::ScratchDir* dir_;
    static RunResult* recorded_;
};
kvtest::CameraEnd* RecordTool::camera_ = nullptr;
kvtool::ScratchDir* RecordTool::dir_ = nullptr;
RunResult* RecordTool::recorded_ = nullptr;

TEST_F(RecordTool, ReferenceReaderListsEveryChannelAndReadsTheImagesBackEqual) {
#ifndef KVDEPTH_NODE
    GTEST_SKIP() << "node was not found when the build was configured (scripts/setup installs it)";
#else
    const std::string images = dir_->path() + "/reference";
    const RunResult node = run({KVDEPTH_NODE, KVDEPTH_REFERENCE_READER, file(), images});
    ASSERT_EQ(node.exit_code, 0) << node.err;
    const auto seen = nlohmann::json::parse(node.out);

    const std::map<std::string, std::string> expected = {
        {"/device/stream", "kvdepth/DeviceStream"}, {"/frames", "kvdepth/Frame"},
        {"/depth", "sensor_msgs/msg/Image"},        {"/ir_left", "sensor_msgs/msg/Image"},
        {"/ir_right", "sensor_msgs/msg/Image"},     {"/color", "sensor_msgs/msg/Image"},
        {"/points", "sensor_msgs/msg/PointCloud2"}};
    std::map<std::string, std::string> channels;
    for (const auto& c : seen["channels"]) channels[c["topic"]] = c["schema"];
    EXPECT_EQ(channels, expected);
    for (const auto& item : expected) {
        if (item.first == "/device/stream") continue;
        EXPECT_EQ(seen["counts"].value(item.first, 0), kFrames) << item.first;
    }
    EXPECT_GT(seen["counts"].value("/device/stream", 0), 10);
    EXPECT_EQ(seen["counts"], seen["indexedCounts"]);
    EXPECT_TRUE(seen["complete"].get<bool>());
    EXPECT_EQ(seen["attachments"], nlohmann::json::array({"descriptor.xml"}));
    EXPECT_EQ(seen["metadata"], nlohmann::json::array({"device", "intrinsics", "recording"}));
    int total = 0;
    for (const auto& count : seen["counts"]) total += count.get<int>();
    EXPECT_EQ(seen["statisticsMessageCount"].get<int>(), total);

    // Every image as our own reader decodes it equals what the reference reader wrote out.
    int compared = 0;
    std::string error;
    ASSERT_TRUE(orvane::recording::visitMessages(
        file(),
        [&](const orvane::recording::Channel& c, const orvane::recording::Message& m) {
            orvane::recording::DecodedImage image;
            if (!orvane::recording::decodeImageMessage(c.schema_name, m.data, m.size, &image)) return true;
            const std::string path =
                images + "/" + c.topic.substr(1) + "_" + std::to_string(m.sequence) + ".raw";
            EXPECT_EQ(readBytes(path), Bytes(image.data, image.data + image.size)) << path;
            EXPECT_GT(image.size, 0u);
            ++compared;
            return true;
        },
        &error))
        << error;
    EXPECT_EQ(compared, kFrames * 5);
    EXPECT_EQ(seen["images"].get<int>(), compared);
#endif
}

// Frame JSON without what differs between two sessions of one camera: host time, camera stamps, indexes.
nlohmann::json comparable(const std::string& path) {
    nlohmann::json j = nlohmann::json::parse(kvtool::readText(path));
    j.erase("host_time_us");
    for (auto& image : j["images"]) {
        image.erase("timestamp");
        image.erase("index");
    }
    return j;
}

TEST_F(RecordTool, ConvertWritesWhatCaptureWrites) {
    const std::string captured = dir_->path() + "/captured", converted = dir_->path() + "/converted";
    const RunResult capture =
        run(kvdepth({"capture", "--ip", camera_->address(), "--frames", std::to_string(kFrames), "--streams",
                     kStreams, "--out", captured}));
    ASSERT_EQ(capture.exit_code, 0) << capture.err;
    const RunResult convert = run(kvdepth({"convert", file(), "--out", converted}));
    ASSERT_EQ(convert.exit_code, 0) << convert.err;
    EXPECT_NE(convert.out.find("done: 3 frames converted"), std::string::npos) << convert.out;

    const std::vector<std::string> files = kvtool::listDir(captured);
    ASSERT_EQ(kvtool::listDir(converted), files);
    ASSERT_EQ(files.size(), static_cast<size_t>(kFrames) * 7);  // 5 PNG, 1 PLY, 1 JSON per frame
    for (const std::string& name : files) {
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
            EXPECT_EQ(comparable(converted + "/" + name), comparable(captured + "/" + name)) << name;
        } else {
            EXPECT_TRUE(readBytes(converted + "/" + name) == readBytes(captured + "/" + name)) << name;
        }
    }
}

TEST_F(RecordTool, InfoSummarisesTheRecording) {
    const RunResult info = run(kvdepth({"info", file()}));
    ASSERT_EQ(info.exit_code, 0) << info.err;
    for (const char* line : {"serial KVSIM0000001", "frames:      3", "dropped:     0 frames",
                             "attachments: descriptor.xml", "/points         sensor_msgs/msg/PointCloud2"}) {
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    }
}

// A camera sending 1000 frames a second outruns the host: the frames it never took are counted by record
// and kept in the file, so that info reports them too.
TEST_F(RecordTool, FramesTheHostMissedAreCountedInTheFile) {
    orvane::kvsim::DeviceConfig config;
    config.fps = 1000;
    kvtest::CameraEnd fast(kvtest::Transport::kTcp, std::make_shared<orvane::kvsim::SimDevice>(config));
    const std::string path = dir_->path() + "/fast.mcap";
    const RunResult r = run(kvdepth({"record", "--ip", fast.address(), "--frames", "20", "--out", path}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::smatch recorded;
    ASSERT_TRUE(std::regex_search(r.out, recorded, std::regex(R"((\d+) missed)"))) << r.out;
    EXPECT_GT(std::stoul(recorded[1]), 0u) << r.out;
    const RunResult info = run(kvdepth({"info", path}));
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find(std::string(recorded[1]) + " lost before reaching the host"), std::string::npos)
        << info.out;
}

TEST_F(RecordTool, CtrlCClosesTheRecordingWithItsSummary) {
    const std::string path = dir_->path() + "/interrupted.mcap";
    const RunResult r =
        run(kvdepth({"record", "--ip", camera_->address(), "--streams", "depth", "--out", path}), 60000,
            "captured ");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("interrupted: "), std::string::npos) << r.out;
    orvane::recording::RecordingSummary summary;
    std::string error;
    ASSERT_TRUE(orvane::recording::readSummary(path, &summary, &error)) << error;
    EXPECT_FALSE(summary.truncated);
    EXPECT_EQ(summary.metadata["recording"]["frames"], std::to_string(summary.channels[1].message_count));
    EXPECT_GT(summary.channels[1].message_count, 0u);
}

TEST_F(RecordTool, CutOrDamagedRecordingsGiveAnErrorOrTheirGoodFramesNeverACrash) {
    const Bytes whole = readBytes(file());
    const std::string damaged = dir_->path() + "/damaged.mcap";
    for (int part = 1; part <= 12; ++part) {
        Bytes bytes = whole;
        const size_t at = whole.size() * static_cast<size_t>(part) / 13;
        if (part % 2 == 0) {
            bytes.resize(at);  // cut short
        } else {
            for (size_t i = at; i < at + 64 && i < bytes.size(); ++i) bytes[i] ^= 0xa5;  // overwritten
        }
        std::ofstream(damaged, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const std::string out = dir_->path() + "/damaged_" + std::to_string(part);
        for (const auto& args : {kvdepth({"convert", damaged, "--out", out}), kvdepth({"info", damaged})}) {
            const RunResult r = run(args);
            EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << args[1] << " part " << part << ": " << r.err;
            if (r.exit_code != 0) {
                EXPECT_EQ(r.err.rfind("kvdepth: ", 0), 0u) << r.err;
            }
        }
        EXPECT_LE(kvtool::listDir(out).size(), static_cast<size_t>(kFrames) * 7);
    }
    const RunResult foreign = run(kvdepth({"info", KVDEPTH_REFERENCE_READER}));
    EXPECT_EQ(foreign.exit_code, 1);
    EXPECT_NE(foreign.err.find("not an MCAP recording"), std::string::npos) << foreign.err;
}

}  // namespace
