// Log writer that prints each entry as one line on standard output.
#pragma once

#include "diag/log_writer.h"

namespace orvane {

class ConsoleLogWriter : public ILogWriter {
  public:
    ConsoleLogWriter() = default;

    // "%s\n"
    void WriterMessage(const char* message) override;
    // "%9llu %-10s %s\n", or "%9llu %-10s %s [%s - %d]\n" with the source location switched on.
    void WriteEntry(const LogEntry* entry) override;

    void set_source_location(bool on) { source_location_ = on; }
    bool source_location() const { return source_location_; }

  private:
    bool source_location_ = false;
};

}  // namespace orvane
