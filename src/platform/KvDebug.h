// Millisecond clocks; compare only signed 32-bit differences of two readings.
#pragma once

#include <cstdint>

namespace orvane {

// Seconds * 1000 + microseconds / 1000, computed in 32 bits (wraps about every 49 days).
uint32_t getSystemTime();

// Milliseconds of a clock that never steps (coarse monotonic, a few ms resolution), in the same 32-bit
// shape as getSystemTime. Time limits use it: a wall clock set back by NTP or by hand would otherwise hold
// every wait until the clock caught up again. Cheap enough to read per byte.
uint32_t getMonotonicTime();

// Signed difference later - earlier of two getSystemTime readings, correct across the wrap.
inline int32_t timeDiff(uint32_t later, uint32_t earlier) {
    return static_cast<int32_t>(later - earlier);
}

}  // namespace orvane
