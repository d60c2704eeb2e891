#pragma once
#include <stddef.h>

#include "kvdepth.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct LayoutEntry {
    const char* name;
    size_t value;
} LayoutEntry;

const LayoutEntry* layoutSeenFromC(int* count);
KV_STATUS versionFromC(KV_VERSION_INFO* info);

#ifdef __cplusplus
}
#endif
