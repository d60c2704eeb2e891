// kvdepth capture: frames from the camera to files, through a bounded queue and a writer thread.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "descriptor_model.h"
#include "feature_values.h"
#include "frame_files.h"
#include "progress.h"
#include "writer_queue.h"

namespace orvane {
namespace tool {
namespace {

constexpr int kLibraryBuffers = 4;
constexpr int kWriterThreads = 2;

std::atomic<bool> g_interrupted{false};

// Set from the library's receive thread when the camera's connection breaks.
void onCameraEvent(KV_EVENT_INFO* event, void* user) {
    if (event && event->eventId == KV_EVENT_DEVICE_OFFLINE)
        static_cast<std::atomic<bool>*>(user)->store(true);
}

void onInterrupt(int) {
    g_interrupted.store(true);
    signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

// Installs the Ctrl-C handler for the capture and restores the previous one afterwards.
class InterruptGuard {
  public:
    InterruptGuard() {
        g_interrupted.store(false);
        struct sigaction sa {};
        sa.sa_handler = onInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &previous_);
    }
    ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};

int64_t wallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool makeDirectories(const std::string& path, std::string* error) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = "cannot create output directory " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "output path " + path + " is not a directory";
        return false;
    }
    // Writability is tried for real: permission bits do not tell about read-only mounts or root.
    const std::string probe = path + "/.kvdepth-write-test";
    FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) {
        *error = "output directory " + path + " is not writable: " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    std::remove(probe.c_str());
    return true;
}

bool parseStreams(const std::string& text, int32_t& mask, std::string* error) {
    mask = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string name = normalizedName(text.substr(start, end - start));
        if (name == "depth") {
            mask |= KV_COMPONENT_DEPTH;
        } else if (name == "ir") {
            mask |= KV_COMPONENT_LEFT_IR | KV_COMPONENT_RIGHT_IR;
        } else if (name == "irleft" || name == "leftir") {
            mask |= KV_COMPONENT_LEFT_IR;
        } else if (name == "irright" || name == "rightir") {
            mask |= KV_COMPONENT_RIGHT_IR;
        } else if (name == "color" || name == "colour") {
            mask |= KV_COMPONENT_COLOR;
        } else if (name == "points") {
            mask |= KV_COMPONENT_POINT3D | KV_COMPONENT_DEPTH;  // point clouds are computed from depth
        } else {
            *error = "unknown stream '" + text.substr(start, end - start) +
                     "' (streams: depth, ir, ir_left, ir_right, color, points)";
            return false;
        }
        start = end + 1;
    }
    return mask != 0;
}

bool readStructFloats(KV_DEV_HANDLE h, int32_t component, int32_t feature, float* out, int count) {
    std::vector<float> buffer(static_cast<size_t>(count));
    if (KVGetStruct(h, component, feature, buffer.data(), count * 4) != KV_STATUS_OK) return false;
    std::memcpy(out, buffer.data(), static_cast<size_t>(count) * 4);
    return true;
}

CaptureCalibration readCalibration(KV_DEV_HANDLE h, int32_t enabled) {
    CaptureCalibration cal;
    cal.has_depth_intrinsic =
        readStructFloats(h, KV_COMPONENT_DEPTH, KV_FEATURE_INTRINSIC, cal.depth_intrinsic, 9);
    if (enabled & KV_COMPONENT_COLOR) {
        cal.has_color_intrinsic =
            readStructFloats(h, KV_COMPONENT_COLOR, KV_FEATURE_INTRINSIC, cal.color_intrinsic, 9);
        // The extrinsic is stored as a 4x4 or a 3x4 matrix; its first 12 floats are [R | t].
        float m[16];
        cal.has_color_extrinsic = readStructFloats(h, KV_COMPONENT_COLOR, KV_FEATURE_EXTRINSIC, m, 16) ||
                                  readStructFloats(h, KV_COMPONENT_COLOR, KV_FEATURE_EXTRINSIC, m, 12);
        if (cal.has_color_extrinsic) std::memcpy(cal.color_extrinsic, m, sizeof cal.color_extrinsic);
    }
    return cal;
}

