#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <utility>

#include "platform/KvDebug.h"
#include "platform/hal_internal.h"
#include "platform/hal_linux.h"

namespace orvane {
namespace {

uint32_t WallClockMs() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint32_t>((static_cast<uint64_t>(now.tv_sec) * 1000u + now.tv_usec / 1000) &
                                 0xFFFFFFFFu);
}

TEST(Clock, SystemTimeAndTimerGetNowAreWallClockMillisecondsIn32Bits) {
    uint32_t before = WallClockMs();
    uint32_t reading = getSystemTime();
    int32_t now = TIMER_GetNow();
    uint32_t after = WallClockMs();
    EXPECT_GE(timeDiff(reading, before), 0);
    EXPECT_GE(timeDiff(static_cast<uint32_t>(now), reading), 0);
    EXPECT_GE(timeDiff(after, static_cast<uint32_t>(now)), 0);
}

TEST(Clock, ConversionWrapsAtTwoToThe32WithoutOverflowAndDifferencesAcrossTheWrapStaySigned) {
    // 4294967.295 s is the last millisecond before the wrap.
    EXPECT_EQ(0xFFFFFFFFu, hal::millisecondsFromTimeval(4294967, 295999));
    EXPECT_EQ(0u, hal::millisecondsFromTimeval(4294967, 296000));
    EXPECT_EQ(999u, hal::millisecondsFromTimeval(4294967, 296000 + 999999));
    const int64_t today = 1750000000;  // a present-day time: seconds * 1000 is far beyond 32 bits
    EXPECT_EQ(static_cast<uint32_t>((today * 1000 + 123) & 0xFFFFFFFF),
              hal::millisecondsFromTimeval(today, 123456));

    const uint32_t before_wrap = hal::millisecondsFromTimeval(4294967, 290000);  // 0xFFFFFFFA
    const uint32_t after_wrap = hal::millisecondsFromTimeval(4294967, 301000);   // 5
    EXPECT_EQ(11, timeDiff(after_wrap, before_wrap));
    EXPECT_EQ(-11, timeDiff(before_wrap, after_wrap));  // a limit armed before the wrap has not expired
    EXPECT_EQ(INT32_MAX, timeDiff(0x7FFFFFFFu, 0u));
    EXPECT_EQ(INT32_MIN + 1, timeDiff(1u, 0x80000000u));
}

TEST(Sleep, IntervalCoversTheWholeArgumentRangeAndSleepsAtLeastTheRequestedTime) {
    // (seconds, nanoseconds) of a sleep of the given milliseconds.
    auto interval = [](uint32_t ms) {
        const timespec t = hal::sleepInterval(ms);
        return std::make_pair(static_cast<long long>(t.tv_sec), static_cast<long long>(t.tv_nsec));
    };
    EXPECT_EQ(std::make_pair(0LL, 0LL), interval(0));
    EXPECT_EQ(std::make_pair(1LL, 500000000LL), interval(1500));
    // Regression: ms * 1000 in 32 bits turned sleeps above 4294967 ms into short ones.
    EXPECT_EQ(std::make_pair(4294967LL, 295000000LL), interval(0xFFFFFFFFu));

    UTIL_Sleep(0);
    const auto start = std::chrono::steady_clock::now();
    UTIL_Sleep(3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3));
}

TEST(ProcessDeathTest, ExitEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(UTIL_Exit(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace orvane
