// Exported functions on an open camera: information and masks, capture and frames, callbacks, raw
// access, registers, the descriptor text and device configuration.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/KV_API.h"
#include "api/KvContext.h"
#include "camera/KvCamera.h"

using orvane::KvCamera;
using orvane::withCamera;

namespace {

// Capture state gates shared by the pass-through pair: the stream is the receive thread's while it runs.
KV_STATUS passThroughAllowed(KvCamera& camera) {
    if (camera.isCapturing() || camera.internalReceiverOpenning()) return KV_STATUS_BUSY;
    return KV_STATUS_OK;
}

}  // namespace

extern "C" {

KV_STATUS KVEnterDeveloperMode(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) { return camera.enterDeveloperMode(); });
}

KV_STATUS KVGetDeviceInfo(KV_DEV_HANDLE handle, KV_DEVICE_BASE_INFO* info) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (info == nullptr) return KV_STATUS_NULL_POINTER;
        *info = camera.deviceInfo();
        return KV_STATUS_OK;
    });
}

KV_STATUS KVGetComponentIDs(KV_DEV_HANDLE handle, int32_t* mask) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (mask == nullptr) return KV_STATUS_NULL_POINTER;
        *mask = camera.componentIds();
        return KV_STATUS_OK;
    });
}

KV_STATUS KVGetEnabledComponentIDs(KV_DEV_HANDLE handle, int32_t* mask) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (mask == nullptr) return KV_STATUS_NULL_POINTER;
        *mask = camera.enabledComponents();
        return KV_STATUS_OK;
    });
}

KV_STATUS KVEnableComponents(KV_DEV_HANDLE handle, int32_t mask) {
    return withCamera(handle, [&](KvCamera& camera) { return camera.enableComponents(mask); });
}

KV_STATUS KVDisableComponents(KV_DEV_HANDLE handle, int32_t mask) {
    return withCamera(handle, [&](KvCamera& camera) { return camera.disableComponents(mask); });
}

KV_STATUS KVStartCapture(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) { return camera.start(); });
}

KV_STATUS KVStopCapture(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) { return camera.stop(); });
}

KV_STATUS KVIsCapturing(KV_DEV_HANDLE handle, bool* capturing) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (capturing == nullptr) return KV_STATUS_NULL_POINTER;
        *capturing = camera.isCapturing();
        return KV_STATUS_OK;
    });
}

KV_STATUS KVSendSoftTrigger(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) { return camera.sendTrigger(); });
}

KV_STATUS KVRegisterCallback(KV_DEV_HANDLE handle, KV_FRAME_CALLBACK callback, void* userData) {
    return withCamera(handle, [&](KvCamera& camera) { return camera.registerCallback(callback, userData); });
}

KV_STATUS KVRegisterEventCallback(KV_DEV_HANDLE handle, KV_EVENT_CALLBACK callback, void* userData) {
    return withCamera(handle,
                      [&](KvCamera& camera) { return camera.registerEventCallback(callback, userData); });
}

KV_STATUS KVSetStreamTap(KV_DEV_HANDLE handle, KV_STREAM_TAP_CALLBACK callback, void* userData) {
    const orvane::StreamTapSetting setting{callback, userData};
    if (handle == nullptr) {
        return orvane::withContext([&](orvane::KvContext& context) {
            context.setStreamTap(nullptr, setting);
            return KV_STATUS_OK;
        });
    }
    return withCamera(handle, [&](KvCamera& camera) {
        orvane::currentContext()->setStreamTap(&camera, setting);
        return KV_STATUS_OK;
    });
}

KV_STATUS KVRegisterIMUCallback(KV_DEV_HANDLE handle, KV_IMU_CALLBACK callback, void* userData) {
    return withCamera(handle,
                      [&](KvCamera& camera) { return camera.registerIMUCallback(callback, userData); });
}

KV_STATUS KVFetchFrame(KV_DEV_HANDLE handle, KV_FRAME_DATA* frame, int32_t timeoutMs) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (frame == nullptr) return KV_STATUS_NULL_POINTER;
        if (!camera.isCapturing()) return KV_STATUS_IDLE;
        return camera.fetchFrame(frame, timeoutMs);
    });
}

