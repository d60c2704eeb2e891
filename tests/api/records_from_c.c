/* The public header compiled as C: reports the layout a C application sees. */
#include "kvdepth.h"

#include "records_from_c.h"

#define ENTRY(type, field) \
    { #type "." #field, offsetof(type, field) }
#define SIZE(type) \
    { #type, sizeof(type) }

static const LayoutEntry kLayout[] = {
    SIZE(KV_VERSION_INFO),
    SIZE(KV_DEVICE_NET_INFO),
    ENTRY(KV_DEVICE_NET_INFO, ip),
    SIZE(KV_DEVICE_BASE_INFO),
    ENTRY(KV_DEVICE_BASE_INFO, id),
    ENTRY(KV_DEVICE_BASE_INFO, vendorName),
    ENTRY(KV_DEVICE_BASE_INFO, modelName),
    ENTRY(KV_DEVICE_BASE_INFO, hardwareVersion),
    ENTRY(KV_DEVICE_BASE_INFO, firmwareVersion),
    ENTRY(KV_DEVICE_BASE_INFO, netInfo),
    ENTRY(KV_DEVICE_BASE_INFO, initStatus),
    SIZE(KV_VECT_3F),
    SIZE(KV_CAMERA_INTRINSIC),
    SIZE(KV_CAMERA_DISTORTION),
    SIZE(KV_IMAGE_DATA),
    ENTRY(KV_IMAGE_DATA, imageIndex),
    ENTRY(KV_IMAGE_DATA, status),
    ENTRY(KV_IMAGE_DATA, componentID),
    ENTRY(KV_IMAGE_DATA, size),
    ENTRY(KV_IMAGE_DATA, buffer),
    ENTRY(KV_IMAGE_DATA, width),
    ENTRY(KV_IMAGE_DATA, height),
    ENTRY(KV_IMAGE_DATA, pixelFormat),
    SIZE(KV_FRAME_DATA),
    ENTRY(KV_FRAME_DATA, bufferSize),
    ENTRY(KV_FRAME_DATA, validCount),
    ENTRY(KV_FRAME_DATA, image),
    SIZE(KV_FEATURE_INFO),
    ENTRY(KV_FEATURE_INFO, accessMode),
    ENTRY(KV_FEATURE_INFO, writableAtRun),
    ENTRY(KV_FEATURE_INFO, componentID),
    ENTRY(KV_FEATURE_INFO, featureID),
    ENTRY(KV_FEATURE_INFO, name),
    ENTRY(KV_FEATURE_INFO, bindComponentID),
    ENTRY(KV_FEATURE_INFO, bindFeatureID),
    SIZE(KV_INT_RANGE),
    SIZE(KV_FLOAT_RANGE),
    SIZE(KV_ENUM_ENTRY),
    ENTRY(KV_ENUM_ENTRY, value),
    SIZE(KV_TRIGGER_MODE),
    ENTRY(KV_TRIGGER_MODE, param),
};

const LayoutEntry* layoutSeenFromC(int* count) {
    *count = (int)(sizeof(kLayout) / sizeof(kLayout[0]));
    return kLayout;
}

/* The status type and a call through a function pointer, from C. */
KV_STATUS versionFromC(KV_VERSION_INFO* info) {
    KV_STATUS (*fn)(KV_VERSION_INFO*) = KVLibVersion;
    return fn(info);
}
