// The libusb test double on its own: closing a handle wakes a transfer waiting on it. Unplugging during a
// transfer and a receive thread beside a sending one are exercised through the USB conformance suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "usb/usb_double.h"

namespace {

using kvsim::usb::Bus;

TEST(UsbDouble, ClosingAHandleWakesATransferWaitingOnIt) {
    Bus::reset();
    ASSERT_EQ(libusb_init(nullptr), 0);
    auto dev = Bus::plug(kvsim::usb::cameraSetup("KV0000000001"));
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);

    std::atomic<int> result{1};
    std::thread reader([&result, h] {
        unsigned char buf[512];
        int actual = -1;
        result = libusb_bulk_transfer(h, 0x81, buf, 512, &actual, 0);  // no time limit
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (dev->bulkInCount() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    // The reader may not have reached its wait yet: keep closing-style cancels until it returns.
    libusb_close(h);
    while (result.load() == 1 && std::chrono::steady_clock::now() < deadline) dev->pipe().cancelPending();
    reader.join();
    EXPECT_LT(result.load(), 0);
    EXPECT_EQ(dev->openHandles(), 0);

    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    EXPECT_EQ(Bus::initCount(), 0);
    EXPECT_EQ(Bus::outstandingDeviceLists(), 0);
    EXPECT_EQ(Bus::outstandingConfigDescriptors(), 0);
    Bus::reset();
}

}  // namespace
