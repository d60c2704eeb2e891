#include "sim/device/device_types.h"

#include <cstdio>

namespace orvane {
namespace kvsim {

std::string DeviceIdentity::firmwareText() const {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%u.%u.%u", fw_major, fw_minor, fw_patch);
    return buf;
}

std::string DeviceIdentity::hardwareText() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.0", hw_major, hw_minor);
    return buf;
}

std::string DeviceIdentity::buildHash() const {
    return "kvsim-" + firmwareText();
}

Intrinsic Intrinsic::scaledTo(int width, int height) const {
    Intrinsic out = *this;
    if (ref_width > 0 && ref_height > 0) {
        float sx = static_cast<float>(width) / static_cast<float>(ref_width);
        float sy = static_cast<float>(height) / static_cast<float>(ref_height);
        out.fx = fx * sx;
        out.cx = cx * sx;
        out.fy = fy * sy;
        out.cy = cy * sy;
    }
    out.ref_width = width;
    out.ref_height = height;
    return out;
}

const ResolutionMode* findResolutionMode(int mode) {
    static const ResolutionMode kModes[kResolutionModeCount] = {
        {0, 0xA0078, 160, 120, 160, 120, "160x120"},       {1, 0x1400F0, 320, 240, 320, 240, "320x240"},
        {2, 0x2801E0, 640, 480, 640, 480, "640x480"},      {3, 0x5003C0, 1280, 960, 1280, 960, "1280x960"},
        {4, 0xA20798, 2592, 1944, 1280, 960, "2592x1944"},
    };
    if (mode < 0 || mode >= kResolutionModeCount) return nullptr;
    return &kModes[mode];
}

}  // namespace kvsim
}  // namespace orvane
