// The hardware driver: the one place where the feature model meets device commands. Every feature read or
// write that must reach the device, every capture start and stop and every register access goes through
// it; it turns a (component, feature) pair into property calls on the device's video source.
//
// Also the frame-buffer layout: how one application buffer is cut into one sub-buffer per enabled image
// component, with sizes from the model (or from the device's resolution mode where the model cannot say).
//
// Image size after an image-mode change. Descriptors mark image width (0x1104) and height (0x1105)
// non-volatile, so the layout and the intrinsics read them from the model. To keep them true:
//   - With a model attached (attachModel), a successful write or read of image mode 0x3108 updates the
//     model's width and height of the components that stream at that size (depth, 3D points and both
//     infrared sensors for the depth mode; colour for the colour mode). A camera that attached its model
//     therefore only recomputes the layout after `writeFeature(component, 0x3108, ...)`.
//   - refreshImageSizes(model) asks the device for both resolution modes and updates the model the same
//     way. Call it once after bring-up (the device may be in another mode than the descriptor says) or
//     after a mode write made without an attached model.
// Both follow the resolution table (resolutionModeInfo), including mode 4, which streams at 1280 x 960.
//
// Threads: the driver has no lock. The calls for one camera are issued one after another by the camera.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "model/KvFeature.h"
#include "stream/sub_buffer_info.h"

namespace orvane {

class VOVCamVideoSource;

// ---------------------------------------------------------------- resolution modes and pixel formats

// One resolution mode of the device: its number, the image-mode value of feature 0x3108 (width in bits
// 12..23, height in bits 0..11) and the size of the images the device streams in it.
struct ResolutionModeInfo {
    int32_t mode;
    int32_t imageMode;
    int32_t width;
    int32_t height;
};

// Modes 0 (160 x 120) to 4 (2592 x 1944, streamed as 1280 x 960); null for any other number.
const ResolutionModeInfo* resolutionModeInfo(int32_t mode);
// The mode whose image-mode value is `imageMode`, or null.
const ResolutionModeInfo* resolutionModeOfImageMode(int32_t imageMode);
// Depth accepts modes 0 to 4, colour 1 to 4.
bool isDepthResolutionMode(int32_t mode);
bool isColorResolutionMode(int32_t mode);

// Bytes per pixel of a pixel format (feature 0x3107), or 0 for a format this library does not know.
int32_t bytesPerPixelOfFormat(int32_t pixelFormat);

// ---------------------------------------------------------------- frame-buffer layout

// Size of the auxiliary data component's sub-buffer (0x01000000).
constexpr int32_t kAuxDataSubBufferSize = 2048;
// What the layout returns when the device reports a resolution mode it does not know.
constexpr int32_t kLayoutUnknownResolution = -1;

// Asks the device for the resolution mode of kComponentDepth or kComponentColor: 0 with *mode set, or a
// negative status when the query failed.
using ResolutionModeQuery = std::function<int(int32_t component, int32_t* mode)>;

// Lays out the sub-buffers of `components` (3D points pull in depth) in the fixed order depth, 3D points,
// left infrared, right infrared, colour, auxiliary data, 0x00200000, and returns the total size in bytes.
// Sizes come from the model's width and height; depth and colour ask `query` when the model's size is
// missing or volatile. Failures return a negative result and leave `out` empty, never a partial layout:
//   -1005 a needed query failed, an image component is missing from the model or has no usable size,
//         its pixel format is unknown, a size is not positive or the frame does not fit 32 bits;
//   -1    the device reports a resolution mode the table does not know ("resolution mode error.").
int getFramebufferLayout(int components, std::vector<SubBufferInfo>& out, const KvComponentManager* model,
                         const ResolutionModeQuery& query);

// ---------------------------------------------------------------- the driver interface

class KvHwDriver {
  public:
    virtual ~KvHwDriver() = default;

