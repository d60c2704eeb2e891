// The record a logging call builds and the interface of the sinks it is handed to.
#pragma once

#include <cstdint>

#include "diag/logger.h"

namespace orvane {

constexpr int kLogEntryTextSize = 3072;

// Built on the stack of the logging call and read by the writers during that call only.
struct LogEntry {
    uint64_t timestamp = 0;  // getSystemTime() at the call
    LogSeverity severity = 0;
    const char* level_text = "";   // LogLevelText(severity)
    const char* tag = "";          // always empty
    char* message = nullptr;       // points at text
    const char* file = "";         // source file of the call site
    int32_t line = 0;              // source line of the call site
    char text[kLogEntryTextSize];  // formatted message, cut at kLogEntryTextSize - 1 characters
};

// "DEBUG", "VERBOSE", "INFO", "WARNING", "ERROR", "NONE", or "UNKNOWN" for any other value.
const char* LogLevelText(LogSeverity severity);

// The millisecond clock reading as the 64-bit timestamp of an entry.
uint64_t LogTimestamp(uint32_t clock_ms);

class ILogWriter {
  public:
    virtual ~ILogWriter() = default;
    virtual void WriterMessage(const char* message) = 0;
    virtual void WriteEntry(const LogEntry* entry) = 0;
};

}  // namespace orvane
