#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <thread>
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

TEST_F(Logging, SourceLocationSwitchAppendsFileAndLine) {
    Context().console_writer().set_source_location(true);
    int line = 0;
    std::string out = CaptureConsole([&] {
        line = __LINE__ + 1;
        KV_LOG(kLogError, "located");
    });
    char tail[512];
    std::snprintf(tail, sizeof(tail), " [%s - %d]\n", __FILE__, line);
    std::string expected = ConsoleLine(TimestampOf(out), "ERROR", "located");
    expected.pop_back();
    EXPECT_EQ(expected + tail, out);
}

TEST_F(Logging, FreshContextStartsAtWarningWithConsoleRegistered) {
    LogContext context;
    EXPECT_EQ(kLogWarning, context.get_min_severity());
    EXPECT_FALSE(context.console_writer().source_location());
    std::string out = CaptureConsole([&] {
        context.Write(kLogVerbose, "f.cpp", 1, "verbose");
        context.Write(kLogInfo, "f.cpp", 2, "info");
        context.Write(kLogWarning, "f.cpp", 3, "warning");
        context.Write(kLogError, "f.cpp", 4, "error");
    });
    std::istringstream lines(out);
    std::string first, second, third;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, third));
    EXPECT_EQ(ConsoleLine(TimestampOf(first), "WARNING", "warning"), first + "\n");
    EXPECT_EQ(ConsoleLine(TimestampOf(second), "ERROR", "error"), second + "\n");
    // The console writer is registered exactly once: removing it once empties the list.
    EXPECT_EQ(0, context.UnregistLogWriter(&context.console_writer()));
    EXPECT_EQ(-1, context.UnregistLogWriter(&context.console_writer()));
}

TEST_F(Logging, EntryCarriesCallSiteAndEmptyTag) {
    RecordingWriter writer;
    Register(&writer);
    uint32_t before = getSystemTime();
    const int line = __LINE__ + 1;
    CaptureConsole([] { KV_LOG(kLogError, "code %d", -1002); });

    ASSERT_EQ(1u, writer.entries.size());
    const Recorded& entry = writer.entries[0];
    EXPECT_EQ(kLogError, entry.severity);
    EXPECT_EQ("ERROR", entry.level_text);
    EXPECT_EQ("", entry.tag);
    EXPECT_EQ("code -1002", entry.message);
    EXPECT_TRUE(entry.message_points_at_text);
    EXPECT_EQ(__FILE__, entry.file);
    EXPECT_EQ(line, entry.line);
    EXPECT_GE(timeDiff(static_cast<uint32_t>(entry.timestamp), before), 0);
}

TEST_F(Logging, SetLogLevelZeroOrNegativeClampsToVerbose) {
    for (int level : {0, -1, -1000}) {
        SetLogLevel(level);
        EXPECT_EQ(kLogVerbose, Context().get_min_severity()) << "level " << level;
        std::string out = CaptureConsole([] {
            KV_LOG(kLogDebug, "debug");
            KV_LOG(kLogVerbose, "verbose");
        });
        EXPECT_EQ(ConsoleLine(TimestampOf(out), "VERBOSE", "verbose"), out) << "level " << level;
    }
}

TEST_F(Logging, SetLogLevelHundredSilencesEveryLibrarySeverity) {
    RecordingWriter writer;
    Register(&writer);
    SetLogLevel(kLogNone);
    std::string out = CaptureConsole([] {
        for (LogSeverity severity : {kLogDebug, kLogVerbose, kLogInfo, kLogWarning, kLogError, 99})
            KV_LOG(severity, "dropped");
    });
    EXPECT_EQ("", out);
    EXPECT_TRUE(writer.entries.empty());
}

// Filtering is by value (inclusive); a severity outside the table prints as UNKNOWN.
TEST_F(Logging, ThresholdIsInclusiveAndUnlistedSeverityPrintsUnknown) {
    RecordingWriter writer;
    Register(&writer);
    SetLogLevel(kLogInfo);
    std::string out = CaptureConsole([] {
        KV_LOG(19, "below");
        KV_LOG(kLogInfo, "at");
        KV_LOG(21, "odd");
    });
    ASSERT_EQ(2u, writer.entries.size());
    EXPECT_EQ("at", writer.entries[0].message);
    EXPECT_EQ("odd", writer.entries[1].message);
    EXPECT_EQ(21, writer.entries[1].severity);
    std::istringstream lines(out);
    std::string at, odd;
    ASSERT_TRUE(std::getline(lines, at) && std::getline(lines, odd)) << out;
    EXPECT_EQ(ConsoleLine(TimestampOf(at), "INFO", "at"), at + "\n");
    EXPECT_EQ(ConsoleLine(TimestampOf(odd), "UNKNOWN", "odd"), odd + "\n");
}

TEST_F(Logging, SetLogLevelReRegistersConsoleExactlyOnce) {
    Context().set_console_output(false);
    EXPECT_EQ("", CaptureConsole([] { KV_LOG(kLogError, "muted"); }));
    SetLogLevel(kLogWarning);
    std::string out = CaptureConsole([] { KV_LOG(kLogError, "back"); });
    EXPECT_EQ(ConsoleLine(TimestampOf(out), "ERROR", "back"), out);
    // Switching on again (twice, then SetLogLevel) must not duplicate the console.
    Context().set_console_output(true);
    Context().set_console_output(true);
    SetLogLevel(kLogWarning);
    out = CaptureConsole([] { KV_LOG(kLogError, "once"); });
    EXPECT_EQ(ConsoleLine(TimestampOf(out), "ERROR", "once"), out);
}

// A null entry in the list would be called for the next message.
TEST_F(Logging, NullOrMissingWriterIsRefusedAndChangesNothing) {
    RecordingWriter registered, stranger;
    Register(&registered);
    EXPECT_EQ(-1, Context().RegistLogWriter(nullptr));
    EXPECT_EQ(-1, Context().UnregistLogWriter(&stranger));
    EXPECT_EQ(-1, Context().UnregistLogWriter(nullptr));
    std::string out = CaptureConsole([] { KV_LOG(kLogWarning, "still here"); });
    EXPECT_EQ(1u, registered.entries.size());
    EXPECT_EQ(ConsoleLine(TimestampOf(out), "WARNING", "still here"), out);
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

TEST_F(Logging, WriterMessageReachesEveryWriterWithoutFilter) {
    RecordingWriter writer;
    Register(&writer);
    SetLogLevel(kLogNone);
    std::string out = CaptureConsole([] { Context().WriterMessage("plain text"); });
    EXPECT_EQ("plain text\n", out);
    EXPECT_EQ((std::vector<std::string>{"plain text"}), writer.messages);
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
    std::istringstream lines(out);
    std::string line;
    std::vector<int> next_line(kThreads, 0);
    int total = 0;
    while (std::getline(lines, line)) {
        unsigned long long stamp = 0;
        int thread = -1, index = -1;
        ASSERT_EQ(3, std::sscanf(line.c_str(), "%llu WARNING thread %d line %d", &stamp, &thread, &index))
            << line;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
        // Each thread's own lines keep their order, and every line is whole.
        EXPECT_EQ(next_line[thread]++, index);
        char message[128];
        std::snprintf(message, sizeof(message), "thread %d line %d %s", thread, index,
                      "payload-payload-payload-payload");
        EXPECT_EQ(ConsoleLine(stamp, "WARNING", message), line + "\n");
        ++total;
    }
    EXPECT_EQ(kThreads * kLinesPerThread, total);
}

}  // namespace
}  // namespace orvane
