// The viewer's threads: the camera thread owns every call on the camera (fetching frames, start/stop,
// streams, settings), the encoder thread turns the newest frame into a message for the page, and
// civetweb's threads serve the page and the API. The main thread waits for Ctrl-C.
#include "viewer.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "commands.h"
#include "cpu_meter.h"
#include "descriptor_model.h"
#include "frame_encoder.h"
#include "frame_files.h"
#include "settings_panel.h"
#include "web_server.h"

namespace orvane {
namespace tool {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kLibraryBuffers = 4;
constexpr int kFetchSliceMs = 50;  // how long the camera thread may be away from its task queue
constexpr auto kTaskDeadline = std::chrono::seconds(20);  // a feature write may take the full reply time
constexpr int kStatusEveryMs = 5000;

const int32_t kStreams[] = {KV_COMPONENT_DEPTH, KV_COMPONENT_LEFT_IR, KV_COMPONENT_RIGHT_IR,
                            KV_COMPONENT_COLOR, KV_COMPONENT_POINT3D};

int g_signal_pipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signal_pipe[1], &byte, 1);
}

// Routes Ctrl-C and SIGTERM into a pipe the main thread waits on; restores the old handlers at the end.
class SignalPipe {
  public:
    SignalPipe() {
        if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~SignalPipe() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
        for (int& fd : g_signal_pipe) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    // True when a signal arrived within `timeout_ms`.
    bool wait(int timeout_ms) {
        pollfd p{g_signal_pipe[0], POLLIN, 0};
        return poll(&p, 1, timeout_ms) > 0;
    }

  private:
    struct sigaction old_int_ {
    }, old_term_{};
};

int64_t wallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string fixedText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

json streamList(int32_t mask) {
    json list = json::array();
    for (int32_t c : kStreams)
        if (mask & c) list.push_back(streamName(c));
    return list;
}

json deviceJson(KV_DEV_HANDLE h, const std::string& label, const ViewOptions& options);

ApiResponse reply(const json& body, int status = 200) {
    return {status, jsonText(body)};
}

// Frames per second of one stream over the last second.
class RateMeter {
  public:
    double tick(Clock::time_point now) {
        times_.push_back(now);
        while (times_.size() > 1 && now - times_.front() > std::chrono::seconds(1)) times_.pop_front();
        const double span = std::chrono::duration<double>(now - times_.front()).count();
        return times_.size() > 1 && span > 0 ? (times_.size() - 1) / span : 0.0;
    }

  private:
    std::deque<Clock::time_point> times_;
};

// Query parameter as an integer; false when missing or not a number.
bool queryInt(const std::string& query, const std::string& name, long& out) {
    size_t start = 0;
    while (start < query.size()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, end - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) {
            const std::string text = pair.substr(name.size() + 1);
            char* rest = nullptr;
            errno = 0;
            out = std::strtol(text.c_str(), &rest, 10);
            return !text.empty() && *rest == '\0' && errno == 0;
        }
        start = end + 1;
    }
    return false;
}

class Viewer {
  public:
    Viewer(KV_DEV_HANDLE h, std::string label, std::vector<DescComponent> components,
           const ViewOptions& options)
        : h_(h),
          label_(std::move(label)),
          components_(std::move(components)),
          options_(options),
          device_(deviceJson(h, label_, options)),
          encoder_([this](const std::string& m) { server_.broadcast(m); }, [this] { return cpu_.recent(); },
                   [this] { return server_.wantsFrame(); }),
          server_([this](const ApiRequest& r) { return handle(r); }, findThreeJs(),
                  [this] { encoder_.poke(); }) {}
    ~Viewer();

    bool start(int32_t streams, std::string* error);
    const WebServer& server() const { return server_; }
    void printStatus(bool final);

