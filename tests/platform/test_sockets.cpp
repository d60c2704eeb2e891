#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "loopback_peer.h"
#include "platform/hal_internal.h"
#include "platform/hal_linux.h"
#include "platform_test_support.h"

namespace orvane {
namespace {

using testing_support::WaitUntil;

// This suite's own loopback address.
constexpr uint32_t kSuiteAddress = 0x7F00001Fu;  // 127.0.0.31
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Reads exactly n bytes through SOCK_Read, or fewer when the link fails or the deadline passes.
std::string ReadThroughSlot(int handle, size_t n) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + testing_support::kDeadline;
    char buffer[4096];
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        int count =
            SOCK_Read(handle, buffer, static_cast<int>(std::min(sizeof(buffer), n - got.size())), 100);
        if (count < 0) break;
        got.append(buffer, static_cast<size_t>(count));
    }
    return got;
}

// One client connection through the socket table with its accepted peer.
class SocketLink : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(listener_.ok()); }
    void TearDown() override {
        for (int handle : handles_) SOCK_Close(handle);
        hal::setSocketWriteStallLimit(hal::kDefaultWriteStallLimitMs);
    }
    // Opens a client slot and accepts its peer; returns the slot.
    int Connect(int* peer_out = nullptr) {
        int handle = SOCK_Open(kSuiteAddress, listener_.port());
        if (handle < 0) return handle;
        handles_.push_back(handle);
        int peer = listener_.accept();
        if (peer_out) *peer_out = peer;
        return handle;
    }
    void ForgetHandle(int handle) {
        handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
    }

    kvtest::LoopbackListener listener_{"127.0.0.31"};  // the peer side of every connection
    std::vector<int> handles_;
};

TEST_F(SocketLink, ClientOpenPrintsTheAddressAndSendsSmallWritesWithoutWaitingForAcknowledgements) {
    // Regression: with Nagle's algorithm on, the payload write of every request waited for the
    // device's delayed acknowledgement, about 40 ms per command.
    ::testing::internal::CaptureStdout();
    int handle = Connect();
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_GE(handle, 0);
    EXPECT_LT(handle, 4);
    EXPECT_EQ("Connected sock to <127.0.0.31 : " + std::to_string(listener_.port()) + ">!\n", out);
    const int fd = hal::connectedDescriptor(handle);
    ASSERT_GE(fd, 0);
    int nodelay = 0;
    socklen_t length = sizeof(nodelay);
    ASSERT_EQ(0, getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length));
    EXPECT_NE(0, nodelay);
    EXPECT_EQ(-1, hal::connectedDescriptor(4));
}

TEST_F(SocketLink, ReadWaitsForLateDataAndReportsAClosedPeerAsMinusOne) {
    int peer = -1;
    int handle = Connect(&peer);
    ASSERT_GE(handle, 0);
    std::thread sender([peer] { send(peer, "x", 1, 0); });
    char buffer[16] = {};
    EXPECT_EQ(1, SOCK_Read(handle, buffer, 1, kWaitForever));
    EXPECT_EQ('x', buffer[0]);
    sender.join();
    listener_.closePeer(peer);
    EXPECT_EQ(-1, SOCK_Read(handle, buffer, sizeof(buffer), 5000));
}

TEST_F(SocketLink, ConnectionOnDescriptorAboveFdSetSizeIsServed) {
    // Regression: select() cannot watch descriptors numbered FD_SETSIZE (1024) or above.
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    if (limit.rlim_cur < 1200) {
        if (limit.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low to reach 1024";
        limit.rlim_cur = 1200;
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    }
    // open() hands out the lowest free number: once it returns 1024, everything below is taken.
    struct Fillers : std::vector<int> {
        ~Fillers() {
            for (int fd : *this) close(fd);
        }
    } fillers;
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
        fillers.push_back(fd);
        if (fd >= 1024) break;
    }
    ASSERT_FALSE(fillers.empty());
    ASSERT_GE(fillers.back(), 1024);

    int peer = -1;
    int handle = Connect(&peer);
    ASSERT_GE(handle, 0);
    ASSERT_GE(peer, 0);
    char buffer[8];
    EXPECT_EQ(0, SOCK_Read(handle, buffer, sizeof(buffer), 0));
    ASSERT_EQ(2, send(peer, "hi", 2, 0));
    EXPECT_EQ("hi", ReadThroughSlot(handle, 2));
}

