// A hardware driver on an opened video source, talking to a simulated camera over loopback TCP, with the
// model built from the simulator's own descriptor.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/KvHwDriver.h"
#include "device/vov_cam_video_source.h"
#include "model/KvDeviceDescriptorParser.h"
#include "sim/device/descriptor.h"
#include "sim_camera.h"

namespace hwtest {

using kvtest::CameraEnd;
using kvtest::DeviceConfig;
using orvane::kvsim::DeviceSettings;

constexpr int32_t kDevice = KV_COMPONENT_DEVICE;
constexpr int32_t kDepth = KV_COMPONENT_DEPTH;
constexpr int32_t kPoint = KV_COMPONENT_POINT3D;
constexpr int32_t kLeft = KV_COMPONENT_LEFT_IR;
constexpr int32_t kRight = KV_COMPONENT_RIGHT_IR;
constexpr int32_t kColor = KV_COMPONENT_COLOR;
constexpr int32_t kLaser = KV_COMPONENT_LASER;
constexpr int32_t kAux = KV_COMPONENT_AUX_DATA;

inline std::unique_ptr<orvane::KvComponentManager> parseModel(const std::string& text) {
    orvane::KvDeviceDescriptorParser parser;
    return parser.parse(text.c_str()) == 0 ? parser.generateComponentManager() : nullptr;
}

// The simulator's descriptor as written for the given resolution modes.
inline std::unique_ptr<orvane::KvComponentManager> simModel(int depth_mode, int color_mode) {
    const DeviceConfig config;
    return parseModel(
        orvane::kvsim::buildDefaultDescriptor(config.identity, config.calibration, depth_mode, color_mode));
}

class Rig {
  public:
    explicit Rig(DeviceConfig config = DeviceConfig(), const std::string& faults = "") {
        device = std::make_shared<kvtest::SimDevice>(config);
        if (!faults.empty()) device->setFaultHook(kvtest::faultPlan(faults));
        end = std::make_unique<CameraEnd>(kvtest::Transport::kTcp, device);
        stream.reset(end->makeStream());
        source = std::make_unique<orvane::VOVCamVideoSource>(queue);
        source->SetStream(stream.get());
        opened = source->OpenDevice() == 0;
        EXPECT_EQ(orvane::CreateHwDriver(source.get(), 1, driver), 0);
        model = simModel(config.initial.depth_mode, config.initial.color_mode);
        driver->attachModel(model.get());
    }
    ~Rig() { source->CloseDevice(); }

    DeviceSettings settings() { return device->settings(); }

    // Cuts fresh buffers for the layout of `components` and hands them to the image receiver.
    bool enqueueBuffers(int components) {
        queue.clear();
        source->image_receiver.ClearBuffers();
        std::vector<orvane::SubBufferInfo> layout;
        const int size = driver->getFramebufferSize(components, layout, model.get());
        for (int i = 0; i < 3 && size > 0; ++i) {
            memory.emplace_back(static_cast<size_t>(size));
            queue.enqueue(orvane::KvFrameBuffer::Create(memory.back().data(), size, layout));
        }
        return size > 0;
    }

    std::shared_ptr<kvtest::SimDevice> device;
    std::unique_ptr<CameraEnd> end;
    std::unique_ptr<orvane::ITransferStream> stream;
    std::vector<std::vector<uint8_t>> memory;  // outlives the source, which writes into it
    orvane::KvFrameBufferQueue queue;
    std::unique_ptr<orvane::VOVCamVideoSource> source;
    std::shared_ptr<orvane::KvHwDriver> driver;
    std::unique_ptr<orvane::KvComponentManager> model;
    bool opened = false;
};

}  // namespace hwtest
