// The C examples, each run against a simulated camera.
#include <gtest/gtest.h>

#include "sim_camera.h"
#include "tool_test_support.h"

namespace {

TEST(Examples, EachRunsAgainstTheSimulator) {
    orvane::kvsim::DeviceConfig config;
    kvtest::CameraEnd camera(kvtest::Transport::kTcp, std::make_shared<orvane::kvsim::SimDevice>(config));
    ASSERT_TRUE(camera.ready());
    kvtool::ScratchDir dir;
    const std::string ply = dir.path() + "/cloud.ply";
    const std::string bin = KVDEPTH_EXAMPLES_DIR;
    struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> expected;
    } cases[] = {
        {{bin + "/example_capture_fetch", camera.address(), "3"},
         {"frame 1: depth 640x480 index 1", "frame 3: depth 640x480 index 3"}},
        {{bin + "/example_capture_callback", camera.address(), "3"},
         {"callback frame 1: 2 images", "received 3 frames by callback"}},
        {{bin + "/example_point_cloud_ply", camera.address(), ply}, {"wrote ", " points to " + ply}},
        {{bin + "/example_list_features", camera.address()},
         {"component 0x00400000", "0x1500 power                int    rw = 80", "0x5f00 SN"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv[0]);
        const kvtool::RunResult r = kvtool::run(c.argv);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        for (const std::string& e : c.expected)
            EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n" << r.out;
    }
    std::vector<kvtool::PlyVertex> vertices;
    std::string error;
    ASSERT_TRUE(kvtool::readPlyIndependently(ply, vertices, &error)) << error;
    EXPECT_GT(vertices.size(), 300000u);  // the test pattern's depth ramp covers almost every pixel
}

}  // namespace
