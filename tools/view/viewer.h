// kvdepth view: captures from a camera and shows it in a browser page served on a local address.
#pragma once

#include <string>

#include "camera_session.h"

namespace orvane {
namespace tool {

struct ViewOptions {
    std::string address = "127.0.0.1";  // where the page is served; loopback unless the user names another
    int port = 8080;                    // 0: any free port
    std::string streams = "depth,ir,color,points";
    std::string out = "kvdepth-snapshots";  // where the snapshot button writes
    bool verbose = false;                   // print the frame rate and CPU use every few seconds
};

int runView(const CameraChoice& camera, const ViewOptions& options);

}  // namespace tool
}  // namespace orvane
