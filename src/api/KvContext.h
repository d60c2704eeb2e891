// The library-wide device registry: owns every camera object, keyed by its stream identifier.
#pragma once

#include <map>
#include <string>

namespace orvane {

class KvCamera;

class KvContext {
  public:
    KvContext() = default;
    ~KvContext() = default;
    KvContext(const KvContext&) = delete;
    KvContext& operator=(const KvContext&) = delete;

    // The handle if it is the address of a camera in the registry, else null.
    void* getCameraByHandle(void* handle) const;

    size_t cameraCount() const { return m_cameras.size(); }

  private:
    std::map<std::string, KvCamera*> m_cameras;
};

// The one context of the process: null before _KVInitLib and after KVDeinitLib.
extern KvContext* g_kvContext;

}  // namespace orvane
