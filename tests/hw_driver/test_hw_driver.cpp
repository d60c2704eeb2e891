// The driver against the simulator: every feature row, work modes with frames, and the faults it must not
// carry.
#include <functional>
#include <string>
#include <tuple>

#include "hw_driver_rig.h"
#include "imgproc/depth_world_mapper.h"
#include "scripted_device.h"

namespace hwtest {
namespace {

using namespace orvane;

kvtest::TcpAddressRange addresses("127.0.2.", 1, 60);

DeviceConfig distinctSettings() {
    DeviceConfig config;
    config.fps = 60;
    config.initial.rgb_gain[0] = 10;
    config.initial.rgb_gain[1] = 20;
    config.initial.rgb_gain[2] = 30;
    config.initial.ir_gain[0] = 12;
    config.initial.ir_gain[1] = 14;
    return config;
}

// Writes an Int/Enum value (4 bytes) or a Bool (1 byte), as the camera does.
int writeValue(KvHwDriver& driver, int32_t component, int32_t feature, int32_t value) {
    if ((feature & KV_FEATURE_TYPE_MASK) == KV_FEATURE_TYPE_BOOL) {
        const uint8_t on = value != 0;
        return driver.writeFeature(component, feature, &on, 1);
    }
    return driver.writeFeature(component, feature, &value, 4);
}

int32_t readValue(KvHwDriver& driver, int32_t component, int32_t feature, int* status) {
    KvFeature target;
    *status = driver.readFeature(component, feature, &target);
    return (feature & KV_FEATURE_TYPE_MASK) == KV_FEATURE_TYPE_BOOL ? target.value.asBool()
                                                                    : target.value.asInt();
}

// The three colour gains as one number, to see which of them changed.
int rgb(const DeviceSettings& s) {
    return s.rgb_gain[0] * 1000000 + s.rgb_gain[1] * 1000 + s.rgb_gain[2];
}

struct FeatureRow {
    const char* name;
    int32_t component, feature, value;
    std::function<bool(const DeviceSettings& before, const DeviceSettings& after)> reached;
    bool readsBack;
};

TEST(HwDriver, EveryFeatureRowAndRegisterReachesTheDeviceAndReadsBack) {
    using S = const DeviceSettings&;
    const FeatureRow rows[] = {
        {"trigger mode", kDevice, 0x4200, 1, [](S, S a) { return a.trigger_mode; }, true},
        {"frames per trigger", kDevice, 0x1202, 3, [](S, S a) { return a.frames_per_trigger == 3; }, true},
        {"left gain", kLeft, 0x1303, 30, [](S, S a) { return a.ir_gain[0] == 30; }, true},
        {"right gain", kRight, 0x1303, 31,
         [](S b, S a) { return a.ir_gain[1] == 31 && a.ir_gain[0] == b.ir_gain[0]; }, true},
        {"left auto gain", kLeft, 0x4302, 1, [](S, S a) { return a.ir_gain[0] == -1; }, true},
        {"right auto gain", kRight, 0x4302, 1, [](S, S a) { return a.ir_gain[1] == -1; }, true},
        {"undistort", kLeft, 0x4510, 1, [](S, S a) { return a.undistort; }, true},
        {"histogram", kLeft, 0x4511, 1, [](S, S a) { return a.histogram; }, false},
        {"exposure", kColor, 0x1301, 500, [](S, S a) { return a.exposure == 500; }, true},
        {"green gain alone", kColor, 0x1521, 77,
         [](S b, S a) { return rgb(a) - rgb(b) == (77 - b.rgb_gain[1]) * 1000; }, true},
        {"blue gain alone", kColor, 0x1522, 99,
         [](S b, S a) { return rgb(a) - rgb(b) == 99 - b.rgb_gain[2]; }, true},
        {"auto exposure", kColor, 0x4300, 1, [](S, S a) { return a.exposure == -1; }, true},
        {"white balance off", kColor, 0x4304, 0, [](S, S a) { return !a.awb; }, true},
        {"colour 1280x960", kColor, 0x3108, 0x5003C0, [](S, S a) { return a.color_mode == 3; }, true},
        {"colour 2592x1944", kColor, 0x3108, 0xA20798, [](S, S a) { return a.color_mode == 4; }, true},
        {"laser power", kLaser, 0x1500, 55, [](S, S a) { return a.laser_power == 55; }, true},
        {"laser auto", kLaser, 0x4501, 1, [](S, S a) { return a.laser_auto; }, true},
        {"depth 1280x960", kDepth, 0x3108, 0x5003C0, [](S, S a) { return a.depth_mode == 3; }, true},
        // Depth mode 0 can be set, so it must read back too.
        {"depth 160x120", kDepth, 0x3108, 0xA0078, [](S, S a) { return a.depth_mode == 0; }, true},
    };
    Rig rig(distinctSettings());
    ASSERT_TRUE(rig.opened);
    for (const FeatureRow& row : rows) {
        SCOPED_TRACE(row.name);
        const DeviceSettings before = rig.settings();
        EXPECT_EQ(writeValue(*rig.driver, row.component, row.feature, row.value), 0);
        // Some settings go out without a reply: wait for the device to take them.
        EXPECT_TRUE(kvtest::waitFor([&] { return row.reached(before, rig.settings()); }, 2000));
        if (!row.readsBack) continue;
        int status = -1;
        EXPECT_EQ(readValue(*rig.driver, row.component, row.feature, &status), row.value);
        EXPECT_EQ(status, 0);
    }
    int value = 0;
    EXPECT_EQ(rig.driver->writeRegister(kRight, 0x3012, 0x77), 0);
    EXPECT_TRUE(kvtest::waitFor([&] { return rig.device->readRegister(1, 0x3012) == 0x77u; }, 2000));
    EXPECT_EQ(rig.driver->readRegister(kRight, 0x3012, &value), 0);
    EXPECT_EQ(value, 0x77);
    EXPECT_EQ(rig.driver->enterDeveloperMode(), 0);
    EXPECT_TRUE(kvtest::waitFor([&] { return rig.settings().developer_mode; }, 2000));
}

TEST(HwDriver, RefusesPairsAndValuesWithoutAMapping) {
    Rig rig;
    ASSERT_TRUE(rig.opened);
    const DeviceSettings before = rig.settings();
    const int32_t bad_mode = 0x123456;
    const uint8_t on = 1;
    const int16_t short_record = 1;
    KvFeature target;
    std::shared_ptr<KvHwDriver> other;
    const struct {
        const char* name;
        int status, expected;
    } rows[] = {
        {"unknown depth image mode", rig.driver->writeFeature(kDepth, 0x3108, &bad_mode, 4),
         KV_STATUS_NOT_IMPLEMENTED},
        {"colour has no 160x120", writeValue(*rig.driver, kColor, 0x3108, 0xA0078),
         KV_STATUS_NOT_IMPLEMENTED},
        {"serial number write", writeValue(*rig.driver, kDevice, 0x5F00, 1), KV_STATUS_NOT_IMPLEMENTED},
        {"point cloud write", writeValue(*rig.driver, kPoint, 0x3108, 0x2801E0), KV_STATUS_NOT_IMPLEMENTED},
        {"laser feature unknown", writeValue(*rig.driver, kLaser, 0x1501, 1), KV_STATUS_NOT_IMPLEMENTED},
        {"right undistort read", rig.driver->readFeature(kRight, 0x4510, &target), KV_STATUS_NOT_IMPLEMENTED},
        {"vendor read", rig.driver->readFeature(kDevice, 0x5F01, &target), KV_STATUS_NOT_IMPLEMENTED},
        {"depth register", rig.driver->writeRegister(kDepth, 1, 1), KV_STATUS_NOT_IMPLEMENTED},
        {"null value", rig.driver->writeFeature(kLaser, 0x1500, nullptr, 4), KV_STATUS_NULL_POINTER},
        {"null target", rig.driver->readFeature(kLaser, 0x1500, nullptr), KV_STATUS_NULL_POINTER},
        {"short int", rig.driver->writeFeature(kLaser, 0x1500, &on, 1), KV_STATUS_WRONG_SIZE},
        {"short trigger record", rig.driver->writeFeature(kDevice, 0x7523, &short_record, 2),
         KV_STATUS_WRONG_SIZE},
        {"protocol generation 2", CreateHwDriver(rig.source.get(), 2, other), KV_STATUS_INVALID_PARAMETER},
        {"no video source", CreateHwDriver(nullptr, 1, other), KV_STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : rows) EXPECT_EQ(row.status, row.expected) << row.name;
    EXPECT_FALSE(other);
    auto held = [](const DeviceSettings& s) {
        return std::make_tuple(s.depth_mode, s.color_mode, s.laser_power, s.trigger_record_mode);
    };
    EXPECT_EQ(held(rig.settings()), held(before));
}

TEST(HwDriver, DeviceFailuresBecomeDeviceError) {
    // The device never answers gain and laser queries nor the frame-per-trigger setting.
    Rig rig(DeviceConfig(), "drop=0x8000000b,drop=0x80000002,drop=0x13");
    ASSERT_TRUE(rig.opened);
    rig.source->param_processor.timeout_ms = 200;
    const int before = rig.settings().ir_gain[0];
    int status = 0;
    readValue(*rig.driver, kLeft, 0x1303, &status);
    EXPECT_EQ(status, KV_STATUS_DEVICE_ERROR);
    readValue(*rig.driver, kLaser, 0x1500, &status);
    EXPECT_EQ(status, KV_STATUS_DEVICE_ERROR);
    EXPECT_EQ(writeValue(*rig.driver, kDevice, 0x1202, 2), KV_STATUS_DEVICE_ERROR);
    // A failed gain query stops automatic gain off before any write.
    EXPECT_EQ(writeValue(*rig.driver, kLeft, 0x4302, 0), KV_STATUS_DEVICE_ERROR);
    EXPECT_EQ(rig.settings().ir_gain[0], before);
}

// Regression: turning automatic gain off wrote the -1 the device reports straight back, so the sensor
// stayed in automatic gain.
TEST(HwDriver, AutoGainOffRestoresAManualGainNotMinusOne) {
    const struct {
        const char* name;
        int deviceGain;   // at power-on
        int manualWrite;  // through the driver, then automatic gain on; -2: neither
        int modelGain;
        int expected;  // on the device after automatic gain off
    } rows[] = {
        {"last manual gain", 12, 25, 3, 25},
        {"model's gain when none was seen", -1, -2, 9, 9},
        {"device's own manual gain kept", 40, -2, 9, 40},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeviceConfig config;
        config.initial.ir_gain[0] = row.deviceGain;
        Rig rig(config);
        ASSERT_TRUE(rig.opened);
        rig.model->findFeature(kLeft, 0x1303)->value.setInt(row.modelGain);
        if (row.manualWrite != -2) {
            EXPECT_EQ(writeValue(*rig.driver, kLeft, 0x1303, row.manualWrite), 0);
            EXPECT_EQ(writeValue(*rig.driver, kLeft, 0x4302, 1), 0);
            EXPECT_EQ(rig.settings().ir_gain[0], -1);
        }
        EXPECT_EQ(writeValue(*rig.driver, kLeft, 0x4302, 0), 0);
        EXPECT_EQ(rig.settings().ir_gain[0], row.expected);
        int status = -1;
        EXPECT_EQ(readValue(*rig.driver, kLeft, 0x4302, &status), 0);
    }
}

// Regression: the trigger record changed before the device call, so a failed write still made the driver
// report the new mode; and a device already in trigger mode read as off.
TEST(HwDriver, TriggerRecordFollowsTheDevice) {
    DeviceConfig config;
    config.initial.trigger_mode = true;
    Rig rig(config);
    ASSERT_TRUE(rig.opened);
    int status = -1;
    EXPECT_EQ(readValue(*rig.driver, kDevice, 0x4200, &status), 0);
    EXPECT_EQ(rig.driver->syncTriggerMode(), 0);
    EXPECT_EQ(readValue(*rig.driver, kDevice, 0x4200, &status), 1);
    const KV_TRIGGER_MODE off{0, 0};
    EXPECT_EQ(rig.driver->writeFeature(kDevice, 0x7523, &off, sizeof off), 0);
    EXPECT_EQ(readValue(*rig.driver, kDevice, 0x4200, &status), 0);
    EXPECT_FALSE(rig.settings().trigger_mode);

    rig.source->CloseDevice();
    EXPECT_EQ(writeValue(*rig.driver, kDevice, 0x4200, 1), KV_STATUS_DEVICE_ERROR);
    EXPECT_EQ(readValue(*rig.driver, kDevice, 0x4200, &status), 0);
}

// Regression: a serial number filling its whole field has no terminator; the copy ran on into the model
// name. The simulator always terminates its texts, so a scripted device sends full fields.
TEST(HwDriver, DeviceTextFieldsAreBounded) {
    kvtest::ScriptedDevice scripted;
    scripted.On(0, [](const kvtest::DeviceRequest& request) {
        kvtest::DeviceReply reply;  // the firmware-version request is the longer one
        reply.payload =
            request.payload.size() >= 16 ? kvtest::ReplyWords(0, {2, 3, 0}) : kvtest::ReplyWords(0, {0});
        return std::vector<kvtest::DeviceReply>{reply};
    });
    scripted.OnReply(3, kvtest::ReplyWords(3, {0}));
    kvtest::Bytes info = kvtest::ReplyWords(1, {0, 0xFFFFFFFFu});  // hardware 65535.65535
    info.insert(info.end(), 32, 'S');
    info.insert(info.end(), 64, 'M');
    scripted.OnReply(1, info);
    KvFrameBufferQueue queue;
    VOVCamVideoSource source(queue);
    source.SetStream(&scripted.stream());
    ASSERT_EQ(source.OpenDevice(), 0);
    HwDriver_1 driver(&source);
    const struct {
        int32_t feature;
        std::string expected;  // the protocol layer may keep the serial's last byte for a terminator
    } rows[] = {{0x5F00, std::string(31, 'S')}, {0x5F02, std::string(64, 'M')}, {0x5F03, "65535.65535.0"}};
    for (const auto& row : rows) {
        KvFeature target;
        EXPECT_EQ(driver.readFeature(kDevice, row.feature, &target), 0);
        const std::string& text = target.stringValue;
        EXPECT_TRUE(text == row.expected || text == row.expected + row.expected.back()) << text;
    }
    source.CloseDevice();
}

// Frames of a capture: the component of every image.
std::vector<int32_t> fetchImageComponents(Rig& rig) {
    KV_FRAME_DATA frame{};
    std::vector<int32_t> components;
    const int status = rig.source->fetchFrame(&frame, 5000);
    EXPECT_EQ(status, 0);
    if (status != 0) return components;
    for (int i = 0; i < frame.validCount; ++i) components.push_back(frame.image[i].componentID);
    return components;
}

// Regression (rows with a mapper): the point-cloud flag stayed on after a point-cloud capture, so a
// depth-only capture got a point-cloud record with a null buffer in every frame.
TEST(HwDriver, StartAndStopEveryWorkModeAndPointCloudFlagFollowsEveryStart) {
    const struct {
        int components, workMode, reported;
        std::vector<int32_t> images;  // empty: the layout has no such component, no frames checked
        bool mapper;
    } rows[] = {
        {kDepth, 2, kDepth, {kDepth}, false},
        {kLeft, 1, kLeft | kRight, {kLeft}, false},
        {kLeft | kRight, 1, kLeft | kRight, {kLeft, kRight}, false},
        {kLeft | kRight | kDepth, 3, kDepth | kLeft | kRight, {kDepth, kLeft, kRight}, false},
        {kColor, 4, kColor, {kColor}, false},
        {kDepth | kColor | kAux, 14, kDepth | kColor, {kDepth, kColor, kAux}, false},
        {kPoint, 2, kDepth | kPoint, {kDepth}, false},  // no mapper: no point image
        {KV_COMPONENT_IMAGE_EXTRA, 4, kColor, {}, false},
        {kPoint, 2, kDepth | kPoint, {kDepth, kPoint}, true},
        {kDepth, 2, kDepth, {kDepth}, true},
    };
    Rig rig(distinctSettings());
    ASSERT_TRUE(rig.opened);
    KvDepthCameraIntrinsic intrinsic{{550, 0, 320, 0, 550, 240, 0, 0, 1, 0, 0}};
    intrinsic.updateReciprocals();
    KvDepthCameraIntrinsic::DepthWorldMapper mapper(&intrinsic);
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.components << " mapper " << row.mapper);
        rig.source->SetDepthWorldMapper(row.mapper ? &mapper : nullptr);
        if (!row.images.empty()) {
            ASSERT_TRUE(rig.enqueueBuffers(row.components));
        }
        EXPECT_EQ(rig.driver->start(row.components), 0);
        EXPECT_EQ(rig.settings().work_mode, row.workMode);
        EXPECT_EQ(rig.driver->getCurrentEnabledComponents(), row.reported);
        if (!row.images.empty()) {
            EXPECT_EQ(fetchImageComponents(rig), row.images);
        }
        EXPECT_EQ(rig.driver->stop(), 0);
        EXPECT_EQ(rig.settings().work_mode, 0);
        EXPECT_EQ(rig.driver->getCurrentEnabledComponents(), 0);
    }
    rig.source->SetDepthWorldMapper(nullptr);
}

int depthSubBufferSize(Rig& rig) {
    std::vector<SubBufferInfo> layout;
    const int total = rig.driver->getFramebufferSize(kDepth | kColor, layout, rig.model.get());
    return total > 0 ? layout.front().size : total;
}

// Regression: width and height are non-volatile in the descriptor, so after a mode change the layout kept
// the old size and every image of a larger mode was dropped as an overflow. Also a device left in another
// mode than its descriptor says.
TEST(HwDriver, ImageSizeFollowsTheDeviceModeAndFramesComplete) {
    DeviceConfig config = distinctSettings();
    config.initial.depth_mode = 0;
    Rig rig(config);
    ASSERT_TRUE(rig.opened);
    rig.driver->attachModel(nullptr);
    rig.model = simModel(2, 2);
    EXPECT_EQ(depthSubBufferSize(rig), 640 * 480 * 2);
    EXPECT_EQ(rig.driver->refreshImageSizes(rig.model.get()), 0);
    EXPECT_EQ(depthSubBufferSize(rig), 160 * 120 * 2);
    EXPECT_EQ(rig.model->findFeature(kDepth, 0x3108)->value.asInt(), 0xA0078);

    rig.driver->attachModel(rig.model.get());
    ASSERT_EQ(writeValue(*rig.driver, kDepth, 0x3108, 0x5003C0), 0);
    ASSERT_EQ(writeValue(*rig.driver, kColor, 0x3108, 0xA20798), 0);
    const int components = kDepth | kLeft | kRight | kColor;
    std::vector<SubBufferInfo> layout;
    EXPECT_EQ(rig.driver->getFramebufferSize(components, layout, rig.model.get()),
              1280 * 960 * (2 + 1 + 1 + 3));
    ASSERT_TRUE(rig.enqueueBuffers(components));
    ASSERT_EQ(rig.driver->start(components), 0);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(rig.source->fetchFrame(&frame, 5000), 0);
    ASSERT_EQ(frame.validCount, 4);
    for (int i = 0; i < frame.validCount; ++i)
        EXPECT_EQ(frame.image[i].width * frame.image[i].height, 1280 * 960);
    EXPECT_EQ(rig.driver->stop(), 0);
}

}  // namespace
}  // namespace hwtest
