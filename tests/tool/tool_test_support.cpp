#include "tool_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kvtool {

namespace fs = std::filesystem;

RunResult run(const std::vector<std::string>& argv, int timeout_ms, const std::string& interrupt_when) {
    RunResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool signalled = false;
    for (int open_count = spawned == 0 ? 2 : 0; open_count > 0;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left < 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (!interrupt_when.empty() && !signalled && result.out.find(interrupt_when) != std::string::npos) {
            kill(pid, SIGINT);
            signalled = true;
        }
        if (poll(fds, 2, std::max(static_cast<int>(left), 1)) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    if (spawned != 0) return result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool readPlyIndependently(const std::string& path, std::vector<PlyVertex>& out, std::string* error) {
    const RunResult r = run({"/usr/bin/python3", KVTOOL_READ_PLY_SCRIPT, path});
    std::istringstream in(r.out);
    size_t count = 0;
    in >> count;
    std::string line;
    std::getline(in, line);
    out.clear();
    while (std::getline(in, line)) {
        PlyVertex v;  // r, g, b stay -1 on lines without colour
        std::istringstream(line) >> v.x >> v.y >> v.z >> v.r >> v.g >> v.b;
        out.push_back(v);
    }
    if (r.exit_code == 0 && out.size() == count) return true;
    if (error)
        *error = "meshio could not read " + path + " (" + std::to_string(count) + " vertices reported, " +
                 std::to_string(out.size()) + " listed): " + r.err;
    return false;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "kvdepth_tool_XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    chmod(path_.c_str(), 0700);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string readText(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& e : fs::directory_iterator(path, ignored)) {
        const std::string name = e.path().filename().string();
        if (name[0] != '.') names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace kvtool
