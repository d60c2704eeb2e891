// The process-wide logging context: filters entries by severity and hands them to the registered writers.
// It takes no lock: logging from many threads is fine, but registering writers or changing the level must
// not run while another thread logs.
#pragma once

#include <cstdarg>
#include <memory>

#include "diag/console_logwriter.h"
#include "diag/log_writer.h"

namespace orvane {

class LogContext {
  public:
    LogContext();
    ~LogContext();
    LogContext(const LogContext&) = delete;
    LogContext& operator=(const LogContext&) = delete;

    void Write(LogSeverity severity, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void WriteV(LogSeverity severity, const char* file, int line, const char* format, va_list args)
        __attribute__((format(printf, 5, 0)));
    // Dispatches an entry built elsewhere, with the same severity filter.
    void WriteEntry(const LogEntry* entry);
    // Hands a bare message to every writer, unfiltered.
    void WriterMessage(const char* message);

    // Writers are not owned. A writer may be registered more than once and then receives each entry once
    // per registration. 0 on success, -1 for a null writer or (unregistering) one that is not registered.
    int RegistLogWriter(ILogWriter* writer);
    int UnregistLogWriter(ILogWriter* writer);

    void set_console_output(bool on);
    // Never below kLogVerbose; also switches console output back on.
    void set_min_severity(LogSeverity severity);
    LogSeverity get_min_severity() const;

    ConsoleLogWriter& console_writer() { return console_writer_; }

  private:
    struct ContextImpl;
    std::unique_ptr<ContextImpl> impl_;
    ConsoleLogWriter console_writer_;
};

}  // namespace orvane