TEST_F(SocketLink, BadHandlesAndLengthsAreRefusedAndAZeroLengthReadIsNotMistakenForAClosedPeer) {
    char buffer[4] = {};
    for (int bad : {-1, 4, 64, 0, 3}) {  // nothing is open yet: 0 and 3 are free slots
        EXPECT_EQ(-2, SOCK_Read(bad, buffer, sizeof(buffer), 0)) << bad;
        EXPECT_EQ(-2, SOCK_Write(bad, buffer, sizeof(buffer))) << bad;
        EXPECT_EQ(-2, SOCK_GetRxBufLen(bad)) << bad;
        SOCK_Close(bad);
    }
    SOCK_Close(-1000);
    int peer = -1;
    int handle = Connect(&peer);
    ASSERT_GE(handle, 0);
    send(peer, "abc", 3, 0);
    ASSERT_TRUE(WaitUntil([&] { return SOCK_GetRxBufLen(handle) == 3; }));
    // Regression: recv() of 0 bytes returns 0, which was reported as "peer closed".
    EXPECT_EQ(0, SOCK_Read(handle, buffer, 0, 1000));
    EXPECT_EQ(-2, SOCK_Read(handle, buffer, -1, 0));
    EXPECT_EQ(-2, SOCK_Read(handle, nullptr, 4, 0));
    EXPECT_EQ(0, SOCK_Write(handle, buffer, 0));
    EXPECT_EQ(-3, SOCK_Write(handle, buffer, -3));
    EXPECT_EQ("abc", ReadThroughSlot(handle, 3));
}

TEST_F(SocketLink, FifthOpenFailsWithoutConnectingAndAFreedSlotIsReused) {
    std::vector<int> opened;
    for (int i = 0; i < 4; ++i) {
        int handle = Connect();
        ASSERT_GE(handle, 0);
        opened.push_back(handle);
    }
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), opened);
    EXPECT_EQ(-1, SOCK_Open(kSuiteAddress, listener_.port()));
    EXPECT_FALSE(listener_.hasPending());

    SOCK_Close(2);
    ForgetHandle(2);
    EXPECT_EQ(-2, SOCK_GetRxBufLen(2));
    EXPECT_EQ(2, Connect());
}

TEST_F(SocketLink, RefusedConnectionPrintsErrorAndFreesTheSlot) {
    uint16_t dead_port = 0;
    {
        kvtest::LoopbackListener closed_again("127.0.0.31");
        ASSERT_TRUE(closed_again.ok());
        dead_port = closed_again.port();
    }
    ::testing::internal::CaptureStdout();
    int handle = SOCK_Open(kSuiteAddress, dead_port);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, handle);
    EXPECT_EQ("connect socket error: " + std::string(strerror(ECONNREFUSED)) +
                  " (errno: " + std::to_string(ECONNREFUSED) + ") \n",
              out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(i, Connect());
}

TEST_F(SocketLink, LargeWriteToASlowReaderArrivesComplete) {
    kvtest::LoopbackListener small_window("127.0.0.31", 0, 4096);
    ASSERT_TRUE(small_window.ok());
    int handle = SOCK_Open(kSuiteAddress, small_window.port());
    ASSERT_GE(handle, 0);
    handles_.push_back(handle);
    int peer = small_window.accept();
    ASSERT_GE(peer, 0);

    std::string payload(8 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 131) >> 7);
    std::string received;
    std::thread reader([&] {
        char chunk[997];  // small, odd-sized reads keep the sender's buffer full
        while (received.size() < payload.size()) {
            ssize_t count = recv(peer, chunk, sizeof(chunk), 0);
            if (count <= 0) break;
            received.append(chunk, static_cast<size_t>(count));
        }
    });
    EXPECT_EQ(static_cast<int>(payload.size()),
              SOCK_Write(handle, payload.data(), static_cast<int>(payload.size())));
    reader.join();
    EXPECT_TRUE(received == payload);
}

