// One entry of a frame-buffer layout: which component's image goes into the slice, and how many bytes it
// takes. A layout is an ordered list of these; the slices follow one another with no padding.
#pragma once

#include <cstdint>

namespace orvane {

struct SubBufferInfo {
    int32_t componentID = 0;
    int32_t size = 0;
};

}  // namespace orvane
