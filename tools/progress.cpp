#include "progress.h"

namespace orvane {
namespace tool {

Progress::Progress(FILE* out, bool terminal, uint64_t total)
    : out_(out), terminal_(terminal), total_(total) {}

std::string Progress::text(bool bar, uint64_t captured, uint64_t total, uint64_t lost, double fps) {
    char counts[128];
    if (total > 0)
        std::snprintf(counts, sizeof counts, "%llu/%llu frames, %.1f fps, %llu lost",
                      static_cast<unsigned long long>(captured), static_cast<unsigned long long>(total), fps,
                      static_cast<unsigned long long>(lost));
    else
        std::snprintf(counts, sizeof counts, "%llu frames, %.1f fps, %llu lost",
                      static_cast<unsigned long long>(captured), fps, static_cast<unsigned long long>(lost));
    if (!bar) return std::string("captured ") + counts;
    if (total == 0) return std::string("[capturing, Ctrl-C stops] ") + counts;
    constexpr int kWidth = 30;
    const uint64_t filled = captured >= total ? kWidth : captured * kWidth / total;
    std::string text = "[";
    for (int i = 0; i < kWidth; ++i) text += static_cast<uint64_t>(i) < filled ? '#' : '-';
    return text + "] " + counts;
}

void Progress::update(uint64_t captured, uint64_t lost, double fps) {
    const auto now = std::chrono::steady_clock::now();
    const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    const bool last = total_ > 0 && captured >= total_;
    if (drawn_ && now - last_ < interval && !last) return;
    last_ = now;
    if (terminal_) {
        std::fprintf(out_, "\r%s\033[K", text(true, captured, total_, lost, fps).c_str());
        drawn_ = true;
    } else if (!last) {
        std::fprintf(out_, "%s\n", text(false, captured, total_, lost, fps).c_str());
        drawn_ = true;
    }
    std::fflush(out_);
}

void Progress::finish() {
    if (terminal_ && drawn_) std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = false;
}

}  // namespace tool
}  // namespace orvane
