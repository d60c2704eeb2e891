// The image messages of a recording in the form robotics tools read: ROS 2 sensor_msgs/msg/Image and
// sensor_msgs/msg/PointCloud2, serialised as little-endian CDR, with their message definitions as schemas.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {
namespace recording {

// The definition texts published as schemas (encoding "ros2msg").
extern const char* const kImageDefinition;
extern const char* const kPointCloudDefinition;

struct ImageFields {
    uint64_t stamp_us = 0;  // the camera's timestamp
    std::string frame_id;
    uint32_t width = 0;
    uint32_t height = 0;
    std::string encoding;  // "16UC1", "mono8", "rgb8", ...
    uint32_t step = 0;     // bytes per row
};

// The serialised message is head + pixel bytes (+ tail for point clouds), so the pixels need not be copied.
struct SerializedParts {
    std::vector<uint8_t> head;
    std::vector<uint8_t> tail;
};
SerializedParts serializeImage(const ImageFields& fields, size_t data_size);
// An organised cloud of x, y, z float32 points, width x height, holes as NaN.
SerializedParts serializePointCloud(const ImageFields& fields, size_t data_size);

struct DecodedImage {
    ImageFields fields;
    const uint8_t* data = nullptr;  // points into the message
    size_t size = 0;
};
// Decodes either message kind (by schema name); false for bytes that do not hold one.
bool decodeImageMessage(const std::string& schema_name, const uint8_t* message, size_t size,
                        DecodedImage* out);

// The ROS image encoding of a kvdepth pixel format code.
std::string rosEncoding(int32_t pixel_format);

}  // namespace recording
}  // namespace orvane
