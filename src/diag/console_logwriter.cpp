#include "diag/console_logwriter.h"

#include <cstdio>

namespace orvane {

namespace {
const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}
}  // namespace

void ConsoleLogWriter::WriterMessage(const char* message) {
    std::printf("%s\n", orEmpty(message));
}

void ConsoleLogWriter::WriteEntry(const LogEntry* entry) {
    if (entry == nullptr) return;
    // One printf per line: stdout's own lock keeps lines of different threads apart.
    const auto timestamp = static_cast<unsigned long long>(entry->timestamp);
    if (source_location_) {
        std::printf("%9llu %-10s %s [%s - %d]\n", timestamp, orEmpty(entry->level_text),
                    orEmpty(entry->message), orEmpty(entry->file), entry->line);
    } else {
        std::printf("%9llu %-10s %s\n", timestamp, orEmpty(entry->level_text), orEmpty(entry->message));
    }
}

}  // namespace orvane