namespace {

bool setImageMode(KV_DEV_HANDLE h, int32_t component, const char* name, const std::string& mode,
                  std::string* error) {
    if (mode.empty()) return true;
    return writeValueText(h, component, KV_FEATURE_IMAGE_MODE, std::string(name) + ".image mode", mode,
                          error);
}

// The capture itself, once the camera is open and configured.
class Capture {
  public:
    Capture(KV_DEV_HANDLE h, const CaptureOptions& options, FrameFileOptions files)
        : h_(h),
          options_(options),
          queue_(
              options.queue,
              [files](const FrameRecord& f, std::string* e) { return writeFrameFiles(f, files, e); },
              kWriterThreads) {}

    // The library must not keep buffers that are about to be freed, nor call back into this object.
    ~Capture() {
        KVClearBufferQueue(h_);
        KVRegisterEventCallback(h_, nullptr, nullptr);
    }

    int run();

  private:
    bool enqueueBuffers(std::string* error);
    void take(const KV_FRAME_DATA& frame);
    void countGap(const KV_FRAME_DATA& frame);
    double rate() const;
    void printSummary(const std::string& error);

    KV_DEV_HANDLE h_;
    const CaptureOptions& options_;
    WriterQueue queue_;
    std::vector<std::unique_ptr<uint8_t[]>> buffers_;
    uint64_t received_ = 0;
    uint64_t missed_ = 0;  // frames the camera sent (by its frame index) that never reached us
    bool have_index_ = false;
    int32_t last_index_ = 0;
    std::chrono::steady_clock::time_point first_{}, last_{};
    std::atomic<bool> offline_{false};
};

bool Capture::enqueueBuffers(std::string* error) {
    uint32_t size = 0;
    KV_STATUS status = KVGetFrameBufferSize(h_, &size);
    if (status != KV_STATUS_OK || size == 0) {
        *error = "cannot size the frame buffers: " + statusText(status);
        return false;
    }
    for (int i = 0; i < kLibraryBuffers; ++i) {
        buffers_.emplace_back(new uint8_t[size]);
        status = KVEnqueueBuffer(h_, buffers_.back().get(), static_cast<int32_t>(size));
        if (status != KV_STATUS_OK) {
            *error = "cannot hand frame buffers to the library: " + statusText(status);
            return false;
        }
    }
    return true;
}

void Capture::countGap(const KV_FRAME_DATA& frame) {
    if (frame.validCount < 1) return;
    const int32_t index = frame.image[0].imageIndex;
    if (have_index_ && index > last_index_ + 1) missed_ += static_cast<uint64_t>(index - last_index_ - 1);
    have_index_ = true;
    last_index_ = index;
}

void Capture::take(const KV_FRAME_DATA& frame) {
    ++received_;
    last_ = std::chrono::steady_clock::now();
    if (received_ == 1) first_ = last_;
    countGap(frame);
    // Copy only when the writer can take it: a full queue costs a counted frame, not a stalled camera.
    if (queue_.hasRoom())
        queue_.offer(FrameRecord::copyOf(frame, received_, wallMicros()));
    else
        queue_.offer(FrameRecord{});  // counted as dropped
    KVEnqueueBuffer(h_, frame.userBuffer, frame.bufferSize);
}

double Capture::rate() const {
    const double seconds = std::chrono::duration<double>(last_ - first_).count();
    return received_ > 1 && seconds > 0 ? (received_ - 1) / seconds : 0.0;
}

int Capture::run() {
    std::string error;
    if (!enqueueBuffers(&error)) return failWith(error);
    InterruptGuard interrupt;
    KVRegisterEventCallback(h_, onCameraEvent, &offline_);
    KV_STATUS status = KVStartCapture(h_);
    if (status != KV_STATUS_OK) return failWith("cannot start capture: " + statusText(status));
    Progress progress(stdout, isatty(STDOUT_FILENO) == 1, options_.frames);
    auto waiting_since = std::chrono::steady_clock::now();
    while (!g_interrupted.load() && (options_.frames == 0 || received_ < options_.frames)) {
        if (queue_.failed()) {
            error = queue_.error();
            break;
        }
        if (offline_.load()) {
            error = "the camera went offline";
            break;
        }
        KV_FRAME_DATA frame{};
        const FetchStep step =
            fetchStep(h_, options_.timeout_ms, offline_.load(), &waiting_since, &frame, &error);
        if (step == FetchStep::kStop) break;
        if (step == FetchStep::kWaiting) continue;
        take(frame);
        progress.update(received_, queue_.dropped() + missed_, rate());
    }
    progress.finish();
    KVStopCapture(h_);
    queue_.finish();  // everything queued is written before the summary
    KVClearBufferQueue(h_);
    if (queue_.failed() && error.empty()) error = queue_.error();
    printSummary(error);
    if (!error.empty()) return failWith(error);
    if (g_interrupted.load()) return options_.frames == 0 ? kExitOk : kExitInterrupted;
    return kExitOk;
}

void Capture::printSummary(const std::string& error) {
    const uint64_t lost = queue_.dropped() + missed_;
    std::printf(
        "%s: %llu frames written to %s, %llu lost (%llu dropped by the writer, %llu missed), %.1f fps\n",
        g_interrupted.load() ? "interrupted" : (error.empty() ? "done" : "stopped"),
        static_cast<unsigned long long>(queue_.written()), options_.out.c_str(),
        static_cast<unsigned long long>(lost), static_cast<unsigned long long>(queue_.dropped()),
        static_cast<unsigned long long>(missed_), rate());
    std::fflush(stdout);
}

}  // namespace