TEST_F(SocketLink, WriteToClosedOrResetPeerReturnsMinusTwoWithoutSigpipe) {
    // With SIGPIPE at its default action, a send without MSG_NOSIGNAL failing with EPIPE ends the process.
    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fatal, &previous);
    std::vector<char> block(65536, 'w');
    for (bool reset : {false, true}) {  // a reset is what a crashed camera sends
        SCOPED_TRACE(reset ? "reset" : "closed");
        int peer = -1;
        int handle = Connect(&peer);
        ASSERT_GE(handle, 0);
        listener_.closePeer(peer, reset);
        int result = 0;
        EXPECT_TRUE(WaitUntil([&] {
            result = SOCK_Write(handle, block.data(), static_cast<int>(block.size()));
            return result != static_cast<int>(block.size());
        }));
        EXPECT_EQ(-2, result);
        // Later writes hit EPIPE on the dead connection: still -2, still no signal, and no spinning.
        EXPECT_EQ(-2, SOCK_Write(handle, block.data(), static_cast<int>(block.size())));
        EXPECT_EQ(-2, SOCK_Write(handle, block.data(), 1));
    }
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(SocketLink, WriteGivesUpWhenThePeerStopsReading) {
    hal::setSocketWriteStallLimit(200);
    int peer = -1;
    int handle = Connect(&peer);
    ASSERT_GE(handle, 0);
    // The peer never reads: once both socket buffers are full no byte moves any more.
    std::vector<char> block(64 << 20, 's');
    EXPECT_EQ(-2, SOCK_Write(handle, block.data(), static_cast<int>(block.size())));
}

// Regression: a peer whose accept queue is full drops the handshake, and the connect waited for the
// system's time-out (minutes) before SOCK_Open returned.
TEST(SocketConnect, PeerThatNeverCompletesTheHandshakeFailsWithinTheTimeLimit) {
    kvtest::LoopbackListener listener("127.0.4.80", 7001, 0, 0);  // nothing is ever accepted
    ASSERT_TRUE(listener.fillBacklog());

    hal::setSocketConnectTimeLimit(300);
    ::testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    const int handle = SOCK_Open(0x7F000450u, 7001);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string out = ::testing::internal::GetCapturedStdout();
    hal::setSocketConnectTimeLimit(hal::kDefaultConnectTimeLimitMs);

    EXPECT_EQ(-1, handle);
    EXPECT_LT(elapsed, std::chrono::seconds(2));
    EXPECT_EQ("connect socket error: " + std::string(strerror(ETIMEDOUT)) +
                  " (errno: " + std::to_string(ETIMEDOUT) + ") \n",
              out);
}

void KeepHangupHandler(int) {}

// Child-process bodies: each reports through its exit status whether the dispositions came out right.
void ExitWithHangupHandlerKept() {
    struct sigaction own {};
    own.sa_handler = KeepHangupHandler;
    sigaction(SIGHUP, &own, nullptr);
    SOCK_Open(kSuiteAddress, 1);  // whether the connection succeeds does not matter
    struct sigaction hup {};
    struct sigaction pipe {};
    sigaction(SIGHUP, nullptr, &hup);
    sigaction(SIGPIPE, nullptr, &pipe);
    exit(hup.sa_handler == KeepHangupHandler && pipe.sa_handler == SIG_IGN ? 0 : 1);
}

void ExitWithDefaultHangupIgnored() {
    signal(SIGHUP, SIG_DFL);
    SOCK_Open(kSuiteAddress, 1);
    struct sigaction hup {};
    sigaction(SIGHUP, nullptr, &hup);
    exit(hup.sa_handler == SIG_IGN ? 0 : 1);
}

TEST(SocketSignalsDeathTest, FirstOpenIgnoresSigpipeAndDefaultHangupButKeepsTheApplicationsHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: its first SOCK_Open is this one
    EXPECT_EXIT(ExitWithHangupHandlerKept(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(ExitWithDefaultHangupIgnored(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvane
