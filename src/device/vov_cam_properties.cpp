// The property table of the video source: the numbered interface, one accessor per device setting and the
// device-configuration document.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "device/vov_cam_video_source.h"
#include "diag/logger.h"
#include "model/KvDeviceDescriptorParser.h"

namespace orvane {

namespace {

const DeviceProperty kPropList[VOVCamVideoSource::kPropertyCount] = {
    {0, "Device Info", 7},        {1, "Device Address", 6},     {2, "CMOS Register Info", 7},
    {3, "Laser Power", 0},        {4, "Device Workmode", 0},    {5, "Depth Resolution", 8},
    {6, "Depth Intrinsics", 7},   {7, "Point Cloud Output", 3}, {8, "Frame Ready Callback", 9},
    {9, "Callback User Data", 9}, {11, "Speckle Filter", 7},    {12, "IR Undistort", 3},
    {13, "Coordinate mapper", 9}, {14, "Trigger Mode", 3},      {15, "Camera Auto Gain Control", 7},
};

constexpr int kColourSensor = 2;
constexpr int kNoCamId = 255;

// The one argument rule of every accessor: a value and exactly the record's size.
bool BadArgument(const void* value, int size, int required) {
    return value == nullptr || size != required;
}

int32_t ReadInt32(const void* value) {
    int32_t v;
    std::memcpy(&v, value, sizeof(v));
    return v;
}

void WriteInt32(void* value, int32_t v) {
    std::memcpy(value, &v, sizeof(v));
}

uint8_t FirstByte(const void* value) {
    return *static_cast<const uint8_t*>(value);
}

int IntAttribute(const tinyxml2::XMLElement* element, const char* name, int fallback) {
    int32_t v = 0;
    return parseDescriptorInt(element->Attribute(name), &v) ? v : fallback;
}

}  // namespace

// A command of this device: runs under the command lock, and an exception of the receive path (a command
// that pumps the parser on the calling thread) becomes the bad-reply result.
template <typename F>
int VOVCamVideoSource::Command(F&& command) {
    CommandLock lock(command_mutex_);
    try {
        return command();
    } catch (const std::exception& e) {
        KV_LOG(kLogError, "command failed: %s", e.what());
        return kParamBadReply;
    }
}

// ---------------------------------------------------------------------------------------- generic interface

int VOVCamVideoSource::GetPropertyNum() {
    return kPropertyCount;
}

int VOVCamVideoSource::GetPropertyList(DeviceProperty* out) {
    if (out == nullptr) return kPropBadArgument;
    std::copy(std::begin(kPropList), std::end(kPropList), out);
    return 0;
}

int VOVCamVideoSource::GetProperty(int id, void* value, int size) {
    if (!Running()) return kPropNotRunning;
    switch (id) {
        case kPropDeviceInfo:
            return GetDeviceInfo(value, size);
        case kPropCmosRegister:
            return GetCmosReg(value, size);
        case kPropLaserPower:
            return GetLaserPow(value, size);
        case kPropWorkMode:
            return GetWorkMode(value, size);
        case kPropDepthResolution:
            return GetDeivceDepthResolution(value, size);
        case kPropSpeckleFilter:
            return GetSpeckleFilter(value, size);
        case kPropIrUndistort:
            return GetUndistortIRStatus(value, size);
        case kPropTriggerMode:
            return GetTriggerMode(value, size);
        case kPropGainControl:
            return GetGainControl(value, size);
        case kPropDeviceDescriptor:
            return GetDeviceDescriptor(value, size);
        case kPropFirmwareVersion:
            return GetFirmwareVersion(value, size);
        case kPropFirmwareVersionXml:
            return GetFirmwareVersionXML(value, size);
        default:
            return kPropUnknown;
    }
}

int VOVCamVideoSource::SetProperty(int id, const void* value, int size) {
    switch (id) {
        case kPropCallbackUserData:
            // The pointer itself is the setting; what it points to belongs to the application.
            SetCallbackUserData(const_cast<void*>(value));
            return size;
        case kPropCmosRegister:
            return SetCmosReg(value, size);
        case kPropLaserPower:
            return SetLaserPower(value, size);
        case kPropWorkMode:
            return SetWorkMode(value, size);
        case kPropDepthResolution:
            return SetDeivceDepthResolution(value, size);
        case kPropPointCloudOutput:
            return SetOutputPoint3D(value, size);
        case kPropSpeckleFilter:
            return SetSpeckleFilter(value, size);
        case kPropIrUndistort:
            return SetUndistortIR(value, size);
        case kPropTriggerMode:
            return SetTriggerMode(value, size);
        case kPropGainControl:
            return SetGainControl(value, size);
        case kPropDeviceConfigAsync:
            return SetDeviceConfigAsync(value, size);
        case kPropDeviceSaveConfig:
            return SetDeviceSaveConfig(value, size);
        default:
            return kPropUnknown;
    }
}

// ------------------------------------------------------------------------------------- device and sensors

int VOVCamVideoSource::GetDeviceInfo(void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, sizeof(DeviceInfo))) return kPropBadArgument;
    DeviceInfo info;
    if (Command([&] { return param_processor.QueryInfo(&info); }) != kParamOk) return kPropDeviceFailure;
    std::memcpy(value, &info, sizeof(info));
    return size;
}

