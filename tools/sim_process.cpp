#include "sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace orvane {
namespace tool {
namespace {

constexpr uint16_t kCameraPort = 7001;
constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;

bool executable(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string ownDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

bool portFree(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kCameraPort);
    const bool ok = inet_pton(AF_INET, address.c_str(), &sa.sin_addr) == 1 &&
                    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string findKvsim(const std::string& given) {
    if (!given.empty()) return executable(given) ? given : std::string();
    const std::string dir = ownDirectory();
    // Installed next to kvdepth, or in the build tree (tools/ and sim/kvsim/ side by side).
    for (const std::string& candidate : {dir + "/kvsim", dir + "/../sim/kvsim/kvsim"})
        if (executable(candidate)) return candidate;
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string candidate = (end > start ? list.substr(start, end - start) : ".") + "/kvsim";
        if (executable(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

std::string freeLoopbackAddress() {
    std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::string address = "127." + std::to_string(64 + random() % 191) + "." +
                                    std::to_string(random() % 255) + "." + std::to_string(1 + random() % 254);
        if (portFree(address)) return address;
    }
    return {};
}

SimProcess::~SimProcess() {
    stop();
}

bool SimProcess::start(const SimOptions& options, std::string* error) {
    verbose_ = options.verbose;
    const std::string kvsim = findKvsim(options.kvsim);
    if (kvsim.empty()) {
        *error = options.kvsim.empty()
                     ? "cannot find the simulator kvsim (install it next to kvdepth or on PATH)"
                     : "cannot run the simulator " + options.kvsim;
        return false;
    }
    // A chosen address may be taken between the check and kvsim's bind: try a few.
    const int attempts = options.address.empty() ? 5 : 1;
    for (int i = 0; i < attempts; ++i) {
        const std::string address = options.address.empty() ? freeLoopbackAddress() : options.address;
        if (address.empty()) {
            *error = "no free loopback address for the simulator";
            return false;
        }
        if (launch(kvsim, address, options, error)) return true;
    }
    return false;
}

bool SimProcess::launch(const std::string& kvsim, const std::string& address, const SimOptions& options,
                        std::string* error) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *error = std::string("cannot start the simulator: ") + std::strerror(errno);
        return false;
    }
    const std::string fps = std::to_string(static_cast<int>(options.fps));
    std::vector<const char*> argv = {kvsim.c_str(), "--listen", address.c_str(),       "--fps",
                                     fps.c_str(),   "--scene",  options.scene.c_str(), nullptr};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        *error = std::string("cannot start the simulator: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Own process group: a Ctrl-C at the terminal stops kvdepth's capture cleanly, and kvdepth then
        // stops the simulator itself. It also ends with kvdepth if kvdepth dies.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(pipe_fds[1], STDERR_FILENO);
        execv(kvsim.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(pipe_fds[1]);
    pid_ = pid;
    output_ = pipe_fds[0];

    // kvsim prints "... listening on ADDRESS:PORT ..." once its camera accepts connections.
    std::string seen;
    const int64_t deadline = nowMs() + kStartTimeoutMs;
    bool listening = false;
    while (!listening) {
        const int64_t left = deadline - nowMs();
        pollfd pfd{output_, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
        char chunk[512];
        const ssize_t n = read(output_, chunk, sizeof chunk);
        if (n <= 0) break;  // kvsim ended
        seen.append(chunk, static_cast<size_t>(n));
        listening = seen.find("listening on") != std::string::npos;
    }
    if (!listening) {
        stop();
        while (!seen.empty() && (seen.back() == '\n' || seen.back() == '\r')) seen.pop_back();
        *error = "the simulator did not start on " + address + (seen.empty() ? "" : ": " + seen);
        return false;
    }
    if (verbose_) std::fwrite(seen.data(), 1, seen.size(), stderr);
    address_ = address;
    // kvsim keeps printing a line per connection; reading them keeps it from blocking on a full pipe.
    const int fd = output_;
    const bool verbose = verbose_;
    drain_ = std::thread([fd, verbose] {
        char chunk[512];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0)
            if (verbose) std::fwrite(chunk, 1, static_cast<size_t>(n), stderr);
    });
    return true;
}

void SimProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const int64_t deadline = nowMs() + kStopTimeoutMs;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && nowMs() < deadline) usleep(10000);
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    // The child is gone, so the pipe reports end of file and the drain thread ends.
    if (drain_.joinable()) drain_.join();
    if (output_ >= 0) close(output_);
    output_ = -1;
}

}  // namespace tool
}  // namespace orvane
