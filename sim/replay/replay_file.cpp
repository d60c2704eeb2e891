#include "sim/replay/replay_file.h"

#include "recording/recording_format.h"
#include "recording/recording_reader.h"

namespace orvane {
namespace kvsim {

bool loadRecording(const std::string& path, LoadedRecording* out, std::string* error) {
    // Each message goes into the script as it is read: a long recording is never held twice.
    ReplayScriptBuilder builder;
    int device_channel = -1;
    auto visit = [&](const recording::Channel& channel, const recording::Message& m) {
        if (device_channel < 0 && channel.topic == recording::kDeviceStreamTopic) device_channel = channel.id;
        if (channel.id == device_channel && m.size >= 1)
            builder.add(m.data[0] != 0, m.log_time, m.data + 1, m.size - 1);
        return true;
    };
    if (!recording::visitMessages(path, visit, error, &out->truncated)) return false;
    if (!builder.finish(&out->script, error)) {
        if (error) *error = path + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace kvsim
}  // namespace orvane