int VOVCamVideoSource::GetCmosReg(void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, sizeof(CmosRegisterRecord))) return kPropBadArgument;
    CmosRegisterRecord record;
    std::memcpy(&record, value, sizeof(record));
    int read = 0;
    if (Command([&] { return cam_control.ReadRegister(record.camid, record.reg, &read); }) != 0) {
        return kPropDeviceFailure;
    }
    record.value = read;
    std::memcpy(value, &record, sizeof(record));
    return size;
}

int VOVCamVideoSource::SetCmosReg(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, sizeof(CmosRegisterRecord))) return kPropBadArgument;
    CmosRegisterRecord record;
    std::memcpy(&record, value, sizeof(record));
    if (Command([&] { return cam_control.WriteRegister(record.camid, record.reg, record.value); }) != 0) {
        KV_LOG(kLogError, "register write failed: cam %d reg %d", record.camid, record.reg);
        return kPropDeviceFailure;
    }
    return size;
}

int VOVCamVideoSource::GetLaserPow(void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    int power = 0;
    if (Command([&] { return param_processor.GetLaserPow(&power); }) != kParamOk) {
        KV_LOG(kLogError, "get laser power failed\n");
        return kPropDeviceFailure;
    }
    WriteInt32(value, power);
    return 4;
}

int VOVCamVideoSource::SetLaserPower(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    const uint8_t power = FirstByte(value);
    if (Command([&] { return param_processor.SetLaserPow(power); }) != kParamOk) return kPropDeviceFailure;
    return 4;
}

int VOVCamVideoSource::GetWorkMode(void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    DeviceWorkModes mode = 0;
    if (Command([&] { return param_processor.GetDeviceMode(&mode); }) != kParamOk) {
        KV_LOG(kLogError, "get work mode failed\n");
        return kPropDeviceFailure;
    }
    WriteInt32(value, mode);
    return 4;
}

int VOVCamVideoSource::SetWorkMode(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    const DeviceWorkModes mode = ReadInt32(value);
    CommandLock lock(command_mutex_);
    if (Command([&] { return param_processor.ChangeDeviceMode(mode); }) != kParamOk)
        return kPropDeviceFailure;
    // Streaming stopped: every buffer goes back to the application's empty queue for the next start.
    if (mode == 0) image_receiver.PlaceAllBufferToEmptyQ();
    return 4;
}

