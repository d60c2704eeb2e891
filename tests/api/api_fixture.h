// Shared set-up of the end-to-end suites: the library through its public header, simulated cameras over
// loopback TCP (127.0.4.1 to 127.0.4.79) and over the libusb test double.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kvdepth.h"
#include "sim/usb/usb_double.h"
#include "sim_camera.h"

namespace apitest {

using kvtest::CameraEnd;
using kvtest::Transport;
using kvtest::waitFor;

inline std::shared_ptr<kvtest::SimDevice> simDevice(const std::string& serial = "KVSIM0000001",
                                                    double fps = 30) {
    kvtest::DeviceConfig config;
    config.identity.serial = serial;
    config.fps = fps;
    return std::make_shared<kvtest::SimDevice>(config);
}

inline std::string text(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

// An event callback that counts the offline events in the std::atomic<int> it is registered with.
inline void countOffline(KV_EVENT_INFO* event, void* counter) {
    if (event->eventId == KV_EVENT_DEVICE_OFFLINE) ++*static_cast<std::atomic<int>*>(counter);
}

// Every test starts and ends with the library uninitialised.
class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(_KVInitLib(), KV_STATUS_OK); }
    void TearDown() override {
        EXPECT_EQ(KVDeinitLib(), KV_STATUS_OK);
        ::kvsim::usb::Bus::reset();
    }

    // Opens a camera by its transport's natural name: the address (TCP) or the serial (USB).
    KV_DEV_HANDLE open(CameraEnd& end) {
        KV_DEV_HANDLE handle = nullptr;
        KV_STATUS status = end.transport() == Transport::kTcp
                               ? KVOpenDeviceWithIP(end.address().c_str(), &handle)
                               : KVOpenDevice(end.device().identity().serial.c_str(), &handle);
        EXPECT_EQ(status, KV_STATUS_OK) << KVErrorString(status);
        return handle;
    }

    // Buffers of the current frame size, enqueued.
    void enqueue(KV_DEV_HANDLE handle, int count) {
        uint32_t size = 0;
        ASSERT_EQ(KVGetFrameBufferSize(handle, &size), KV_STATUS_OK);
        ASSERT_GT(size, 0u);
        for (int i = 0; i < count; ++i) {
            buffers_.emplace_back(size);
            ASSERT_EQ(KVEnqueueBuffer(handle, buffers_.back().data(), static_cast<int32_t>(size)),
                      KV_STATUS_OK);
        }
    }

    std::vector<std::vector<uint8_t>> buffers_;
};

}  // namespace apitest
