#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "diag/log_context.h"
#include "diag/logger.h"
#include "platform/KvDebug.h"

namespace orvane {
namespace {

// Counts C++ heap allocations made by the current thread (see the replaced operator new below).
thread_local long t_allocations = 0;

}  // namespace
}  // namespace orvane

// Replacing the global operator new is the portable way to see every allocation the code under test makes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++orvane::t_allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop

namespace orvane {
namespace {

LogContext& Context() {
    return *Logger::get_context();
}

struct Recorded {
    uint64_t timestamp;
    LogSeverity severity;
    std::string level_text;
    std::string tag;
    std::string message;
    std::string file;
    int line;
    bool message_points_at_text;
};

class RecordingWriter : public ILogWriter {
  public:
    void WriterMessage(const char* message) override { messages.emplace_back(message); }
    void WriteEntry(const LogEntry* entry) override {
        entries.push_back(Recorded{entry->timestamp, entry->severity, entry->level_text, entry->tag,
                                   entry->message, entry->file, entry->line, entry->message == entry->text});
    }
    std::vector<Recorded> entries;
    std::vector<std::string> messages;
};

// Records only a count: safe to use where no allocation may happen.
class CountingWriter : public ILogWriter {
  public:
    void WriterMessage(const char*) override {}
    void WriteEntry(const LogEntry* entry) override {
        ++count;
        last_length = std::char_traits<char>::length(entry->message);
    }
    int count = 0;
    size_t last_length = 0;
};

// Every test starts and ends with the library's start-up state: threshold 30, console registered once.
class Logging : public ::testing::Test {
  protected:
    void SetUp() override { Context().set_min_severity(kLogWarning); }
    void TearDown() override {
        for (ILogWriter* writer : registered_) {
            while (Context().UnregistLogWriter(writer) == 0) {
            }
        }
        Context().console_writer().set_source_location(false);
        Context().set_min_severity(kLogWarning);
    }
    void Register(ILogWriter* writer) {
        ASSERT_EQ(0, Context().RegistLogWriter(writer));
        registered_.push_back(writer);
    }

