#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/hal_linux.h"
#include "platform_test_support.h"

namespace orvane {
namespace {

// A pseudo-terminal stands in for the serial port: the library opens the slave side by its path.
class PseudoTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(0, grantpt(master_));
        ASSERT_EQ(0, unlockpt(master_));
        slave_path_ = ptsname(master_);
    }
    void TearDown() override {
        if (port_ >= 0) UART_Close(port_);
        if (master_ >= 0) close(master_);
    }
    std::string ReadFromPort(size_t n) {
        std::string got;
        char buffer[256];
        testing_support::WaitUntil([&] {
            int count = UART_Read(port_, buffer, static_cast<int>(sizeof(buffer)));
            got.append(buffer, static_cast<size_t>(count));
            return got.size() >= n;
        });
        return got;
    }

    int master_ = -1;
    int port_ = -1;
    std::string slave_path_;
};

TEST_F(PseudoTerminal, InitSetsRaw115200EightNOne) {
    ASSERT_GE(port_ = UART_Init(slave_path_.c_str()), 0);
    termios settings{};
    ASSERT_EQ(0, tcgetattr(port_, &settings));
    EXPECT_EQ(static_cast<tcflag_t>(IGNPAR), settings.c_iflag);
    EXPECT_EQ(0u, settings.c_oflag);
    EXPECT_EQ(0u, settings.c_lflag);
    // Eight data bits, receiver on, no modem control, no parity, one stop bit.
    EXPECT_EQ(static_cast<tcflag_t>(CS8 | CREAD | CLOCAL),
              settings.c_cflag & (CSIZE | CREAD | CLOCAL | PARENB | CSTOPB));
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&settings));
    EXPECT_EQ(0, settings.c_cc[VMIN]);
    EXPECT_EQ(0, settings.c_cc[VTIME]);
    EXPECT_TRUE(fcntl(port_, F_GETFL) & O_NONBLOCK);
}

TEST_F(PseudoTerminal, BytesPassUnchangedBothWays) {
    ASSERT_GE(port_ = UART_Init(slave_path_.c_str()), 0);
    const std::string inbound = "line\r\nwith\x03 control\x7f bytes";
    ASSERT_EQ(static_cast<ssize_t>(inbound.size()), write(master_, inbound.data(), inbound.size()));
    EXPECT_EQ(inbound, ReadFromPort(inbound.size()));

    const std::string outbound = "reply\n\x11";
    EXPECT_EQ(static_cast<int>(outbound.size()),
              UART_Write(port_, outbound.data(), static_cast<int>(outbound.size())));
    EXPECT_EQ(outbound, testing_support::ReadFd(master_, outbound.size()));
}

TEST_F(PseudoTerminal, ReadWithoutDataOrWithBadLengthReturnsZero) {
    ASSERT_GE(port_ = UART_Init(slave_path_.c_str()), 0);
    char buffer[8];
    EXPECT_EQ(0, UART_Read(port_, buffer, sizeof(buffer)));
    // Regression: a negative length became a huge read size.
    ASSERT_EQ(1, write(master_, "z", 1));
    EXPECT_EQ(0, UART_Read(port_, buffer, -1));
    EXPECT_EQ(0, UART_Read(port_, buffer, 0));
    EXPECT_EQ(0, UART_Write(port_, buffer, -5));
    EXPECT_EQ("z", ReadFromPort(1));
}

TEST(Uart, MissingDeviceReportsOpenFailure) {
    ::testing::internal::CaptureStderr();
    int fd = UART_Init("no-such-directory/ttyNONE");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(std::string("unable to open comport\n: ") + strerror(ENOENT) + "\n", err);
}

TEST(Uart, NonTerminalIsRefusedAndClosed) {
    char path[] = "uart_test_XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    int next_free_before = dup(file);
    close(next_free_before);

    ::testing::internal::CaptureStderr();
    int fd = UART_Init(path);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(std::string("unable to adjust portsettings : ") + strerror(ENOTTY) + "\n", err);
    // The descriptor opened for the file was closed again: the lowest free number is unchanged.
    int next_free_after = dup(file);
    EXPECT_EQ(next_free_before, next_free_after);
    close(next_free_after);
    close(file);
    unlink(path);
}

}  // namespace
}  // namespace orvane
