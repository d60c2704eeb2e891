// The libusb test double on its own, where its threads meet: unplugging and closing wake waiting transfers,
// and a plugged handler serves several threads. Its single-threaded behaviour is exercised by every USB
// suite that links it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "usb/usb_double.h"

namespace {

using kvsim::usb::ActiveConfig;
using kvsim::usb::Bus;
using kvsim::usb::cameraSetup;
using kvsim::usb::Device;
using kvsim::usb::DeviceSetup;

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

TEST_F(UsbDouble, UnplugFailsAWaitingTransferAndEveryLaterCall) {
    auto dev = Bus::plug(cameraSetup("KV0000000001"));
    libusb_device_handle* h = openClaimed(0);
    std::atomic<int> result{1};
    std::atomic<int> actual{-1};
    std::thread reader = blockedRead(dev, h, result, actual);
    dev->unplug();
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(actual.load(), 0);
    EXPECT_FALSE(dev->plugged());

    char byte = 0;
    int n = 0;
    EXPECT_EQ(bulk(h, 0x01, &byte, 1, &n), LIBUSB_ERROR_NO_DEVICE);
    unsigned char buf[64];
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0300, 0, buf, 64, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(Bus::devices().size(), 0u);
}

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

TEST_F(UsbDouble, PluggedHandlerServesBothDirectionsFromSeveralThreads) {
    // A device that answers every OUT write with the same bytes reversed on IN.
    class Reverser : public kvsim::usb::EndpointHandler {
      public:
        int onBulkOut(const uint8_t* data, int len) override {
            std::vector<uint8_t> reply(data, data + len);
            std::reverse(reply.begin(), reply.end());
            pipe_.feed(reply);
            return len;
        }
        int onBulkIn(uint8_t* data, int len, unsigned timeout_ms) override {
            return pipe_.onBulkIn(data, len, timeout_ms);
        }
        void cancelPending() override { pipe_.cancelPending(); }
        void disconnect() override { pipe_.disconnect(); }

      private:
        kvsim::usb::BulkPipe pipe_{512};
    };
    auto dev = Bus::plug(cameraSetup("KV0000000001"));
    dev->setHandler(std::make_shared<Reverser>());
    libusb_device_handle* h = openClaimed(0);

    constexpr int kMessages = 200;
    std::atomic<int> matched{0};
    std::thread reader([&] {
        for (int i = 0; i < kMessages; ++i) {
            uint8_t buf[512];
            int n = 0;
            if (bulk(h, 0x81, buf, 512, &n, 5000) != 0 || n != 3) return;
            if (buf[0] == static_cast<uint8_t>(i + 2) && buf[2] == static_cast<uint8_t>(i)) ++matched;
        }
    });
    for (int i = 0; i < kMessages; ++i) {
        uint8_t msg[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 2)};
        int n = 0;
        ASSERT_EQ(bulk(h, 0x01, msg, 3, &n), 0);
    }
    reader.join();
    EXPECT_EQ(matched.load(), kMessages);
    EXPECT_TRUE(dev->pipe().written().empty());  // the default pipe is out of the loop

    dev->setHandler(nullptr);  // back to the default pipe
    uint8_t byte = 7;
    int n = 0;
    ASSERT_EQ(bulk(h, 0x01, &byte, 1, &n), 0);
    EXPECT_EQ(dev->pipe().written(), std::vector<uint8_t>{7});
}

}  // namespace