  private:
    void cameraLoop();
    json call(std::function<json()> task);
    bool startCapture(std::string* error);
    void stopCapture();
    void take(const KV_FRAME_DATA& frame);
    void setLastError(const std::string& text) {
        std::lock_guard<std::mutex> lock(latest_mutex_);
        last_error_ = text;
    }
    json selectStreams(int32_t wanted, bool run);
    json changeSetting(int32_t component, int32_t feature, const std::string& value);

    ApiResponse handle(const ApiRequest& request);
    json info();
    json depthAt(const std::string& query);
    json snapshot();

    const KV_DEV_HANDLE h_;
    const std::string label_;
    const std::vector<DescComponent> components_;
    const ViewOptions options_;
    const json device_;
    CpuMeter cpu_;

    // Camera thread state.
    std::vector<std::unique_ptr<uint8_t[]>> buffers_;
    std::map<int32_t, RateMeter> rates_;
    CaptureCalibration calibration_;
    uint64_t received_ = 0;

    std::mutex tasks_mutex_;
    std::condition_variable tasks_wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;

    std::atomic<bool> capturing_{false};
    std::atomic<bool> offline_{false};
    std::atomic<int32_t> enabled_{0};
    std::atomic<uint64_t> frames_{0};
    std::mutex latest_mutex_;
    std::shared_ptr<const LiveFrame> latest_;
    std::string last_error_;  // why capture stopped on its own; guarded by latest_mutex_
    std::mutex snapshot_mutex_;

    FrameEncoder encoder_;
    WebServer server_;
    std::thread camera_thread_;
};

void onCameraEvent(KV_EVENT_INFO* event, void* user) {
    if (event && event->eventId == KV_EVENT_DEVICE_OFFLINE)
        static_cast<std::atomic<bool>*>(user)->store(true);
}

bool Viewer::start(int32_t streams, std::string* error) {
    KVRegisterEventCallback(h_, onCameraEvent, &offline_);
    camera_thread_ = std::thread([this] { cameraLoop(); });
    const json selected = call([this, streams] { return selectStreams(streams, true); });
    if (!selected.value("ok", false)) {
        *error = selected.value("error", std::string("cannot start capture"));
        return false;
    }
    return server_.start(options_.address, options_.port, error);
}

Viewer::~Viewer() {
    // Nothing may reach a part that is gone: first the page, then the encoder, then the camera thread.
    server_.stop();
    encoder_.stop();
    {
        std::lock_guard<std::mutex> lock(tasks_mutex_);
        stopping_ = true;
    }
    tasks_wake_.notify_all();
    if (camera_thread_.joinable()) camera_thread_.join();
    KVRegisterEventCallback(h_, nullptr, nullptr);
}

json Viewer::call(std::function<json()> task) {
    auto job = std::make_shared<std::packaged_task<json()>>(std::move(task));
    std::future<json> result = job->get_future();
    {
        std::lock_guard<std::mutex> lock(tasks_mutex_);
        if (stopping_) return {{"ok", false}, {"error", "the viewer is closing"}};
        tasks_.push_back([job] { (*job)(); });
    }
    tasks_wake_.notify_one();
    if (result.wait_for(kTaskDeadline) != std::future_status::ready)
        return {{"ok", false}, {"error", "the camera did not answer in time"}};
    return result.get();
}

void Viewer::cameraLoop() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(tasks_mutex_);
            if (!capturing_.load())
                tasks_wake_.wait(lock, [this] { return stopping_ || !tasks_.empty() || capturing_.load(); });
            if (stopping_) break;
            if (!tasks_.empty()) {
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
        }
        if (task) {
            task();
            continue;
        }
        KV_FRAME_DATA frame{};
        const KV_STATUS status = KVFetchFrame(h_, &frame, kFetchSliceMs);
        if (status == KV_STATUS_OK) {
            take(frame);
        } else if (status != KV_STATUS_TIMEOUT) {
            // The capture ended under us (the connection broke, most likely); the page shows the state.
            setLastError("capture ended: " + statusText(status));
            stopCapture();
        }
    }
    // Tasks still queued were abandoned by their callers' deadlines or by the closing server.
    stopCapture();
}

