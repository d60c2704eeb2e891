// Plain records of the simulated camera: who it is, how it is calibrated, what it is set to.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace orvane {
namespace kvsim {

struct DeviceIdentity {
    std::string serial = "KVSIM0000001";  // 12 characters, as USB serial strings of these cameras are
    std::string vendor = "Orvane";
    std::string model = "KV-S1 Simulator";
    uint16_t hw_major = 1;
    uint16_t hw_minor = 2;
    // Major 2 or above makes the host use keep-alive.
    uint32_t fw_major = 2;
    uint32_t fw_minor = 3;
    uint32_t fw_patch = 0;

    std::string firmwareText() const;  // "2.3.0"
    std::string hardwareText() const;  // "1.2.0"
    std::string buildHash() const;     // "kvsim-2.3.0"
};

// Pinhole intrinsic for a reference image size; scaled to the streamed size as hosts scale it.
struct Intrinsic {
    float fx = 0, fy = 0, cx = 0, cy = 0;
    int ref_width = 0, ref_height = 0;

    Intrinsic scaledTo(int width, int height) const;
};

struct Calibration {
    Intrinsic depth{1100.0f, 1100.0f, 639.5f, 479.5f, 1280, 960};  // also the infrared sensors'
    Intrinsic color{1000.0f, 1000.0f, 640.0f, 480.0f, 1280, 960};
    // Colour camera relative to the depth camera, 4x4 row by row: rotation in columns 0-2, translation (mm)
    // in column 3.
    std::array<float, 16> color_from_depth{1, 0, 0, 25.0f, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float baseline_mm = 50.0f;  // between the two infrared sensors
};

// Resolution modes. Mode 4 is the sensors' full 2592x1944 mode; it streams binned to 1280x960, the size hosts
// read back for it (a full-size image would not fit one packet).
struct ResolutionMode {
    int mode;
    uint32_t image_mode;  // width in bits 12-23, height in bits 0-11
    int width, height;    // nominal size
    int stream_width, stream_height;
    const char* name;
};
const ResolutionMode* findResolutionMode(int mode);
constexpr int kResolutionModeCount = 5;
inline bool depthModeSupported(int mode) {
    return mode >= 0 && mode <= 4;
}
inline bool colorModeSupported(int mode) {
    return mode >= 1 && mode <= 4;
}

// Work-mode bits.
enum WorkModeBits : uint16_t {
    kWorkInfrared = 1,
    kWorkDepth = 2,
    kWorkColor = 4,
    kWorkAux = 8,
    kWorkAll = 15,
};

// Setting limits of the simulated firmware.
constexpr int kLaserPowerMax = 100;
constexpr int kIrGainMax = 54;
constexpr int kIrGainAuto = -1;
constexpr int kRgbGainMax = 255;
constexpr int kExposureMin = 1;
constexpr int kExposureMax = 10000;
constexpr int kExposureAuto = -1;
constexpr int kFramesPerTriggerMax = 255;
constexpr size_t kDefaultConfigMemory = 256 * 1024;
constexpr size_t kAuxDataSize = 2048;

struct DeviceSettings {
    uint16_t work_mode = 0;
    int depth_mode = 2;
    int color_mode = 2;
    int laser_power = 80;
    bool laser_auto = false;
    int ir_gain[2] = {16, 16};  // -1 = automatic
    int rgb_gain[3] = {128, 128, 128};
    int exposure = kExposureAuto;
    bool awb = true;
    bool trigger_mode = false;
    uint16_t trigger_record_mode = 0;  // last trigger-mode record
    uint8_t trigger_record_param = 0;
    int frames_per_trigger = 1;
    bool undistort = false;
    bool histogram = false;
    bool developer_mode = false;
};

}  // namespace kvsim
}  // namespace orvane