    // Sets the device's work mode from a component set; the point-cloud output follows 0x00020000 at every
    // start. 0, or -1005.
    virtual int start(int components) = 0;
    // Work mode 0. 0, or -1005.
    virtual int stop() = 0;
    // The component set that the device's work mode streams (plus 0x00020000 while point clouds are on),
    // or -1005.
    virtual int getCurrentEnabledComponents() = 0;
    // getFramebufferLayout with the device as resolution source.
    virtual int getFramebufferSize(int components, std::vector<SubBufferInfo>& out,
                                   KvComponentManager* model) = 0;
    // Reads a feature from the device into `target` (value, first byte of value for Bool, stringValue).
    // 0; -1003 no mapping for the pair or unknown device mode; -1005 device failure; -1020 null target.
    virtual int readFeature(int component, int feature, KvFeature* target) = 0;
    // Writes a feature: `value` points at an int32 (Int, Enum), one byte (Bool) or the record (Struct) of
    // at least `size` bytes. 0; -1003 no mapping or value without a device encoding (no traffic);
    // -1005 device failure; -1011 `size` smaller than the value; -1020 null value.
    virtual int writeFeature(int component, int feature, const void* value, int size) = 0;
    // Sensor registers of the left infrared, right infrared or colour sensor. 0; -1003 other component;
    // -1005 device failure; -1020 null output.
    virtual int readRegister(int component, int reg, int* value) = 0;
    virtual int writeRegister(int component, int reg, int value) = 0;
    // 0, or -1001 when the device refused.
    virtual int enterDeveloperMode() = 0;

    // The camera's model, kept up to date by image-mode writes and reads and used for the manual infrared
    // gain that automatic gain off restores. Not owned; null detaches. Attach it right after the model is
    // built and detach (or destroy the driver) before the model goes.
    virtual void attachModel(KvComponentManager* model) = 0;
    // Reads the depth and colour resolution modes of the device and writes the matching image mode, width
    // and height into `model` (only for the components the model has). 0; -1005 a query failed; -1003 the
    // device is in a mode the table does not know (the model is left unchanged for that sensor).
    virtual int refreshImageSizes(KvComponentManager* model) = 0;
    // Reads the device's trigger mode into the driver's record, which reads of 0x4200 answer without
    // device traffic: call it after bring-up (the device may already be in trigger mode). 0 or -1005.
    virtual int syncTriggerMode() = 0;
};

// The driver of protocol generation 1: a stateless translation onto the video source's property calls.
class HwDriver_1 : public KvHwDriver {
  public:
    explicit HwDriver_1(VOVCamVideoSource* source);

    int start(int components) override;
    int stop() override;
    int getCurrentEnabledComponents() override;
    int getFramebufferSize(int components, std::vector<SubBufferInfo>& out,
                           KvComponentManager* model) override;
    int readFeature(int component, int feature, KvFeature* target) override;
    int writeFeature(int component, int feature, const void* value, int size) override;
    int readRegister(int component, int reg, int* value) override;
    int writeRegister(int component, int reg, int value) override;
    int enterDeveloperMode() override;
    void attachModel(KvComponentManager* model) override;
    int refreshImageSizes(KvComponentManager* model) override;
    int syncTriggerMode() override;

    // Device component features (serial number, model, hardware version, trigger mode, frames per trigger).
    int readDeviceComponentFeature(int feature, KvFeature* target);

    bool triggerModeOn() const { return trigger_mode_on; }

  private:
    int writeDeviceFeature(int feature, const void* value, int size);
    int writeTriggerMode(bool on, int result);
    int writeInfraredFeature(int component, int feature, const void* value, int size);
    int writeColorFeature(int feature, const void* value, int size);
    int writeLaserFeature(int feature, const void* value, int size);
    int writeDepthFeature(int feature, const void* value, int size);
    int writeImageMode(int sensorComponent, int32_t imageMode);
    int readInfraredFeature(int component, int feature, KvFeature* target);
    int readColorFeature(int feature, KvFeature* target);
    int readLaserFeature(int feature, KvFeature* target);
    int readImageModeFeature(int sensorComponent, int feature, KvFeature* target);
    int readDeviceInfoText(int feature, KvFeature* target);

    int writeAutoGainOff(int sensor);
    int readSensorGain(int sensor, int* gain);
    int writeSensorGain(int sensor, int gain);
    int manualGainToRestore(int sensor) const;
    void rememberManualGain(int sensor, int gain);
    int queryResolutionMode(int component, int* mode);
    void applyImageSize(int sensorComponent, const ResolutionModeInfo& mode, KvComponentManager* model);

    VOVCamVideoSource* video_source;  // not owned; outlives the driver
    bool trigger_mode_on = false;     // last trigger mode written successfully through this driver
    KvComponentManager* model_ = nullptr;
    int last_manual_gain_[2] = {-1, -1};  // per infrared sensor, -1 while none is known
};

// Creates the driver for a descriptor's protocol generation: 0 with `out` replaced, or -1006 for an
// unknown generation (`out` untouched).
int CreateHwDriver(VOVCamVideoSource* source, int protocol, std::shared_ptr<KvHwDriver>& out);

}  // namespace orvane