bool Viewer::startCapture(std::string* error) {
    if (capturing_.load()) return true;
    KVClearBufferQueue(h_);
    buffers_.clear();
    uint32_t size = 0;
    KV_STATUS status = KVGetFrameBufferSize(h_, &size);
    if (status != KV_STATUS_OK || size == 0) {
        *error = "cannot size the frame buffers: " + statusText(status);
        return false;
    }
    for (int i = 0; i < kLibraryBuffers && status == KV_STATUS_OK; ++i) {
        buffers_.emplace_back(new uint8_t[size]);
        status = KVEnqueueBuffer(h_, buffers_.back().get(), static_cast<int32_t>(size));
    }
    int32_t enabled = 0;
    KVGetEnabledComponentIDs(h_, &enabled);
    calibration_ = readCalibration(h_, enabled);
    if (status == KV_STATUS_OK) status = KVStartCapture(h_);
    if (status != KV_STATUS_OK) {
        KVClearBufferQueue(h_);
        *error = "cannot start capture: " + statusText(status);
        return false;
    }
    rates_.clear();
    setLastError("");
    capturing_.store(true);
    return true;
}

void Viewer::stopCapture() {
    if (!capturing_.exchange(false)) return;
    KVStopCapture(h_);
    KVClearBufferQueue(h_);  // the library must not keep buffers that are about to be freed
}

void Viewer::take(const KV_FRAME_DATA& frame) {
    auto live = std::make_shared<LiveFrame>();
    live->record = std::make_shared<const FrameRecord>(FrameRecord::copyOf(frame, ++received_, wallMicros()));
    KVEnqueueBuffer(h_, frame.userBuffer,
                    frame.bufferSize);  // the copy is ours: the camera gets its buffer back
    const auto now = Clock::now();
    for (const ImageCopy& image : live->record->images)
        live->fps[image.component] = rates_[image.component].tick(now);
    live->calibration = calibration_;
    frames_.store(received_);
    {
        std::lock_guard<std::mutex> lock(latest_mutex_);
        latest_ = live;
    }
    if (server_.clients() > 0) encoder_.offer(std::move(live));  // nobody looking: nothing to encode
}

json Viewer::selectStreams(int32_t wanted, bool run) {
    int32_t available = 0;
    KVGetComponentIDs(h_, &available);
    if (wanted & KV_COMPONENT_POINT3D) wanted |= KV_COMPONENT_DEPTH;  // point clouds are computed from depth
    wanted &= available;
    if (wanted == 0) return {{"ok", false}, {"error", "the camera has none of these streams"}};
    stopCapture();
    KV_STATUS status = KVDisableComponents(h_, available & ~wanted);
    if (status == KV_STATUS_OK) status = KVEnableComponents(h_, wanted);
    int32_t enabled = 0;
    KVGetEnabledComponentIDs(h_, &enabled);
    enabled_.store(enabled);
    json result = {{"ok", status == KV_STATUS_OK}, {"enabled", streamList(enabled)}};
    if (status != KV_STATUS_OK) result["error"] = "cannot select the streams: " + statusText(status);
    std::string error;
    if (status == KV_STATUS_OK && run && !startCapture(&error)) {
        result["ok"] = false;
        result["error"] = error;
    }
    return result;
}

// A setting the camera refuses while streaming (an image mode) is applied between a stop and a start, as a
// user changing it on the page expects; the start sizes the buffers and reads the calibration anew.
json Viewer::changeSetting(int32_t component, int32_t feature, const std::string& value) {
    KV_FEATURE_INFO info{};
    const bool pause = capturing_.load() && KVGetFeatureInfo(h_, component, feature, &info) == KV_STATUS_OK &&
                       info.isValid && !info.writableAtRun;
    if (pause) stopCapture();
    json result = applySetting(h_, components_, component, feature, value);
    std::string error;
    if (pause && !startCapture(&error)) {
        result["ok"] = false;
        result["error"] = error;
    }
    return result;
}

