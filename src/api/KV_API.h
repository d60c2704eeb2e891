// Helpers shared by the exported functions.
#pragma once

#include "kvdepth.h"

namespace orvane {

class KvCamera;

// Resolves a handle to its camera: KV_STATUS_OK and *camera set, or KV_STATUS_INVALID_HANDLE (also when the
// library is not initialised, since no handle can be valid then).
KV_STATUS checkHandle(KV_DEV_HANDLE handle, KvCamera** camera);

}  // namespace orvane
