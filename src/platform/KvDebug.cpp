#include "platform/KvDebug.h"

#include <sys/time.h>
#include <time.h>

#include "platform/hal_internal.h"

namespace orvane {

namespace hal {

uint32_t millisecondsFromTimeval(int64_t seconds, int64_t microseconds) {
    // Unsigned arithmetic: the value is meant to wrap, and signed overflow would be undefined.
    return static_cast<uint32_t>(seconds) * 1000u + static_cast<uint32_t>(microseconds / 1000);
}

}  // namespace hal

uint32_t getSystemTime() {
    timeval now{};
    if (gettimeofday(&now, nullptr) != 0) return 0;
    return hal::millisecondsFromTimeval(now.tv_sec, now.tv_usec);
}

uint32_t getMonotonicTime() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return 0;
    return hal::millisecondsFromTimeval(now.tv_sec, now.tv_nsec / 1000);
}

}  // namespace orvane
