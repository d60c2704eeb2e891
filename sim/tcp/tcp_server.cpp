#include "sim/tcp/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace orvane {
namespace kvsim {
namespace {

constexpr int kIdleCheckMs = 50;  // also how soon a lifted output stall or a fault's disconnect is noticed
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxSlices = 16;
constexpr size_t kMaxWrite = 16 * 1024 * 1024;

std::string peerText(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

bool isLoopbackAddress(const std::string& address) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

TcpCameraServer::TcpCameraServer(std::shared_ptr<SimDevice> device, std::string address, uint16_t port,
                                 LogFn log)
    : sim_(device),
      device_(std::move(device)),
      address_(std::move(address)),
      port_(port),
      log_(std::move(log)) {}

TcpCameraServer::TcpCameraServer(std::shared_ptr<ServedCamera> camera, std::string address, uint16_t port,
                                 LogFn log)
    : device_(std::move(camera)), address_(std::move(address)), port_(port), log_(std::move(log)) {}

TcpCameraServer::~TcpCameraServer() {
    stop();
}

void TcpCameraServer::line(const std::string& text) {
    if (log_) log_(text);
}

bool TcpCameraServer::start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    };
    if (thread_.joinable()) return fail("already started");
    if (!isLoopbackAddress(address_)) return fail(address_ + " is not a loopback address (127.0.0.0/8)");
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    inet_pton(AF_INET, address_.c_str(), &addr.sin_addr);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return fail("cannot bind " + endpoint() + ": " + std::strerror(errno));
    if (::listen(listen_fd_, 4) != 0) return fail(std::string("listen: ") + std::strerror(errno));
    socklen_t len = sizeof addr;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
    if (::pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    stopping_ = false;
    thread_ = std::thread(&TcpCameraServer::run, this);
    return true;
}

void TcpCameraServer::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        char c = 'x';
        ssize_t ignored = ::write(wake_fds_[1], &c, 1);
        (void)ignored;
        thread_.join();
    }
    for (int& fd : wake_fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

ServerStats TcpCameraServer::stats() {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    return stats_;
}

void TcpCameraServer::sampleCpu() {
    timespec ts{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return;
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.thread_cpu_ns =
        static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void TcpCameraServer::run() {
    while (!stopping_) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd =
            ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        serveConnection(fd, peerText(peer));
        sampleCpu();
    }
}

bool TcpCameraServer::hostHasHungUp(int fd) {
    // Asked afresh: the hang-up arrives before the new connection, but may postdate the last poll.
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void TcpCameraServer::drainInput(int fd) {
    // Requests sent before the close still count (a setting written just before reconnecting).
    std::vector<uint8_t> inbuf(kReadChunk);
    for (;;) {
        const ssize_t n = ::recv(fd, inbuf.data(), inbuf.size(), MSG_DONTWAIT);
        if (n <= 0) return;
        device_->receive(inbuf.data(), static_cast<size_t>(n));
    }
}

bool TcpCameraServer::pumpOutput(int fd) {
    for (;;) {
        OutputSlice slices[kMaxSlices];
        size_t count = device_->gatherOutput(slices, kMaxSlices, kMaxWrite);
        if (count == 0) return true;
        iovec iov[kMaxSlices];
        size_t total = 0;
        for (size_t i = 0; i < count; ++i) {
            iov[i].iov_base = const_cast<uint8_t*>(slices[i].data);
            iov[i].iov_len = slices[i].len;
            total += slices[i].len;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        device_->consumeOutput(static_cast<size_t>(n));
        if (static_cast<size_t>(n) < total) return true;  // socket full: wait for room
        device_->service();  // a frame may have been waiting for this one to go out
    }
}

void TcpCameraServer::serveConnection(int fd, const std::string& peer) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int sndbuf = kSendBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        ++stats_.connections;
        stats_.connected = true;
    }
    const TrafficStats before = device_->trafficStats();
    device_->onConnect();
    const std::string who = "camera " + device_->servedSerial() + " at " + endpoint();
    line(who + ": connection from " + peer);

    std::vector<uint8_t> inbuf(kReadChunk);
    std::string reason = "simulator stopping";
    bool abort = false;
    while (!stopping_) {
        if (device_->disconnectRequested()) {
            abort = device_->disconnectIsAbortive();
            reason = abort ? "reset by the fault plan" : "dropped by the fault plan";
            break;
        }
        device_->service();
        const bool want_out = device_->hasOutput();
        const bool want_in = device_->acceptsInput();
        int64_t next = device_->nextEventMicros();
        int64_t wait_us = kIdleCheckMs * 1000;
        if (next >= 0 && next < wait_us) wait_us = next;
        timespec timeout{static_cast<time_t>(wait_us / 1000000),
                         static_cast<long>((wait_us % 1000000) * 1000)};
        pollfd fds[3] = {{fd, static_cast<short>((want_in ? POLLIN : 0) | (want_out ? POLLOUT : 0)), 0},
                         {listen_fd_, POLLIN, 0},
                         {wake_fds_[0], POLLIN, 0}};
        int r = ::ppoll(fds, 3, &timeout, nullptr);
        sampleCpu();
        if (r < 0) {
            if (errno == EINTR) continue;
            reason = std::string("poll failed: ") + std::strerror(errno);
            break;
        }
        if (fds[2].revents) break;
        if ((fds[1].revents & POLLIN) && hostHasHungUp(fd)) {
            // A host that reconnects closes first: its new connection waits in the backlog for the next
            // turn of the accept loop instead of being turned away as a second host.
            drainInput(fd);
            reason = "closed by the host";
            break;
        }
        if (fds[1].revents & POLLIN) {
            sockaddr_in other{};
            socklen_t len = sizeof other;
            int extra = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&other), &len, SOCK_CLOEXEC);
            if (extra >= 0) {
                ::close(extra);
                {
                    std::lock_guard<std::mutex> lock(stats_mutex_);
                    ++stats_.rejected;
                }
                line(who + ": rejected " + peerText(other) + " (busy with " + peer + ")");
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::recv(fd, inbuf.data(), inbuf.size(), 0);
            if (n == 0) {
                reason = "closed by the host";
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                reason = std::string("receive failed: ") + std::strerror(errno);
                break;
            }
            if (n > 0) device_->receive(inbuf.data(), static_cast<size_t>(n));
        }
        // Send when the socket has room, or when this turn produced the first output to send.
        if ((fds[0].revents & POLLOUT) || (!want_out && device_->hasOutput())) {
            if (!pumpOutput(fd)) {
                reason = std::string("send failed: ") + std::strerror(errno);
                break;
            }
        }
    }
    device_->onDisconnect();
    if (abort) {
        // A zero linger time makes close() send a reset instead of the orderly end of the stream.
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
    const TrafficStats after = device_->trafficStats();
    {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        stats_.connected = false;
    }
    line(who + ": " + peer + " disconnected, " + reason + " (" +
         std::to_string(after.bytes_out - before.bytes_out) + " bytes, " +
         std::to_string(after.frames_sent - before.frames_sent) + " frames sent, " +
         std::to_string(after.frames_skipped - before.frames_skipped) + " skipped)");
}

}  // namespace kvsim
}  // namespace orvane
