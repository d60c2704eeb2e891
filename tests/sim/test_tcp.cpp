// The simulator over loopback TCP, driven by a raw client that speaks the camera's bytes, and the kvsim
// executable. Command semantics are covered in-process (test_sim) and end to end (conformance); here only
// what the server adds: connection handling, back-pressure, several cameras in one process. Each test
// listens on its own loopback address (127.0.0.51 and up) on the camera port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "raw_client.h"
#include "sim/tcp/tcp_server.h"
#include "sim_test_util.h"

extern char** environ;

namespace orvane {
namespace kvsim {
namespace {

using test::Millis;
using test::RawClient;
using test::waitUntil;

constexpr Millis kReply(3000);
constexpr Millis kFrame(5000);

struct Camera {
    explicit Camera(const std::string& address, DeviceConfig config = DeviceConfig())
        : device(std::make_shared<SimDevice>(std::move(config))),
          server(device, address, kDefaultCameraPort) {
        std::string error;
        EXPECT_TRUE(server.start(&error)) << error;
    }
    std::shared_ptr<SimDevice> device;
    TcpCameraServer server;
};

// Waits for one complete frame holding an image of each of `cams`, all with one frame index.
std::map<uint8_t, WirePacket> awaitFrame(RawClient& client, const std::set<uint8_t>& cams, Millis timeout) {
    std::map<uint8_t, WirePacket> frame;
    int index = -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        std::optional<WirePacket> p = client.await([](const WirePacket& w) { return w.has_image; }, left,
                                                   [](const WirePacket& w) { return !w.has_image; });
        if (!p) break;
        if (p->image.frame_index != index) {
            frame.clear();
            index = p->image.frame_index;
        }
        frame[p->image.cam_id] = std::move(*p);
        if (frame.size() == cams.size()) return frame;
    }
    return {};
}

TEST(SimOverTcp, ServesOneConnectionAtATimeAndTheNextAfterADisconnect) {
    Camera cam("127.0.0.59");
    RawClient first, second;
    ASSERT_TRUE(first.connect("127.0.0.59", kDefaultCameraPort));
    ASSERT_TRUE(first.request(pingRequest()));
    ASSERT_TRUE(first.request(u16Request(kCmdWorkMode, kWorkDepth)));

    ASSERT_TRUE(second.connect("127.0.0.59", kDefaultCameraPort));
    EXPECT_TRUE(second.awaitClosed(kReply));            // turned away
    EXPECT_TRUE(first.request(pingRequest(), kFrame));  // the first one is still served
    EXPECT_TRUE(waitUntil([&] { return cam.server.stats().rejected == 1; }, kReply));

    first.close();
    EXPECT_TRUE(waitUntil([&] { return !cam.server.stats().connected; }, kReply));
    EXPECT_EQ(cam.device->settings().work_mode, 0);  // streaming stopped with the host gone

    RawClient third;
    ASSERT_TRUE(third.connect("127.0.0.59", kDefaultCameraPort));
    std::optional<WirePacket> r = third.request(u16Request(query(kCmdWorkMode), 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(test::replyI16(*r, 4), 0);
    EXPECT_EQ(cam.server.stats().connections, 2u);
}

// Regression: a host that closed and at once reconnected was turned away as a second host whenever the
// server saw the hang-up and the new connection in the same turn (likely while it streams).
TEST(SimOverTcp, HostReconnectingRightAfterItsCloseIsServed) {
    Camera cam("127.0.0.64");
    for (int round = 0; round < 20; ++round) {
        RawClient client;
        ASSERT_TRUE(client.connect("127.0.0.64", kDefaultCameraPort));
        ASSERT_TRUE(client.request(pingRequest())) << "round " << round;
        ASSERT_TRUE(client.request(u16Request(kCmdWorkMode, kWorkDepth))) << "round " << round;
    }
    EXPECT_EQ(cam.server.stats().rejected, 0u);
}

TEST(SimOverTcp, SlowReaderMakesFramesSkippedNotBuffered) {
    DeviceConfig config;
    config.fps = 200;
    config.initial.depth_mode = 3;
    config.initial.color_mode = 3;
    Camera cam("127.0.0.60", config);
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.60", kDefaultCameraPort));
    ASSERT_TRUE(c.sendRequest(u16Request(kCmdWorkMode, kWorkDepth | kWorkInfrared | kWorkColor), 1));
    // Read nothing: the socket fills and the camera must skip frames instead of queueing them.
    ASSERT_TRUE(waitUntil([&] { return cam.device->stats().frames_skipped >= 50; }, Millis(20000)));
    const size_t frame_bytes = 1280 * 960 * (2 + 1 + 1 + 3) + 4 * 32;
    EXPECT_LE(cam.device->pendingOutputBytes(), frame_bytes);
    EXPECT_LE(cam.device->stats().frames_queued, cam.device->stats().frames_sent + 2);

    std::map<uint8_t, WirePacket> f =
        awaitFrame(c, {kCamDepth, kCamLeftIr, kCamRightIr, kCamColor}, Millis(10000));
    EXPECT_EQ(f.size(), 4u);
}

// ---- the kvsim executable
// -------------------------------------------------------------------------------------

class KvsimProcess {
  public:
    explicit KvsimProcess(std::vector<std::string> args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        args.insert(args.begin(), KVSIM_EXECUTABLE);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KVSIM_EXECUTABLE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_fd_ = fds[0];
    }
    ~KvsimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) ::close(out_fd_);
    }
    bool running() const { return pid_ > 0; }
    void signal(int sig) { ::kill(pid_, sig); }
    // Exit status, or -1 when the process did not end in time.
    int waitExit(Millis timeout) {
        int status = 0;
        bool done = waitUntil(
            [&] {
                collect();
                return ::waitpid(pid_, &status, WNOHANG) == pid_;
            },
            timeout);
        if (!done) return -1;
        exited_ = true;
        collect();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool outputHas(const std::string& text, Millis timeout) {
        return waitUntil(
            [&] {
                collect();
                return output_.find(text) != std::string::npos;
            },
            timeout);
    }
    const std::string& output() const { return output_; }

  private:
    void collect() {
        char buf[4096];
        pollfd p{out_fd_, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            ssize_t n = ::read(out_fd_, buf, sizeof buf);
            if (n <= 0) break;
            output_.append(buf, static_cast<size_t>(n));
        }
    }
    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool exited_ = false;
    std::string output_;
};

TEST(KvsimExecutable, ServesSeveralCamerasLogsConnectionsAndStopsOnSigterm) {
    KvsimProcess sim({"--listen", "127.0.0.61", "--cameras", "2", "--verbose"});
    ASSERT_TRUE(sim.running());
    ASSERT_TRUE(sim.outputHas("listening on 127.0.0.62:7001", Millis(5000))) << sim.output();
    for (const char* address : {"127.0.0.61", "127.0.0.62"}) {
        RawClient c;
        ASSERT_TRUE(c.connect(address, kDefaultCameraPort));
        ASSERT_TRUE(c.request(pingRequest()));
        std::optional<WirePacket> info = c.request(codeOnlyRequest(kCmdDeviceInfo));
        ASSERT_TRUE(info);
        EXPECT_EQ(decodeDeviceInfoReply(info->payload)->serial,
                  std::string(address) == "127.0.0.61" ? "KVSIM0000001" : "KVSIM0000002");
    }
    EXPECT_TRUE(sim.outputHas("KVSIM0000002 <- ping/firmware version (id 1, 4 bytes)", Millis(2000)))
        << sim.output();
    EXPECT_TRUE(sim.outputHas("KVSIM0000001 at 127.0.0.61:7001: connection from 127.0.0.1:", Millis(2000)))
        << sim.output();
    EXPECT_TRUE(sim.outputHas("disconnected, closed by the host", Millis(2000))) << sim.output();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(Millis(5000)), 0);
    EXPECT_NE(sim.output().find("stopping on SIGTERM"), std::string::npos) << sim.output();
    EXPECT_NE(sim.output().find("kvsim: stopped"), std::string::npos) << sim.output();
}

TEST(KvsimExecutable, StopsOnSigintWhileStreaming) {
    KvsimProcess sim({"--listen", "127.0.0.63", "--fps", "60"});
    ASSERT_TRUE(sim.running());
    ASSERT_TRUE(sim.outputHas("listening on 127.0.0.63:7001", Millis(5000))) << sim.output();
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.0.63", kDefaultCameraPort));
    ASSERT_TRUE(c.request(u16Request(kCmdWorkMode, kWorkDepth | kWorkColor)));
    ASSERT_EQ(awaitFrame(c, {kCamDepth, kCamColor}, kFrame).size(), 2u);
    sim.signal(SIGINT);
    EXPECT_EQ(sim.waitExit(Millis(5000)), 0) << sim.output();
    EXPECT_TRUE(c.awaitClosed(kReply));
    EXPECT_NE(sim.output().find("simulator stopping"), std::string::npos) << sim.output();
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
