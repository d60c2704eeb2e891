// Intrinsics for the current image size, the depth-to-world mapper and the depth-to-colour aligner.
#include <cstring>

#include "camera/KvCamera.h"
#include "device/KvHwDriver.h"

namespace orvane {

namespace {

// Extrinsic records hold at least a 3x4 matrix; intrinsic records 9 floats.
constexpr size_t kExtrinsicFloats = 12;

bool readFloats(const KvFeature& feature, float* out, size_t count) {
    if (feature.bytes.size() < count * sizeof(float)) return false;
    std::memcpy(out, feature.bytes.data(), count * sizeof(float));
    return true;
}

}  // namespace

bool KvCamera::calcCamCurIntrinsic(KvComponent* comp, const KvFeature* intrinsicFeature,
                                   KV_CAMERA_INTRINSIC* out) {
    if (!comp || !intrinsicFeature || !out) return false;
    float in[9];
    // A record that is too short, or all zeros (no calibration), has no focal length to scale.
    if (!readFloats(*intrinsicFeature, in, 9) || in[0] == 0.0f || in[4] == 0.0f) return false;
    const KvFeaturePtr width = comp->findFeature(kFeatureImageWidth);
    const KvFeaturePtr height = comp->findFeature(kFeatureImageHeight);
    const KvFeaturePtr refWidth = comp->findFeature(kFeatureIntrinsicWidth);
    const KvFeaturePtr refHeight = comp->findFeature(kFeatureIntrinsicHeight);
    if (!width || !height || !refWidth || !refHeight) return false;
    if (refWidth->isVolatile || refHeight->isVolatile) return false;
    if (width->isVolatile) readFeature(comp->id, width->id, width.get());
    if (height->isVolatile) readFeature(comp->id, height->id, height.get());
    const int32_t w = width->value.asInt();
    const int32_t h = height->value.asInt();
    const int32_t rw = refWidth->value.asInt();
    const int32_t rh = refHeight->value.asInt();
    if (w <= 0 || h <= 0 || rw <= 0 || rh <= 0) return false;

    const float rx = static_cast<float>(static_cast<double>(rw) / w);
    const float ry = static_cast<float>(static_cast<double>(rh) / h);
    // fx and cx follow the width, fy and cy the height.
    out->data[0] = in[0] / rx;
    out->data[1] = in[1];
    out->data[2] = in[2] / rx;
    out->data[3] = in[3];
    out->data[4] = in[4] / ry;
    out->data[5] = in[5] / ry;
    out->data[6] = in[6];
    out->data[7] = in[7];
    out->data[8] = in[8];
    return true;
}

int KvCamera::getCurIntrinsic(KvComponent* comp, const KvFeature* intrinsicFeature,
                              KV_CAMERA_INTRINSIC* out) {
    return calcCamCurIntrinsic(comp, intrinsicFeature, out) ? 0 : KV_STATUS_ERROR;
}

int KvCamera::getDepthToWorldMapper(KvDepthWorldMapper*& out) {
    KvComponent* depth = component(kComponentDepth);
    if (!depth) return KV_STATUS_INVALID_COMPONENT;
    const KvFeaturePtr intrinsicFeature = depth->findFeature(kFeatureIntrinsic);
    if (!intrinsicFeature) return KV_STATUS_INVALID_FEATURE;
    KV_CAMERA_INTRINSIC current;
    if (!calcCamCurIntrinsic(depth, intrinsicFeature.get(), &current)) return KV_STATUS_ERROR;
    KvDepthCameraIntrinsic block{};
    std::memcpy(block.data, current.data, sizeof(current.data));
    block.updateReciprocals();
    conversion_mapper_.setIntrinsic(block);
    out = &conversion_mapper_;
    return 0;
}

int KvCamera::setupImageAligner() {
    KvComponent* color = component(kComponentColor);
    if (!color) return KV_STATUS_INVALID_COMPONENT;
    const KvFeaturePtr extrinsic = color->findFeature(kFeatureExtrinsic);
    const KvFeaturePtr intrinsic = color->findFeature(kFeatureIntrinsic);
    const KvFeaturePtr refWidth = color->findFeature(kFeatureIntrinsicWidth);
    const KvFeaturePtr refHeight = color->findFeature(kFeatureIntrinsicHeight);
    const KvFeaturePtr width = color->findFeature(kFeatureImageWidth);
    const KvFeaturePtr height = color->findFeature(kFeatureImageHeight);
    if (!extrinsic || !intrinsic || !refWidth || !refHeight || !width || !height) {
        return KV_STATUS_NOT_IMPLEMENTED;
    }
    float matrix[kExtrinsicFloats];
    float colorIntrinsic[9];
    if (!readFloats(*extrinsic, matrix, kExtrinsicFloats) || !readFloats(*intrinsic, colorIntrinsic, 9)) {
        return KV_STATUS_NOT_IMPLEMENTED;
    }
    std::lock_guard<std::mutex> lock(aligner_mutex_);
    static const int kRotation[9] = {0, 1, 2, 4, 5, 6, 8, 9, 10};
    for (int i = 0; i < 9; ++i) aligner_.rotation[i] = matrix[kRotation[i]];
    aligner_.translation[0] = matrix[3];
    aligner_.translation[1] = matrix[7];
    aligner_.translation[2] = matrix[11];
    std::memcpy(aligner_.color_intrinsic, colorIntrinsic, sizeof(colorIntrinsic));
    aligner_.intrinsic_width = refWidth->value.asInt();
    aligner_.intrinsic_height = refHeight->value.asInt();
    aligner_.image_width = width->value.asInt();
    aligner_.image_height = height->value.asInt();
    return 0;
}

int64_t KvCamera::colorImageBytes() {
    KvComponent* color = component(kComponentColor);
    if (!color) return 0;
    const KvFeaturePtr width = color->findFeature(kFeatureImageWidth);
    const KvFeaturePtr height = color->findFeature(kFeatureImageHeight);
    if (!width || !height) return 0;
    if (width->isVolatile && readFeature(kComponentColor, width->id, width.get()) != 0) return 0;
    if (height->isVolatile && readFeature(kComponentColor, height->id, height.get()) != 0) return 0;
    const int64_t w = width->value.asInt();
    const int64_t h = height->value.asInt();
    return w > 0 && h > 0 ? w * h * 2 : 0;
}

int KvCamera::registerWorld2Color(const KV_VECT_3F* world, int paddingFloats, int count, uint16_t* out,
                                  int64_t outBytes) {
    if (!out) return KV_STATUS_NULL_POINTER;
    KvComponent* color = component(kComponentColor);
    if (!color) return KV_STATUS_INVALID_COMPONENT;
    const KvFeaturePtr width = color->findFeature(kFeatureImageWidth);
    const KvFeaturePtr height = color->findFeature(kFeatureImageHeight);
    if (!width || !height) return KV_STATUS_INVALID_FEATURE;
    if (width->isVolatile) {
        if (const int status = readFeature(kComponentColor, width->id, width.get())) return status;
    }
    if (height->isVolatile) {
        if (const int status = readFeature(kComponentColor, height->id, height.get())) return status;
    }
    const int64_t w = width->value.asInt();
    const int64_t h = height->value.asInt();
    if (w <= 0 || h <= 0) return KV_STATUS_DEVICE_ERROR;
    if (outBytes < w * h * 2) return KV_STATUS_OUT_OF_MEMORY;
    if (aligner_status_ != 0) return aligner_status_;
    if (paddingFloats < 0) return KV_STATUS_INVALID_PARAMETER;
    if (!world && count > 0) return KV_STATUS_NULL_POINTER;

    std::lock_guard<std::mutex> lock(aligner_mutex_);
    aligner_.image_width = static_cast<int32_t>(w);
    aligner_.image_height = static_cast<int32_t>(h);
    const float* points = reinterpret_cast<const float*>(world);
    const int status = aligner_.DepthAlignToColor(points, paddingFloats, count < 0 ? 0 : count, out);
    return status == 0 ? 0 : KV_STATUS_INVALID_PARAMETER;
}

int KvCamera::conversionIntrinsic(const void* in, const void* out, int32_t paddingBytes,
                                  KvDepthCameraIntrinsic& snapshot) {
    if (!in || !out) return KV_STATUS_NULL_POINTER;
    if (paddingBytes < 0 || paddingBytes % 4 != 0) return KV_STATUS_INVALID_PARAMETER;
    KvDepthWorldMapper* mapper = nullptr;
    if (const int status = getDepthToWorldMapper(mapper)) return status;
    // One parameter set for the whole call.
    snapshot = conversion_mapper_.intrinsic();
    return 0;
}

int KvCamera::depthToWorld(const KV_VECT_3F* depth, KV_VECT_3F* world, int32_t paddingBytes, int32_t count) {
    KvDepthCameraIntrinsic snapshot{};
    if (const int status = conversionIntrinsic(depth, world, paddingBytes, snapshot)) return status;
    const KvDepthCameraIntrinsic::DepthWorldMapper pinhole(&snapshot);
    uint8_t* out = reinterpret_cast<uint8_t*>(world);
    const size_t stride = sizeof(KV_VECT_3F) + static_cast<size_t>(paddingBytes);
    for (int32_t i = 0; i < count; ++i) {
        const KV_VECT_3F point = pinhole.getWorld(depth[i]);
        std::memcpy(out + static_cast<size_t>(i) * stride, &point, sizeof(point));
    }
    return 0;
}

int KvCamera::worldToDepth(const KV_VECT_3F* world, KV_VECT_3F* depth, int32_t paddingBytes, int32_t count) {
    KvDepthCameraIntrinsic snapshot{};
    if (const int status = conversionIntrinsic(world, depth, paddingBytes, snapshot)) return status;
    const KvDepthCameraIntrinsic::DepthWorldMapper pinhole(&snapshot);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(world);
    const size_t stride = sizeof(KV_VECT_3F) + static_cast<size_t>(paddingBytes);
    for (int32_t i = 0; i < count; ++i) {
        KV_VECT_3F point;
        std::memcpy(&point, in + static_cast<size_t>(i) * stride, sizeof(point));
        depth[i] = pinhole.getDepth(point);
    }
    return 0;
}

}  // namespace orvane