KV_STATUS KVGetFrameBufferSize(KV_DEV_HANDLE handle, uint32_t* size) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (size == nullptr) return KV_STATUS_NULL_POINTER;
        const int32_t bytes = camera.calcFrameBufferSize();
        // A failed layout must not reach the caller as a huge unsigned size to allocate.
        *size = bytes < 0 ? 0u : static_cast<uint32_t>(bytes);
        return bytes < 0 ? KV_STATUS_ERROR : KV_STATUS_OK;
    });
}

KV_STATUS KVEnqueueBuffer(KV_DEV_HANDLE handle, void* buffer, int32_t size) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (buffer == nullptr) return KV_STATUS_NULL_POINTER;
        if (size < 0 || size < camera.calcFrameBufferSize()) return KV_STATUS_WRONG_SIZE;
        return camera.enqueueBuffer(buffer, size);
    });
}

KV_STATUS KVClearBufferQueue(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) { return camera.clearBufferQueue(); });
}

KV_STATUS KVOpenInternalReceiver(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) {
        if (camera.internalReceiverOpenning()) return KV_STATUS_BUSY;
        return camera.openInternalReceiver();
    });
}

KV_STATUS KVCloseInternalReceiver(KV_DEV_HANDLE handle) {
    return withCamera(handle, [](KvCamera& camera) {
        if (!camera.internalReceiverOpenning()) return KV_STATUS_IDLE;
        return camera.closeInternalReceiver();
    });
}

KV_STATUS KVSendThrough(KV_DEV_HANDLE handle, const void* data, int32_t length) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (data == nullptr) return KV_STATUS_NULL_POINTER;
        if (length < 1) return KV_STATUS_INVALID_PARAMETER;
        const KV_STATUS allowed = passThroughAllowed(camera);
        if (allowed != KV_STATUS_OK) return allowed;
        return camera.sendThrough(data, length);
    });
}

KV_STATUS KVReceivedThrough(KV_DEV_HANDLE handle, void* buffer, int32_t length, int32_t* received) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (buffer == nullptr || received == nullptr) return KV_STATUS_NULL_POINTER;
        if (length < 1) return KV_STATUS_INVALID_PARAMETER;
        const KV_STATUS allowed = passThroughAllowed(camera);
        if (allowed != KV_STATUS_OK) return allowed;
        *received = camera.receivedThrough(buffer, length);
        return KV_STATUS_OK;
    });
}

KV_STATUS KVGetDeviceDescriptor(KV_DEV_HANDLE handle, char* buffer, int32_t bufferSize) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (buffer == nullptr) return KV_STATUS_NULL_POINTER;
        if (bufferSize < 0) return KV_STATUS_WRONG_SIZE;
        const std::string text = camera.readDescriptor();
        // An empty text means the device did not answer: that is not a descriptor.
        if (text.empty()) return KV_STATUS_DEVICE_ERROR;
        if (static_cast<size_t>(bufferSize) < text.size() + 1) return KV_STATUS_WRONG_SIZE;
        memcpy(buffer, text.c_str(), text.size());
        memset(buffer + text.size(), 0, static_cast<size_t>(bufferSize) - text.size());
        return KV_STATUS_OK;
    });
}

KV_STATUS KVReadRegister(KV_DEV_HANDLE handle, int32_t componentID, int32_t address, int32_t* value) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (camera.component(componentID) == nullptr) return KV_STATUS_INVALID_COMPONENT;
        if (value == nullptr) return KV_STATUS_NULL_POINTER;
        return camera.readRegister(componentID, address, value);
    });
}

KV_STATUS KVWriteRegister(KV_DEV_HANDLE handle, int32_t componentID, int32_t address, int32_t value) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (camera.component(componentID) == nullptr) return KV_STATUS_INVALID_COMPONENT;
        return camera.writeRegister(componentID, address, value);
    });
}

KV_STATUS KVLoadDeviceConfig(KV_DEV_HANDLE handle, const char* path) {
    return withCamera(handle, [&](KvCamera& camera) {
        if (path == nullptr) return KV_STATUS_NULL_POINTER;
        return camera.loadDeviceConfig(path);
    });
}

}  // extern "C"