  private:
    std::vector<ILogWriter*> registered_;
};

template <class Fn>
std::string CaptureConsole(Fn&& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
}

std::string ConsoleLine(unsigned long long timestamp, const char* level, const std::string& message) {
    char head[64];
    std::snprintf(head, sizeof(head), "%9llu %-10s ", timestamp, level);
    return head + message + "\n";
}

// Reads the timestamp field of a console line.
unsigned long long TimestampOf(const std::string& line) {
    return std::strtoull(line.c_str(), nullptr, 10);
}

// Console output as "LEVEL message|" per line; every line must have the console's layout.
std::string ConsoleSummary(const std::string& out) {
    std::istringstream lines(out);
    std::string summary;
    for (std::string line; std::getline(lines, line);) {
        char level[16] = {};
        int message = 0;
        if (std::sscanf(line.c_str(), "%*u %15s %n", level, &message) != 1 || message == 0)
            return "bad: " + line;
        EXPECT_EQ(ConsoleLine(TimestampOf(line), level, line.substr(message)), line + "\n");
        summary += std::string(level) + " " + line.substr(message) + "|";
    }
    return summary;
}

TEST_F(Logging, ConsoleLineIsTimestampPaddedLevelAndMessage) {
    uint32_t before = getSystemTime();
    std::string out = CaptureConsole([] { KV_LOG(kLogWarning, "value %d of %s\n", 42, "x"); });
    uint32_t after = getSystemTime();

    ASSERT_FALSE(out.empty());
    unsigned long long stamp = TimestampOf(out);
    EXPECT_GE(timeDiff(static_cast<uint32_t>(stamp), before), 0);
    EXPECT_GE(timeDiff(after, static_cast<uint32_t>(stamp)), 0);
    // The message's own newline plus the console's: the line is followed by an empty one.
    EXPECT_EQ(ConsoleLine(stamp, "WARNING", "value 42 of x\n"), out);
    // Spelled out: timestamp right-aligned in at least 9 columns, level padded to 10.
    const std::string tail = " WARNING    value 42 of x\n\n";
    ASSERT_GE(out.size(), 9 + tail.size());
    EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
}

TEST_F(Logging, FreshContextStartsAtWarningAndTheConsoleIsRegisteredExactlyOnce) {
    LogContext context;
    EXPECT_FALSE(context.console_writer().source_location());
    std::string out = CaptureConsole([&] {
        for (LogSeverity severity : {kLogVerbose, kLogInfo, kLogWarning, kLogError})
            context.Write(severity, "f.cpp", 1, std::to_string(severity).c_str());
    });
    EXPECT_EQ("WARNING 30|ERROR 40|", ConsoleSummary(out));
    // The console writer is registered exactly once: removing it once empties the list.
    EXPECT_EQ(0, context.UnregistLogWriter(&context.console_writer()));
    EXPECT_EQ(-1, context.UnregistLogWriter(&context.console_writer()));

    // Nor does the library's context duplicate it when it is switched off and on again.
    Context().set_console_output(false);
    EXPECT_EQ("", CaptureConsole([] { KV_LOG(kLogError, "muted"); }));
    SetLogLevel(kLogWarning);
    EXPECT_EQ("ERROR back|", ConsoleSummary(CaptureConsole([] { KV_LOG(kLogError, "back"); })));
    // Switching on again (twice, then SetLogLevel) must not duplicate the console.
    Context().set_console_output(true);
    Context().set_console_output(true);
    SetLogLevel(kLogWarning);
    EXPECT_EQ("ERROR once|", ConsoleSummary(CaptureConsole([] { KV_LOG(kLogError, "once"); })));
}

// Writers get the call site in the entry; the console shows it only when switched on.
TEST_F(Logging, EntryCarriesCallSiteAndEmptyTagAndTheSourceLocationSwitchAppendsIt) {
    RecordingWriter writer;
    Register(&writer);
    Context().console_writer().set_source_location(true);
    uint32_t before = getSystemTime();
    const int line = __LINE__ + 1;
    std::string out = CaptureConsole([] { KV_LOG(kLogError, "code %d", -1002); });

    ASSERT_EQ(1u, writer.entries.size());
    const Recorded& entry = writer.entries[0];
    EXPECT_EQ(std::make_tuple(kLogError, "ERROR", "", "code -1002", true, __FILE__, line),
              std::tie(entry.severity, entry.level_text, entry.tag, entry.message,
                       entry.message_points_at_text, entry.file, entry.line));
    EXPECT_GE(timeDiff(static_cast<uint32_t>(entry.timestamp), before), 0);
    std::string expected = ConsoleLine(entry.timestamp, "ERROR", "code -1002");
    expected.pop_back();
    EXPECT_EQ(expected + " [" + __FILE__ + " - " + std::to_string(line) + "]\n", out);
}

// Rows: a SetLogLevel argument and what one message at each probed severity gives, as "LEVEL message|" per
// console line. Filtering is by value (inclusive), a level at or below zero means verbose, a severity outside
// the table prints as UNKNOWN, and 100 silences every severity the library uses.
TEST_F(Logging, ThresholdIsInclusiveClampsToVerboseAndHundredSilencesEverything) {
    const LogSeverity probes[] = {kLogDebug, kLogVerbose, 19, kLogInfo, 21, kLogWarning, kLogError, 99};
    const std::string fromVerbose =
        "VERBOSE 10|UNKNOWN 19|INFO 20|UNKNOWN 21|WARNING 30|ERROR 40|UNKNOWN 99|";
    const struct {
        int level;
        std::string lines;
    } cases[] = {{0, fromVerbose},
                 {-1, fromVerbose},
                 {-1000, fromVerbose},
                 {kLogInfo, "INFO 20|UNKNOWN 21|WARNING 30|ERROR 40|UNKNOWN 99|"},
                 {kLogNone, ""}};
    RecordingWriter writer;
    Register(&writer);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        writer.entries.clear();
        SetLogLevel(c.level);
        EXPECT_EQ(c.lines, ConsoleSummary(CaptureConsole([&] {
                      for (LogSeverity severity : probes) KV_LOG(severity, "%d", severity);
                  })));
        std::string entries;
        for (const Recorded& entry : writer.entries) {
            EXPECT_EQ(std::to_string(entry.severity), entry.message);
            entries += entry.level_text + " " + entry.message + "|";
        }
        EXPECT_EQ(c.lines, entries);
    }
}

// A null entry in the list would be called for the next message.
TEST_F(Logging, NullOrMissingWriterIsRefusedAndChangesNothingAndWriterMessagesReachEveryWriter) {
    RecordingWriter registered, stranger;
    Register(&registered);
    EXPECT_EQ(-1, Context().RegistLogWriter(nullptr));
    EXPECT_EQ(-1, Context().UnregistLogWriter(&stranger));
    EXPECT_EQ(-1, Context().UnregistLogWriter(nullptr));
    EXPECT_EQ("WARNING still here|",
              ConsoleSummary(CaptureConsole([] { KV_LOG(kLogWarning, "still here"); })));
    EXPECT_EQ(1u, registered.entries.size());
    // Plain writer messages reach every writer, unfiltered.
    SetLogLevel(kLogNone);
    EXPECT_EQ("plain text\n", CaptureConsole([] { Context().WriterMessage("plain text"); }));
    EXPECT_EQ((std::vector<std::string>{"plain text"}), registered.messages);
}

TEST_F(Logging, MessageIsCutAt3071CharactersAndKeptWholeUpToIt) {
    RecordingWriter writer;
    Register(&writer);
    const std::string long_text(5000, 'x'), text(3070, 'y');
    std::string out = CaptureConsole([&] { KV_LOG(kLogWarning, "%s", long_text.c_str()); });
    CaptureConsole([&] { KV_LOG(kLogWarning, "%sz", text.c_str()); });
    ASSERT_EQ(2u, writer.entries.size());
    EXPECT_EQ(std::string(3071, 'x'), writer.entries[0].message);
    EXPECT_EQ(ConsoleLine(TimestampOf(out), "WARNING", std::string(3071, 'x')), out);
    EXPECT_EQ(text + "z", writer.entries[1].message);
}

TEST(LogTimestamp, ClockReadingWithTopBitSetIsNotSignExtended) {
    // Regression: widening the 32-bit reading with its sign printed 20-digit timestamps.
    EXPECT_EQ(0x80000001ull, LogTimestamp(0x80000001u));
    EXPECT_EQ(0xFFFFFFFFull, LogTimestamp(0xFFFFFFFFu));
    char line[32];
    std::snprintf(line, sizeof(line), "%9llu", static_cast<unsigned long long>(LogTimestamp(0xFFFFFFFFu)));
    EXPECT_STREQ("4294967295", line);
}

TEST_F(Logging, LoggingAllocatesNothingOnTheHeap) {
    CountingWriter writer;
    Register(&writer);
    Context().set_console_output(false);
    const std::string long_text(4000, 'z');
    long before = t_allocations;
    for (int i = 0; i < 100; ++i) {
        KV_LOG(kLogError, "message %d %s", i, long_text.c_str());
        KV_LOG(kLogVerbose, "dropped %d", i);
    }
    EXPECT_EQ(0, t_allocations - before);
    EXPECT_EQ(100, writer.count);
    EXPECT_EQ(3071u, writer.last_length);
}

TEST_F(Logging, LinesFromConcurrentThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 200;
    std::string out = CaptureConsole([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLinesPerThread; ++i)
                    KV_LOG(kLogWarning, "thread %d line %d %s", t, i, "payload-payload-payload-payload");
            });
        }
        for (std::thread& thread : threads) thread.join();
    });
    // Each thread's own lines keep their order, and every line is whole.
    std::istringstream lines(ConsoleSummary(out));
    std::vector<int> next_line(kThreads, 0);
    int total = 0;
    for (std::string line; std::getline(lines, line, '|'); ++total) {
        int thread = -1, index = -1;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "WARNING thread %d line %d", &thread, &index)) << line;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
        EXPECT_EQ(next_line[thread]++, index);
        EXPECT_EQ(line, "WARNING thread " + std::to_string(thread) + " line " + std::to_string(index) +
                            " payload-payload-payload-payload");
    }
    EXPECT_EQ(kThreads * kLinesPerThread, total);
}

// Regression: the threshold was a plain int, so an application changing the level while a capture thread
// logged was a data race (seen under ThreadSanitizer).
TEST_F(Logging, LevelChangedWhileAnotherThreadLogsIsNoRace) {
    std::string out = CaptureConsole([] {
        std::atomic<bool> done{false};
        std::thread logger([&] {
            while (!done.load()) KV_LOG(kLogVerbose, "below every level set here");
        });
        for (int i = 0; i < 2000; ++i) SetLogLevel(i % 2 ? kLogNone : kLogWarning);
        done.store(true);
        logger.join();
    });
    EXPECT_EQ(out.find("below every level"), std::string::npos);
}

}  // namespace
}  // namespace orvane
