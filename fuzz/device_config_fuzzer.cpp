// Device-configuration documents (laser power and sensor register settings) applied to a device whose
// stream takes every request. Each `Set` becomes at most one register write.
#include <string>

#include "device/vov_cam_video_source.h"
#include "fuzz_support.h"
#include "protocol/packet_base.h"

namespace {

// Accepts every request and counts the register packets among them.
class RequestCounter : public kvfuzz::ChunkedStream {
  public:
    RequestCounter() : kvfuzz::ChunkedStream(nullptr, 0, 0) {}
    int Send(const char* buffer, int len) override {
        if (len == orvane::CamControlProcessor::kRegisterPacketSize &&
            static_cast<uint8_t>(buffer[orvane::kSyncHeadSize + 2]) == orvane::kPacketTypeRegister) {
            ++register_writes;
        }
        return len;
    }
    size_t register_writes = 0;
};

size_t Occurrences(const std::string& text, const char* word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::QuietLogs();
    const std::string text(reinterpret_cast<const char*>(data), size);
    orvane::KvFrameBufferQueue empty_queue;
    RequestCounter stream;
    orvane::VOVCamVideoSource source(empty_queue);
    source.SetStream(&stream);
    if (source.Config(text.c_str()) == 0) {
        source.ParseConfigFile();
        FUZZ_CHECK(stream.register_writes <= Occurrences(text, "Set"));
    } else {
        // A document that did not parse is not kept: there is nothing to apply.
        FUZZ_CHECK(source.ParseConfigFile() == 0);
        FUZZ_CHECK(stream.register_writes == 0);
    }
    source.SetStream(nullptr);
    return 0;
}
