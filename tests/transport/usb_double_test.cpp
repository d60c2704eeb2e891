// The libusb test double on its own: closing a handle wakes a transfer waiting on it. Unplugging during a
// transfer and a plugged handler serving two threads are exercised through the USB stream suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "usb/usb_double.h"

namespace {

using kvsim::usb::Bus;
using kvsim::usb::cameraSetup;
using kvsim::usb::Device;

class UsbDouble : public ::testing::Test {
  protected:
    void SetUp() override {
        Bus::reset();
        ASSERT_EQ(libusb_init(nullptr), 0);
    }
    void TearDown() override {
        for (libusb_device_handle* h : handles_) libusb_close(h);
        if (list_ != nullptr) libusb_free_device_list(list_, 1);
        libusb_exit(nullptr);
        EXPECT_EQ(Bus::initCount(), 0);
        EXPECT_EQ(Bus::outstandingDeviceLists(), 0);
        EXPECT_EQ(Bus::outstandingConfigDescriptors(), 0);
        Bus::reset();
    }

    // Lists the bus (kept until the end of the test) and opens device i with interface 0 claimed.
    libusb_device_handle* openClaimed(size_t i) {
        if (list_ == nullptr) {
            EXPECT_GT(libusb_get_device_list(nullptr, &list_), static_cast<ssize_t>(i));
        }
        libusb_device_handle* h = nullptr;
        EXPECT_EQ(libusb_open(list_[i], &h), 0);
        EXPECT_EQ(libusb_claim_interface(h, 0), 0);
        handles_.push_back(h);
        return h;
    }
    static int bulk(libusb_device_handle* h, unsigned char ep, void* data, int len, int* actual,
                    unsigned timeout = 1000) {
        return libusb_bulk_transfer(h, ep, static_cast<unsigned char*>(data), len, actual, timeout);
    }

    // Starts a bulk IN read without time limit on h and returns once dev has seen it.
    static std::thread blockedRead(const std::shared_ptr<Device>& dev, libusb_device_handle* h,
                                   std::atomic<int>& result, std::atomic<int>& actual) {
        std::thread reader([&result, &actual, h] {
            char buf[512];
            int n = -1;
            result = bulk(h, 0x81, buf, 512, &n, 0);
            actual = n;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (dev->bulkInCount() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return reader;
    }

    libusb_device** list_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
};

TEST_F(UsbDouble, ClosingAHandleWakesATransferWaitingOnIt) {
    auto dev = Bus::plug(cameraSetup("KV0000000001"));
    libusb_device_handle* h = openClaimed(0);
    handles_.clear();
    std::atomic<int> result{1};
    std::atomic<int> actual{-1};
    std::thread reader = blockedRead(dev, h, result, actual);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // The reader may not have reached its wait yet: keep closing-style cancels until it returns.
    libusb_close(h);
    while (result.load() == 1 && std::chrono::steady_clock::now() < deadline) dev->pipe().cancelPending();
    reader.join();
    EXPECT_LT(result.load(), 0);
    EXPECT_EQ(dev->openHandles(), 0);
}

}  // namespace
