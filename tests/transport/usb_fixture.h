// Common set-up of the USB transport tests: a fresh simulated bus, libusb initialised through the
// enumerator, and a check afterwards that the transport gave back everything it took.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "transport/usbcluster_libusb.h"
#include "usb/usb_double.h"

namespace usbtest {

using kvsim::usb::Bus;
using kvsim::usb::Device;
using kvsim::usb::DeviceSetup;

class UsbFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        Bus::reset();
        ASSERT_EQ(orvane::UsbCluster::InitUsbLib(), 0);
    }

    // Streams are local to the test bodies and therefore gone by now.
    void TearDown() override {
        orvane::UsbCluster::DeinitUsbLib();
        for (const auto& device : devices_) {
            EXPECT_EQ(device->openHandles(), 0) << "handle left open";
            EXPECT_EQ(device->claimedInterfaces(), 0) << "interface left claimed";
            EXPECT_EQ(device->hostReferences(), 0) << "device reference leaked";
        }
        EXPECT_EQ(Bus::outstandingDeviceLists(), 0);
        EXPECT_EQ(Bus::outstandingConfigDescriptors(), 0);
        EXPECT_EQ(Bus::initCount(), 0);
        Bus::reset();
    }

    std::shared_ptr<Device> plug(const DeviceSetup& setup) {
        devices_.push_back(Bus::plug(setup));
        return devices_.back();
    }
    std::shared_ptr<Device> plugCamera(const std::string& serial, uint16_t packet_size = 512) {
        return plug(kvsim::usb::cameraSetup(serial, packet_size));
    }

    std::vector<std::shared_ptr<Device>> devices_;
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

}  // namespace usbtest
