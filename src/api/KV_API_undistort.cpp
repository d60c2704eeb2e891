// Undistortion of a caller's image: needs no device and no library initialisation.
#include <cstdint>
#include <vector>

#include "api/KV_API.h"
#include "imgproc/image_util.h"
#include "kvdepth.h"

namespace orvane {
namespace {

// Bytes per pixel of the formats that can be undistorted, 0 for any other format.
int channelsOf(int32_t pixel_format) {
    switch (pixel_format) {
        case KV_PIXEL_FORMAT_MONO8:
            return 1;
        case KV_PIXEL_FORMAT_RGB8:
            return 3;
        default:
            return 0;
    }
}

int64_t imageBytes(const KV_IMAGE_DATA* image, int channels) {
    return static_cast<int64_t>(image->width) * image->height * channels;
}

bool overlaps(const void* a, int64_t a_bytes, const void* b, int64_t b_bytes) {
    const uintptr_t a_begin = reinterpret_cast<uintptr_t>(a), b_begin = reinterpret_cast<uintptr_t>(b);
    return a_begin < b_begin + static_cast<uintptr_t>(b_bytes) &&
           b_begin < a_begin + static_cast<uintptr_t>(a_bytes);
}

KV_STATUS undistortImage(const KV_CAMERA_INTRINSIC* intrinsic, const KV_CAMERA_DISTORTION* distortion,
                         const KV_CAMERA_INTRINSIC* newIntrinsic, const KV_IMAGE_DATA* src,
                         KV_IMAGE_DATA* dst) {
    if (intrinsic == nullptr || distortion == nullptr || src == nullptr || dst == nullptr ||
        src->buffer == nullptr || dst->buffer == nullptr) {
        return KV_STATUS_NULL_POINTER;
    }
    if (src->width <= 0 || src->height <= 0 || dst->width <= 0 || dst->height <= 0) {
        return KV_STATUS_INVALID_PARAMETER;
    }
    const int channels = channelsOf(src->pixelFormat);
    if (channels == 0) return KV_STATUS_INVALID_PARAMETER;
    if (imageBytes(dst, channels) > dst->size) return KV_STATUS_INVALID_PARAMETER;
    // The source is read whole, so a record that announces fewer bytes than its size needs is refused
    // rather than read past.
    if (imageBytes(src, channels) > src->size) return KV_STATUS_INVALID_PARAMETER;

    const uint8_t* source = static_cast<const uint8_t*>(src->buffer);
    // Undistorting in place (or into a buffer overlapping the source) would read pixels already
    // overwritten; such a source is copied first.
    std::vector<uint8_t> copy;
    if (overlaps(source, imageBytes(src, channels), dst->buffer, imageBytes(dst, channels))) {
        copy.assign(source, source + imageBytes(src, channels));
        source = copy.data();
    }
    // Video streams undistort frame after frame with one calibration: the map comes from the shared
    // cache, which matches on the exact parameter bits, so the output equals a fresh computation.
    const int result = UndistortMapCache::shared().undistort(
        intrinsic->data, newIntrinsic ? newIntrinsic->data : nullptr, distortion->data, src->width,
        src->height, dst->width, dst->height, source, src->width * channels,
        static_cast<uint8_t*>(dst->buffer), dst->width * channels, channels);
    dst->pixelFormat = src->pixelFormat;
    return result == 0 ? KV_STATUS_OK : KV_STATUS_ERROR;
}

}  // namespace
}  // namespace orvane

extern "C" KV_STATUS KVUndistortImage(const KV_CAMERA_INTRINSIC* intrinsic,
                                      const KV_CAMERA_DISTORTION* distortion,
                                      const KV_CAMERA_INTRINSIC* newIntrinsic, const KV_IMAGE_DATA* src,
                                      KV_IMAGE_DATA* dst) {
    return orvane::guarded(
        [&] { return orvane::undistortImage(intrinsic, distortion, newIntrinsic, src, dst); });
}
