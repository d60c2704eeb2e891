#include "api/KvContext.h"

namespace orvane {

KvContext* g_kvContext = nullptr;

void* KvContext::getCameraByHandle(void* handle) const {
    if (handle == nullptr) return nullptr;
    for (const auto& entry : m_cameras) {
        if (static_cast<void*>(entry.second) == handle) return handle;
    }
    return nullptr;
}

}  // namespace orvane
