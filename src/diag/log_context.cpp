#include "diag/log_context.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/KvDebug.h"

namespace orvane {

const char* LogLevelText(LogSeverity severity) {
    switch (severity) {
        case kLogDebug:
            return "DEBUG";
        case kLogVerbose:
            return "VERBOSE";
        case kLogInfo:
            return "INFO";
        case kLogWarning:
            return "WARNING";
        case kLogError:
            return "ERROR";
        case kLogNone:
            return "NONE";
        default:
            return "UNKNOWN";
    }
}

// The clock reading is an unsigned 32-bit count; extending it with its sign would print a 20-digit
// timestamp whenever bit 31 is set.
uint64_t LogTimestamp(uint32_t clock_ms) {
    return clock_ms;
}

struct LogContext::ContextImpl {
    std::vector<ILogWriter*> writers;
    // Changed by the application while library threads log.
    std::atomic<LogSeverity> min_severity{kLogWarning};

    int RegistLogWriter(ILogWriter* writer) {
        if (writer == nullptr) return -1;
        writers.push_back(writer);
        return 0;
    }

    int UnregistLogWriter(ILogWriter* writer) {
        auto found = std::find(writers.begin(), writers.end(), writer);
        if (found == writers.end()) return -1;
        writers.erase(found);
        return 0;
    }

    bool IsRegistered(const ILogWriter* writer) const {
        return std::find(writers.begin(), writers.end(), writer) != writers.end();
    }
};

LogContext::LogContext() : impl_(new ContextImpl) {
    console_writer_.set_source_location(false);
    impl_->RegistLogWriter(&console_writer_);
}

LogContext::~LogContext() {
    // Leaves a null record behind, so that a message logged while other static objects are torn down after
    // this one is dropped instead of reaching freed memory.
    impl_.reset();
}

void LogContext::Write(LogSeverity severity, const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(severity, file, line, format, args);
    va_end(args);
}

void LogContext::WriteV(LogSeverity severity, const char* file, int line, const char* format, va_list args) {
    // Nothing below the threshold can reach a writer, so it is not worth formatting.
    if (impl_ == nullptr || severity < impl_->min_severity) return;
    LogEntry entry;
    entry.timestamp = LogTimestamp(getSystemTime());
    entry.severity = severity;
    entry.level_text = LogLevelText(severity);
    entry.tag = "";
    entry.file = file != nullptr ? file : "";
    entry.line = line;
    entry.message = entry.text;
    entry.text[0] = '\0';
    if (format != nullptr) std::vsnprintf(entry.text, sizeof(entry.text), format, args);
    WriteEntry(&entry);
}

void LogContext::WriteEntry(const LogEntry* entry) {
    if (impl_ == nullptr || entry == nullptr || entry->severity < impl_->min_severity) return;
    for (ILogWriter* writer : impl_->writers) writer->WriteEntry(entry);
}

void LogContext::WriterMessage(const char* message) {
    if (impl_ == nullptr) return;
    for (ILogWriter* writer : impl_->writers) writer->WriterMessage(message);
}

int LogContext::RegistLogWriter(ILogWriter* writer) {
    return impl_ ? impl_->RegistLogWriter(writer) : -1;
}

int LogContext::UnregistLogWriter(ILogWriter* writer) {
    return impl_ ? impl_->UnregistLogWriter(writer) : -1;
}

void LogContext::set_console_output(bool on) {
    if (impl_ == nullptr) return;
    if (on) {
        if (!impl_->IsRegistered(&console_writer_)) impl_->RegistLogWriter(&console_writer_);
    } else {
        impl_->UnregistLogWriter(&console_writer_);
    }
}

void LogContext::set_min_severity(LogSeverity severity) {
    if (impl_ == nullptr) return;
    impl_->min_severity = std::max(severity, kLogVerbose);
    set_console_output(true);
}

LogSeverity LogContext::get_min_severity() const {
    return impl_ ? impl_->min_severity.load() : kLogNone;
}

}  // namespace orvane
