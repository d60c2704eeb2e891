// Helpers shared by the image-processing tests.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imgproc/simd_dispatch.h"

namespace orvane {
namespace testing_support {

// Every kernel variant this CPU can run; tests compare each one with the reference.
inline std::vector<SimdLevel> availableLevels() {
    std::vector<SimdLevel> levels{SimdLevel::kScalar};
    if (supportedSimdLevel() >= SimdLevel::kAvx2) levels.push_back(SimdLevel::kAvx2);
    if (supportedSimdLevel() >= SimdLevel::kAvx512) levels.push_back(SimdLevel::kAvx512);
    return levels;
}

inline const char* levelName(SimdLevel level) {
    return level == SimdLevel::kAvx512 ? "avx512" : level == SimdLevel::kAvx2 ? "avx2" : "scalar";
}

// Selects one kernel variant for the scope's lifetime.
class ScopedSimdLevel {
  public:
    explicit ScopedSimdLevel(SimdLevel level) { limitSimdLevel(level); }
    ~ScopedSimdLevel() { limitSimdLevel(SimdLevel::kAvx512); }
};

// Bytes placed so that the last one is immediately followed by an inaccessible page: any read or write
// past the end faults at once, also from vector loads and gathers that the address sanitizer does not see.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t bytes) : bytes_(bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t data_pages = (bytes + page - 1) / page;
        mapping_bytes_ = (data_pages + 1) * page;
        void* m = mmap(nullptr, mapping_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            mapping_ = nullptr;
            return;
        }
        mapping_ = static_cast<uint8_t*>(m);
        mprotect(mapping_ + data_pages * page, page, PROT_NONE);
        data_ = mapping_ + data_pages * page - bytes;
    }
    ~GuardedBuffer() {
        if (mapping_) munmap(mapping_, mapping_bytes_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    template <typename T>
    T* as() {
        return reinterpret_cast<T*>(data_);
    }
    size_t size() const { return bytes_; }
    bool ok() const { return mapping_ != nullptr; }

  private:
    size_t bytes_;
    size_t mapping_bytes_ = 0;
    uint8_t* mapping_ = nullptr;
    uint8_t* data_ = nullptr;
};

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

inline std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t count) {
    std::vector<uint8_t> bytes(count);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng));
    return bytes;
}

inline uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof(b));
    return b;
}

// Index of the first float whose bit pattern differs, or -1.
inline long firstBitDifference(const float* a, const float* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bitsOf(a[i]) != bitsOf(b[i])) return static_cast<long>(i);
    }
    return -1;
}

template <typename T>
long firstDifference(const T* a, const T* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace testing_support
}  // namespace orvane
