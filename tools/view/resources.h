// The viewer's page (HTML, CSS, JavaScript), compiled into the tool from tools/view/web.
#pragma once

#include <cstddef>
#include <string>

namespace orvane {
namespace tool {

struct WebResource {
    const char* path;  // "/index.html"
    const char* mime;
    const unsigned char* data;
    size_t size;
};

extern const WebResource kWebResources[];
extern const size_t kWebResourceCount;

// The embedded file served at `path` ("/" is the page), or null.
const WebResource* findWebResource(const std::string& path);

}  // namespace tool
}  // namespace orvane
