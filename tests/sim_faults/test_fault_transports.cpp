// Faults that end a connection, seen by raw clients: over loopback TCP (an orderly close or a reset) and on
// the libusb test double, where a simulated camera is attached to the bus and driven with plain libusb
// calls. Each TCP test listens on its own address, 127.0.0.85 and up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "sim/faults/fault_plan.h"
#include "sim/tcp/tcp_server.h"
#include "sim/usbattach/usb_camera.h"
#include "sim/wire/packets.h"
#include "sim/wire/stream_decoder.h"

namespace orvane {
namespace kvsim {
namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<FaultPlan> planFor(const std::string& text) {
    FaultSettings s;
    std::string error;
    EXPECT_TRUE(parseFaultSettings(text, s, &error)) << error;
    return std::make_shared<FaultPlan>(s);
}

// A blocking client socket; reads until the peer ends the stream one way or the other.
struct Socket {
    explicit Socket(const std::string& address) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kDefaultCameraPort);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    bool send(const Bytes& b) {
        return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }

    enum class End { kOrderly, kReset, kTimeout };
    End readToEnd(Bytes& out, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        uint8_t buf[4096];
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
            } else if (n == 0) {
                return End::kOrderly;
            } else if (errno == ECONNRESET) {
                return End::kReset;
            }
        }
        return End::kTimeout;
    }

    int fd = -1;
    bool connected = false;
};

Bytes pings(int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) {
        Bytes p = encodePacket(kPacketParam, static_cast<uint8_t>(i), pingRequest());
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST(FaultsOverTcp, CloseAfterBytesEndsTheStreamInOrderAfterExactlyThoseBytes) {
    auto device = std::make_shared<SimDevice>(DeviceConfig());
    device->setFaultHook(planFor("close-after-bytes=50"));
    TcpCameraServer server(device, "127.0.0.85");
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    Socket s("127.0.0.85");
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.send(pings(5)));
    Bytes got;
    EXPECT_EQ(s.readToEnd(got, std::chrono::milliseconds(5000)), Socket::End::kOrderly);
    EXPECT_EQ(got.size(), 50u);
    Bytes expected = encodePacket(kPacketParam, 0, pingReply());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()))
        << "the bytes before the cut are intact";
}

TEST(FaultsOverTcp, ResetAfterBytesAbortsTheConnection) {
    auto device = std::make_shared<SimDevice>(DeviceConfig());
    device->setFaultHook(planFor("reset-after-bytes=50"));
    TcpCameraServer server(device, "127.0.0.86");
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    Socket s("127.0.0.86");
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.send(pings(5)));
    Bytes got;
    EXPECT_EQ(s.readToEnd(got, std::chrono::milliseconds(5000)), Socket::End::kReset);
    EXPECT_LE(got.size(), 50u);
}

// ---- the libusb test double -------------------------------------------------------------------------

class UsbAttach : public ::testing::Test {
  protected:
    void SetUp() override {
        ::kvsim::usb::Bus::reset();
        ASSERT_EQ(libusb_init(nullptr), 0);
    }
    void TearDown() override {
        libusb_exit(nullptr);
        ::kvsim::usb::Bus::reset();
    }

    // Opens the n-th device of the bus and claims its interface.
    libusb_device_handle* open(size_t n) {
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(nullptr, &list);
        libusb_device_handle* h = nullptr;
        if (count > static_cast<ssize_t>(n) && libusb_open(list[n], &h) == 0) {
            if (libusb_claim_interface(h, 0) != 0) {
                libusb_close(h);
                h = nullptr;
            }
        }
        libusb_free_device_list(list, 1);
        return h;
    }
    static int out(libusb_device_handle* h, const Bytes& b) {
        int n = 0;
        int r = libusb_bulk_transfer(h, 0x01, const_cast<uint8_t*>(b.data()), static_cast<int>(b.size()), &n,
                                     1000);
        return r == 0 ? n : r;
    }
    static int in(libusb_device_handle* h, Bytes& b, int len, unsigned timeout) {
        b.assign(static_cast<size_t>(len), 0);
        int n = 0;
        int r = libusb_bulk_transfer(h, 0x81, b.data(), len, &n, timeout);
        b.resize(static_cast<size_t>(n));
        return r;
    }
};

TEST_F(UsbAttach, AFaultPlanDisconnectUnplugsTheCamera) {
    auto device = std::make_shared<SimDevice>(DeviceConfig());
    device->setFaultHook(planFor("close-after-bytes=30"));
    auto cam = UsbCamera::plug(device);
    libusb_device_handle* dev = open(0);
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(out(dev, pings(3)), 60);  // three 24-byte replies follow
    Bytes got, b;
    for (int i = 0; i < 20 && got.size() < 30; ++i) {
        ASSERT_EQ(in(dev, b, 512, 500), 0);
        got.insert(got.end(), b.begin(), b.end());
    }
    EXPECT_EQ(got.size(), 30u);
    EXPECT_EQ(in(dev, b, 512, 500), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(cam->plugged());
    libusb_close(dev);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
