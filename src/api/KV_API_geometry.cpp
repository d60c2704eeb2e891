// Exported depth/world conversion and world-to-colour registration.
#include <climits>

#include "api/KV_API.h"
#include "camera/KvCamera.h"

using orvane::KvCamera;
using orvane::withCamera;

namespace {

// Points are stepped 12 + padding bytes apart: the padding must keep floats aligned, must not step
// backwards and must not overflow the step.
bool validPadding(int32_t paddingBytes) {
    return paddingBytes >= 0 && paddingBytes % 4 == 0 && paddingBytes <= INT32_MAX - 12;
}

}  // namespace

extern "C" {

KV_STATUS KVDepthToWorld(KV_DEV_HANDLE handle, const KV_VECT_3F* depth, KV_VECT_3F* world,
                         int32_t worldPadding, int32_t count) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (depth == nullptr || world == nullptr) return KV_STATUS_NULL_POINTER;
        if (!validPadding(worldPadding)) return KV_STATUS_INVALID_PARAMETER;
        return camera.depthToWorld(depth, world, worldPadding, count);
    });
}

KV_STATUS KVWorldToDepth(KV_DEV_HANDLE handle, const KV_VECT_3F* world, KV_VECT_3F* depth,
                         int32_t worldPadding, int32_t count) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (world == nullptr || depth == nullptr) return KV_STATUS_NULL_POINTER;
        if (!validPadding(worldPadding)) return KV_STATUS_INVALID_PARAMETER;
        return camera.worldToDepth(world, depth, worldPadding, count);
    });
}

KV_STATUS KVRegisterWorldToColor(KV_DEV_HANDLE handle, const KV_VECT_3F* world, int32_t worldPadding,
                                 int32_t count, uint16_t* depthOut, int32_t outSize) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (world == nullptr || depthOut == nullptr) return KV_STATUS_NULL_POINTER;
        if (!validPadding(worldPadding)) return KV_STATUS_INVALID_PARAMETER;
        if (camera.component(orvane::kComponentColor) == nullptr) return KV_STATUS_INVALID_COMPONENT;
        return camera.registerWorld2Color(world, worldPadding / 4, count, depthOut, outSize);
    });
}

}  // extern "C"
