#include "frame_record.h"

#include <algorithm>
#include <cstdio>

namespace orvane {
namespace tool {

const ImageCopy* FrameRecord::find(int32_t component) const {
    for (const ImageCopy& image : images)
        if (image.component == component) return &image;
    return nullptr;
}

FrameRecord FrameRecord::copyOf(const KV_FRAME_DATA& frame, uint64_t number, int64_t host_time_us) {
    FrameRecord record;
    record.number = number;
    record.host_time_us = host_time_us;
    const int count = frame.validCount < 0 ? 0 : std::min<int>(frame.validCount, KV_MAX_IMAGES_PER_FRAME);
    for (int i = 0; i < count; ++i) {
        const KV_IMAGE_DATA& src = frame.image[i];
        ImageCopy copy;
        copy.component = src.componentID;
        copy.width = src.width;
        copy.height = src.height;
        copy.pixel_format = src.pixelFormat;
        copy.index = src.imageIndex;
        copy.timestamp = src.timestamp;
        if (src.buffer && src.size > 0) {
            const auto* bytes = static_cast<const uint8_t*>(src.buffer);
            copy.data.assign(bytes, bytes + src.size);
        }
        record.images.push_back(std::move(copy));
    }
    return record;
}

std::string streamName(int32_t component) {
    switch (component) {
        case KV_COMPONENT_DEPTH:
            return "depth";
        case KV_COMPONENT_LEFT_IR:
            return "ir_left";
        case KV_COMPONENT_RIGHT_IR:
            return "ir_right";
        case KV_COMPONENT_COLOR:
            return "color";
        case KV_COMPONENT_POINT3D:
            return "points";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "component_%08x", static_cast<uint32_t>(component));
            return text;
        }
    }
}

}  // namespace tool
}  // namespace orvane
