// The libusb test double on its own, through the libusb functions it exports: the other USB tests
// and the simulator rely on it behaving like libusb and a real bus.
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

TEST_F(UsbDouble, DeviceListCountsReferencesNeedsInitAndCanBeMadeToFail) {
    auto dev = Bus::plug(cameraSetup("KV0000000001"));
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    EXPECT_EQ(list[1], nullptr);
    EXPECT_EQ(dev->hostReferences(), 1);
    libusb_device* kept = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(dev->hostReferences(), 1);
    // Unplugged but still referenced: the device object stays valid for the holder.
    dev->unplug();
    libusb_device_descriptor desc;
    EXPECT_EQ(libusb_get_device_descriptor(kept, &desc), 0);
    EXPECT_EQ(desc.idVendor, 0x04B4);
    libusb_device_handle* h = nullptr;
    EXPECT_EQ(libusb_open(kept, &h), LIBUSB_ERROR_NO_DEVICE);
    libusb_unref_device(kept);
    EXPECT_EQ(dev->hostReferences(), 0);
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 0);
    libusb_free_device_list(list, 1);

    Bus::setDeviceListError(LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_NO_MEM);
    Bus::setDeviceListError(0);
    libusb_exit(nullptr);
    EXPECT_LT(libusb_get_device_list(nullptr, &list), 0);  // needs an initialised library
    ASSERT_EQ(libusb_init(nullptr), 0);
}

TEST_F(UsbDouble, DescriptorsFollowTheDeviceSetup) {
    DeviceSetup setup = cameraSetup("KV0000000001", 1024);
    setup.bus_number = 3;
    setup.device_address = 9;
    Bus::plug(setup);
    ASSERT_EQ(libusb_get_device_list(nullptr, &list_), 1);
    EXPECT_EQ(libusb_get_bus_number(list_[0]), 3);
    EXPECT_EQ(libusb_get_device_address(list_[0]), 9);
    libusb_device_descriptor desc;
    ASSERT_EQ(libusb_get_device_descriptor(list_[0], &desc), 0);
    EXPECT_EQ(desc.idProduct, 0x1003);
    EXPECT_EQ(desc.iSerialNumber, 3);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(list_[0], &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[0].wMaxPacketSize, 1024);
    EXPECT_EQ(alt.endpoint[1].bmAttributes, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(Bus::outstandingConfigDescriptors(), 1);
    libusb_free_config_descriptor(config);
}

TEST_F(UsbDouble, ActiveConfigurationFaults) {
    auto dev = Bus::plug(cameraSetup("KV0000000001"));
    ASSERT_EQ(libusb_get_device_list(nullptr, &list_), 1);
    const std::pair<ActiveConfig, int> cases[] = {{ActiveConfig::kNotFound, LIBUSB_ERROR_NOT_FOUND},
                                                  {ActiveConfig::kEmpty, 0},
                                                  {ActiveConfig::kError, LIBUSB_ERROR_IO}};
    for (const auto& c : cases) {
        kvsim::usb::DeviceFaults faults;
        faults.active_config = c.first;
        dev->setFaults(faults);
        libusb_config_descriptor* config = nullptr;
        EXPECT_EQ(libusb_get_active_config_descriptor(list_[0], &config), c.second);
        EXPECT_EQ(config, nullptr);  // kEmpty succeeds without a descriptor
    }
}

TEST_F(UsbDouble, StringDescriptorsPerLanguage) {
    DeviceSetup setup = cameraSetup("");
    setup.serial_index = 5;
    setup.languages = {0x0407, 0x0409};
    setup.serials[0x0409] = kvsim::usb::utf16("SN-1");
    setup.serials[0x0407] = u"S\u00e9r";
    Bus::plug(setup);
    libusb_device_handle* h = openClaimed(0);
    unsigned char buf[256];
    ASSERT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0300, 0, buf, 256, 0), 6);
    EXPECT_EQ(buf[0], 6);
    EXPECT_EQ(buf[1], LIBUSB_DT_STRING);
    EXPECT_EQ(buf[2] | buf[3] << 8, 0x0407);
    EXPECT_EQ(buf[4] | buf[5] << 8, 0x0409);
    ASSERT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0305, 0x0409, buf, 256, 0), 10);
    EXPECT_EQ(buf[2], 'S');
    EXPECT_EQ(buf[8], '1');
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0305, 0x0809, buf, 256, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0305, 0x0409, buf, 4, 0), 4);  // cut to the request
    // The ASCII form uses the first language and replaces what is not ASCII.
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 5, buf, 256), 3);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "S?r");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 5, buf, 2), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "S");
}

TEST_F(UsbDouble, StringFaults) {
    DeviceSetup setup = cameraSetup("KV0000000001");
    setup.faults.serial_error = LIBUSB_ERROR_TIMEOUT;
    auto dev = Bus::plug(setup);
    libusb_device_handle* h = openClaimed(0);
    unsigned char buf[256];
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0303, 0x0409, buf, 256, 0), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, buf, 256), LIBUSB_ERROR_TIMEOUT);
    kvsim::usb::DeviceFaults faults;
    faults.language_error = LIBUSB_ERROR_PIPE;
    dev->setFaults(faults);
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0300, 0, buf, 256, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0x80, 6, 0x0303, 0x0409, buf, 256, 0), 26);
}