int VOVCamVideoSource::GetDeivceDepthResolution(void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    ResolutionModes mode = 0;
    if (Command([&] { return param_processor.GetDeviceDepthResolution(&mode); }) != kParamOk) {
        KV_LOG(kLogError, "get depth resolution mode failed\n");
        return kPropDeviceFailure;
    }
    WriteInt32(value, mode);
    return 4;
}

int VOVCamVideoSource::SetDeivceDepthResolution(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    const ResolutionModes mode = ReadInt32(value);
    const int result = Command([&] { return param_processor.SetDepthResolution(mode); });
    if (result != kParamOk) {
        KV_LOG(kLogWarning, "transfer got error code:%d", result);
        return kPropDeviceFailure;
    }
    return 0;
}

int VOVCamVideoSource::GetDepthIntrinsic(void* value, int size) {
    if (BadArgument(value, size, sizeof(CamIntrinsic))) return kPropBadArgument;
    CamIntrinsic intrinsic;
    if (Command([&] { return param_processor.QueryIntrinsic(&intrinsic); }) != kParamOk) {
        return kPropDeviceFailure;
    }
    std::memcpy(value, &intrinsic, sizeof(intrinsic));
    return size;
}

// --------------------------------------------------------------------------------- host-side processing

int VOVCamVideoSource::SetOutputPoint3D(const void* value, int size) {
    if (value == nullptr || size < 1) return kPropBadArgument;
    image_receiver.output_point3d.store(FirstByte(value) != 0);
    return size;
}

int VOVCamVideoSource::SetSpeckleFilter(const void* value, int size) {
    if (BadArgument(value, size, sizeof(SpeckleFilterRecord))) return kPropBadArgument;
    SpeckleFilterRecord record;
    std::memcpy(&record, value, sizeof(record));
    std::lock_guard<std::mutex> lock(hook_mutex_);
    speckle_max_size_ = record.max_size;
    speckle_max_diff_ = record.max_diff;
    return 0;
}

int VOVCamVideoSource::GetSpeckleFilter(void* value, int size) {
    if (BadArgument(value, size, sizeof(SpeckleFilterRecord))) return kPropBadArgument;
    SpeckleFilterRecord record;
    {
        std::lock_guard<std::mutex> lock(hook_mutex_);
        record.max_size = speckle_max_size_;
        record.max_diff = speckle_max_diff_;
    }
    std::memcpy(value, &record, sizeof(record));
    return 0;
}

// ------------------------------------------------------------------------------------ switches and gains

