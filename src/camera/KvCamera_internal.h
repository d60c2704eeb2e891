// Shared between the camera's source files only.
#pragma once

namespace orvane {

class KvCamera;

// The camera whose frame or event callback the current thread is running, or null.
extern thread_local const KvCamera* tls_callback_camera;

}  // namespace orvane
