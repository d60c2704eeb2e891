/* Capture by callback: frames arrive on a library thread; the main thread waits until enough came.
 *
 *   example_capture_callback ADDRESS [FRAMES]
 */
#include <kvdepth.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define BUFFERS 3

struct Counter {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int frames;
    int wanted;
    KV_DEV_HANDLE camera;
};

/* Runs on the library's frame thread: keep it short, and give the buffer back for the next frame. */
static void onFrame(KV_FRAME_DATA* frame, void* user) {
    struct Counter* counter = (struct Counter*)user;
    pthread_mutex_lock(&counter->lock);
    const int n = ++counter->frames;
    pthread_cond_signal(&counter->changed);
    pthread_mutex_unlock(&counter->lock);
    if (n <= counter->wanted && frame->validCount > 0)
        printf("callback frame %d: %d images, first index %d\n", n, frame->validCount,
               frame->image[0].imageIndex);
    KVEnqueueBuffer(counter->camera, frame->userBuffer, frame->bufferSize);
}

static int check(KV_STATUS status, const char* what) {
    if (status != KV_STATUS_OK) fprintf(stderr, "%s: %s (%d)\n", what, KVErrorString(status), status);
    return status == KV_STATUS_OK;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s ADDRESS [FRAMES]\n", argv[0]);
        return 2;
    }
    struct Counter counter = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0,
                              argc > 2 ? atoi(argv[2]) : 10, NULL};
    void* buffers[BUFFERS] = {NULL};
    uint32_t size = 0;
    int ok = check(_KVInitLib(), "init") && check(KVOpenDeviceWithIP(argv[1], &counter.camera), "open") &&
             check(KVEnableComponents(counter.camera, KV_COMPONENT_DEPTH | KV_COMPONENT_COLOR), "enable") &&
             check(KVGetFrameBufferSize(counter.camera, &size), "frame buffer size") &&
             check(KVRegisterCallback(counter.camera, onFrame, &counter), "register callback");
    for (int i = 0; ok && i < BUFFERS; ++i) {
        buffers[i] = malloc(size);
        ok = buffers[i] && check(KVEnqueueBuffer(counter.camera, buffers[i], (int32_t)size), "enqueue");
    }
    ok = ok && check(KVStartCapture(counter.camera), "start");
    if (ok) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 10;
        pthread_mutex_lock(&counter.lock);
        while (counter.frames < counter.wanted && ok)
            ok = pthread_cond_timedwait(&counter.changed, &counter.lock, &deadline) == 0 ||
                 counter.frames >= counter.wanted;
        pthread_mutex_unlock(&counter.lock);
        if (!ok) fprintf(stderr, "timed out waiting for frames\n");
    }
    if (counter.camera) {
        bool capturing = false;
        if (KVIsCapturing(counter.camera, &capturing) == KV_STATUS_OK && capturing)
            KVStopCapture(counter.camera);
        KVCloseDevice(counter.camera);
    }
    KVDeinitLib(); /* the callback thread is gone after this, so the buffers can go */
    for (int i = 0; i < BUFFERS; ++i) free(buffers[i]);
    if (ok) printf("received %d frames by callback\n", counter.wanted);
    return ok ? 0 : 1;
}
