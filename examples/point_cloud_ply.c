/* Point cloud to a PLY file: the library turns each depth image into 3D points (millimetres, depth camera
 * frame) when the Point3D component is on; holes are NaN and are left out of the file.
 *
 *   example_point_cloud_ply ADDRESS FILE.ply
 */
#include <kvdepth.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static int check(KV_STATUS status, const char* what) {
    if (status != KV_STATUS_OK) fprintf(stderr, "%s: %s (%d)\n", what, KVErrorString(status), status);
    return status == KV_STATUS_OK;
}

static int writePly(const char* path, const KV_IMAGE_DATA* points) {
    const KV_VECT_3F* p = (const KV_VECT_3F*)points->buffer;
    const int count = points->width * points->height;
    int valid = 0;
    for (int i = 0; i < count; ++i) valid += !isnan(p[i].x) && p[i].z > 0;
    FILE* f = fopen(path, "w");
    if (!f) {
        perror(path);
        return -1;
    }
    fprintf(f,
            "ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\nproperty float z\n"
            "end_header\n",
            valid);
    for (int i = 0; i < count; ++i)
        if (!isnan(p[i].x) && p[i].z > 0) fprintf(f, "%.2f %.2f %.2f\n", p[i].x, p[i].y, p[i].z);
    return fclose(f) == 0 ? valid : -1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s ADDRESS FILE.ply\n", argv[0]);
        return 2;
    }
    KV_DEV_HANDLE camera = NULL;
    uint32_t size = 0;
    void* buffer = NULL;
    KV_FRAME_DATA frame;
    int ok = check(_KVInitLib(), "init") && check(KVOpenDeviceWithIP(argv[1], &camera), "open") &&
             check(KVEnableComponents(camera, KV_COMPONENT_DEPTH | KV_COMPONENT_POINT3D), "enable") &&
             check(KVGetFrameBufferSize(camera, &size), "frame buffer size") &&
             (buffer = malloc(size)) != NULL &&
             check(KVEnqueueBuffer(camera, buffer, (int32_t)size), "enqueue") &&
             check(KVStartCapture(camera), "start") && check(KVFetchFrame(camera, &frame, 3000), "fetch");
    int written = -1;
    for (int i = 0; ok && i < frame.validCount; ++i)
        if (frame.image[i].componentID == KV_COMPONENT_POINT3D) written = writePly(argv[2], &frame.image[i]);
    if (ok && written < 0) fprintf(stderr, "no point cloud written\n");
    if (written >= 0) printf("wrote %d points to %s\n", written, argv[2]);
    if (camera) {
        bool capturing = false;
        if (KVIsCapturing(camera, &capturing) == KV_STATUS_OK && capturing) KVStopCapture(camera);
        KVCloseDevice(camera);
    }
    KVDeinitLib();
    free(buffer);
    return written >= 0 ? 0 : 1;
}
