// The camera a command works on: the library initialised, the camera chosen by --ip, --serial or --sim
// opened, and everything released again in reverse order.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <kvdepth.h>

#include "sim_process.h"

namespace orvane {
namespace tool {

struct CameraChoice {
    std::string ip;
    std::string serial;
    bool sim = false;
    SimOptions sim_options;
    // Runs once the library is up, before the camera is opened (a recording sets its stream tap here).
    std::function<void()> before_open;
};

// _KVInitLib / KVDeinitLib for the lifetime of the object.
class Library {
  public:
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    KV_STATUS status() const { return status_; }

  private:
    KV_STATUS status_;
};

class CameraSession {
  public:
    CameraSession() = default;
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Exactly one of ip, serial or sim must be set. False with a one-line message.
    bool open(const CameraChoice& choice, std::string* error);
    KV_DEV_HANDLE handle() const { return handle_; }
    // How the user named the camera: its address or serial.
    const std::string& label() const { return label_; }
    // Address of the simulator started by --sim (empty otherwise).
    std::string simAddress() const { return sim_ ? sim_->address() : std::string(); }

  private:
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<Library> library_;
    KV_DEV_HANDLE handle_ = nullptr;
    std::string label_;
};

// The library prints some fixed texts (such as connection notices) straight to standard output. While a
// QuietStdout lives, those go nowhere, so that the tool's own output stays parseable; --verbose keeps them.
class QuietStdout {
  public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;
    static void allow(bool library_output);

  private:
    int saved_ = -1;
};

// "message (code)" for a status.
std::string statusText(KV_STATUS status);

// One turn of a capture loop: a fetch that waits at most a short slice, so the loop can look at Ctrl-C.
enum class FetchStep { kFrame, kWaiting, kStop };
// kFrame: *frame holds a frame and waiting_since is now. kWaiting: no frame yet, but one came (or the
// capture started) within timeout_ms. kStop: *error says why the capture ends (no frame for too long,
// the camera went offline, or the fetch failed).
FetchStep fetchStep(KV_DEV_HANDLE handle, int timeout_ms, bool offline,
                    std::chrono::steady_clock::time_point* waiting_since, KV_FRAME_DATA* frame,
                    std::string* error);

// Whether a text is a dotted IPv4 address.
bool isIpv4(const std::string& text);

}  // namespace tool
}  // namespace orvane
