// A device connection for protocol tests: a scripted device behind an in-memory stream, a receive
// controller, and the parameter and register processors attached in the video source's order.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "memory_stream.h"
#include "protocol/cam_control_processor.h"
#include "protocol/device_param_processor.h"
#include "protocol/device_receive_controller.h"
#include "protocol/packet_base.h"
#include "scripted_device.h"

namespace kvtest {

// The 16-byte sync+header block of a type-0 request as hex.
inline std::string RequestBlockHex(uint8_t packet_id, uint32_t length, uint8_t type = 0) {
    Bytes block = Hex("fe 01 fe 01 04");
    block.push_back(packet_id);
    block.push_back(type);
    block.insert(block.end(), 5, 0);
    AppendLe32(&block, length);
    return ToHex(block);
}

class ProtocolHarness : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.set_underlay_stream(&device.stream());
        controller.AddProcessor(&param);
        controller.AddProcessor(&reg);
        // Short parser steps keep the receive loop responsive to stop requests and keep-alive checks.
        controller.parser().set_timeout(50);
        param.timeout_ms = 2000;
        reg.timeout_ms = 2000;
    }

    void TearDown() override { controller.StopReceive(); }

    // Starts the receive thread and waits until it runs.
    void StartThread() {
        ASSERT_EQ(0, controller.StartReceive());
        ASSERT_TRUE(controller.IsRunning());
    }

    // Pins the next packet_id so request bytes can be compared with fixed hex.
    static void NextIdWillBe(uint8_t id) { orvane::kPacketIdCounter.store(id); }

    ScriptedDevice device;
    orvane::DeviceReceiveController controller;
    orvane::DeviceParamProcessor param;
    orvane::CamControlProcessor reg;
};

}  // namespace kvtest
