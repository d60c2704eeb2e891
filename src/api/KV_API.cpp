// Library frame: status messages, version, context lifetime, handle check.
#include "api/KV_API.h"

#include <map>

#include "api/KvContext.h"

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

KV_STATUS checkHandle(KV_DEV_HANDLE handle, KvCamera** camera) {
    KvContext* context = g_kvContext;
    if (context == nullptr || context->getCameraByHandle(handle) == nullptr) return KV_STATUS_INVALID_HANDLE;
    *camera = static_cast<KvCamera*>(handle);
    return KV_STATUS_OK;
}

}  // namespace orvane

extern "C" {

KV_STATUS _KVInitLib(void) {
    if (orvane::g_kvContext != nullptr) return KV_STATUS_ERROR;
    orvane::g_kvContext = new orvane::KvContext();
    return KV_STATUS_OK;
}

KV_STATUS KVDeinitLib(void) {
    delete orvane::g_kvContext;
    orvane::g_kvContext = nullptr;
    return KV_STATUS_OK;
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

}  // extern "C"