TEST_F(UsbDouble, OpenAndClaimRules) {
    DeviceSetup setup = cameraSetup("KV0000000001");
    setup.faults.open_error = LIBUSB_ERROR_ACCESS;
    auto dev = Bus::plug(setup);
    ASSERT_EQ(libusb_get_device_list(nullptr, &list_), 1);
    libusb_device_handle* a = nullptr;
    EXPECT_EQ(libusb_open(list_[0], &a), LIBUSB_ERROR_ACCESS);
    dev->setFaults({});
    ASSERT_EQ(libusb_open(list_[0], &a), 0);
    handles_.push_back(a);
    libusb_device_handle* b = nullptr;
    ASSERT_EQ(libusb_open(list_[0], &b), 0);
    handles_.push_back(b);
    EXPECT_EQ(dev->openHandles(), 2);
    EXPECT_EQ(libusb_claim_interface(a, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(b, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(dev->claimedInterfaces(), 1);
    // Transfers need an endpoint of an interface claimed through the same handle.
    int actual = -1;
    char byte = 0;
    EXPECT_EQ(bulk(b, 0x01, &byte, 1, &actual), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(bulk(a, 0x02, &byte, 1, &actual), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(bulk(a, 0x01, &byte, 1, &actual), 0);
    EXPECT_EQ(actual, 1);
    kvsim::usb::DeviceFaults faults;
    faults.claim_error = LIBUSB_ERROR_BUSY;
    dev->setFaults(faults);
    EXPECT_EQ(libusb_release_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(a, 0), LIBUSB_ERROR_BUSY);
    libusb_close(b);
    handles_.pop_back();
    EXPECT_EQ(dev->openHandles(), 1);
}

TEST_F(UsbDouble, BulkInDeliversWholePacketsAndEndsAtFeedBoundaries) {
    auto dev = Bus::plug(cameraSetup("KV0000000001", 512));
    libusb_device_handle* h = openClaimed(0);
    std::vector<uint8_t> data(1600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
    dev->pipe().feed(data.data(), 1000);  // 512 + short 488
    dev->pipe().feed(data.data() + 1000, 512);
    dev->pipe().feed(data.data() + 1512, 88);
    EXPECT_EQ(dev->pipe().pendingIn(), 1600u);

    std::vector<uint8_t> buf(2048);
    int actual = 0;
    ASSERT_EQ(bulk(h, 0x81, buf.data(), 2048, &actual), 0);
    EXPECT_EQ(actual, 1000);
    ASSERT_EQ(bulk(h, 0x81, buf.data() + 1000, 2048, &actual), 0);
    EXPECT_EQ(actual, 512);  // a full packet that ends a feed still ends the transfer
    ASSERT_EQ(bulk(h, 0x81, buf.data() + 1512, 512, &actual), 0);
    EXPECT_EQ(actual, 88);
    EXPECT_EQ(0, memcmp(buf.data(), data.data(), 1600));

    // Asking for less than a packet overflows and loses that packet.
    dev->pipe().feed(data.data(), 512);
    EXPECT_EQ(bulk(h, 0x81, buf.data(), 100, &actual), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(dev->pipe().pendingIn(), 0u);
    // Nothing fed: the transfer times out.
    EXPECT_EQ(bulk(h, 0x81, buf.data(), 512, &actual, 10), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(actual, 0);
    EXPECT_EQ(dev->bulkInCount(), 5);
    const auto records = dev->transfers();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].requested, 2048);
    EXPECT_EQ(records[0].transferred, 1000);
    EXPECT_EQ(records[4].result, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(UsbDouble, BulkOutIsRecordedAndFaultsAreConsumedInOrder) {
    auto dev = Bus::plug(cameraSetup("KV0000000001"));
    libusb_device_handle* h = openClaimed(0);
    char data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    int actual = 0;
    dev->queueShortOut(4);
    dev->queueOutResult(LIBUSB_ERROR_PIPE);
    EXPECT_EQ(bulk(h, 0x01, data, 10, &actual), 0);
    EXPECT_EQ(actual, 4);
    EXPECT_EQ(bulk(h, 0x01, data, 10, &actual), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(actual, 0);
    EXPECT_EQ(bulk(h, 0x01, data + 4, 6, &actual), 0);
    EXPECT_EQ(actual, 6);
    EXPECT_EQ(dev->pipe().written(), std::vector<uint8_t>(data, data + 10));
    EXPECT_EQ(dev->pipe().takeWritten().size(), 10u);
    EXPECT_TRUE(dev->pipe().written().empty());
    EXPECT_TRUE(dev->pipe().waitWritten(10, std::chrono::milliseconds(0)));  // counts taken bytes too

    dev->pipe().feed(data, 10);
    dev->queueInResult(LIBUSB_ERROR_IO);
    char in[512];
    EXPECT_EQ(bulk(h, 0x81, in, 512, &actual), LIBUSB_ERROR_IO);
    EXPECT_EQ(bulk(h, 0x81, in, 512, &actual), 0);
    EXPECT_EQ(actual, 10);
}

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
