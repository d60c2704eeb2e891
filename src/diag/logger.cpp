#include "diag/logger.h"

#include "diag/log_context.h"

namespace orvane {

// Constructed ahead of the library's other static objects and destroyed after them, so that their
// constructors and destructors can log.
LogContext Logger::log_context __attribute__((init_priority(101)));

LogContext* Logger::get_context() {
    return &log_context;
}

void _LogEntry(LogSeverity severity, const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Logger::log_context.WriteV(severity, file, line, format, args);
    va_end(args);
}

void SetLogLevel(int level) {
    Logger::log_context.set_min_severity(level);
}

}  // namespace orvane
