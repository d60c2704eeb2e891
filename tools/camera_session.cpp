#include "camera_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace orvane {
namespace tool {

namespace {
std::atomic<bool> g_library_output{false};
}

void QuietStdout::allow(bool library_output) {
    g_library_output.store(library_output);
}

QuietStdout::QuietStdout() {
    if (g_library_output.load()) return;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        if (saved_ >= 0) close(saved_);
        saved_ = -1;
    }
    if (null_fd >= 0) close(null_fd);
}

QuietStdout::~QuietStdout() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}

Library::Library() : status_(_KVInitLib()) {}
Library::~Library() {
    if (status_ == KV_STATUS_OK) KVDeinitLib();
}

FetchStep fetchStep(KV_DEV_HANDLE handle, int timeout_ms, bool offline,
                    std::chrono::steady_clock::time_point* waiting_since, KV_FRAME_DATA* frame,
                    std::string* error) {
    constexpr int kFetchSliceMs = 200;  // how often a capture loop looks at Ctrl-C while it waits
    const KV_STATUS status = KVFetchFrame(handle, frame, kFetchSliceMs);
    const auto now = std::chrono::steady_clock::now();
    if (status == KV_STATUS_TIMEOUT) {
        if (now - *waiting_since <= std::chrono::milliseconds(timeout_ms)) return FetchStep::kWaiting;
        *error = "no frame from the camera for " + std::to_string(timeout_ms) + " ms";
        return FetchStep::kStop;
    }
    if (status != KV_STATUS_OK) {
        // The library ends a capture itself (idle) only when the camera's connection broke; the offline
        // event may arrive just after the fetch has returned.
        *error = offline || status == KV_STATUS_IDLE ? "the camera went offline"
                                                     : "capture failed: " + statusText(status);
        return FetchStep::kStop;
    }
    *waiting_since = now;
    return FetchStep::kFrame;
}

std::string statusText(KV_STATUS status) {
    return std::string(KVErrorString(status)) + " (" + std::to_string(status) + ")";
}

bool isIpv4(const std::string& text) {
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

CameraSession::~CameraSession() {
    if (handle_) KVCloseDevice(handle_);
    library_.reset();  // the camera objects go before the simulator they talk to
    sim_.reset();
}

bool CameraSession::open(const CameraChoice& choice, std::string* error) {
    const int chosen = (choice.ip.empty() ? 0 : 1) + (choice.serial.empty() ? 0 : 1) + (choice.sim ? 1 : 0);
    if (chosen != 1) {
        *error = chosen == 0 ? "no camera given: use --ip ADDRESS, --serial TEXT or --sim"
                             : "give only one of --ip, --serial and --sim";
        return false;
    }
    std::string ip = choice.ip;
    if (!ip.empty() && !isIpv4(ip)) {
        *error = "'" + ip + "' is not an IPv4 address";
        return false;
    }
    if (choice.sim) {
        sim_ = std::make_unique<SimProcess>();
        if (!sim_->start(choice.sim_options, error)) return false;
        ip = sim_->address();
    }
    library_ = std::make_unique<Library>();
    if (library_->status() != KV_STATUS_OK) {
        *error = "cannot initialise the library: " + statusText(library_->status());
        return false;
    }
    if (choice.before_open) choice.before_open();
    KV_STATUS status;
    if (!ip.empty()) {
        label_ = ip;
        QuietStdout quiet;
        status = KVOpenDeviceWithIP(ip.c_str(), &handle_);
        if (status != KV_STATUS_OK) {
            handle_ = nullptr;
            *error = status == KV_STATUS_INVALID_PARAMETER
                         ? "no camera at " + ip
                         : "cannot open the camera at " + ip + ": " + statusText(status);
            return false;
        }
    } else {
        label_ = choice.serial;
        QuietStdout quiet;
        status = KVOpenDevice(choice.serial.c_str(), &handle_);
        if (status != KV_STATUS_OK) {
            handle_ = nullptr;
            *error = status == KV_STATUS_INVALID_PARAMETER
                         ? "no camera with serial " + choice.serial
                         : "cannot open camera " + choice.serial + ": " + statusText(status);
            return false;
        }
    }
    // A camera object exists even when its bring-up failed; such a camera is not usable.
    KV_DEVICE_BASE_INFO info{};
    if (KVGetDeviceInfo(handle_, &info) == KV_STATUS_OK && info.initStatus != KV_STATUS_OK) {
        *error = "camera " + label_ + " did not come up: " + statusText(info.initStatus);
        return false;
    }
    return true;
}

}  // namespace tool
}  // namespace orvane
