#include "device/KvHwDriver.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "device/vov_cam_video_source.h"
#include "protocol/device_param_processor.h"

namespace orvane {

namespace {

// Sensor numbers of gain and register records.
constexpr int kSensorLeftIR = 0;
constexpr int kSensorRightIR = 1;
constexpr int kSensorColor = 2;

// Work-mode bits.
constexpr int32_t kWorkInfrared = 1;
constexpr int32_t kWorkDepth = 2;
constexpr int32_t kWorkColor = 4;
constexpr int32_t kWorkAux = 8;

constexpr int kGainAutomatic = -1;
constexpr int kDeviceInfoSize = static_cast<int>(sizeof(DeviceInfo));

int sensorOfComponent(int component) {
    switch (component) {
        case kComponentLeftIR:
            return kSensorLeftIR;
        case kComponentRightIR:
            return kSensorRightIR;
        case kComponentColor:
            return kSensorColor;
        default:
            return -1;
    }
}

int componentOfInfraredSensor(int sensor) {
    return sensor == kSensorLeftIR ? kComponentLeftIR : kComponentRightIR;
}

// A device text field is not always terminated: never read past it.
std::string boundedText(const char* field, std::size_t size) {
    const void* end = std::memchr(field, '\0', size);
    return std::string(field, end ? static_cast<const char*>(end) - field : size);
}

// The written value, checked for presence and size; the driver never reads past the caller's bytes.
int checkValue(const void* value, int size, int needed) {
    if (!value) return KV_STATUS_NULL_POINTER;
    if (size < needed) return KV_STATUS_WRONG_SIZE;
    return KV_STATUS_OK;
}

int32_t intOf(const void* value) {
    int32_t v = 0;
    std::memcpy(&v, value, sizeof v);
    return v;
}

uint8_t boolByteOf(const void* value) {
    return *static_cast<const uint8_t*>(value) != 0 ? 1 : 0;
}

// Property writes fail on a negative result.
int writeStatus(int result) {
    return result < 0 ? KV_STATUS_DEVICE_ERROR : KV_STATUS_OK;
}

// The components whose images follow a sensor's resolution mode.
std::vector<int32_t> componentsStreamingAt(int32_t sensorComponent) {
    if (sensorComponent == kComponentColor) return {kComponentColor};
    return {kComponentDepth, kComponentPoint3D, kComponentLeftIR, kComponentRightIR};
}

}  // namespace

HwDriver_1::HwDriver_1(VOVCamVideoSource* source) : video_source(source) {}

// ---------------------------------------------------------------- capture

int HwDriver_1::start(int components) {
    // The point-cloud output follows every start, so a depth-only capture after a point-cloud capture does
    // not get point-cloud records for a frame buffer without room for them.
    const uint8_t point3d = (components & kComponentPoint3D) ? 1 : 0;
    if (video_source->SetOutputPoint3D(&point3d, 1) < 1) return KV_STATUS_DEVICE_ERROR;
    int32_t mode = 0;
    if (components & (kComponentPoint3D | kComponentDepth)) mode |= kWorkDepth;
    if (components & (kComponentLeftIR | kComponentRightIR)) mode |= kWorkInfrared;
    if (components & (kComponentColor | kComponentImageExtra)) mode |= kWorkColor;
    if (components & kComponentAuxData) mode |= kWorkAux;
    return video_source->SetWorkMode(&mode, 4) < 1 ? KV_STATUS_DEVICE_ERROR : KV_STATUS_OK;
}

int HwDriver_1::stop() {
    const int32_t mode = 0;
    const int result = video_source->SetWorkMode(&mode, 4);
    if (result > 0) return KV_STATUS_OK;
    std::printf("Error: Set work mode err(%d)\n", result);
    return KV_STATUS_DEVICE_ERROR;
}

int HwDriver_1::getCurrentEnabledComponents() {
    int32_t mode = 0;
    if (video_source->GetWorkMode(&mode, 4) < 1) return KV_STATUS_DEVICE_ERROR;
    if (mode == 0) return 0;
    int components = 0;
    if ((mode & kWorkDepth) && (mode & kWorkInfrared))
        components = kComponentDepth | kComponentLeftIR | kComponentRightIR;
    else if (mode & kWorkDepth)
        components = kComponentDepth;
    else if (mode & kWorkInfrared)
        components = kComponentLeftIR | kComponentRightIR;
    if (mode & kWorkColor) components |= kComponentColor;
    if (video_source->image_receiver.output_point3d.load()) components |= kComponentPoint3D;
    return components;
}

int HwDriver_1::getFramebufferSize(int components, std::vector<SubBufferInfo>& out,
                                   KvComponentManager* model) {
    return getFramebufferLayout(components, out, model, [this](int32_t component, int32_t* mode) {
        return queryResolutionMode(component, mode);
    });
}

// ---------------------------------------------------------------- registers and developer mode

int HwDriver_1::readRegister(int component, int reg, int* value) {
    const int sensor = sensorOfComponent(component);
    if (sensor < 0) return KV_STATUS_NOT_IMPLEMENTED;
    if (!value) return KV_STATUS_NULL_POINTER;
    CmosRegisterRecord record{reg, 0, static_cast<uint8_t>(sensor)};
    if (video_source->GetCmosReg(&record, sizeof record) < 0) return KV_STATUS_DEVICE_ERROR;
    *value = record.value;
    return KV_STATUS_OK;
}

int HwDriver_1::writeRegister(int component, int reg, int value) {
    const int sensor = sensorOfComponent(component);
    if (sensor < 0) return KV_STATUS_NOT_IMPLEMENTED;
    const CmosRegisterRecord record{reg, value, static_cast<uint8_t>(sensor)};
    return writeStatus(video_source->SetCmosReg(&record, sizeof record));
}

int HwDriver_1::enterDeveloperMode() {
    return video_source->enterDeveloperMode() != 0 ? KV_STATUS_ERROR : KV_STATUS_OK;
}

// ---------------------------------------------------------------- model upkeep

void HwDriver_1::attachModel(KvComponentManager* model) {
    model_ = model;
}

int HwDriver_1::refreshImageSizes(KvComponentManager* model) {
    if (!model) return KV_STATUS_NULL_POINTER;
    for (int32_t sensor : {kComponentDepth, kComponentColor}) {
        if (!model->contains(sensor)) continue;
        int32_t mode = -1;
        if (queryResolutionMode(sensor, &mode) != 0) return KV_STATUS_DEVICE_ERROR;
        const bool known =
            sensor == kComponentDepth ? isDepthResolutionMode(mode) : isColorResolutionMode(mode);
        if (!known) return KV_STATUS_NOT_IMPLEMENTED;
        applyImageSize(sensor, *resolutionModeInfo(mode), model);
    }
    return KV_STATUS_OK;
}

int HwDriver_1::syncTriggerMode() {
    uint8_t on = 0;
    if (video_source->GetTriggerMode(&on, 1) < 1) return KV_STATUS_DEVICE_ERROR;
    trigger_mode_on = on != 0;
    return KV_STATUS_OK;
}

void HwDriver_1::applyImageSize(int sensorComponent, const ResolutionModeInfo& mode,
                                KvComponentManager* model) {
    if (!model) return;
    for (int32_t id : componentsStreamingAt(sensorComponent)) {
        const KvComponent* component = model->find(id);
        if (!component) continue;
        if (KvFeaturePtr width = component->findFeature(KV_FEATURE_IMAGE_WIDTH))
            width->value.setInt(mode.width);
        if (KvFeaturePtr height = component->findFeature(KV_FEATURE_IMAGE_HEIGHT))
            height->value.setInt(mode.height);
        KvFeaturePtr imageMode = component->findFeature(KV_FEATURE_IMAGE_MODE);
        if (imageMode && imageMode->isValidEnumValue(mode.imageMode)) imageMode->value.setInt(mode.imageMode);
    }
}

int HwDriver_1::queryResolutionMode(int component, int* mode) {
    const int result = component == kComponentColor ? video_source->GetRgbResolution(mode, 4)
                                                    : video_source->GetDeivceDepthResolution(mode, 4);
    return result < 1 ? KV_STATUS_DEVICE_ERROR : KV_STATUS_OK;
}

// ---------------------------------------------------------------- writes

int HwDriver_1::writeFeature(int component, int feature, const void* value, int size) {
    switch (component) {
        case kComponentDevice:
            return writeDeviceFeature(feature, value, size);
        case kComponentLeftIR:
        case kComponentRightIR:
            return writeInfraredFeature(component, feature, value, size);
        case kComponentColor:
            return writeColorFeature(feature, value, size);
        case kComponentLaser:
            return writeLaserFeature(feature, value, size);
        case kComponentDepth:
            return writeDepthFeature(feature, value, size);
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

int HwDriver_1::writeDeviceFeature(int feature, const void* value, int size) {
    int status = KV_STATUS_OK;
    switch (feature) {
        case KV_FEATURE_TRIGGER_MODE: {
            if ((status = checkValue(value, size, 1)) != 0) return status;
            const uint8_t on = boolByteOf(value);
            return writeTriggerMode(on != 0, video_source->SetTriggerMode(&on, 1));
        }
        case KV_FEATURE_TRIGGER_MODE_STRUCT: {
            if ((status = checkValue(value, size, sizeof(KV_TRIGGER_MODE))) != 0) return status;
            KV_TRIGGER_MODE record;
            std::memcpy(&record, value, sizeof record);
            return writeTriggerMode(record.mode != 0,
                                    video_source->SetStructTriggerMode(&record, sizeof record));
        }
        case KV_FEATURE_FRAME_PER_TRIGGER: {
            if ((status = checkValue(value, size, 4)) != 0) return status;
            const int32_t count = intOf(value);
            return writeStatus(video_source->SetFramePerTrigger(&count, 4));
        }
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

// The record follows the device: set when the write went through; after a failure (the command may have
// reached the device before a later step failed) it is read back, and left alone if that fails too.
int HwDriver_1::writeTriggerMode(bool on, int result) {
    if (result >= 0) {
        trigger_mode_on = on;
        return KV_STATUS_OK;
    }
    syncTriggerMode();
    return KV_STATUS_DEVICE_ERROR;
}

int HwDriver_1::writeInfraredFeature(int component, int feature, const void* value, int size) {
    const int sensor = sensorOfComponent(component);
    int status = KV_STATUS_OK;
    switch (feature) {
        case KV_FEATURE_GAIN:
            if ((status = checkValue(value, size, 4)) != 0) return status;
            return writeSensorGain(sensor, intOf(value));
        case KV_FEATURE_AUTO_GAIN:
            if ((status = checkValue(value, size, 1)) != 0) return status;
            return boolByteOf(value) ? writeSensorGain(sensor, kGainAutomatic) : writeAutoGainOff(sensor);
        case KV_FEATURE_UNDISTORT: {
            if ((status = checkValue(value, size, 1)) != 0) return status;
            const uint8_t on = boolByteOf(value);
            return writeStatus(video_source->SetUndistortIR(&on, 1));
        }
        case KV_FEATURE_HISTOGRAM: {
            if ((status = checkValue(value, size, 1)) != 0) return status;
            const uint8_t on = boolByteOf(value);
            return writeStatus(video_source->SetBrightHisto(&on, 1));
        }
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

int HwDriver_1::writeSensorGain(int sensor, int gain) {
    const GainControlRecord record{sensor, gain};
    const int status = writeStatus(video_source->SetGainControl(&record, sizeof record));
    if (status == KV_STATUS_OK) rememberManualGain(sensor, gain);
    return status;
}

int HwDriver_1::readSensorGain(int sensor, int* gain) {
    GainControlRecord record{sensor, 0};
    if (video_source->GetGainControl(&record, sizeof record) < 0) return KV_STATUS_DEVICE_ERROR;
    *gain = record.gain;
    rememberManualGain(sensor, record.gain);
    return KV_STATUS_OK;
}

// Automatic gain off keeps the gain the device runs with; a device still reporting "automatic" gets the
// last manual gain instead, because writing -1 back would leave automatic gain on.
int HwDriver_1::writeAutoGainOff(int sensor) {
    std::lock_guard<std::recursive_mutex> lock(video_source->command_mutex());
    int gain = 0;
    const int status = readSensorGain(sensor, &gain);
    if (status != KV_STATUS_OK) return status;
    if (gain == kGainAutomatic) gain = manualGainToRestore(sensor);
    return writeSensorGain(sensor, gain);
}

void HwDriver_1::rememberManualGain(int sensor, int gain) {
    if ((sensor == kSensorLeftIR || sensor == kSensorRightIR) && gain >= 0) last_manual_gain_[sensor] = gain;
}

// The last manual gain this driver saw, else the model's gain, else the lowest gain.
int HwDriver_1::manualGainToRestore(int sensor) const {
    if (last_manual_gain_[sensor] >= 0) return last_manual_gain_[sensor];
    if (model_) {
        const KvFeaturePtr gain = model_->findFeature(componentOfInfraredSensor(sensor), KV_FEATURE_GAIN);
        if (gain && gain->value.asInt() >= 0) return gain->value.asInt();
        if (gain && gain->min.asInt() >= 0) return gain->min.asInt();
    }
    return 0;
}

int HwDriver_1::writeColorFeature(int feature, const void* value, int size) {
    const int needed = (feature & kFeatureTypeMask) == kFeatureTypeBool ? 1 : 4;
    int status = KV_STATUS_OK;
    switch (feature) {
        case KV_FEATURE_EXPOSURE:
        case KV_FEATURE_COLOR_GAIN_0:
        case KV_FEATURE_COLOR_GAIN_1:
        case KV_FEATURE_COLOR_GAIN_2:
        case KV_FEATURE_AUTO_EXPOSURE:
        case KV_FEATURE_AUTO_WHITE_BALANCE:
        case KV_FEATURE_IMAGE_MODE:
            if ((status = checkValue(value, size, needed)) != 0) return status;
            break;
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
    switch (feature) {
        case KV_FEATURE_EXPOSURE: {
            const int32_t exposure = intOf(value);
            return writeStatus(video_source->SetRgbExpo(&exposure, 4));
        }
        case KV_FEATURE_AUTO_EXPOSURE: {
            const uint8_t on = boolByteOf(value);
            return writeStatus(video_source->SetRgbAutoExpo(&on, 1));
        }
        case KV_FEATURE_AUTO_WHITE_BALANCE: {
            const uint8_t on = boolByteOf(value);
            return writeStatus(video_source->SetRgbAWB(&on, 1));
        }
        case KV_FEATURE_IMAGE_MODE:
            return writeImageMode(kComponentColor, intOf(value));
        default:  // one of the three colour gains
            return writeStatus(
                video_source->SetRgbGainComponent(feature - KV_FEATURE_COLOR_GAIN_0, intOf(value)));
    }
}

int HwDriver_1::writeLaserFeature(int feature, const void* value, int size) {
    int status = KV_STATUS_OK;
    switch (feature) {
        case KV_FEATURE_LASER_POWER: {
            if ((status = checkValue(value, size, 4)) != 0) return status;
            const int32_t power = intOf(value);
            return writeStatus(video_source->SetLaserPower(&power, 4));
        }
        case KV_FEATURE_AUTO_LASER: {
            if ((status = checkValue(value, size, 1)) != 0) return status;
            const uint8_t on = boolByteOf(value);
            return writeStatus(video_source->SetLaserAutoCtrl(&on, 1));
        }
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

int HwDriver_1::writeDepthFeature(int feature, const void* value, int size) {
    if (feature != KV_FEATURE_IMAGE_MODE) return KV_STATUS_NOT_IMPLEMENTED;
    const int status = checkValue(value, size, 4);
    return status != KV_STATUS_OK ? status : writeImageMode(kComponentDepth, intOf(value));
}

// An image mode the sensor has no resolution mode for is refused before any traffic. On success the
// attached model takes the new image size, so the layout and the intrinsics follow the mode.
int HwDriver_1::writeImageMode(int sensorComponent, int32_t imageMode) {
    const ResolutionModeInfo* info = resolutionModeOfImageMode(imageMode);
    const bool color = sensorComponent == kComponentColor;
    if (!info || !(color ? isColorResolutionMode(info->mode) : isDepthResolutionMode(info->mode)))
        return KV_STATUS_NOT_IMPLEMENTED;
    int32_t mode = info->mode;
    const int result =
        color ? video_source->SetRgbResolution(&mode, 4) : video_source->SetDeivceDepthResolution(&mode, 4);
    if (result < 0) return KV_STATUS_DEVICE_ERROR;
    applyImageSize(sensorComponent, *info, model_);
    return KV_STATUS_OK;
}

// ---------------------------------------------------------------- reads

int HwDriver_1::readFeature(int component, int feature, KvFeature* target) {
    if (!target) return KV_STATUS_NULL_POINTER;
    switch (component) {
        case kComponentDevice:
            return readDeviceComponentFeature(feature, target);
        case kComponentDepth:
            return readImageModeFeature(kComponentDepth, feature, target);
        case kComponentLeftIR:
        case kComponentRightIR:
            return readInfraredFeature(component, feature, target);
        case kComponentColor:
            return readColorFeature(feature, target);
        case kComponentLaser:
            return readLaserFeature(feature, target);
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

int HwDriver_1::readDeviceComponentFeature(int feature, KvFeature* target) {
    if (!target) return KV_STATUS_NULL_POINTER;
    switch (feature) {
        case KV_FEATURE_FRAME_PER_TRIGGER: {
            int32_t count = 0;
            if (video_source->GetFramePerTrigger(&count, 4) <= 0) return KV_STATUS_DEVICE_ERROR;
            target->value.setInt(count);
            return KV_STATUS_OK;
        }
        case KV_FEATURE_TRIGGER_MODE:
            target->value.setBool(trigger_mode_on);
            return KV_STATUS_OK;
        case KV_FEATURE_SERIAL_NUMBER:
        case KV_FEATURE_MODEL:
        case KV_FEATURE_HARDWARE_VERSION:
            return readDeviceInfoText(feature, target);
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

int HwDriver_1::readDeviceInfoText(int feature, KvFeature* target) {
    DeviceInfo info;
    std::memset(&info, 0, sizeof info);
    if (video_source->GetDeviceInfo(&info, kDeviceInfoSize) != kDeviceInfoSize) return KV_STATUS_DEVICE_ERROR;
    if (feature == KV_FEATURE_SERIAL_NUMBER) {
        target->stringValue = boundedText(info.serial_number, sizeof info.serial_number);
    } else if (feature == KV_FEATURE_MODEL) {
        target->stringValue = boundedText(info.model_name, sizeof info.model_name);
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "%d.%d.0", info.hardware_major, info.hardware_minor);
        target->stringValue = text;
    }
    return KV_STATUS_OK;
}

int HwDriver_1::readInfraredFeature(int component, int feature, KvFeature* target) {
    const int sensor = sensorOfComponent(component);
    switch (feature) {
        case KV_FEATURE_GAIN:
        case KV_FEATURE_AUTO_GAIN: {
            int gain = 0;
            const int status = readSensorGain(sensor, &gain);
            if (status != KV_STATUS_OK) return status;
            if (feature == KV_FEATURE_GAIN)
                target->value.setInt(gain);
            else
                target->value.setBool(gain == kGainAutomatic);
            return KV_STATUS_OK;
        }
        case KV_FEATURE_UNDISTORT: {
            // The right sensor's switch is the left one's (descriptors bind it there).
            if (component != kComponentLeftIR) return KV_STATUS_NOT_IMPLEMENTED;
            uint8_t on = 0;
            if (video_source->GetUndistortIRStatus(&on, 1) < 0) return KV_STATUS_DEVICE_ERROR;
            target->value.setBool(on != 0);
            return KV_STATUS_OK;
        }
        default:
            return KV_STATUS_NOT_IMPLEMENTED;
    }
}

int HwDriver_1::readColorFeature(int feature, KvFeature* target) {
    switch (feature) {
        case KV_FEATURE_EXPOSURE: {
            int32_t exposure = 0;
            if (video_source->GetRgbExpo(&exposure, 4) < 0) return KV_STATUS_DEVICE_ERROR;
            target->value.setInt(exposure);
            return KV_STATUS_OK;
        }
        case KV_FEATURE_COLOR_GAIN_0:
        case KV_FEATURE_COLOR_GAIN_1:
        case KV_FEATURE_COLOR_GAIN_2: {
            int32_t gains[3] = {0, 0, 0};
            if (video_source->GetRgbGain(gains, sizeof gains) < 0) return KV_STATUS_DEVICE_ERROR;
            target->value.setInt(gains[feature - KV_FEATURE_COLOR_GAIN_0]);
            return KV_STATUS_OK;
        }
        case KV_FEATURE_AUTO_EXPOSURE:
        case KV_FEATURE_AUTO_WHITE_BALANCE: {
            uint8_t on = 0;
            const int result = feature == KV_FEATURE_AUTO_EXPOSURE ? video_source->GetRgbAutoExpo(&on, 1)
                                                                   : video_source->GetRgbAWB(&on, 1);
            if (result < 0) return KV_STATUS_DEVICE_ERROR;
            target->value.setBool(on != 0);
            return KV_STATUS_OK;
        }
        default:
            return readImageModeFeature(kComponentColor, feature, target);
    }
}

int HwDriver_1::readLaserFeature(int feature, KvFeature* target) {
    if (feature == KV_FEATURE_LASER_POWER) {
        int32_t power = 0;
        if (video_source->GetLaserPow(&power, 4) < 0) return KV_STATUS_DEVICE_ERROR;
        target->value.setInt(power);
        return KV_STATUS_OK;
    }
    if (feature == KV_FEATURE_AUTO_LASER) {
        uint8_t on = 0;
        if (video_source->GetLaserAutoCtrl(&on, 1) < 0) return KV_STATUS_DEVICE_ERROR;
        target->value.setBool(on != 0);
        return KV_STATUS_OK;
    }
    return KV_STATUS_NOT_IMPLEMENTED;
}

// Image mode, width and height of the depth or colour sensor, from the device's resolution mode. Every
// mode the sensor can be set to reads back (depth mode 0 included); the model follows what was read.
int HwDriver_1::readImageModeFeature(int sensorComponent, int feature, KvFeature* target) {
    if (feature != KV_FEATURE_IMAGE_MODE && feature != KV_FEATURE_IMAGE_WIDTH &&
        feature != KV_FEATURE_IMAGE_HEIGHT)
        return KV_STATUS_NOT_IMPLEMENTED;
    int32_t mode = -1;
    if (queryResolutionMode(sensorComponent, &mode) != 0) return KV_STATUS_DEVICE_ERROR;
    const bool color = sensorComponent == kComponentColor;
    if (!(color ? isColorResolutionMode(mode) : isDepthResolutionMode(mode))) {
        std::fputs(color && feature == KV_FEATURE_IMAGE_MODE ? "rgb resolution mode error.\n"
                                                             : "resolution mode error.\n",
                   stdout);
        return KV_STATUS_NOT_IMPLEMENTED;
    }
    const ResolutionModeInfo& info = *resolutionModeInfo(mode);
    if (feature == KV_FEATURE_IMAGE_MODE)
        target->value.setInt(info.imageMode);
    else
        target->value.setInt(feature == KV_FEATURE_IMAGE_WIDTH ? info.width : info.height);
    applyImageSize(sensorComponent, info, model_);
    return KV_STATUS_OK;
}

// ---------------------------------------------------------------- creation

int CreateHwDriver(VOVCamVideoSource* source, int protocol, std::shared_ptr<KvHwDriver>& out) {
    if (protocol != 1 || !source) return KV_STATUS_INVALID_PARAMETER;
    out = std::make_shared<HwDriver_1>(source);
    return KV_STATUS_OK;
}

}  // namespace orvane
