// Loading a recording file for replay.
#pragma once

#include <string>

#include "sim/replay/replay_script.h"

namespace orvane {
namespace kvsim {

struct LoadedRecording {
    ReplayScript script;
    bool truncated = false;  // the file ended early or has a damaged chunk: replayed up to there
};

// False with a message for a file that cannot be read, is not a recording or holds no device stream.
bool loadRecording(const std::string& path, LoadedRecording* out, std::string* error);

}  // namespace kvsim
}  // namespace orvane
