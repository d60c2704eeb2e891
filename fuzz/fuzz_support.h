// Shared pieces of the fuzz harnesses: a reader that takes structured choices off the front of an input, a
// byte stream that hands the rest out in reads of input-chosen sizes, and guarded memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/logger.h"
#include "transport/ITransferStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kvfuzz {

// The harness's own plumbing gives the fuzzer no useful feedback and only costs time when instrumented.
#if defined(__clang__)
#define FUZZ_PLUMBING __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_PLUMBING
#endif

// Reports a broken invariant the way libFuzzer and the replay driver both notice: a crash.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Log output costs more than the code under test and says nothing to a fuzzer.
inline void QuietLogs() {
    static const bool quiet = (orvane::SetLogLevel(orvane::kLogNone), true);
    (void)quiet;
}

// Takes fixed-size choices off the front of the input; an exhausted input yields zeros.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    FUZZ_PLUMBING uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    FUZZ_PLUMBING uint16_t U16() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    const uint8_t* rest() const { return data_ + pos_; }
    size_t rest_size() const { return size_ - pos_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A small deterministic generator: read sizes and harness actions follow from a seed in the input, so a
// saved input replays exactly.
class Rng {
  public:
    explicit Rng(uint32_t seed) : state_(seed * 2654435761u + 0x9e3779b9u) {}
    FUZZ_PLUMBING uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    uint32_t state_;
};

// The device side of a connection: hands out the bytes in reads whose sizes come from the generator
// (now and then an empty read, as a transport that had nothing yet), or as much as each read asks for,
// then fails like a closed transport. Sent bytes are dropped.
class ChunkedStream : public orvane::ITransferStream {
  public:
    ChunkedStream(const uint8_t* data, size_t size, uint32_t seed, bool whole_reads = false)
        : data_(data), size_(size), rng_(seed), whole_reads_(whole_reads) {}

    int GetInterface() override { return 1; }
    const char* GetStreamID() override { return "fuzz"; }
    int Open() override { return 0; }
    int Send(const char*, int len) override { return len; }
    FUZZ_PLUMBING int Receive(char* buffer, int len) override {
        if (pos_ >= size_) return -1;
        if (len <= 0) return 0;
        if (whole_reads_) return Take(buffer, static_cast<size_t>(len));
        const uint32_t r = rng_.Next();
        // One read in sixteen delivers nothing; the others deliver up to a power-of-two bound, so that
        // both byte-by-byte delivery and whole packets occur.
        if ((r & 15) == 0) return 0;
        const size_t bound = size_t{1} << ((r >> 4) % 12);
        return Take(buffer, std::min(1 + (r >> 8) % bound, static_cast<size_t>(len)));
    }
    void set_timeout(int) override {}
    int get_timeout() override { return 0; }

  private:
    FUZZ_PLUMBING int Take(char* buffer, size_t n) {
        n = std::min(n, size_ - pos_);
        std::memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        return static_cast<int>(n);
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    Rng rng_;
    bool whole_reads_;
};

// FNV-1a: a short fingerprint of what a run delivered, to compare two runs.
class Digest {
  public:
    FUZZ_PLUMBING void Add(const void* data, size_t size) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < size; ++i) hash_ = (hash_ ^ p[i]) * 0x100000001b3ull;
    }
    template <typename T>
    void AddValue(const T& value) {
        Add(&value, sizeof(value));
    }
    uint64_t value() const { return hash_; }

  private:
    uint64_t hash_ = 0xcbf29ce484222325ull;
};

// Memory cut into regions with a guard band in front of and behind each; any write that strays out of a
// region lands in a guard and is found by Check.
class GuardedArena {
  public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kPattern = 0xA5;

    explicit GuardedArena(const std::vector<size_t>& sizes) {
        size_t total = kGuard;
        for (size_t s : sizes) total += s + kGuard;
        memory_.assign(total, kPattern);
        size_t offset = kGuard;
        for (size_t s : sizes) {
            regions_.push_back({memory_.data() + offset, s});
            offset += s + kGuard;
        }
    }

    uint8_t* region(size_t i) const { return regions_[i].begin; }
    size_t region_size(size_t i) const { return regions_[i].size; }
    size_t count() const { return regions_.size(); }

    FUZZ_PLUMBING void Check() const {
        const uint8_t* guard = memory_.data();
        for (const Region& r : regions_) {
            CheckGuard(guard, r.begin);
            guard = r.begin + r.size;
        }
        CheckGuard(guard, memory_.data() + memory_.size());
    }

  private:
    struct Region {
        uint8_t* begin;
        size_t size;
    };
    FUZZ_PLUMBING static void CheckGuard(const uint8_t* begin, const uint8_t* end) {
        static const std::vector<uint8_t> intact(kGuard, kPattern);
        FUZZ_CHECK(end - begin == static_cast<ptrdiff_t>(kGuard));
        FUZZ_CHECK(std::memcmp(begin, intact.data(), kGuard) == 0);
    }

    std::vector<uint8_t> memory_;
    std::vector<Region> regions_;
};

}  // namespace kvfuzz
