// Time source of a simulated camera, replaceable so that tests can step time by hand.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace orvane {
namespace kvsim {

class Clock {
  public:
    virtual ~Clock() = default;
    // Microseconds on a monotonic scale.
    virtual uint64_t nowMicros() = 0;
};

class SteadyClock : public Clock {
  public:
    uint64_t nowMicros() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
};

class ManualClock : public Clock {
  public:
    explicit ManualClock(uint64_t start = 1000000) : now_(start) {}
    uint64_t nowMicros() override { return now_.load(); }
    void advance(uint64_t micros) { now_ += micros; }
    void set(uint64_t micros) { now_ = micros; }

  private:
    std::atomic<uint64_t> now_;
};

}  // namespace kvsim
}  // namespace orvane
