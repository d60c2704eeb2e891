// Recording files: the MCAP reader with chunk decompression and CRC checks, and the image messages in it.
#include "fuzz_support.h"
#include "recording/mcap_reader.h"
#include "recording/ros_messages.h"

namespace {

orvane::recording::ReadResult readAll(const uint8_t* data, size_t size) {
    orvane::recording::McapReader reader;
    reader.on_message = [&](const orvane::recording::Channel& c, const orvane::recording::Message& m) {
        orvane::recording::DecodedImage image;
        if (orvane::recording::decodeImageMessage(c.schema_name, m.data, m.size, &image)) {
            FUZZ_CHECK(image.data >= m.data && image.data + image.size <= m.data + m.size);
        }
        return true;
    };
    return reader.readBytes(data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const orvane::recording::ReadResult whole = readAll(data, size);
    FUZZ_CHECK(whole.ok || !whole.error.empty());
    // A file cut short holds no message the whole file lacks.
    const orvane::recording::ReadResult prefix = readAll(data, size / 2);
    FUZZ_CHECK(prefix.messages <= whole.messages);
    return 0;
}
