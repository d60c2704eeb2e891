// The viewer's own CPU use, from the process's user and system time in /proc/self/stat.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace orvane {
namespace tool {

class CpuMeter {
  public:
    CpuMeter();
    // Per cent of one core used by the whole process since the previous call that was at least
    // `min_interval_ms` ago (the last figure otherwise); thread-safe.
    double recent(int min_interval_ms = 1000);
    // Per cent of one core since the meter was made.
    double average();

  private:
    struct Reading {
        std::chrono::steady_clock::time_point wall;
        double cpu_seconds = 0;
    };
    static Reading read();
    static double percent(const Reading& from, const Reading& to);

    std::mutex mutex_;
    Reading start_, last_;
    double recent_ = 0;
};

// User plus system seconds of a /proc/<pid>/stat line; negative when the line cannot be read.
double cpuSecondsOfStatLine(const std::string& line, long ticks_per_second);

}  // namespace tool
}  // namespace orvane
