// Process-wide logging: one entry point, severity filtering, console output.
#pragma once

#include <cstdarg>

namespace orvane {

typedef int LogSeverity;
constexpr LogSeverity kLogDebug = 0;
constexpr LogSeverity kLogVerbose = 10;
constexpr LogSeverity kLogInfo = 20;
constexpr LogSeverity kLogWarning = 30;
constexpr LogSeverity kLogError = 40;
constexpr LogSeverity kLogNone = 100;

// The one logging entry point of library code; use KV_LOG so file and line are filled in.
void _LogEntry(LogSeverity severity, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

class LogContext;

// Holder of the one logging context of the process (see diag/log_context.h).
class Logger {
  public:
    static LogContext log_context;
    static LogContext* get_context();
};

// Exported: sets the minimum severity that reaches the writers (never below kLogVerbose).
__attribute__((visibility("default"))) void SetLogLevel(int level);

}  // namespace orvane

#define KV_LOG(severity, ...) ::orvane::_LogEntry((severity), __FILE__, __LINE__, __VA_ARGS__)
