// The XML texts the simulated camera serves: its device descriptor and its firmware-version document.
#pragma once

#include <string>

#include "sim/device/device_types.h"

namespace orvane {
namespace kvsim {

// The simulator's own descriptor: device, depth, left and right infrared, colour, 3D points and laser
// components with the features the host maps onto device commands. Image width and height are written as
// fixed values for the given resolution modes (hosts lay out frame buffers from them).
std::string buildDefaultDescriptor(const DeviceIdentity& identity, const Calibration& calibration,
                                   int depth_mode, int color_mode);

// Firmware-version document: root `firmware`, a `component` named "device" with version texts and a
// `build`/`hash` element.
std::string buildFirmwareXml(const DeviceIdentity& identity);

// Reads the calibration a descriptor declares (depth and colour intrinsics 0x7000 with their reference sizes
// 0x1003/0x1004, colour extrinsic 0x7001) over `calibration`; values the text lacks stay as they were.
// False with a message when the text is not XML, has no root element or is too long to serve.
bool calibrationFromDescriptor(const std::string& text, Calibration& calibration, std::string* error);

// Decimal or 0x-prefixed hexadecimal integer, as descriptor attributes write them; false for anything else.
bool parseDescriptorInt(const char* text, long long& value);

}  // namespace kvsim
}  // namespace orvane
