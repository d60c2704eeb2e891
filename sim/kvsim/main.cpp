// kvsim: simulated depth cameras on loopback TCP addresses, for developing and testing kvdepth
// applications without a camera.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "sim/device/descriptor.h"
#include "sim/device/sim_device.h"
#include "sim/faults/fault_plan.h"
#include "sim/kvsim/options.h"
#include "sim/replay/replay_device.h"
#ifdef KVSIM_WITH_RECORDINGS
#include "sim/replay/replay_file.h"
#endif
#include "sim/scene/scene_catalog.h"
#include "sim/tcp/tcp_server.h"

namespace {

std::mutex g_print_mutex;

void printLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_print_mutex);
    std::fprintf(stdout, "kvsim: %s\n", text.c_str());
    std::fflush(stdout);
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

// The one camera of --replay: the recording's conversation served on the first --listen address.
std::unique_ptr<orvane::kvsim::TcpCameraServer> startReplay(const orvane::kvsim::Options& opt,
                                                            std::string* error) {
    using namespace orvane::kvsim;
#ifdef KVSIM_WITH_RECORDINGS
    LoadedRecording loaded;
    if (!loadRecording(opt.replay_file, &loaded, error)) return nullptr;
    if (loaded.truncated)
        printLine(opt.replay_file +
                  " ends early or has a damaged chunk: replaying up to its last good chunk");
    const ScriptStats& counts = loaded.script.stats();
    ReplayOptions options;
    options.serial = loaded.script.recordedSerial();
    if (options.serial.empty()) options.serial = opt.serial;
    options.loop = opt.loop;
    options.speed = opt.speed;
    auto device = std::make_shared<ReplayDevice>(
        std::make_shared<const ReplayScript>(std::move(loaded.script)), options);
    if (opt.verbose) device->setCommandLog(printLine);
    const CameraEndpoint& e = opt.endpoints.front();
    auto server = std::make_unique<TcpCameraServer>(std::shared_ptr<ServedCamera>(device), e.address, e.port,
                                                    printLine);
    if (!server->start(error)) return nullptr;
    char speed[32];
    std::snprintf(speed, sizeof speed, "%g", opt.speed);
    printLine("replaying " + opt.replay_file + " as camera " + options.serial + " on " + server->endpoint() +
              " (" + std::to_string(counts.requests) + " requests, " + std::to_string(counts.replies) +
              " replies, " + std::to_string(counts.images) + " images, speed " + speed +
              (opt.loop ? ", looping" : "") + ")");
    return server;
#else
    (void)opt;
    *error = "--replay: this kvsim was built without the recording reader";
    return nullptr;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvane::kvsim;
    Options opt;
    std::string error;
    if (!parseOptions(argc, argv, opt, &error)) {
        std::fprintf(stderr, "kvsim: %s\n", error.c_str());
        return 2;
    }
    if (opt.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }

    DeviceConfig base;
    base.fps = opt.fps;
    base.identity.fw_major = opt.fw_major;
    base.identity.fw_minor = opt.fw_minor;
    base.identity.fw_patch = opt.fw_patch;
    if (!opt.descriptor_file.empty()) {
        if (!readFile(opt.descriptor_file, base.descriptor_file_text)) {
            std::fprintf(stderr, "kvsim: cannot read %s\n", opt.descriptor_file.c_str());
            return 2;
        }
        Calibration check;
        if (!calibrationFromDescriptor(base.descriptor_file_text, check, &error)) {
            std::fprintf(stderr, "kvsim: %s: %s\n", opt.descriptor_file.c_str(), error.c_str());
            return 2;
        }
    }

    // SIGINT and SIGTERM are taken by sigwait below; every thread started after this inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<TcpCameraServer>> servers;
    if (!opt.replay_file.empty()) {
        std::unique_ptr<TcpCameraServer> server = startReplay(opt, &error);
        if (!server) {
            std::fprintf(stderr, "kvsim: %s\n", error.c_str());
            return 1;
        }
        servers.push_back(std::move(server));
    }
    const std::vector<CameraEndpoint> simulated =
        opt.replay_file.empty() ? opt.endpoints : std::vector<CameraEndpoint>();
    for (const CameraEndpoint& e : simulated) {
        DeviceConfig config = base;
        config.identity.serial = e.serial;
        auto device = std::make_shared<SimDevice>(config);
        if (opt.verbose) device->setCommandLog(printLine);
        // Each camera has a scene and a fault plan of its own (a scene caches per image size).
        device->setScene(makeScene(opt.scene, nullptr));
        if (opt.has_faults) device->setFaultHook(std::make_shared<FaultPlan>(opt.faults));
        auto server = std::make_unique<TcpCameraServer>(device, e.address, e.port, printLine);
        if (!server->start(&error)) {
            std::fprintf(stderr, "kvsim: %s\n", error.c_str());
            for (auto& s : servers) s->stop();
            return 1;
        }
        printLine(
            "camera " + e.serial + " listening on " + server->endpoint() + " (firmware " +
            config.identity.firmwareText() + ", " +
            (opt.fps > 0 ? std::to_string(static_cast<int>(opt.fps)) + " fps" : std::string("unpaced")) +
            (opt.descriptor_file.empty() ? "" : ", descriptor " + opt.descriptor_file) + ", scene " +
            opt.scene + (opt.has_faults ? ", with faults" : "") + ")");
        servers.push_back(std::move(server));
    }

    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    printLine(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    for (auto& s : servers) s->stop();
    printLine("stopped");
    return 0;
}
