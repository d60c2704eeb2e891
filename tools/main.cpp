// kvdepth: list cameras, show and change their settings, and capture depth, infrared, colour and point
// clouds to files. `--sim` runs everything against the project's camera simulator.
#include <CLI/CLI.hpp>

#include <kvdepth.h>

#include "commands.h"

namespace {

using orvane::tool::CameraChoice;

// --ip / --serial / --sim and the simulator's settings, shared by every subcommand that talks to a camera.
void addCameraOptions(CLI::App* cmd, CameraChoice& camera) {
    cmd->add_option("--ip", camera.ip, "IPv4 address of a network camera (port 7001)");
    cmd->add_option("--serial", camera.serial, "serial number (or USB ordinal) of a USB camera");
    cmd->add_flag("--sim", camera.sim,
                  "start the camera simulator kvsim on a free loopback address and use it");
    cmd->add_option("--sim-address", camera.sim_options.address,
                    "loopback address for --sim (default: a free one)")
        ->group("Simulator");
    cmd->add_option("--sim-scene", camera.sim_options.scene,
                    "what the simulator shows: pattern, wall, room, moving, noisy")
        ->group("Simulator")
        ->capture_default_str();
    cmd->add_option("--sim-fps", camera.sim_options.fps,
                    "simulator frame rate; 0: as fast as frames are taken")
        ->group("Simulator")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    cmd->add_option("--kvsim", camera.sim_options.kvsim, "the kvsim program to run for --sim")
        ->group("Simulator");
}

}  // namespace

int main(int argc, char** argv) {
    namespace tool = orvane::tool;
    CLI::App app{"kvdepth: depth cameras from the command line (list, info, features, get, set, capture)"};
    app.require_subcommand(1);
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "print the library's log lines and the simulator's output");
    app.set_version_flag("--version", [] {
        KV_VERSION_INFO v{};
        KVLibVersion(&v);
        return "kvdepth " + std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
               std::to_string(v.patch);
    });

    CameraChoice camera;
    std::vector<std::string> list_ips;
    bool list_sim = false;
    auto* list = app.add_subcommand("list", "list the cameras on USB and those given with --ip or --sim");
    list->add_option("--ip", list_ips, "also show the network camera at this address (repeatable)");
    list->add_flag("--sim", list_sim, "also start the simulator and show it");
    list->add_option("--sim-address", camera.sim_options.address, "loopback address for --sim")
        ->group("Simulator");
    list->add_option("--kvsim", camera.sim_options.kvsim, "the kvsim program to run for --sim")
        ->group("Simulator");

    auto* info = app.add_subcommand("info", "device information, firmware, enabled components, intrinsics");
    addCameraOptions(info, camera);

    bool xml = false;
    auto* features =
        app.add_subcommand("features", "every component and feature with type, access, value, range");
    addCameraOptions(features, camera);
    features->add_flag("--xml", xml, "print the camera's descriptor text instead");

    std::string feature_name, value;
    auto* get = app.add_subcommand("get", "print a feature's value");
    addCameraOptions(get, camera);
    get->add_option("feature", feature_name,
                    "COMPONENT.FEATURE by name or hexadecimal id (laser.power, 0x00401500)")
        ->required();

    auto* set = app.add_subcommand("set", "change a feature's value");
    addCameraOptions(set, camera);
    set->add_option("feature", feature_name, "COMPONENT.FEATURE by name or hexadecimal id")->required();
    set->add_option("value", value, "the new value; enumerations by entry name or value")->required();

    tool::CaptureOptions capture_options;
    auto* capture = app.add_subcommand("capture", "capture frames into PNG, PLY and JSON files");
    addCameraOptions(capture, camera);
    capture->add_option("--frames", capture_options.frames, "number of frames; 0: until Ctrl-C")
        ->capture_default_str();
    capture->add_option("--out", capture_options.out, "output directory (created if missing)")->required();
    capture
        ->add_option("--streams", capture_options.streams,
                     "comma-separated: depth, ir, ir_left, ir_right, color, points")
        ->capture_default_str();
    capture->add_option("--mode", capture_options.mode,
                        "depth image mode (entry name such as 640x480, or value)");
    capture->add_option("--color-mode", capture_options.color_mode,
                        "colour image mode (entry name or value)");
    capture
        ->add_option("--queue", capture_options.queue,
                     "frames that may wait for the disk before frames are dropped")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    capture->add_option("--timeout", capture_options.timeout_ms, "give up after this many ms without a frame")
        ->check(CLI::Range(100, 600000))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Usage errors are one line and status 2; --help and --version print and succeed.
        if (e.get_exit_code() != 0) {
            std::fprintf(stderr, "kvdepth: %s (see kvdepth --help)\n", e.what());
            return 2;
        }
        return app.exit(e);
    }
    orvane::SetLogLevel(verbose ? 20 : 100);
    camera.sim_options.verbose = verbose;
    tool::QuietStdout::allow(verbose);

    if (*list) {
        if (!list_sim) return tool::runList(list_ips);
        // The simulator lives as long as the listing.
        tool::SimProcess sim;
        std::string error;
        if (!sim.start(camera.sim_options, &error)) return tool::failWith(error);
        list_ips.push_back(sim.address());
        return tool::runList(list_ips);
    }
    if (*info) return tool::runInfo(camera);
    if (*features) return tool::runFeatures(camera, xml);
    if (*get) return tool::runGet(camera, feature_name);
    if (*set) return tool::runSet(camera, feature_name, value);
    return tool::runCapture(camera, capture_options);
}
