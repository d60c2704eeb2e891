// Library frame (status messages, version, context lifetime, handle check) and the device registry
// functions.
#include "api/KV_API.h"

#include <algorithm>
#include <map>
#include <vector>

#include "api/KvContext.h"
#include "camera/KvCamera.h"

namespace orvane {
namespace {

// Built at load time and never changed, so lookups need no lock.
const std::map<KV_STATUS, const char*> kErrorStrings = {
    {KV_STATUS_OK, "no error"},
    {KV_STATUS_ERROR, "some error"},
    {KV_STATUS_NOT_INITIALIZED, "not initialized"},
    {KV_STATUS_NOT_IMPLEMENTED, "not implemented"},
    {KV_STATUS_NOT_PERMITTED, "not permitted"},
    {KV_STATUS_DEVICE_ERROR, "device error"},
    {KV_STATUS_INVALID_PARAMETER, "invalid parameter"},
    {KV_STATUS_INVALID_HANDLE, "invalid device handle"},
    {KV_STATUS_INVALID_COMPONENT, "invalid component"},
    {KV_STATUS_INVALID_FEATURE, "invalid feature"},
    {KV_STATUS_WRONG_TYPE, "wrong type"},
    {KV_STATUS_WRONG_SIZE, "wrong size"},
    {KV_STATUS_OUT_OF_MEMORY, "out of memory"},
    {KV_STATUS_OUT_OF_RANGE, "out of range"},
    {KV_STATUS_TIMEOUT, "timeout"},
    {KV_STATUS_WRONG_MODE, "wrong mode"},
    {KV_STATUS_BUSY, "system busy"},
    {KV_STATUS_IDLE, "system idle"},
    {KV_STATUS_NO_DATA, "no data"},
    {KV_STATUS_NO_BUFFER, "no enqueue buffer"},
    {KV_STATUS_NULL_POINTER, "null pointer"},
    {KV_STATUS_READONLY_FEATURE, "read only feature"},
};

constexpr const char* kUnknownErrorText = "KVErrorString called with invalid error id.";

}  // namespace

KvContext* currentContext() {
    return g_kvContext.load(std::memory_order_acquire);
}

KV_STATUS checkHandle(KV_DEV_HANDLE handle, KvCamera** camera) {
    KvContext* context = currentContext();
    if (context == nullptr) return KV_STATUS_NOT_INITIALIZED;
    KvCamera* found = context->getCameraByHandle(handle);
    if (found == nullptr) return KV_STATUS_INVALID_HANDLE;
    *camera = found;
    return KV_STATUS_OK;
}

}  // namespace orvane

extern "C" {

using orvane::guarded;
using orvane::KvCamera;
using orvane::KvContext;
using orvane::withCamera;
using orvane::withContext;

KV_STATUS _KVInitLib(void) {
    return guarded([] {
        if (orvane::currentContext() != nullptr) return KV_STATUS_ERROR;
        orvane::g_kvContext.store(new KvContext(), std::memory_order_release);
        return KV_STATUS_OK;
    });
}

KV_STATUS KVDeinitLib(void) {
    return guarded([] {
        delete orvane::g_kvContext.exchange(nullptr, std::memory_order_acq_rel);
        return KV_STATUS_OK;
    });
}

KV_STATUS KVLibVersion(KV_VERSION_INFO* version) {
    if (version == nullptr) return KV_STATUS_NULL_POINTER;
    version->major = 2;
    version->minor = 6;
    version->patch = 5;
    return KV_STATUS_OK;
}

const char* KVErrorString(KV_STATUS status) {
    auto found = orvane::kErrorStrings.find(status);
    return found == orvane::kErrorStrings.end() ? orvane::kUnknownErrorText : found->second;
}

KV_STATUS KVGetDeviceNumber(uint32_t* count) {
    return withContext([&](KvContext& context) {
        if (count == nullptr) return KV_STATUS_NULL_POINTER;
        *count = static_cast<uint32_t>(context.deviceCount());
        return KV_STATUS_OK;
    });
}

KV_STATUS KVGetDeviceList(KV_DEVICE_BASE_INFO* list, int32_t capacity, int32_t* filled) {
    return withContext([&](KvContext& context) {
        if (list == nullptr || filled == nullptr) return KV_STATUS_NULL_POINTER;
        const std::vector<KV_DEVICE_BASE_INFO> infos = context.deviceInfos();
        const size_t count = capacity < 1 ? 0 : std::min(infos.size(), static_cast<size_t>(capacity));
        std::copy_n(infos.begin(), count, list);
        *filled = static_cast<int32_t>(count);
        return KV_STATUS_OK;
    });
}

KV_STATUS KVGetDeviceNetInfo(const char* deviceId, KV_DEVICE_NET_INFO* info) {
    return withContext([&](KvContext& context) {
        if (deviceId == nullptr || info == nullptr) return KV_STATUS_NULL_POINTER;
        return context.getNetInfo(deviceId, info);
    });
}

KV_STATUS KVSetDeviceNetInfo(const char* deviceId, const KV_DEVICE_NET_INFO* info) {
    return withContext([&](KvContext& context) {
        if (deviceId == nullptr || info == nullptr) return KV_STATUS_NULL_POINTER;
        return context.setNetInfo(deviceId, *info);
    });
}

KV_STATUS KVOpenDevice(const char* deviceId, KV_DEV_HANDLE* handle) {
    return withContext([&](KvContext& context) {
        if (deviceId == nullptr || handle == nullptr) return KV_STATUS_NULL_POINTER;
        KvCamera* camera = nullptr;
        const int status = context.openByID(deviceId, &camera);
        *handle = camera;
        return status;
    });
}

KV_STATUS KVOpenDeviceWithIP(const char* ip, KV_DEV_HANDLE* handle) {
    return withContext([&](KvContext& context) {
        if (ip == nullptr || handle == nullptr) return KV_STATUS_NULL_POINTER;
        KvCamera* camera = nullptr;
        const int status = context.openByIP(ip, &camera);
        *handle = camera;
        return status;
    });
}

KV_STATUS KVCloseDevice(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) {
        const int status = camera.close();
        if (status != KV_STATUS_OK) return status;
        camera.clearBufferQueue();
        return KV_STATUS_OK;
    });
}

const char* KVGetFirmwareVer(const char* deviceId) {
    try {
        KvContext* context = orvane::currentContext();
        if (context == nullptr || deviceId == nullptr) return nullptr;
        return context->firmwareVersion(deviceId);
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
