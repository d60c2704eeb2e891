// Serves one simulated camera (or a replayed recording) on a loopback TCP address, as a network camera
// listens on its port. One connection at a time; a second client is accepted and closed at once; after a
// disconnect the next client is served.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/device/sim_device.h"

namespace orvane {
namespace kvsim {

constexpr uint16_t kDefaultCameraPort = 7001;

// True for a dotted IPv4 address inside 127.0.0.0/8.
bool isLoopbackAddress(const std::string& address);

struct ServerStats {
    uint64_t connections = 0;
    uint64_t rejected = 0;       // clients turned away while another was connected
    uint64_t thread_cpu_ns = 0;  // CPU time of the serving thread so far
    bool connected = false;
};

class TcpCameraServer {
  public:
    using LogFn = std::function<void(const std::string&)>;

    TcpCameraServer(std::shared_ptr<SimDevice> device, std::string address,
                    uint16_t port = kDefaultCameraPort, LogFn log = nullptr);
    // Any other served camera; device() is then not available.
    TcpCameraServer(std::shared_ptr<ServedCamera> camera, std::string address,
                    uint16_t port = kDefaultCameraPort, LogFn log = nullptr);
    ~TcpCameraServer();
    TcpCameraServer(const TcpCameraServer&) = delete;
    TcpCameraServer& operator=(const TcpCameraServer&) = delete;

    // Binds, listens and starts the serving thread. False with a message when the address is not loopback
    // or cannot be bound.
    bool start(std::string* error);
    // Closes the connection and the listener and joins the thread. Idempotent.
    void stop();

    uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }
    std::string endpoint() const { return address_ + ":" + std::to_string(port_); }
    // The simulated device of a server made for one.
    SimDevice& device() { return *sim_; }
    ServerStats stats();

    // Socket send buffer asked for: large, so that a whole image goes out in few writes.
    static constexpr int kSendBuffer = 8 * 1024 * 1024;

  private:
    void run();
    void serveConnection(int fd, const std::string& peer);
    bool pumpOutput(int fd);
    bool hostHasHungUp(int fd);
    void drainInput(int fd);
    void line(const std::string& text);
    void sampleCpu();

    std::shared_ptr<SimDevice> sim_;
    std::shared_ptr<ServedCamera> device_;
    std::string address_;
    uint16_t port_;
    LogFn log_;
    int listen_fd_ = -1;
    int wake_fds_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex stats_mutex_;
    ServerStats stats_;
};

}  // namespace kvsim
}  // namespace orvane
