// Exported feature access. The camera makes every check after the handle check, in the documented order.
#include "api/KV_API.h"
#include "camera/KvCamera.h"

using orvane::KvCamera;
using orvane::withCamera;

namespace {

// The trigger-mode record is sent to the device and copied back out, so it must be exactly one
// KV_TRIGGER_MODE: a larger buffer would be sent as garbage, a smaller one read or written past its end.
// Checked where the size check of every other struct comes: after component, feature, type and null.
KV_STATUS checkTriggerRecordSize(KvCamera& camera, int32_t componentID, int32_t featureID, const void* buffer,
                                 int32_t size) {
    if (featureID != orvane::kFeatureTriggerModeRecord || buffer == nullptr) return KV_STATUS_OK;
    orvane::KvComponent* component = camera.component(componentID);
    if (component == nullptr || !component->findFeature(featureID)) return KV_STATUS_OK;
    return size == static_cast<int32_t>(sizeof(KV_TRIGGER_MODE)) ? KV_STATUS_OK : KV_STATUS_WRONG_SIZE;
}

}  // namespace

extern "C" {

KV_STATUS KVGetFeatureInfo(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                           KV_FEATURE_INFO* info) {
    return withCamera(handle, [&](KvCamera& c) { return c.getFeatureInfo(componentID, featureID, info); });
}

KV_STATUS KVGetIntRange(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, KV_INT_RANGE* range) {
    return withCamera(handle, [&](KvCamera& c) { return c.getIntRange(componentID, featureID, range); });
}

KV_STATUS KVGetInt(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t* value) {
    return withCamera(handle, [&](KvCamera& c) { return c.getInt(componentID, featureID, value); });
}

KV_STATUS KVSetInt(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t value) {
    return withCamera(handle, [&](KvCamera& c) { return c.setInt(componentID, featureID, value); });
}

KV_STATUS KVGetFloatRange(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                          KV_FLOAT_RANGE* range) {
    return withCamera(handle, [&](KvCamera& c) { return c.getFloatRange(componentID, featureID, range); });
}

KV_STATUS KVGetFloat(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, float* value) {
    return withCamera(handle, [&](KvCamera& c) { return c.getFloat(componentID, featureID, value); });
}

KV_STATUS KVSetFloat(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, float value) {
    return withCamera(handle, [&](KvCamera& c) { return c.setFloat(componentID, featureID, value); });
}

KV_STATUS KVGetEnumEntryCount(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, uint32_t* count) {
    return withCamera(handle,
                      [&](KvCamera& c) { return c.getEnumEntryCount(componentID, featureID, count); });
}

KV_STATUS KVGetEnumEntryInfo(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                             KV_ENUM_ENTRY* entries, int32_t entryCount, uint32_t* filled) {
    return withCamera(handle, [&](KvCamera& c) {
        return c.getEnumEntryInfo(componentID, featureID, entries, entryCount, filled);
    });
}

KV_STATUS KVGetEnum(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t* value) {
    return withCamera(handle, [&](KvCamera& c) { return c.getEnum(componentID, featureID, value); });
}

KV_STATUS KVSetEnum(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t value) {
    return withCamera(handle, [&](KvCamera& c) { return c.setEnum(componentID, featureID, value); });
}

KV_STATUS KVGetBool(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, bool* value) {
    return withCamera(handle, [&](KvCamera& c) { return c.getBool(componentID, featureID, value); });
}

KV_STATUS KVSetBool(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, bool value) {
    return withCamera(handle, [&](KvCamera& c) { return c.setBool(componentID, featureID, value); });
}

KV_STATUS KVGetStringBufferSize(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                uint32_t* size) {
    return withCamera(handle,
                      [&](KvCamera& c) { return c.getStringBufferSize(componentID, featureID, size); });
}

KV_STATUS KVGetString(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, char* buffer,
                      int32_t bufferSize) {
    return withCamera(handle,
                      [&](KvCamera& c) { return c.getString(componentID, featureID, buffer, bufferSize); });
}

KV_STATUS KVSetString(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, const char* text) {
    return withCamera(handle, [&](KvCamera& c) { return c.setString(componentID, featureID, text); });
}

KV_STATUS KVGetByteArraySize(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, uint32_t* size) {
    return withCamera(handle, [&](KvCamera& c) { return c.getByteArraySize(componentID, featureID, size); });
}

KV_STATUS KVGetByteArray(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, uint8_t* buffer,
                         int32_t bufferSize, uint32_t* filled) {
    return withCamera(handle, [&](KvCamera& c) {
        return c.getByteArray(componentID, featureID, buffer, bufferSize, filled);
    });
}

KV_STATUS KVSetByteArray(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, const uint8_t* buffer,
                         int32_t size) {
    return withCamera(handle,
                      [&](KvCamera& c) { return c.setByteArray(componentID, featureID, buffer, size); });
}

// 0x7005 is refused before anything else, the handle included.
KV_STATUS KVGetStruct(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, void* buffer,
                      int32_t size) {
    if (featureID == orvane::kFeatureNotImplementedStruct) return KV_STATUS_NOT_IMPLEMENTED;
    return withCamera(handle, [&](KvCamera& c) {
        const KV_STATUS sized = checkTriggerRecordSize(c, componentID, featureID, buffer, size);
        return sized != KV_STATUS_OK ? sized : c.getStruct(componentID, featureID, buffer, size);
    });
}

KV_STATUS KVSetStruct(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, const void* buffer,
                      int32_t size) {
    if (featureID == orvane::kFeatureNotImplementedStruct) return KV_STATUS_NOT_IMPLEMENTED;
    return withCamera(handle, [&](KvCamera& c) {
        const KV_STATUS sized = checkTriggerRecordSize(c, componentID, featureID, buffer, size);
        return sized != KV_STATUS_OK ? sized : c.setStruct(componentID, featureID, buffer, size);
    });
}

}  // extern "C"
