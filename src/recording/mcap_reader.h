// A streaming MCAP reader for untrusted files: every field is bounds-checked, chunks are checked against
// their CRC, and a file cut short or damaged stops at its last good chunk instead of failing as a whole.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "recording/recording_reader.h"

namespace orvane {
namespace recording {

struct ReadResult {
    bool ok = false;         // false: not readable at all (see error)
    bool truncated = false;  // ended (or was damaged) before its data section was complete
    bool complete = false;   // the data section ended properly
    std::string error;       // why reading failed or stopped early
    uint64_t chunks = 0;     // good chunks read
    uint64_t messages = 0;
};

class McapReader {
  public:
    // Each callback is optional. The message callback returns false to stop reading.
    std::function<bool(const Channel&, const Message&)> on_message;
    std::function<void(const Channel&)> on_channel;
    std::function<void(const std::string& name, const std::string& media_type, const uint8_t* data,
                       size_t size)>
        on_attachment;
    std::function<void(const std::string& name, const std::map<std::string, std::string>&)> on_metadata;

    ReadResult read(const std::string& path);
    // The same over bytes in memory (for fuzzing and tests).
    ReadResult readBytes(const uint8_t* data, size_t size);

  private:
    class Source;
    ReadResult run(Source& source);
    ReadResult readRecords(Source& source);
    // false: the record is damaged (message in *why).
    bool record(uint8_t opcode, const uint8_t* data, size_t size, bool in_chunk, std::string* why,
                bool* stop);
    bool chunk(const uint8_t* data, size_t size, std::string* why, bool* stop);

    std::map<uint16_t, std::pair<std::string, std::string>> schemas_;  // id -> (name, encoding)
    std::map<uint16_t, Channel> channels_;
    std::vector<uint8_t> scratch_;
    ReadResult result_;
};

}  // namespace recording
}  // namespace orvane
