// `--sim`: the project's camera simulator (kvsim) run as a child process on a free loopback address for
// the duration of one command, so every subcommand works on a machine without a camera.
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>

namespace orvane {
namespace tool {

struct SimOptions {
    std::string address;  // empty: pick a free loopback address
    std::string scene = "pattern";
    double fps = 30;
    std::string kvsim;     // empty: look next to this program, in the build tree, then on PATH
    bool verbose = false;  // pass kvsim's own lines through to standard error
};

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();  // stop()
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts kvsim and waits until its camera listens. False with a message.
    bool start(const SimOptions& options, std::string* error);
    const std::string& address() const { return address_; }
    // Stops kvsim (SIGTERM, then SIGKILL if it does not end in time) and reaps it.
    void stop();

  private:
    bool launch(const std::string& kvsim, const std::string& address, const SimOptions& options,
                std::string* error);

    pid_t pid_ = -1;
    int output_ = -1;
    std::string address_;
    std::thread drain_;
    bool verbose_ = false;
};

// The kvsim executable to run, or empty.
std::string findKvsim(const std::string& given);

// A loopback address whose port 7001 nothing listens on, chosen at random from 127.64.0.1 to 127.254.254.254.
std::string freeLoopbackAddress();

}  // namespace tool
}  // namespace orvane
