// Helpers shared by the exported functions.
#pragma once

#include <new>

#include "kvdepth.h"

namespace orvane {

class KvCamera;
class KvContext;

// The context, or null before _KVInitLib and after KVDeinitLib.
KvContext* currentContext();

// Resolves a handle to its camera: KV_STATUS_OK and *camera set; KV_STATUS_NOT_INITIALIZED without a
// context; KV_STATUS_INVALID_HANDLE when the handle is not a registered camera (null included).
KV_STATUS checkHandle(KV_DEV_HANDLE handle, KvCamera** camera);

// Runs the body of an exported function: no C++ exception may unwind into a C caller, so every one that
// escapes becomes a status.
template <typename Body>
KV_STATUS guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return KV_STATUS_OUT_OF_MEMORY;
    } catch (...) {
        return KV_STATUS_ERROR;
    }
}

// guarded() after the handle check; the body gets the camera.
template <typename Body>
KV_STATUS withCamera(KV_DEV_HANDLE handle, Body&& body) noexcept {
    return guarded([&]() -> KV_STATUS {
        KvCamera* camera = nullptr;
        const KV_STATUS status = checkHandle(handle, &camera);
        if (status != KV_STATUS_OK) return status;
        return body(*camera);
    });
}

// guarded() after the context check; the body gets the context.
template <typename Body>
KV_STATUS withContext(Body&& body) noexcept {
    return guarded([&]() -> KV_STATUS {
        KvContext* context = currentContext();
        if (context == nullptr) return KV_STATUS_NOT_INITIALIZED;
        return body(*context);
    });
}

}  // namespace orvane
