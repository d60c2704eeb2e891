// Millisecond wall clock used by every time limit; compare only signed 32-bit differences.
#pragma once

#include <cstdint>

namespace orvane {

// Seconds * 1000 + microseconds / 1000, computed in 32 bits (wraps about every 49 days).
uint32_t getSystemTime();

// Signed difference later - earlier of two getSystemTime readings, correct across the wrap.
inline int32_t timeDiff(uint32_t later, uint32_t earlier) {
    return static_cast<int32_t>(later - earlier);
}

}  // namespace orvane
