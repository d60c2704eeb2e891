// kvdepth: list cameras, show and change their settings, and capture depth, infrared, colour and point
// clouds to files. `--sim` runs everything against the project's camera simulator.
#include <CLI/CLI.hpp>
#include <exception>
#include <new>
#include <string>

#include <kvdepth.h>

#include "commands.h"
#include "record.h"
#include "view/viewer.h"

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
    std::string recording_file;
    info->add_option("file", recording_file, "a recording to summarise instead of a camera");

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

    tool::ViewOptions view_options;
    auto* view = app.add_subcommand("view", "show the camera live in a web browser, with its settings");
    addCameraOptions(view, camera);
    view->add_option("--port", view_options.port, "port of the page; 0: any free port")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    view->add_option("--address", view_options.address, "address to serve the page on (keep it loopback)")
        ->capture_default_str();
    view->add_option("--streams", view_options.streams, "streams to show first (as for capture)")
        ->capture_default_str();
    view->add_option("--out", view_options.out, "directory the snapshot button writes to")
        ->capture_default_str();

    tool::RecordOptions record_options;
    auto* record =
        app.add_subcommand("record", "record a session (frames and the device's byte stream) to MCAP");
    addCameraOptions(record, camera);
    record->add_option("--out", record_options.out, "the recording file (.mcap)")->required();
    auto* seconds = record->add_option("--seconds", record_options.seconds, "record this long")
                        ->check(CLI::PositiveNumber);
    record->add_option("--frames", record_options.frames, "record this many frames")
        ->check(CLI::PositiveNumber)
        ->excludes(seconds);
    record
        ->add_option("--streams", record_options.streams,
                     "comma-separated: depth, ir, ir_left, ir_right, color, points")
        ->capture_default_str();
    record->add_option("--mode", record_options.mode, "depth image mode (entry name or value)");
    record->add_option("--color-mode", record_options.color_mode, "colour image mode (entry name or value)");
    record
        ->add_option("--zstd-level", record_options.zstd_level, "chunk compression level (negative: faster)")
        ->check(CLI::Range(-50, 19))
        ->capture_default_str();
    record->add_option("--timeout", record_options.timeout_ms, "give up after this many ms without a frame")
        ->check(CLI::Range(100, 600000))
        ->capture_default_str();

    std::string convert_file, convert_out;
    auto* convert =
        app.add_subcommand("convert", "a recording's frames to the PNG, PLY and JSON files capture writes");
    convert->add_option("file", convert_file, "the recording")->required();
    convert->add_option("--out", convert_out, "output directory (created if missing)")->required();

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

    // Any failure ends in one line and a non-zero status, never in an abort: a damaged recording may ask
    // for more memory than there is.
    const auto run = [&]() -> int {
        if (*list) {
            if (!list_sim) return tool::runList(list_ips);
            // The simulator lives as long as the listing.
            tool::SimProcess sim;
            std::string error;
            if (!sim.start(camera.sim_options, &error)) return tool::failWith(error);
            list_ips.push_back(sim.address());
            return tool::runList(list_ips);
        }
        if (*info && !recording_file.empty()) return tool::runRecordingInfo(recording_file);
        if (*info) return tool::runInfo(camera);
        if (*record) return tool::runRecord(camera, record_options);
        if (*convert) return tool::runConvert(convert_file, convert_out);
        if (*features) return tool::runFeatures(camera, xml);
        if (*get) return tool::runGet(camera, feature_name);
        if (*set) return tool::runSet(camera, feature_name, value);
        if (*view) {
            view_options.verbose = verbose;
            return tool::runView(camera, view_options);
        }
        return tool::runCapture(camera, capture_options);
    };
    try {
        return run();
    } catch (const std::bad_alloc&) {
        return tool::failWith("out of memory");
    } catch (const std::exception& e) {
        return tool::failWith(std::string("internal error: ") + e.what());
    }
}
