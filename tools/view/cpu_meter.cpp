#include "cpu_meter.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace orvane {
namespace tool {

double cpuSecondsOfStatLine(const std::string& line, long ticks_per_second) {
    // The command name (field 2) is in parentheses and may hold spaces: count fields after the last ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos || ticks_per_second <= 0) return -1;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After ')' come state (field 3) ... utime is field 14, stime field 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14 || n == 15) {
            try {
                (n == 14 ? utime : stime) = std::stoull(field);
            } catch (const std::exception&) {
                return -1;
            }
            if (n == 15) return static_cast<double>(utime + stime) / static_cast<double>(ticks_per_second);
        }
    }
    return -1;
}

CpuMeter::CpuMeter() : start_(read()), last_(start_) {}

CpuMeter::Reading CpuMeter::read() {
    Reading r;
    r.wall = std::chrono::steady_clock::now();
    std::ifstream stat("/proc/self/stat");
    std::string line;
    std::getline(stat, line);
    r.cpu_seconds = std::max(0.0, cpuSecondsOfStatLine(line, sysconf(_SC_CLK_TCK)));
    return r;
}

double CpuMeter::percent(const Reading& from, const Reading& to) {
    const double wall = std::chrono::duration<double>(to.wall - from.wall).count();
    return wall > 0 ? 100.0 * (to.cpu_seconds - from.cpu_seconds) / wall : 0.0;
}

double CpuMeter::recent(int min_interval_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Reading now = read();
    if (now.wall - last_.wall >= std::chrono::milliseconds(min_interval_ms)) {
        recent_ = percent(last_, now);
        last_ = now;
    }
    return recent_;
}

double CpuMeter::average() {
    std::lock_guard<std::mutex> lock(mutex_);
    return percent(start_, read());
}

}  // namespace tool
}  // namespace orvane
