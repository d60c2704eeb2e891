// Firmware-version documents: the build hash the library reads out of them.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "model/KvDeviceDescriptorParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::QuietLogs();
    // The document arrives as a NUL-terminated text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    orvane::KvDeviceDescriptorParser parser;
    if (const char* hash = parser.getFirmwareVer(text.c_str())) {
        FUZZ_CHECK(std::strlen(hash) < text.size());
    }
    // A second document through the same parser replaces the first one's text.
    if (const char* again = parser.getFirmwareVer(text.c_str() + size / 2)) {
        FUZZ_CHECK(std::strlen(again) < text.size());
    }
    return 0;
}
