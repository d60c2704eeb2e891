#include "imgproc/simd_dispatch.h"

#include <atomic>

namespace orvane {

namespace {

SimdLevel detectSimdLevel() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return SimdLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
#endif
    return SimdLevel::kScalar;
}

std::atomic<int> g_levelLimit{static_cast<int>(SimdLevel::kAvx512)};

}  // namespace

SimdLevel supportedSimdLevel() {
    static const SimdLevel level = detectSimdLevel();
    return level;
}

SimdLevel activeSimdLevel() {
    const int limit = g_levelLimit.load(std::memory_order_relaxed);
    const int supported = static_cast<int>(supportedSimdLevel());
    return static_cast<SimdLevel>(limit < supported ? limit : supported);
}

void limitSimdLevel(SimdLevel level) {
    g_levelLimit.store(static_cast<int>(level), std::memory_order_relaxed);
}

}  // namespace orvane