ApiResponse Viewer::handle(const ApiRequest& request) {
    const bool get = request.method == "GET", post = request.method == "POST";
    if (get && request.path == "/api/info") return reply(info());
    if (get && request.path == "/api/depth") return reply(depthAt(request.query));
    if (get && request.path == "/api/settings")
        return reply(call([this] { return settingsPanel(h_, components_); }));
    if (!post) return reply({{"ok", false}, {"error", "no such request"}}, get ? 404 : 405);
    if (request.path == "/api/snapshot") return reply(snapshot());
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object()) return reply({{"ok", false}, {"error", "the request is not a JSON object"}}, 400);
    if (request.path == "/api/setting") {
        const json component = body.value("component", json()), feature = body.value("feature", json());
        if (!component.is_number_integer() || !feature.is_number_integer() || !body.contains("value"))
            return reply({{"ok", false}, {"error", "component, feature and value are needed"}}, 400);
        const json& v = body["value"];
        const std::string value = v.is_string() ? v.get<std::string>() : v.dump();
        const auto c = static_cast<int32_t>(component.get<int64_t>()),
                   f = static_cast<int32_t>(feature.get<int64_t>());
        return reply(call([this, c, f, value] { return changeSetting(c, f, value); }));
    }
    if (request.path == "/api/capture") {
        const bool run = body.value("run", false);
        return reply(call([this, run] {
            std::string error;
            if (!run) stopCapture();
            const bool ok = !run || startCapture(&error);
            json result = {{"ok", ok}, {"capturing", capturing_.load()}};
            if (!ok) result["error"] = error;
            return result;
        }));
    }
    if (request.path == "/api/streams") {
        const json names = body.value("streams", json());
        std::string text;
        if (names.is_array())
            for (const json& n : names)
                if (n.is_string()) text += (text.empty() ? "" : ",") + n.get<std::string>();
        int32_t mask = 0;
        std::string error;
        if (!parseStreams(text, mask, &error))
            return reply({{"ok", false}, {"error", error.empty() ? "no stream chosen" : error}}, 400);
        return reply(call([this, mask] { return selectStreams(mask, capturing_.load()); }));
    }
    return reply({{"ok", false}, {"error", "no such request"}}, 404);
}

json Viewer::info() {
    json result = device_;
    {
        std::lock_guard<std::mutex> lock(latest_mutex_);
        result["error"] = last_error_;
    }
    result["enabled"] = streamList(enabled_.load());
    result["capturing"] = capturing_.load();
    result["offline"] = offline_.load();
    result["frames"] = frames_.load();
    result["cpu"] = cpu_.recent();
    return result;
}

// What does not change while the camera is open; read before the camera thread starts.
json deviceJson(KV_DEV_HANDLE h, const std::string& label, const ViewOptions& options) {
    KV_DEVICE_BASE_INFO d{};
    KVGetDeviceInfo(h, &d);
    const std::string serial = fixedText(d.id, sizeof d.id);
    const char* build = KVGetFirmwareVer(serial.c_str());
    auto version = [](const KV_VERSION_INFO& v) {
        return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
    };
    int32_t available = 0;
    KVGetComponentIDs(h, &available);
    return {{"camera", label},
            {"serial", serial},
            {"vendor", fixedText(d.vendorName, sizeof d.vendorName)},
            {"model", fixedText(d.modelName, sizeof d.modelName)},
            {"hardware", version(d.hardwareVersion)},
            {"firmware", version(d.firmwareVersion)},
            {"firmware_text", build ? build : ""},
            {"streams", streamList(available)},
            {"snapshot_dir", options.out},
            {"three", !findThreeJs().empty()}};
}

