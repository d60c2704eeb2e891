// Command line of the kvsim executable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device/device_types.h"
#include "sim/faults/fault_plan.h"

namespace orvane {
namespace kvsim {

struct CameraEndpoint {
    std::string address;
    uint16_t port = 0;
    std::string serial;
};

struct Options {
    std::vector<std::string> listen;
    uint16_t port = 7001;
    int cameras = 0;  // 0: one per --listen address
    double fps = 30.0;
    std::string descriptor_file;
    uint32_t fw_major = 2, fw_minor = 3, fw_patch = 0;
    std::string serial = "KVSIM0000001";
    bool verbose = false;
    bool help = false;
    std::string scene = "pattern";  // see sceneHelpText()
    FaultSettings faults;           // every --fault combined
    bool has_faults = false;
    std::string replay_file;  // serve this recording instead of a simulated camera
    bool loop = false;
    double speed = 1.0;

    // Address, port and serial number of every camera, in order.
    std::vector<CameraEndpoint> endpoints;
};

// Parses argv; false with a message for anything it cannot use. `--help` sets help and succeeds.
bool parseOptions(int argc, const char* const* argv, Options& out, std::string* error);
std::string usageText();

// The serial number `base` with its trailing number increased by `step`, keeping its width.
std::string nthSerial(const std::string& base, int step);

}  // namespace kvsim
}  // namespace orvane