int runCapture(const CameraChoice& camera, const CaptureOptions& options) {
    int32_t wanted = 0;
    std::string error;
    if (!parseStreams(options.streams, wanted, &error))
        return failWith(error.empty() ? "no streams given" : error);
    if (options.out.empty()) return failWith("no output directory given (--out DIR)");
    if (!makeDirectories(options.out, &error)) return failWith(error);

    CameraSession session;
    if (!session.open(camera, &error)) return failWith(error);
    const KV_DEV_HANDLE h = session.handle();
    int32_t available = 0;
    KVGetComponentIDs(h, &available);
    if ((wanted & available) != wanted) {
        std::string names;
        for (int32_t c : {KV_COMPONENT_DEPTH, KV_COMPONENT_LEFT_IR, KV_COMPONENT_RIGHT_IR, KV_COMPONENT_COLOR,
                          KV_COMPONENT_POINT3D})
            if ((wanted & c) && !(available & c)) names += (names.empty() ? "" : ", ") + streamName(c);
        return failWith("camera " + session.label() + " has no " + names + " stream");
    }
    if (!setImageMode(h, KV_COMPONENT_DEPTH, "depth", options.mode, &error) ||
        !setImageMode(h, KV_COMPONENT_COLOR, "color", options.color_mode, &error))
        return failWith(error);
    KV_STATUS status = KVDisableComponents(h, available & ~wanted);
    if (status == KV_STATUS_OK) status = KVEnableComponents(h, wanted);
    if (status != KV_STATUS_OK) return failWith("cannot select the streams: " + statusText(status));

    FrameFileOptions files;
    files.directory = options.out;
    files.camera = session.label();
    files.ply = (wanted & KV_COMPONENT_POINT3D) != 0;
    files.calibration = readCalibration(h, wanted);
    Capture capture(h, options, files);
    return capture.run();
}

}  // namespace tool
}  // namespace orvane
