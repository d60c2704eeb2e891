// The kvdepth subcommands. Each prints its result to standard output, its error as one line to standard
// error, and returns the process exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera_session.h"
#include "frame_record.h"

namespace orvane {
namespace tool {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitInterrupted = 130;

int runList(const std::vector<std::string>& ips);
int runInfo(const CameraChoice& camera);
int runFeatures(const CameraChoice& camera, bool xml);
int runGet(const CameraChoice& camera, const std::string& feature);
int runSet(const CameraChoice& camera, const std::string& feature, const std::string& value);

struct CaptureOptions {
    uint64_t frames = 30;  // 0: until Ctrl-C
    std::string out;
    std::string streams = "depth,ir,color,points";
    std::string mode;        // depth image mode entry (name or value)
    std::string color_mode;  // colour image mode entry
    size_t queue = 32;       // frames waiting for the disk before frames are dropped
    int timeout_ms = 5000;   // longest wait for a frame
};
int runCapture(const CameraChoice& camera, const CaptureOptions& options);

// Shared with the viewer's snapshot, so that it writes what `capture` writes.
// Creates the directory and its parents and checks that files can be written there.
bool makeDirectories(const std::string& path, std::string* error);
// "depth,ir,color,points" to a component mask; false with a message for an unknown name.
bool parseStreams(const std::string& text, int32_t& mask, std::string* error);
// The calibration a capture of the `enabled` components records.
CaptureCalibration readCalibration(KV_DEV_HANDLE h, int32_t enabled);

// Prints "kvdepth: <message>" to standard error and returns kExitError.
int failWith(const std::string& message);

// The descriptor text of an open camera; false with a message.
bool readDescriptorText(KV_DEV_HANDLE h, std::string& out, std::string* error);

}  // namespace tool
}  // namespace orvane
