/* A minimal application: initialise, print the version, release. */
#include <stdio.h>

#include <kvdepth.h>

int main(void) {
    KV_VERSION_INFO version;
    if (KVLibVersion(&version) != KV_STATUS_OK) return 1;
    if (_KVInitLib() != KV_STATUS_OK) return 2;
    printf("kvdepth %d.%d.%d: %s\n", version.major, version.minor, version.patch, KVErrorString(KV_STATUS_OK));
    return KVDeinitLib() == KV_STATUS_OK ? 0 : 3;
}
