// Capture progress: a redrawn bar on a terminal, a plain line per second otherwise (logs, pipes, CI).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace orvane {
namespace tool {

class Progress {
  public:
    // total 0: no known end (capture until Ctrl-C).
    Progress(FILE* out, bool terminal, uint64_t total);
    void update(uint64_t captured, uint64_t lost, double fps);
    // Ends the bar's line so that later output starts on a new one.
    void finish();

    // The text of one report, without line ending; the bar form when `bar`.
    static std::string text(bool bar, uint64_t captured, uint64_t total, uint64_t lost, double fps);

  private:
    FILE* out_;
    bool terminal_;
    uint64_t total_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace tool
}  // namespace orvane
