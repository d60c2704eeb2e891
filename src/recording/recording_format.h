// What a kvdepth recording holds beyond plain MCAP: channel topics, schema names and encodings, and the
// names of its attachments and metadata records.
#pragma once

namespace orvane {
namespace recording {

// The device's raw byte stream: 1 byte direction (0 to the device, 1 from it) followed by the bytes.
constexpr const char* kDeviceStreamTopic = "/device/stream";
constexpr const char* kDeviceStreamSchema = "kvdepth/DeviceStream";
constexpr const char* kDeviceStreamEncoding = "kvdepth.raw";

// One message per recorded frame (JSON): frame number, host time and its images' properties. Image
// messages carry the frame number as their sequence.
constexpr const char* kFramesTopic = "/frames";
constexpr const char* kFramesSchema = "kvdepth/Frame";

constexpr const char* kImageSchema = "sensor_msgs/msg/Image";
constexpr const char* kPointCloudSchema = "sensor_msgs/msg/PointCloud2";

constexpr const char* kDescriptorAttachment = "descriptor.xml";
constexpr const char* kDeviceMetadata = "device";
constexpr const char* kIntrinsicsMetadata = "intrinsics";
constexpr const char* kRecordingMetadata = "recording";  // written last: counts of the whole recording

}  // namespace recording
}  // namespace orvane
