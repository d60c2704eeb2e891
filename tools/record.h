// kvdepth record, convert and info FILE: sessions to recordings, recordings to capture's files, and a
// recording's summary.
#pragma once

#include <cstdint>
#include <string>

#include "camera_session.h"

namespace orvane {
namespace tool {

struct RecordOptions {
    std::string out;     // the .mcap file
    double seconds = 0;  // 0 and frames 0: until Ctrl-C
    uint64_t frames = 0;
    std::string streams = "depth,ir,color";
    std::string mode;
    std::string color_mode;
    int zstd_level = 1;
    int timeout_ms = 5000;
};
int runRecord(const CameraChoice& camera, const RecordOptions& options);

// The recording's frames to the PNG, PLY and JSON files that `capture` writes.
int runConvert(const std::string& file, const std::string& out);

// Streams, frame counts, duration and dropped frames of a recording.
int runRecordingInfo(const std::string& file);

}  // namespace tool
}  // namespace orvane
