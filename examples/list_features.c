/* Feature listing: every component of a camera and every feature it has, with type, access and value.
 * Feature identifiers carry their type in bits 12-15, so the listing asks KVGetFeatureInfo about each
 * identifier of each type (a local lookup: no device traffic until a value is read).
 *
 *   example_list_features ADDRESS
 */
#include <kvdepth.h>
#include <stdio.h>
#include <string.h>

static void printValue(KV_DEV_HANDLE camera, int32_t component, int32_t feature) {
    int32_t i = 0;
    float f = 0;
    bool b = false;
    char text[256] = {0};
    switch (feature & KV_FEATURE_TYPE_MASK) {
        case KV_FEATURE_TYPE_INT:
            if (KVGetInt(camera, component, feature, &i) == KV_STATUS_OK) printf(" = %d", i);
            break;
        case KV_FEATURE_TYPE_FLOAT:
            if (KVGetFloat(camera, component, feature, &f) == KV_STATUS_OK) printf(" = %g", f);
            break;
        case KV_FEATURE_TYPE_ENUM:
            if (KVGetEnum(camera, component, feature, &i) == KV_STATUS_OK) printf(" = %d", i);
            break;
        case KV_FEATURE_TYPE_BOOL:
            if (KVGetBool(camera, component, feature, &b) == KV_STATUS_OK)
                printf(" = %s", b ? "true" : "false");
            break;
        case KV_FEATURE_TYPE_STRING:
            if (KVGetString(camera, component, feature, text, sizeof text - 1) == KV_STATUS_OK)
                printf(" = \"%s\"", text);
            break;
        default:
            break;
    }
}

int main(int argc, char** argv) {
    static const char* types[] = {"?", "int", "float", "enum", "bool", "string", "bytes", "struct"};
    if (argc < 2) {
        fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
        return 2;
    }
    KV_DEV_HANDLE camera = NULL;
    int32_t components = 0;
    KV_STATUS status = _KVInitLib();
    if (status == KV_STATUS_OK) status = KVOpenDeviceWithIP(argv[1], &camera);
    if (status == KV_STATUS_OK) status = KVGetComponentIDs(camera, &components);
    if (status != KV_STATUS_OK) {
        fprintf(stderr, "%s: %s (%d)\n", argv[1], KVErrorString(status), status);
        KVDeinitLib();
        return 1;
    }
    int total = 0;
    for (int bit = 16; bit < 32; ++bit) {
        const int32_t component = (int32_t)(1u << bit);
        if (!(components & component)) continue;
        printf("component 0x%08x\n", (unsigned)component);
        for (int32_t feature = 0x1000; feature < 0x8000; ++feature) {
            KV_FEATURE_INFO info;
            if (KVGetFeatureInfo(camera, component, feature, &info) != KV_STATUS_OK || !info.isValid)
                continue;
            char name[33] = {0};
            memcpy(name, info.name, sizeof info.name);
            printf("  0x%04x %-20s %-6s %s%s", (unsigned)feature, name, types[(feature >> 12) & 7],
                   info.accessMode & KV_ACCESS_READ ? "r" : "-",
                   info.accessMode & KV_ACCESS_WRITE ? "w" : "-");
            printValue(camera, component, feature);
            printf("\n");
            ++total;
        }
    }
    printf("%d features\n", total);
    KVCloseDevice(camera);
    KVDeinitLib();
    return 0;
}