int VOVCamVideoSource::GetUndistortIRStatus(void* value, int size) {
    if (value == nullptr || size < 1) return kPropBadArgument;
    bool enabled = false;
    const int result = Command([&] { return param_processor.GetUndistortIRStatus(enabled); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get undistort failed ,code %d", result);
        return kPropDeviceFailure;
    }
    *static_cast<uint8_t*>(value) = enabled ? 1 : 0;
    return size;
}

int VOVCamVideoSource::SetUndistortIR(const void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    const bool enable = FirstByte(value) != 0;
    const int result = Command([&] { return param_processor.SetUndistortIRStatus(enable); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set undistort failed ,code %d", result);
        return kPropDeviceFailure;
    }
    return 1;
}

int VOVCamVideoSource::GetTriggerMode(void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    bool triggered = false;
    if (Command([&] { return param_processor.GetCaptureTriggerMode(&triggered); }) != kParamOk) {
        return kPropDeviceFailure;
    }
    *static_cast<uint8_t*>(value) = triggered ? 1 : 0;
    return 1;
}

int VOVCamVideoSource::SetTriggerMode(const void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    const bool triggered = FirstByte(value) != 0;
    return SetTriggerModeAndRestart(
        triggered, [&] { return param_processor.SetCaptureTriggerMode(triggered); }, 1);
}

int VOVCamVideoSource::SetStructTriggerMode(const void* value, int size) {
    if (BadArgument(value, size, sizeof(KV_TRIGGER_MODE))) return kPropBadArgument;
    KV_TRIGGER_MODE mode;
    std::memcpy(&mode, value, sizeof(mode));
    return SetTriggerModeAndRestart(
        mode.mode != 0, [&] { return param_processor.SetCaptureStructTriggerMode(mode); }, 4);
}

int VOVCamVideoSource::SetTriggerModeAndRestart(bool trigger_on, const std::function<int()>& send_mode,
                                                int result_size) {
    // The whole sequence is one unit: another thread's mode change must not land in the middle.
    CommandLock lock(command_mutex_);
    if (Command(send_mode) != kParamOk) return kPropDeviceFailure;
    if (!trigger_on) return result_size;
    // Restart streaming so that it runs triggered.
    DeviceWorkModes mode = 0;
    if (Command([&] { return param_processor.GetDeviceMode(&mode); }) != kParamOk) {
        KV_LOG(kLogError, "get device mode failed\n");
        return kPropDeviceFailure;
    }
    if (Command([&] { return param_processor.ChangeDeviceMode(0); }) != kParamOk) {
        KV_LOG(kLogError, "set device mode failed\n");
        return kPropDeviceFailure;
    }
    // Frames of the free-running stream are discarded, but their buffers stay the application's: back
    // to the empty queue rather than dropped.
    image_receiver.PlaceAllBufferToEmptyQ();
    if (Command([&] { return param_processor.ChangeDeviceMode(mode); }) != kParamOk) {
        KV_LOG(kLogError, "set device mode failed\n");
        return kPropDeviceFailure;
    }
    return result_size;
}

int VOVCamVideoSource::GetGainControl(void* value, int size) {
    if (BadArgument(value, size, sizeof(GainControlRecord))) return kPropBadArgument;
    GainControlRecord record;
    std::memcpy(&record, value, sizeof(record));
    int gain = 0;
    const int result = Command([&] { return param_processor.GetCamGain(record.camid, &gain); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get gain error code %d", result);
        return kPropDeviceFailure;
    }
    record.gain = gain;
    std::memcpy(value, &record, sizeof(record));
    return size;
}

int VOVCamVideoSource::SetGainControl(const void* value, int size) {
    if (BadArgument(value, size, sizeof(GainControlRecord))) return kPropBadArgument;
    GainControlRecord record;
    std::memcpy(&record, value, sizeof(record));
    const int result = Command([&] { return param_processor.SetCamGain(record.camid, record.gain); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set gain error code %d", result);
        return kPropDeviceFailure;
    }
    return size;
}

int VOVCamVideoSource::GetFramePerTrigger(void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    int count = 0;
    if (Command([&] { return param_processor.GetFramePerTrigger(&count); }) != kParamOk) {
        return kPropDeviceFailure;
    }
    WriteInt32(value, count);
    return 4;
}

int VOVCamVideoSource::SetFramePerTrigger(const void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    const int count = ReadInt32(value);
    const int result = Command([&] { return param_processor.SetFramePerTrigger(count); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set framePerTrigger failed ,code %d", result);
        return kPropDeviceFailure;
    }
    return 4;
}

// ------------------------------------------------------------------------------------------ colour sensor

int VOVCamVideoSource::GetRgbGain(void* value, int size) {
    if (BadArgument(value, size, 12)) return kPropBadArgument;
    int gains[3] = {0, 0, 0};
    const int result = Command([&] { return param_processor.GetRgbGain(kColourSensor, gains); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get rgb gain error code %d", result);
        return kPropDeviceFailure;
    }
    std::memcpy(value, gains, sizeof(gains));
    return 12;
}

int VOVCamVideoSource::SetRgbGain(const void* value, int size) {
    if (BadArgument(value, size, 12)) return kPropBadArgument;
    int gains[3];
    std::memcpy(gains, value, sizeof(gains));
    const int result = Command([&] { return param_processor.SetRgbGain(kColourSensor, gains); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set rgb gain error code %d", result);
        return kPropDeviceFailure;
    }
    return 12;
}

int VOVCamVideoSource::SetRgbGainComponent(int index, int32_t gain) {
    if (index < 0 || index > 2) return kPropBadArgument;
    // Read, replace and write as one unit, so that two threads changing different gains both land.
    CommandLock lock(command_mutex_);
    int32_t gains[3];
    const int read = GetRgbGain(gains, sizeof(gains));
    if (read < 0) return read;
    gains[index] = gain;
    const int written = SetRgbGain(gains, sizeof(gains));
    return written < 0 ? written : 4;
}

int VOVCamVideoSource::GetRgbAutoExpo(void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    bool on = false;
    const int result = Command([&] { return param_processor.GetRgbAutoExpo(kColourSensor, &on); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get rgb auto expo error code %d", result);
        return kPropDeviceFailure;
    }
    *static_cast<uint8_t*>(value) = on ? 1 : 0;
    return 1;
}

int VOVCamVideoSource::SetRgbAutoExpo(const void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    const bool on = FirstByte(value) != 0;
    const int result = Command([&] { return param_processor.SetRgbAutoExpo(kColourSensor, on); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set rgb auto expo error code %d", result);
        return kPropDeviceFailure;
    }
    return 1;
}

int VOVCamVideoSource::GetRgbExpo(void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    int expo = 0;
    const int result = Command([&] { return param_processor.GetRgbExpo(kColourSensor, &expo); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get rgb expo error code %d", result);
        return kPropDeviceFailure;
    }
    WriteInt32(value, expo);
    return 4;
}

int VOVCamVideoSource::SetRgbExpo(const void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    const int expo = ReadInt32(value);
    const int result = Command([&] { return param_processor.SetRgbExpo(kColourSensor, expo); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set rgb expo error code %d", result);
        return kPropDeviceFailure;
    }
    return 4;
}

int VOVCamVideoSource::GetRgbAWB(void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    bool on = false;
    const int result = Command([&] { return param_processor.GetRgbAWB(kColourSensor, &on); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get rgb AWB error code %d", result);
        return kPropDeviceFailure;
    }
    *static_cast<uint8_t*>(value) = on ? 1 : 0;
    return 1;
}

int VOVCamVideoSource::SetRgbAWB(const void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    const bool on = FirstByte(value) != 0;
    const int result = Command([&] { return param_processor.SetRgbAWB(kColourSensor, on); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set rgb AWB error code %d", result);
        return kPropDeviceFailure;
    }
    return 1;
}

int VOVCamVideoSource::GetRgbResolution(void* value, int size) {
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    ResolutionModes mode = 0;
    if (Command([&] { return param_processor.GetRgbResolution(&mode); }) != kParamOk) {
        KV_LOG(kLogError, "get color resolution mode failed\n");
        return kPropDeviceFailure;
    }
    WriteInt32(value, mode);
    return 4;
}

int VOVCamVideoSource::SetRgbResolution(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, 4)) return kPropBadArgument;
    const ResolutionModes mode = ReadInt32(value);
    const int result = Command([&] { return param_processor.SetRgbResolution(mode); });
    if (result != kParamOk) {
        KV_LOG(kLogWarning, "transfer got error code:%d", result);
        return kPropDeviceFailure;
    }
    return 0;
}

// --------------------------------------------------------------------------------------- laser and misc

int VOVCamVideoSource::GetLaserAutoCtrl(void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    bool on = false;
    if (Command([&] { return param_processor.GetLaserAutoCtrl(&on); }) != kParamOk) {
        KV_LOG(kLogError, "get laser auto ctrl failed\n");
        return kPropDeviceFailure;
    }
    *static_cast<uint8_t*>(value) = on ? 1 : 0;
    return 1;
}

int VOVCamVideoSource::SetLaserAutoCtrl(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    const bool on = FirstByte(value) != 0;
    if (Command([&] { return param_processor.SetLaserAutoCtrl(on); }) != kParamOk) return kPropDeviceFailure;
    return 1;
}

int VOVCamVideoSource::SetBrightHisto(const void* value, int size) {
    if (BadArgument(value, size, 1)) return kPropBadArgument;
    const bool on = FirstByte(value) != 0;
    const int result = Command([&] { return param_processor.SetBrightHistoStatus(on); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "set bright histogram failed ,code %d", result);
        return kPropDeviceFailure;
    }
    return 1;
}

int VOVCamVideoSource::GetFirmwareVersion(void* value, int size) {
    if (BadArgument(value, size, 8)) return kPropBadArgument;
    int major = 0;
    int minor = 0;
    const int result = Command([&] { return param_processor.GetFirmwareVersion(&major, &minor); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get param error code: %d", result);
        return kPropDeviceFailure;
    }
    firmware_major_.store(major);
    firmware_minor_.store(minor);
    const int32_t version[2] = {major, minor};
    std::memcpy(value, version, sizeof(version));
    return 8;
}

int VOVCamVideoSource::enterDeveloperMode() {
    return Command([&] { return param_processor.enterDeveloperMode(); }) == kParamOk ? 0 : KV_STATUS_ERROR;
}

// ----------------------------------------------------------------------------- configuration image, flash

int VOVCamVideoSource::TrySetConfigDataSegment(int offset, const int8_t* data, int length) {
    int result = kParamBadReply;
    for (int i = 0; i < 30 && result != kParamOk; ++i) {
        result = Command([&] { return param_processor.SetConfigData(offset, data, length); });
    }
    return result;
}

int VOVCamVideoSource::SetDeviceConfig(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, sizeof(DeviceConfigRecord))) return kPropBadArgument;
    DeviceConfigRecord record;
    std::memcpy(&record, value, sizeof(record));
    if (record.length >= 1 && record.data == nullptr) return kPropBadArgument;
    CommandLock lock(command_mutex_);
    const int segment = ConfigDownloader::kSegmentSize;
    for (int offset = 0; offset < record.length; offset += segment) {
        // The last segment is only as long as what is left of the image.
        const int length = std::min(segment, record.length - offset);
        if (TrySetConfigDataSegment(offset, record.data + offset, length) != kParamOk)
            return kPropDeviceFailure;
        if (offset % (segment * 30) == 0) KV_LOG(kLogInfo, "downloading: %d", offset);
    }
    KV_LOG(kLogInfo, "config device done");
    return record.length;
}

int VOVCamVideoSource::SetDeviceConfigAsync(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, sizeof(DeviceConfigRecord))) return kPropBadArgument;
    DeviceConfigRecord record;
    std::memcpy(&record, value, sizeof(record));
    if (record.data == nullptr || record.length < 1) return kPropBadArgument;
    const int result =
        Command([&] { return param_processor.SetConfigDataAsync(record.data, record.length); });
    if (result != kParamOk) {
        KV_LOG(kLogVerbose, "download got transfer error code:%d \n", result);
        return kPropDeviceFailure;
    }
    return 0;
}

int VOVCamVideoSource::SetDeviceSaveConfig(const void* value, int size) {
    if (!Running()) return kPropNotRunning;
    if (BadArgument(value, size, sizeof(DeviceSaveConfigRecord))) return kPropBadArgument;
    DeviceSaveConfigRecord record;
    std::memcpy(&record, value, sizeof(record));
    const int result =
        Command([&] { return param_processor.SaveConfigToFlash(&record.param, record.timeout_ms); });
    if (result == kParamOk) return size;
    if (result == kParamDeviceFailure) {
        KV_LOG(kLogWarning, "transfer got error code:%d (param invalid)", result);
        return kPropBadArgument;
    }
    return kPropDeviceFailure;
}

int VOVCamVideoSource::GetDeviceDescriptor(void* buffer, int size) {
    // A null buffer of size 0 asks only for the size.
    if (size < 0 || (buffer == nullptr && size > 0)) return kPropBadArgument;
    std::vector<uint8_t> descriptor;
    const int result = Command([&] { return param_processor.GetDeviceDescriptor(descriptor); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get device descriptor got transfer error code : %d", result);
        return kPropDeviceFailure;
    }
    const int total = static_cast<int>(descriptor.size());
    const int copied = std::min(total, size);
    if (copied > 0) std::memcpy(buffer, descriptor.data(), static_cast<size_t>(copied));
    return total;
}

int VOVCamVideoSource::GetFirmwareVersionXML(void* buffer, int size) {
    if (size < 0 || (buffer == nullptr && size > 0)) return kPropBadArgument;
    int length = 0;
    const int result = Command(
        [&] { return param_processor.GetFirmwareVersionXML(static_cast<char*>(buffer), size, &length); });
    if (result != kParamOk) {
        KV_LOG(kLogError, "get device xml format firmware information got transfer error code : %d", result);
        return kPropDeviceFailure;
    }
    return length;
}

// ------------------------------------------------------------------------- device-configuration document

int VOVCamVideoSource::Config(const char* text) {
    std::lock_guard<std::mutex> lock(config_mutex_);
    if (text == nullptr || config_doc_.Parse(text) != tinyxml2::XML_SUCCESS) {
        config_doc_.Clear();
        KV_LOG(kLogError, "load device param failed");
        return -1;
    }
    return 0;
}

int VOVCamVideoSource::LoadConfigFile(const char* path) {
    std::lock_guard<std::mutex> lock(config_mutex_);
    if (path == nullptr || config_doc_.LoadFile(path) != tinyxml2::XML_SUCCESS) {
        // A half-read document must not be applied by a later open.
        config_doc_.Clear();
        KV_LOG(kLogError, "load device param file :%s failed", path != nullptr ? path : "(null)");
        return -1;
    }
    return 0;
}

int VOVCamVideoSource::ParseConfigFile() {
    CommandLock command(command_mutex_);
    std::lock_guard<std::mutex> lock(config_mutex_);
    const tinyxml2::XMLElement* root = config_doc_.FirstChildElement();
    if (root == nullptr) return 0;
    KV_LOG(kLogInfo, "applying config file to device");
    const tinyxml2::XMLElement* laser = root->FirstChildElement("LASER");
    int32_t power = 0;
    if (laser != nullptr && parseDescriptorInt(laser->GetText(), &power)) {
        printf("%s = %d\n", "LASER", power);
        const uint8_t low = static_cast<uint8_t>(power & 0xFF);
        Command([&] { return param_processor.SetLaserPow(low); });
    } else {
        printf("%s = %d [DEFAULT]\n", "LASER", 0);
    }
    const tinyxml2::XMLElement* camera = root->FirstChildElement("Camera");
    if (camera == nullptr) return 0;
    if (InitCmosReg(camera) != 0) {
        KV_LOG(kLogError, "config cmos register error\n");
        return -1;
    }
    return 0;
}

int VOVCamVideoSource::InitCmosReg(const tinyxml2::XMLElement* element) {
    if (element == nullptr) return 0;
    CommandLock command(command_mutex_);
    for (const tinyxml2::XMLElement* set = element->FirstChildElement("Set"); set != nullptr;
         set = set->NextSiblingElement("Set")) {
        const int camid = IntAttribute(set, "camid", kNoCamId);
        const int reg = IntAttribute(set, "reg", 0);
        const int val = IntAttribute(set, "val", 0);
        KV_LOG(kLogInfo, "camid=%d\t regid=%d value=%d", camid, reg, val);
        const int result = Command([&] { return cam_control.WriteRegister(camid, reg, val); });
        if (result != 0) return result;
    }
    return 0;
}

}  // namespace orvane
