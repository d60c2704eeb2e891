// Every kvdepth subcommand run as a program against simulated cameras: what it prints, what it writes and
// how it fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "png_file.h"
#include "sim/scene/scene_catalog.h"
#include "sim_camera.h"
#include "tool_test_support.h"

namespace {

using kvtool::run;
using kvtool::RunResult;

const kvtest::TcpAddressRange kAddresses("127.0.5.", 1, 30);
constexpr const char* kUnusedAddress = "127.0.5.99";  // nothing listens there

std::vector<std::string> kvdepth(std::vector<std::string> args) {
    args.insert(args.begin(), KVDEPTH_TOOL);
    return args;
}

// A simulated camera that sees the room scene, without the frame stamps, so images equal the scene truth.
struct RoomCamera {
    // fps 0: a frame whenever the host takes one, so a slow (sanitizer) build loses none.
    explicit RoomCamera(double fps = 30) {
        orvane::kvsim::DeviceConfig config;
        config.stamp_frames = false;
        config.fps = fps;
        auto device = std::make_shared<orvane::kvsim::SimDevice>(config);
        device->setScene(scene);
        end = std::make_unique<kvtest::CameraEnd>(kvtest::Transport::kTcp, device);
    }
    std::shared_ptr<orvane::kvsim::SyntheticScene> scene = orvane::kvsim::makeSyntheticScene("room", nullptr);
    std::unique_ptr<kvtest::CameraEnd> end;
    const std::string& ip() const { return end->address(); }
};

bool onlyOneErrorLine(const RunResult& r) {
    return r.err.size() > 9 && r.err.rfind("kvdepth: ", 0) == 0 && r.err.find('\n') == r.err.size() - 1;
}

TEST(ToolCommands, PrintWhatTheCameraHolds) {
    RoomCamera cam;
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    } cases[] = {
        {{"list", "--ip", cam.ip()}, {cam.ip(), "tcp", "KVSIM0000001", "KV-S1 Simulator", "2.3.0"}},
        {{"info", "--ip", cam.ip()},
         {"serial:      KVSIM0000001", "vendor:      Orvane", "firmware:    2.3.0",
          "build:       kvsim-2.3.0", "components:  device, depth, Point3D, leftIR, rightIR, color, laser",
          "intrinsic depth at 640x480: fx 550.000 fy 550.000 cx 319.750 cy 239.750"}},
        {{"features", "--ip", cam.ip()},
         {"laser (0x00400000)", "  power                0x1500 int    rw 80  [range: 0 to 100]",
          "image mode           0x3108 enum   rw 640x480 (2621920)", "1280x960 = 5243840",
          "(shared with 0x00013108)", "trigger mode struct  0x7523 struct rw mode 0 param 0"}},
        {{"features", "--xml", "--ip", cam.ip()}, {"<config version=\"1\">", "name=\"auto white balance\""}},
        {{"get", "--ip", cam.ip(), "laser.power"}, {"80\n"}},
        {{"get", "--ip", cam.ip(), "0x00011105"}, {"480\n"}},
        {{"get", "--ip", cam.ip(), "device.sn"}, {"KVSIM0000001\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const RunResult r = run(kvdepth(c.args));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out.find("Connected"), std::string::npos) << "library chatter in the output";
        for (const std::string& e : c.expected)
            EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n" << r.out;
    }
}

TEST(ToolCommands, SetChangesTheCameraByNameOrIdentifier) {
    RoomCamera cam;
    struct Case {
        std::string feature, value, printed, read_back;
    } cases[] = {
        {"laser.power", "42", "laser.power = 42\n", "42\n"},
        {"0x00401500", "0x2b", "laser.power = 43\n", "43\n"},
        {"left_ir.gain", "0", "leftIR.gain = 0\n", "0\n"},
        {"color.auto-white-balance", "off", "color.auto white balance = false\n", "false\n"},
        {"depth.image mode", "320x240", "depth.image mode = 320x240 (1310960)\n", "320x240 (1310960)\n"},
        {"depth.image_mode", "2621920", "depth.image mode = 640x480 (2621920)\n", "640x480 (2621920)\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feature + " " + c.value);
        const RunResult set = run(kvdepth({"set", "--ip", cam.ip(), c.feature, c.value}));
        EXPECT_EQ(set.exit_code, 0) << set.err;
        EXPECT_EQ(set.out, c.printed);
        EXPECT_EQ(run(kvdepth({"get", "--ip", cam.ip(), c.feature})).out, c.read_back);
    }
}

TEST(ToolCommands, ErrorsAreOneClearLineAndANonZeroStatus) {
    RoomCamera cam;
    kvtool::ScratchDir dir;
    const std::string file = dir.path() + "/plain-file";
    std::ofstream(file) << "x";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"info", "--ip", kUnusedAddress}, std::string("no camera at ") + kUnusedAddress},
        {{"list", "--ip", kUnusedAddress}, std::string("no camera at ") + kUnusedAddress},
        {{"get", "--ip", "300.1.2.3", "laser.power"}, "'300.1.2.3' is not an IPv4 address"},
        {{"get", "--ip", cam.ip(), "laser.powr"}, "did you mean: laser.power"},
        {{"get", "--ip", cam.ip(), "lazer.power"}, "unknown component 'lazer'; did you mean: laser"},
        {{"set", "--ip", cam.ip(), "laser.power", "101"},
         "value 101 is out of range for laser.power (0 to 100)"},
        {{"set", "--ip", cam.ip(), "laser.power", "lots"}, "'lots' is not a valid int value for laser.power"},
        {{"set", "--ip", cam.ip(), "depth.image mode", "9x9"},
         "'9x9' is not an entry of depth.image mode; entries: 160x120"},
        {{"set", "--ip", cam.ip(), "device.sn", "X"}, "device.SN is read-only"},
        {{"capture", "--ip", cam.ip(), "--frames", "1", "--out", file + "/sub"},
         "cannot create output directory"},
        {{"capture", "--ip", cam.ip(), "--frames", "1", "--out", dir.path(), "--streams", "depth,sonar"},
         "unknown stream 'sonar'"},
        {{"capture", "--ip", kUnusedAddress, "--frames", "1", "--out", dir.path()}, "no camera at"},
        {{"info"}, "no camera given: use --ip ADDRESS, --serial TEXT or --sim"},
        {{"info", "--sim", "--ip", cam.ip()}, "give only one of --ip, --serial and --sim"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const RunResult r = run(kvdepth(c.args));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(onlyOneErrorLine(r)) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // Usage errors (CLI) are one line too, with status 2.
    const RunResult usage = run(kvdepth({"capture", "--sim"}));
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_TRUE(onlyOneErrorLine(usage)) << usage.err;
    EXPECT_EQ(kvtool::listDir(dir.path()), std::vector<std::string>{"plain-file"});
}

TEST(ToolCapture, FilesHoldExactlyWhatTheCameraSaw) {
    RoomCamera cam(0);
    kvtool::ScratchDir dir;
    const RunResult r = run(kvdepth({"capture", "--ip", cam.ip(), "--frames", "3", "--out", dir.path(),
                                     "--mode", "320x240", "--streams", "depth,ir,color,points"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // Frames the camera sent while a loaded machine kept the tool from fetching are counted, not an error.
    EXPECT_NE(r.out.find("done: 3 frames written to " + dir.path() + ", "), std::string::npos) << r.out;
    const std::vector<std::string> files = kvtool::listDir(dir.path());
    ASSERT_EQ(files.size(), 3u * 7u);
    EXPECT_EQ(files.front(), "frame_000001.json");

    // The scene's true depth at 320x240, as the camera renders it.
    const orvane::kvsim::Intrinsic k = cam.end->device().calibration().depth.scaledTo(320, 240);
    std::vector<uint16_t> expected;
    for (int v = 0; v < 240; ++v)
        for (int u = 0; u < 320; ++u) expected.push_back(cam.scene->trueDepth(k, u, v, 0));
    orvane::tool::PngImage png;
    std::string error;
    ASSERT_TRUE(orvane::tool::readPng(dir.path() + "/frame_000002_depth.png", png, &error)) << error;
    ASSERT_EQ(png.bit_depth, 16);
    ASSERT_EQ(png.pixels.size(), expected.size() * 2);
    std::vector<uint16_t> depth(expected.size());
    std::memcpy(depth.data(), png.pixels.data(), png.pixels.size());
    EXPECT_EQ(depth, expected);

    // The point cloud: one vertex per depth pixel, every one on a surface of the scene.
    std::vector<kvtool::PlyVertex> vertices;
    ASSERT_TRUE(kvtool::readPlyIndependently(dir.path() + "/frame_000002_points.ply", vertices, &error))
        << error;
    EXPECT_EQ(vertices.size(),
              static_cast<size_t>(std::count_if(depth.begin(), depth.end(), [](uint16_t d) { return d; })));
    // Each vertex takes the colour of the pixel the simulator's own geometry projects it to.
    orvane::tool::PngImage color;
    ASSERT_TRUE(orvane::tool::readPng(dir.path() + "/frame_000002_color.png", color, &error)) << error;
    double worst = 0;
    size_t same_color = 0;
    for (const kvtool::PlyVertex& v : vertices) {
        worst = std::max(worst, cam.scene->distanceToSurface({v.x, v.y, v.z}, 0));
        double u = 0, w = 0;
        if (!orvane::kvsim::SyntheticScene::projectToColor(cam.end->device().calibration(), color.width,
                                                           color.height, {v.x, v.y, v.z}, u, w) ||
            u < 0 || w < 0 || u >= color.width || w >= color.height)
            continue;
        const uint8_t* rgb =
            &color.pixels[(static_cast<size_t>(w) * color.width + static_cast<size_t>(u)) * 3];
        same_color += (v.r == rgb[0] && v.g == rgb[1] && v.b == rgb[2]) ? 1 : 0;
    }
    EXPECT_LE(worst, 1.0);
    EXPECT_GE(same_color, vertices.size() * 99 / 100);

    // The JSON describes the frame: index, timestamps, intrinsics and the files beside it.
    const auto json = nlohmann::json::parse(kvtool::readText(dir.path() + "/frame_000002.json"));
    EXPECT_EQ(json["frame"], 2);
    ASSERT_EQ(json["images"].size(), 5u);
    EXPECT_EQ(json["images"][0]["stream"], "depth");
    EXPECT_EQ(json["images"][0]["width"], 320);
    EXPECT_GT(json["images"][0]["timestamp"].get<uint64_t>(), 0u);
    const auto first = nlohmann::json::parse(kvtool::readText(dir.path() + "/frame_000001.json"));
    EXPECT_GT(json["images"][0]["index"].get<int>(), first["images"][0]["index"].get<int>());
    const float matrix[9] = {k.fx, 0, k.cx, 0, k.fy, k.cy, 0, 0, 1};
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(json["intrinsics"]["depth"][i].get<float>(), matrix[i]);
    EXPECT_EQ(json["points"], vertices.size());
    for (const auto& name : json["files"])
        EXPECT_TRUE(std::find(files.begin(), files.end(), name.get<std::string>()) != files.end()) << name;
}

TEST(ToolCapture, CtrlCStopsCleanlyAndKeepsWhatWasWritten) {
    RoomCamera cam;
    kvtool::ScratchDir dir;
    const RunResult r =
        run(kvdepth({"capture", "--ip", cam.ip(), "--frames", "0", "--out", dir.path()}), 60000, "captured ");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("interrupted: "), std::string::npos) << r.out;
    size_t frames = 0;
    for (const std::string& name : kvtool::listDir(dir.path())) {
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
        if (name.size() == 17 && name.rfind(".json") == 12) {  // frame_NNNNNN.json: a complete frame
            ++frames;
            const auto json = nlohmann::json::parse(kvtool::readText(dir.path() + "/" + name));
            for (const auto& file : json["files"])
                EXPECT_EQ(access((dir.path() + "/" + file.get<std::string>()).c_str(), R_OK), 0) << file;
        }
    }
    EXPECT_GE(frames, 1u);
    EXPECT_NE(r.out.find(": " + std::to_string(frames) + " frames written"), std::string::npos) << r.out;
}

TEST(ToolCapture, ACameraThatGoesOfflineEndsTheCaptureWithOneClearLine) {
    RoomCamera cam;
    cam.end->device().setFaultHook(kvtest::faultPlan("close-after-frames=3"));
    kvtool::ScratchDir dir;
    const RunResult r = run(
        kvdepth({"capture", "--ip", cam.ip(), "--frames", "50", "--streams", "depth", "--out", dir.path()}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(onlyOneErrorLine(r)) << r.err;
    EXPECT_NE(r.err.find("the camera went offline"), std::string::npos) << r.err;
    // What arrived before the connection broke is kept (the last frame may be cut off on the wire).
    const auto files = kvtool::listDir(dir.path());
    const auto frames =
        std::count_if(files.begin(), files.end(), [](const std::string& n) { return n.size() == 17; });
    EXPECT_GE(frames, 1);
    EXPECT_LE(frames, 3);
    EXPECT_NE(r.out.find("stopped: " + std::to_string(frames) + " frames written"), std::string::npos)
        << r.out;
}

TEST(ToolSim, RunsItsOwnSimulatorAndStopsItAfterwards) {
    kvtool::ScratchDir dir;
    const std::string address = "127.0.5.60";
    const RunResult r =
        run(kvdepth({"capture", "--sim", "--sim-address", address, "--sim-scene", "wall", "--frames", "2",
                     "--streams", "depth", "--out", dir.path(), "--kvsim", KVSIM_PROGRAM}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("done: 2 frames written"), std::string::npos) << r.out;
    orvane::tool::PngImage png;
    ASSERT_TRUE(orvane::tool::readPng(dir.path() + "/frame_000001_depth.png", png, nullptr));
    uint16_t centre = 0;
    std::memcpy(&centre, &png.pixels[(240 * 640 + 320) * 2], 2);
    EXPECT_EQ(centre, 1500);  // the wall
    // The simulator it started is gone: nothing answers on its address any more.
    EXPECT_NE(run(kvdepth({"info", "--ip", address})).err.find("no camera at"), std::string::npos);

    // Without --sim-address it finds a free address itself; without --kvsim it finds kvsim in the build.
    const RunResult any = run(kvdepth({"get", "--sim", "laser.power"}));
    EXPECT_EQ(any.exit_code, 0) << any.err;
    EXPECT_EQ(any.out, "80\n");
}

}  // namespace