json Viewer::depthAt(const std::string& query) {
    std::shared_ptr<const LiveFrame> frame;
    {
        std::lock_guard<std::mutex> lock(latest_mutex_);
        frame = latest_;
    }
    const ImageCopy* depth = frame ? frame->record->find(KV_COMPONENT_DEPTH) : nullptr;
    long x = 0, y = 0;
    if (!depth || depth->pixel_format != KV_PIXEL_FORMAT_DEPTH16)
        return {{"ok", false}, {"error", "no depth frame yet"}};
    if (!queryInt(query, "x", x) || !queryInt(query, "y", y) || x < 0 || y < 0 || x >= depth->width ||
        y >= depth->height || depth->data.size() < static_cast<size_t>(depth->width) * depth->height * 2)
        return {{"ok", false}, {"error", "pixel outside the depth image"}};
    const size_t at = (static_cast<size_t>(y) * depth->width + static_cast<size_t>(x)) * 2;
    uint16_t mm;
    std::memcpy(&mm, &depth->data[at], 2);
    return {{"ok", true},
            {"x", x},
            {"y", y},
            {"depth_mm", mm},
            {"index", depth->index},
            {"frame", frame->record->number}};
}

json Viewer::snapshot() {
    std::shared_ptr<const LiveFrame> frame;
    {
        std::lock_guard<std::mutex> lock(latest_mutex_);
        frame = latest_;
    }
    if (!frame) return {{"ok", false}, {"error", "no frame to save yet"}};
    std::lock_guard<std::mutex> lock(snapshot_mutex_);  // two clicks must not write the same files at once
    FrameFileOptions files;
    files.directory = options_.out;
    files.camera = label_;
    files.ply = frame->record->find(KV_COMPONENT_POINT3D) != nullptr;
    files.calibration = frame->calibration;
    std::string error;
    if (!makeDirectories(options_.out, &error) || !writeFrameFiles(*frame->record, files, &error))
        return {{"ok", false}, {"error", error}};
    // The frame's files are the ones named after it.
    const std::string prefix = framePrefix(frame->record->number);
    json names = json::array();
    if (DIR* dir = opendir(options_.out.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return {{"ok", true}, {"directory", options_.out}, {"frame", frame->record->number}, {"files", names}};
}

void Viewer::printStatus(bool final) {
    const double cpu = final ? cpu_.average() : cpu_.recent();
    std::printf("viewer: %" PRIu64 " frames captured, %" PRIu64 " encoded, %" PRIu64
                " sent to %zu open page(s), CPU %.1f%% of one core%s\n",
                frames_.load(), encoder_.encoded(), server_.sent(), server_.clients(), cpu,
                final ? " on average" : "");
    std::fflush(stdout);
}

}  // namespace

int runView(const CameraChoice& camera, const ViewOptions& options) {
    if (!isIpv4(options.address)) return failWith("'" + options.address + "' is not an IPv4 address");
    if (options.address == "0.0.0.0")
        return failWith("give the address the page is opened at (0.0.0.0 is no address a browser can name)");
    if (options.port < 0 || options.port > 65535) return failWith("port must be 0 to 65535");
    int32_t streams = 0;
    std::string error;
    if (!parseStreams(options.streams, streams, &error))
        return failWith(error.empty() ? "no streams given" : error);
    CameraSession session;
    if (!session.open(camera, &error)) return failWith(error);
    std::string xml;
    std::vector<DescComponent> components;
    if (!readDescriptorText(session.handle(), xml, &error) || !parseDescriptor(xml, components, &error))
        return failWith(error);
    if (findThreeJs().empty())
        std::fprintf(stderr, "kvdepth: three.js not found (Debian package libjs-three): no 3D view\n");

    SignalPipe signals;
    Viewer viewer(session.handle(), session.label(), std::move(components), options);
    if (!viewer.start(streams, &error)) return failWith(error);
    std::printf("kvdepth view: open %s in a browser (Ctrl-C to end)\n", viewer.server().url().c_str());
    std::fflush(stdout);
    while (!signals.wait(kStatusEveryMs))
        if (options.verbose) viewer.printStatus(false);
    viewer.printStatus(true);
    return kExitOk;
}

}  // namespace tool
}  // namespace orvane
