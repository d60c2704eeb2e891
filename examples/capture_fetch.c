/* Capture by fetch: open a network camera, stream depth, and take frames with KVFetchFrame.
 *
 *   example_capture_fetch ADDRESS [FRAMES]
 */
#include <kvdepth.h>
#include <stdio.h>
#include <stdlib.h>

#define BUFFERS 3

static int check(KV_STATUS status, const char* what) {
    if (status != KV_STATUS_OK) fprintf(stderr, "%s: %s (%d)\n", what, KVErrorString(status), status);
    return status == KV_STATUS_OK;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s ADDRESS [FRAMES]\n", argv[0]);
        return 2;
    }
    const int frames = argc > 2 ? atoi(argv[2]) : 10;
    KV_DEV_HANDLE camera = NULL;
    void* buffers[BUFFERS] = {NULL};
    uint32_t size = 0;
    int ok = check(_KVInitLib(), "init") && check(KVOpenDeviceWithIP(argv[1], &camera), "open") &&
             check(KVEnableComponents(camera, KV_COMPONENT_DEPTH), "enable depth") &&
             check(KVGetFrameBufferSize(camera, &size), "frame buffer size");
    /* The library fills buffers the application owns; each goes back with KVEnqueueBuffer once used. */
    for (int i = 0; ok && i < BUFFERS; ++i) {
        buffers[i] = malloc(size);
        ok = buffers[i] && check(KVEnqueueBuffer(camera, buffers[i], (int32_t)size), "enqueue");
    }
    ok = ok && check(KVStartCapture(camera), "start");
    for (int n = 0; ok && n < frames; ++n) {
        KV_FRAME_DATA frame;
        ok = check(KVFetchFrame(camera, &frame, 3000), "fetch");
        for (int i = 0; ok && i < frame.validCount; ++i) {
            const KV_IMAGE_DATA* image = &frame.image[i];
            if (image->componentID != KV_COMPONENT_DEPTH) continue;
            const uint16_t* depth = (const uint16_t*)image->buffer;
            const int centre = (image->height / 2) * image->width + image->width / 2;
            printf("frame %d: depth %dx%d index %d, centre %u mm\n", n + 1, image->width, image->height,
                   image->imageIndex, depth[centre]);
        }
        ok = ok && check(KVEnqueueBuffer(camera, frame.userBuffer, frame.bufferSize), "enqueue");
    }
    if (camera) {
        bool capturing = false;
        if (KVIsCapturing(camera, &capturing) == KV_STATUS_OK && capturing) KVStopCapture(camera);
        KVCloseDevice(camera);
    }
    KVDeinitLib();
    for (int i = 0; i < BUFFERS; ++i) free(buffers[i]);
    return ok ? 0 : 1;
}
