// The descriptor used when a device offers none of its own.
#pragma once

namespace orvane {

// One line of XML: device, depth, leftIR, rightIR, Point3D and laser components, protocol 1.
extern const char DefaultDeviceDescriptor[];

}  // namespace orvane
