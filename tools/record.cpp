// kvdepth record: a camera session to an MCAP recording, the device's raw byte stream included.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"
#include "feature_values.h"
#include "progress.h"
#include "record.h"
#include "recorder.h"
#include "recording/recording_format.h"

namespace orvane {
namespace tool {
namespace {

constexpr int kLibraryBuffers = 8;

std::atomic<bool> g_stop{false};

void onInterrupt(int) {
    g_stop.store(true);
    signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

// Ctrl-C handling for the whole command, from before the camera opens until the recording is closed: an
// interrupt while the camera opens or while the queue drains still ends in a closed, readable recording.
class InterruptScope {
  public:
    InterruptScope() {
        struct sigaction sa {};
        sa.sa_handler = onInterrupt;
        sigemptyset(&sa.sa_mask);
        g_stop.store(false);
        sigaction(SIGINT, &sa, &previous_);
    }
    ~InterruptScope() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

  private:
    struct sigaction previous_ {};
};

void onCameraEvent(KV_EVENT_INFO* event, void* user) {
    if (event && event->eventId == KV_EVENT_DEVICE_OFFLINE)
        static_cast<std::atomic<bool>*>(user)->store(true);
}

std::string fixed(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

std::string version(const KV_VERSION_INFO& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

// Floats as text that reads back to the same floats.
std::string floatsText(const float* values, int count) {
    std::string text;
    char one[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(one, sizeof one, "%s%.9g", i ? " " : "", static_cast<double>(values[i]));
        text += one;
    }
    return text;
}

void recordDevice(Recorder& recorder, const CameraSession& session, int32_t wanted) {
    const KV_DEV_HANDLE h = session.handle();
    KV_DEVICE_BASE_INFO info{};
    KVGetDeviceInfo(h, &info);
    const std::string serial = fixed(info.id, sizeof info.id);
    const char* build = KVGetFirmwareVer(serial.c_str());
    recorder.addMetadata(recording::kDeviceMetadata,
                         {{"camera", session.label()},
                          {"serial", serial},
                          {"vendor", fixed(info.vendorName, sizeof info.vendorName)},
                          {"model", fixed(info.modelName, sizeof info.modelName)},
                          {"hardware", version(info.hardwareVersion)},
                          {"firmware", version(info.firmwareVersion)},
                          {"firmware_text", build ? build : ""},
                          {"interface", info.iface == KV_INTERFACE_USB ? "usb" : "ethernet"}});
    std::string descriptor, error;
    if (readDescriptorText(h, descriptor, &error))
        recorder.addAttachment(recording::kDescriptorAttachment, "application/xml", descriptor);
    const CaptureCalibration cal = readCalibration(h, wanted);
    std::map<std::string, std::string> intrinsics;
    if (cal.has_depth_intrinsic) intrinsics["depth"] = floatsText(cal.depth_intrinsic, 9);
    if (cal.has_color_intrinsic) intrinsics["color"] = floatsText(cal.color_intrinsic, 9);
    if (cal.has_color_extrinsic) intrinsics["color_extrinsic"] = floatsText(cal.color_extrinsic, 12);
    recorder.addMetadata(recording::kIntrinsicsMetadata, intrinsics);
}

bool selectStreams(KV_DEV_HANDLE h, const RecordOptions& options, int32_t wanted, std::string* error) {
    int32_t available = 0;
    KVGetComponentIDs(h, &available);
    if ((wanted & available) != wanted) {
        *error = "the camera lacks some of the streams " + options.streams;
        return false;
    }
    if (!options.mode.empty() && !writeValueText(h, KV_COMPONENT_DEPTH, KV_FEATURE_IMAGE_MODE,
                                                 "depth.image mode", options.mode, error))
        return false;
    if (!options.color_mode.empty() && !writeValueText(h, KV_COMPONENT_COLOR, KV_FEATURE_IMAGE_MODE,
                                                       "color.image mode", options.color_mode, error))
        return false;
    KV_STATUS status = KVDisableComponents(h, available & ~wanted);
    if (status == KV_STATUS_OK) status = KVEnableComponents(h, wanted);
    if (status != KV_STATUS_OK) *error = "cannot select the streams: " + statusText(status);
    return status == KV_STATUS_OK;
}

class Session {
  public:
    Session(KV_DEV_HANDLE h, const RecordOptions& options, Recorder& recorder)
        : h_(h), options_(options), recorder_(recorder) {}
    ~Session() {
        KVClearBufferQueue(h_);
        KVRegisterEventCallback(h_, nullptr, nullptr);
    }
    // The capture loop; the error text is empty when it ended as asked.
    std::string run();
    uint64_t received() const { return received_; }
    uint64_t missed() const { return missed_; }
    double seconds() const { return std::chrono::duration<double>(last_ - first_).count(); }

  private:
    bool done() const;
    void take(const KV_FRAME_DATA& frame);

    KV_DEV_HANDLE h_;
    const RecordOptions& options_;
    Recorder& recorder_;
    std::vector<std::unique_ptr<uint8_t[]>> buffers_;
    uint64_t received_ = 0;
    uint64_t missed_ = 0;
    bool have_index_ = false;
    int32_t last_index_ = 0;
    std::chrono::steady_clock::time_point start_{}, first_{}, last_{};
    std::atomic<bool> offline_{false};
};

bool Session::done() const {
    if (options_.frames > 0 && received_ >= options_.frames) return true;
    return options_.seconds > 0 &&
           std::chrono::steady_clock::now() - start_ >= std::chrono::duration<double>(options_.seconds);
}

void Session::take(const KV_FRAME_DATA& frame) {
    ++received_;
    last_ = std::chrono::steady_clock::now();
    if (received_ == 1) first_ = last_;
    if (frame.validCount > 0) {
        const int32_t index = frame.image[0].imageIndex;
        if (have_index_ && index > last_index_ + 1) missed_ += static_cast<uint64_t>(index - last_index_ - 1);
        have_index_ = true;
        last_index_ = index;
    }
    const int64_t host_us = static_cast<int64_t>(realtimeNanos() / 1000);
    recorder_.offerFrame(FrameRecord::copyOf(frame, received_, host_us));
    KVEnqueueBuffer(h_, frame.userBuffer, frame.bufferSize);
}

std::string Session::run() {
    uint32_t size = 0;
    KV_STATUS status = KVGetFrameBufferSize(h_, &size);
    if (status != KV_STATUS_OK || size == 0) return "cannot size the frame buffers: " + statusText(status);
    for (int i = 0; i < kLibraryBuffers; ++i) {
        buffers_.emplace_back(new uint8_t[size]);
        status = KVEnqueueBuffer(h_, buffers_.back().get(), static_cast<int32_t>(size));
        if (status != KV_STATUS_OK) return "cannot hand frame buffers to the library: " + statusText(status);
    }
    KVRegisterEventCallback(h_, onCameraEvent, &offline_);
    status = KVStartCapture(h_);
    if (status != KV_STATUS_OK) return "cannot start capture: " + statusText(status);
    start_ = std::chrono::steady_clock::now();
    Progress progress(stdout, isatty(STDOUT_FILENO) == 1, options_.frames);
    std::string error;
    auto waiting_since = start_;
    while (!g_stop.load() && !done()) {
        if (recorder_.failed() || offline_.load()) {
            error = offline_.load() ? "the camera went offline" : "";
            break;
        }
        KV_FRAME_DATA frame{};
        const FetchStep step =
            fetchStep(h_, options_.timeout_ms, offline_.load(), &waiting_since, &frame, &error);
        if (step == FetchStep::kStop) break;
        if (step == FetchStep::kWaiting) continue;
        take(frame);
        const double s = seconds();
        progress.update(received_, recorder_.framesDropped() + missed_, s > 0 ? (received_ - 1) / s : 0.0);
    }
    progress.finish();
    KVStopCapture(h_);
    return error;
}

}  // namespace

int runRecord(const CameraChoice& camera, const RecordOptions& options) {
    int32_t wanted = 0;
    std::string error;
    if (!parseStreams(options.streams, wanted, &error))
        return failWith(error.empty() ? "no streams given" : error);
    if (options.out.empty()) return failWith("no output file given (--out FILE)");

    RecorderOptions recorder_options;
    recorder_options.components = wanted;
    recorder_options.writer.zstd_level = options.zstd_level;
    Recorder recorder(recorder_options);
    if (!recorder.open(options.out, &error)) return failWith(error);

    std::string run_error;
    InterruptScope interrupt;
    {
        CameraChoice choice = camera;
        // The tap goes on before the camera is opened, so the recording holds the whole session.
        choice.before_open = [&recorder] { KVSetStreamTap(nullptr, &Recorder::onTap, &recorder); };
        CameraSession session;
        if (!session.open(choice, &error)) return failWith(error);
        if (!selectStreams(session.handle(), options, wanted, &error)) return failWith(error);
        recordDevice(recorder, session, wanted);

        Session capture(session.handle(), options, recorder);
        run_error = capture.run();
        KVSetStreamTap(nullptr, nullptr, nullptr);
        recorder.setMissedFrames(capture.missed());

        const bool ok = recorder.finish(&error);
        if (!ok && run_error.empty()) run_error = error;
        const double minutes = capture.seconds() / 60.0;
        const double mb = static_cast<double>(recorder.bytesWritten()) / 1e6;
        std::printf(
            "%s: %llu frames recorded to %s in %.1f s, %llu dropped by the writer, %llu missed, "
            "%.1f MB (%.1f MB per minute)\n",
            g_stop.load() ? "interrupted" : (run_error.empty() ? "done" : "stopped"),
            static_cast<unsigned long long>(recorder.framesWritten()), options.out.c_str(), capture.seconds(),
            static_cast<unsigned long long>(recorder.framesDropped()),
            static_cast<unsigned long long>(capture.missed()), mb, minutes > 0 ? mb / minutes : 0.0);
        if (recorder.streamBytesDropped() > 0) {
            std::printf(
                "warning: %llu bytes of the device stream were dropped; the recording cannot be "
                "replayed exactly\n",
                static_cast<unsigned long long>(recorder.streamBytesDropped()));
        }
        std::fflush(stdout);
    }
    if (!run_error.empty()) return failWith(run_error);
    return kExitOk;
}

}  // namespace tool
}  // namespace orvane
