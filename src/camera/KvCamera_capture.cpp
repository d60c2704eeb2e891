// Capture and frame buffers: the layout, the queue of application buffers, start/stop, fetch, the frame
// and event callbacks, the software trigger, registers and the raw pass-through.
#include <cstring>

#include "camera/KvCamera.h"
#include "camera/KvCamera_internal.h"
#include "device/KvHwDriver.h"
#include "device/vov_cam_video_source.h"
#include "diag/logger.h"
#include "transport/ITransferStream.h"

namespace orvane {

namespace {

constexpr int kSendThroughAttempts = 5;

// Marks the current thread as running a callback of `camera` for the scope.
class CallbackScope {
  public:
    explicit CallbackScope(const KvCamera* camera) : previous_(tls_callback_camera) {
        tls_callback_camera = camera;
    }
    ~CallbackScope() { tls_callback_camera = previous_; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    const KvCamera* previous_;
};

}  // namespace

// ---------------------------------------------------------------- layout and queue

std::vector<SubBufferInfo> KvCamera::frameBufferLayout() const {
    std::lock_guard<std::mutex> lock(layout_mutex_);
    return layout_;
}

int KvCamera::renewLayout() {
    std::vector<SubBufferInfo> layout;
    int size = 0;
    if (driver_ && components_) {
        size = driver_->getFramebufferSize(enabled_components_.load(), layout, components_.get());
    }
    if (size < 0) {
        KV_LOG(kLogWarning, "frame layout of components 0x%x failed (%d)",
               static_cast<unsigned>(enabled_components_.load()), size);
        layout.clear();
    }
    {
        std::lock_guard<std::mutex> lock(layout_mutex_);
        layout_ = std::move(layout);
    }
    layout_status_ = size < 0 ? size : 0;
    frame_buffer_size_ = size < 0 ? 0 : size;
    return layout_status_.load();
}

// Buffers queued for the previous layout are cut again for the current one (or dropped when they are now
// too small), so no buffer is ever written with slices of a layout it was not cut for.
void KvCamera::recutQueuedBuffers() {
    if (video_source_) video_source_->image_receiver.PlaceAllBufferToEmptyQ();
    const std::vector<SubBufferInfo> layout = frameBufferLayout();
    const int32_t frameSize = frame_buffer_size_.load();
    for (const KvFrameBufferQueue::Entry& old : queue_.dequeue_all()) {
        std::shared_ptr<KvFrameBuffer> buffer;
        if (layout_status_.load() == 0 && old->size >= frameSize) {
            buffer = KvFrameBuffer::Create(old->buffer, old->size, layout);
        }
        if (buffer) {
            queue_.enqueue(std::move(buffer));
        } else {
            KV_LOG(kLogInfo, "frame buffer of %d bytes dropped: too small for the new layout", old->size);
        }
    }
}

void KvCamera::dropAllBuffers() {
    // The queue first: once it is empty, the receiver cannot take another buffer after it let go of its own.
    queue_.clear();
    if (video_source_) video_source_->image_receiver.ClearBuffers();
}

int KvCamera::enqueueBuffer(void* buffer, int32_t size) {
    if (!buffer) return KV_STATUS_NULL_POINTER;
    if (layout_status_.load() < 0) return KV_STATUS_DEVICE_ERROR;
    if (frame_buffer_size_.load() > size) return KV_STATUS_WRONG_SIZE;
    std::shared_ptr<KvFrameBuffer> wrapper = KvFrameBuffer::Create(buffer, size, frameBufferLayout());
    if (!wrapper) return KV_STATUS_ERROR;
    queue_.enqueue(std::move(wrapper));
    return 0;
}

int KvCamera::getBufferQueueSize() const {
    return static_cast<int>(queue_.size());
}

int KvCamera::clearBufferQueue() {
    dropAllBuffers();
    return 0;
}

// ---------------------------------------------------------------- start and stop

int KvCamera::start() {
    const int32_t enabled = enabled_components_.load();
    if (enabled == 0) return KV_STATUS_INVALID_COMPONENT;
    if (capturing_.load()) return KV_STATUS_BUSY;
    if (queue_.empty()) return KV_STATUS_NO_BUFFER;
    if (!video_source_ || !driver_) return KV_STATUS_DEVICE_ERROR;
    if (layout_status_.load() < 0) return layout_status_.load();
    if (onReceiveThread()) return KV_STATUS_BUSY;
    if (!linkUp()) return KV_STATUS_DEVICE_ERROR;

    const KvDepthWorldMapper* pointMapper = nullptr;
    if ((enabled & kComponentPoint3D) != 0) {
        KvDepthWorldMapper* mapper = nullptr;
        if (getDepthToWorldMapper(mapper) == 0) {
            capture_mapper_.setIntrinsic(conversion_mapper_.intrinsic());
            pointMapper = &capture_mapper_;
        } else {
            KV_LOG(kLogWarning, "no depth intrinsic: frames carry no point cloud");
        }
    }
    video_source_->SetDepthWorldMapper(pointMapper);

    const int status = driver_->start(enabled);
    if (status == 0) capturing_ = true;
    return status;
}

int KvCamera::stop() {
    if (!capturing_.load()) return KV_STATUS_IDLE;
    if (!linkUp()) {
        // The device is gone: there is nobody to tell; only our state changes.
        capturing_ = false;
        return 0;
    }
    if (onReceiveThread()) return KV_STATUS_BUSY;
    int status = driver_->stop();
    if (status != 0 && !linkUp()) status = 0;  // the link died during the stop
    if (status == 0) capturing_ = false;
    return status;
}

// ---------------------------------------------------------------- frames and callbacks

int KvCamera::fetchFrame(KV_FRAME_DATA* frame, int timeout) {
    if (!frame) return KV_STATUS_NULL_POINTER;
    if (!capturing_.load() || !video_source_) return KV_STATUS_IDLE;
    if (frame_callback_registered_.load()) return KV_STATUS_WRONG_MODE;
    return video_source_->fetchFrame(frame, timeout);
}

void KvCamera::attachCallbacks() {
    if (!video_source_) return;
    video_source_->SetEventCallback(&KvCamera::eventTrampoline, this);
    const bool frames = frame_callback_registered_.load();
    video_source_->SetFrameCallback(frames ? &KvCamera::frameTrampoline : nullptr, frames ? this : nullptr);
}

int KvCamera::registerCallback(KV_FRAME_CALLBACK callback, void* userData) {
    {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        frame_callback_ = FrameCallbackPair{callback, userData};
        frame_callback_registered_ = callback != nullptr;
    }
    if (video_source_) {
        video_source_->SetFrameCallback(callback ? &KvCamera::frameTrampoline : nullptr,
                                        callback ? this : nullptr);
    }
    if (tls_callback_camera != this) {
        // A call of the previous pair that already started finishes before we return.
        std::lock_guard<std::mutex> wait(callback_call_mutex_);
    }
    return 0;
}

int KvCamera::registerEventCallback(KV_EVENT_CALLBACK callback, void* userData) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    event_callback_ = EventCallbackPair{callback, userData};
    return 0;
}

int KvCamera::registerIMUCallback(KV_IMU_CALLBACK, void*) {
    return KV_STATUS_NOT_IMPLEMENTED;
}

void KvCamera::frameTrampoline(KV_FRAME_DATA* frame, void* self) {
    static_cast<KvCamera*>(self)->dispatchFrame(frame);
}

void KvCamera::eventTrampoline(KV_EVENT_INFO* event, void* self) {
    static_cast<KvCamera*>(self)->dispatchEvent(event);
}

void KvCamera::dispatchFrame(KV_FRAME_DATA* frame) {
    std::lock_guard<std::mutex> call(callback_call_mutex_);
    FrameCallbackPair pair;
    {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        pair = frame_callback_;
    }
    if (!pair.callback) {
        // Unregistered while this frame was on its way: its buffer stays in circulation.
        if (frame && frame->userBuffer) enqueueBuffer(frame->userBuffer, frame->bufferSize);
        return;
    }
    CallbackScope scope(this);
    pair.callback(frame, pair.userData);
}

void KvCamera::dispatchEvent(KV_EVENT_INFO* event) {
    if (event && event->eventId == KV_EVENT_DEVICE_OFFLINE) offline_ = true;
    EventCallbackPair pair;
    {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        pair = event_callback_;
    }
    if (!pair.callback) return;
    CallbackScope scope(this);
    pair.callback(event, pair.userData);
}

// ---------------------------------------------------------------- trigger and registers

int KvCamera::sendTrigger() {
    if (!capturing_.load()) return KV_STATUS_IDLE;
    if (!video_source_ || !driver_) return KV_STATUS_DEVICE_ERROR;
    if (refuseWhileLinkNeedsThisThread()) return KV_STATUS_BUSY;
    // The model's feature when there is one (it keeps the fresh value), else a scratch record.
    KvFeature scratch;
    KvFeature* mode = &scratch;
    if (KvComponent* device = component(kComponentDevice)) {
        if (KvFeaturePtr f = device->findFeature(kFeatureTriggerMode)) mode = f.get();
    }
    const int status = driver_->readFeature(kComponentDevice, kFeatureTriggerMode, mode);
    if (status != 0) return status;
    if (!mode->value.asBool()) return KV_STATUS_WRONG_MODE;
    return video_source_->TriggerOnce() == 0 ? 0 : KV_STATUS_DEVICE_ERROR;
}

int KvCamera::readRegister(int32_t componentId, int32_t reg, int32_t* value) {
    if (!component(componentId)) return KV_STATUS_INVALID_COMPONENT;
    if (!value) return KV_STATUS_NULL_POINTER;
    if (!driver_) return KV_STATUS_DEVICE_ERROR;
    if (refuseWhileLinkNeedsThisThread()) return KV_STATUS_BUSY;
    return driver_->readRegister(componentId, reg, value);
}

int KvCamera::writeRegister(int32_t componentId, int32_t reg, int32_t value) {
    if (!component(componentId)) return KV_STATUS_INVALID_COMPONENT;
    if (!driver_) return KV_STATUS_DEVICE_ERROR;
    if (refuseWhileLinkNeedsThisThread()) return KV_STATUS_BUSY;
    return driver_->writeRegister(componentId, reg, value);
}

// ---------------------------------------------------------------- internal receiver and pass-through

int KvCamera::openInternalReceiver() {
    if (isInsideCallback()) return KV_STATUS_BUSY;
    if (!video_source_) return KV_STATUS_DEVICE_ERROR;
    if (video_source_->ReceiverRunning()) return KV_STATUS_BUSY;
    if (video_source_->OpenReceiver() != 0) return KV_STATUS_ERROR;
    offline_ = false;
    return 0;
}

int KvCamera::closeInternalReceiver() {
    if (isInsideCallback()) return KV_STATUS_BUSY;
    if (!video_source_ || !video_source_->ReceiverRunning()) return KV_STATUS_IDLE;
    return video_source_->CloseReceiver() == 0 ? 0 : KV_STATUS_ERROR;
}

bool KvCamera::internalReceiverOpenning() const {
    return video_source_ && video_source_->ReceiverRunning();
}

int KvCamera::sendThrough(const void* data, int32_t length) {
    if (!data) return KV_STATUS_NULL_POINTER;
    if (length < 1) return 0;
    if (capturing_.load()) return KV_STATUS_BUSY;
    if (!stream_) return KV_STATUS_DEVICE_ERROR;
    // While the receiver runs, raw bytes must not land in the middle of another sender's packet.
    const bool locked = internalReceiverOpenning();
    if (locked) video_source_->receive_controller.LockStream();
    int status = KV_STATUS_ERROR;
    for (int attempt = 0; attempt < kSendThroughAttempts && status != 0; ++attempt) {
        const char* next = static_cast<const char*>(data);
        int32_t left = length;
        while (left > 0) {
            const int sent = stream_->Send(next, left);
            if (sent < 1) break;
            next += sent;
            left -= sent;
        }
        if (left == 0) status = 0;
    }
    if (locked) video_source_->receive_controller.UnlockStream();
    return status;
}

int KvCamera::receivedThrough(void* data, int32_t length) {
    if (!data) return KV_STATUS_NULL_POINTER;
    if (capturing_.load()) return KV_STATUS_BUSY;
    // The receive thread owns the incoming bytes while it runs.
    if (internalReceiverOpenning()) return KV_STATUS_BUSY;
    if (!stream_) return KV_STATUS_DEVICE_ERROR;
    return stream_->Receive(static_cast<char*>(data), length);
}

}  // namespace orvane
