#include "tool_test_support.h"

#include <dirent.h>
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
namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void removeTree(const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            if (e->d_type == DT_DIR) {
                removeTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

}  // namespace

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
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    const int64_t start = nowMs();
    bool signalled = false;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        const int64_t elapsed = nowMs() - start;
        if (elapsed > timeout_ms) {
            kill(pid, SIGKILL);
            break;
        }
        if (!interrupt_when.empty() && !signalled && result.out.find(interrupt_when) != std::string::npos) {
            kill(pid, SIGINT);
            signalled = true;
        }
        if (poll(fds, 2, std::max(static_cast<int>(timeout_ms - elapsed), 1)) < 0) break;
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
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool readPlyIndependently(const std::string& path, std::vector<PlyVertex>& out, std::string* error) {
    const RunResult r = run({"/usr/bin/python3", KVTOOL_READ_PLY_SCRIPT, path});
    if (r.exit_code != 0) {
        if (error) *error = "meshio could not read " + path + ": " + r.err;
        return false;
    }
    std::istringstream in(r.out);
    size_t count = 0;
    in >> count;
    std::string line;
    std::getline(in, line);
    out.clear();
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        PlyVertex v;
        fields >> v.x >> v.y >> v.z;
        fields >> v.r >> v.g >> v.b;
        out.push_back(v);
    }
    if (out.size() != count) {
        if (error)
            *error = "meshio reported " + std::to_string(count) + " vertices but listed " +
                     std::to_string(out.size());
        return false;
    }
    return true;
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvdepth_tool_XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

ScratchDir::~ScratchDir() {
    if (!path_.empty()) {
        chmod(path_.c_str(), 0700);
        removeTree(path_);
    }
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace kvtool
