#include "device/vov_cam_video_source.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "diag/logger.h"
#include "imgproc/image_util.h"
#include "transport/ITransferStream.h"

namespace orvane {

namespace {

constexpr int kImagePacketType = 2;
// Longest single wait of a waiting thread; every wait re-checks its predicate at least this often.
constexpr std::chrono::milliseconds kWaitSlice{200};
// How long the closing stop-streaming command may wait: a silent device must not hold up a close.
constexpr int kCloseCommandTimeoutMs = 500;

// A depth image the hooks may write into: 16-bit pixels, positive dimensions, all of them in its buffer.
bool IsUsableDepthImage(const KV_IMAGE_DATA* image) {
    if (image == nullptr || image->buffer == nullptr) return false;
    if (image->pixelFormat != KV_PIXEL_FORMAT_DEPTH16) return false;
    if (image->width <= 0 || image->height <= 0) return false;
    const int64_t needed = static_cast<int64_t>(image->width) * image->height * 2;
    return image->size >= 0 && needed <= image->size;
}

// A shorter reply time limit for the commands of one scope.
class TimeoutOverride {
  public:
    TimeoutOverride(IPacketProcessor& processor, int32_t timeout_ms)
        : processor_(processor), saved_(processor.timeout_ms.load()) {
        processor_.timeout_ms.store(timeout_ms);
    }
    ~TimeoutOverride() { processor_.timeout_ms.store(saved_); }
    TimeoutOverride(const TimeoutOverride&) = delete;
    TimeoutOverride& operator=(const TimeoutOverride&) = delete;

  private:
    IPacketProcessor& processor_;
    int32_t saved_;
};

}  // namespace

VOVCamVideoSource::VOVCamVideoSource(KvFrameBufferQueue& empty_queue)
    : image_receiver(kImagePacketType, empty_queue) {
    receive_controller.set_underlay_stream(nullptr);
    receive_controller.AddProcessor(&image_receiver);
    receive_controller.AddProcessor(&param_processor);
    receive_controller.AddProcessor(&cam_control);
    image_receiver.frame_arrived_hook = [this](KV_FRAME_DATA* frame) { OnFrameArrived(frame); };
    image_receiver.frame_ready_hook = [this](KV_FRAME_DATA* frame) { OnFrameReady(frame); };
    // The controller reports the end of its thread to this object first, so that waiting fetches wake.
    receive_controller.SetEventCallback(&VOVCamVideoSource::OnReceiverEvent, this);
}

VOVCamVideoSource::~VOVCamVideoSource() {
    CloseDevice();
    StopCallbackThread();
    // A receive thread that ended by itself is still joinable; it must be gone before the processors it
    // calls are destroyed.
    receive_controller.StopReceive();
    receive_controller.RemoveProcessor(&cam_control);
    receive_controller.RemoveProcessor(&param_processor);
    receive_controller.RemoveProcessor(&image_receiver);
}

// ------------------------------------------------------------------------------------------------ lifecycle

void VOVCamVideoSource::SetStream(ITransferStream* transport) {
    stream_ = transport;
    receive_controller.set_underlay_stream(transport);
}

bool VOVCamVideoSource::ReceiverRunning() const {
    return Running();
}

void VOVCamVideoSource::EnableKeepAlive() {
    receive_controller.EnableKeepAlive();
}

int VOVCamVideoSource::SetEventCallback(KV_EVENT_CALLBACK callback, void* user_data) {
    event_user_data_.store(user_data);
    event_callback_.store(callback);
    return 0;
}

void VOVCamVideoSource::OnReceiverEvent(KV_EVENT_INFO* event, void* user_data) {
    auto* self = static_cast<VOVCamVideoSource*>(user_data);
    // The running flag is already clear: wake every fetch and the callback thread so they see it.
    self->WakeFrameWaiters();
    KV_EVENT_CALLBACK callback = self->event_callback_.load();
    void* callback_user = self->event_user_data_.load();
    // The application may close or destroy the device from its callback: nothing of this object is used
    // after the call.
    if (callback != nullptr) callback(event, callback_user);
}

void VOVCamVideoSource::JoinEndedReceiveThread() {
    // A thread that ended by itself may still be inside the application's event callback, which may issue
    // commands: it is joined here, before the command lock is taken, never under it.
    if (Running() || receive_controller.IsReceiveThread()) return;
    std::lock_guard<std::mutex> close(close_mutex_);
    receive_controller.StopReceive();
}

int VOVCamVideoSource::OpenDevice() {
    if (stream_ == nullptr) return -1;
    JoinEndedReceiveThread();
    {
        CommandLock command(command_mutex_);
        if (Running()) return -1;
        if (stream_->Open() != 0) return -1;
        stream_->set_timeout(kStreamTimeoutMs);
        if (receive_controller.StartReceive() != 0) {
            stream_->Close();
            return -1;
        }
    }
    int result = Handshake();
    if (result == 0 && !Running()) result = -1;  // the device went away during the handshake
    if (result == 0 && StartCallbackThread() != 0) result = -1;
    if (result == 0) return 0;
    // No thread is joined under the command lock: an event callback may be issuing a command.
    StopCallbackThread();
    {
        std::lock_guard<std::mutex> close(close_mutex_);
        receive_controller.StopReceive();
        stream_->Close();
    }
    WakeFrameWaiters();
    return result;
}

int VOVCamVideoSource::Handshake() {
    CommandLock command(command_mutex_);
    // The controller raises its running flag before its thread exists; a thread that fails at once
    // clears it again, which ends the loops below instead of waiting out every try.
    try {
        // Its answer does not matter, so a silent device must not hold the handshake for a whole
        // command time limit before the pings find out.
        {
            TimeoutOverride quick(param_processor, ping_timeout_ms.load());
            param_processor.ChangeDeviceMode(0);
        }
        KV_LOG(kLogInfo, "waiting device...");
        bool answered = false;
        for (int i = 0; i < kHandshakeTries && !answered && Running(); ++i) {
            answered = param_processor.Ping(ping_timeout_ms.load()) == kParamOk;
        }
        if (!answered) return -1;
        bool versioned = false;
        for (int i = 0; i < kHandshakeTries && !versioned && Running(); ++i) {
            int major = 0;
            int minor = 0;
            versioned = param_processor.GetFirmwareVersion(&major, &minor) == kParamOk;
            if (versioned) {
                firmware_major_.store(major);
                firmware_minor_.store(minor);
            }
        }
        if (!versioned) {
            KV_LOG(kLogError, "get firmware version error ");
            return -1;
        }
        if (ParseConfigFile() != 0) {
            KV_LOG(kLogError, "invlaid config file");
            return -2;
        }
    } catch (const std::exception& e) {
        KV_LOG(kLogError, "device handshake failed: %s", e.what());
        return -1;
    }
    return 0;
}

void VOVCamVideoSource::CloseDevice() {
    if (receive_controller.IsReceiveThread()) {
        // From the event callback: the receive thread cannot join itself or wait for the callback thread;
        // ask both to end; the next close or the destructor joins them.
        stop_callback_.store(true);
        receive_controller.StopReceive();
        WakeFrameWaiters();
        return;
    }
    if (!Running()) {
        // The receive thread is gone (or never ran): no device traffic; collect the threads.
        StopCallbackThread();
        std::lock_guard<std::mutex> close(close_mutex_);
        receive_controller.StopReceive();
        return;
    }
    stop_callback_.store(true);
    WakeFrameWaiters();
    {
        CommandLock command(command_mutex_);
        TimeoutOverride quick(param_processor, kCloseCommandTimeoutMs);
        try {
            param_processor.ChangeDeviceMode(0);
        } catch (const std::exception& e) {
            KV_LOG(kLogWarning, "stop streaming failed: %s", e.what());
        }
    }
    StopCallbackThread();
    std::lock_guard<std::mutex> close(close_mutex_);
    const bool was_running = Running();
    receive_controller.StopReceive();
    WakeFrameWaiters();
    if (was_running && stream_ != nullptr) stream_->Close();
}

int VOVCamVideoSource::OpenReceiver() {
    if (stream_ == nullptr) return -1;
    JoinEndedReceiveThread();
    {
        // No command may be pumping the parser on its own thread while the receive thread takes over.
        CommandLock command(command_mutex_);
        if (!Running() && receive_controller.StartReceive() != 0) return -1;
    }
    return StartCallbackThread() == 0 ? 0 : -1;
}

int VOVCamVideoSource::CloseReceiver() {
    CloseDevice();
    if (stream_ == nullptr) return -1;
    CommandLock command(command_mutex_);
    // A device that went away cannot be reopened: say so instead of leaving a closed stream behind.
    return stream_->Open() == 0 ? 0 : -1;
}

int VOVCamVideoSource::TriggerOnce() {
    CommandLock command(command_mutex_);
    try {
        const int result = param_processor.TriggerOnce();
        param_processor.Ping(1);
        return result == kParamOk ? 0 : -1;
    } catch (const std::exception& e) {
        KV_LOG(kLogError, "trigger failed: %s", e.what());
        return -1;
    }
}

// ------------------------------------------------------------------------------------------ frame delivery

void VOVCamVideoSource::WakeFrameWaiters() {
    {
        std::lock_guard<std::mutex> lock(image_receiver.frame_lock);
        image_receiver.frame_cond.notify_all();
    }
    std::lock_guard<std::mutex> lock(callback_mutex_);
    callback_cond_.notify_all();
}

bool VOVCamVideoSource::FetchShouldStop() const {
    return !Running() || stop_callback_.load();
}

int VOVCamVideoSource::fetchFrame(KV_FRAME_DATA* frame, int timeout_ms) {
    if (frame == nullptr) return KV_STATUS_NULL_POINTER;
    if (!Running()) return KV_STATUS_IDLE;
    const int first = image_receiver.GetFrames(frame);
    if (first == 0) return 0;
    // The receive thread completes frames; it would wait for itself.
    if (receive_controller.IsReceiveThread()) return KV_STATUS_NO_DATA;
    if (timeout_ms == 0) return first;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
        int wait_ms = timeout_ms;
        if (timeout_ms > 0) {
            wait_ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (wait_ms <= 0) return KV_STATUS_TIMEOUT;
        }
        const int waited = WaitForFrame(wait_ms);
        if (waited != 0) return waited;
        // With no free buffer left the receiver takes the oldest finished frame back for the next one, so
        // the frame the wait saw may be gone: wait for that next frame within the same time limit.
        const int got = image_receiver.GetFrames(frame);
        if (got != KV_STATUS_NO_DATA) return got;
    }
}

int VOVCamVideoSource::WaitForFrame(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::unique_lock<std::mutex> lock(image_receiver.frame_lock);
    // The predicate is checked under frame_lock, under which frames are completed and stops announced,
    // so a frame or a stop between the caller's first look and the wait is never missed.
    for (;;) {
        if (image_receiver.get_buffered_frame_num() > 0) return 0;
        if (FetchShouldStop()) return KV_STATUS_IDLE;
        const Clock::time_point now = Clock::now();
        if (timeout_ms > 0 && now >= deadline) return KV_STATUS_TIMEOUT;
        Clock::time_point until = now + kWaitSlice;
        if (timeout_ms > 0) until = std::min(until, deadline);
        image_receiver.frame_cond.wait_until(lock, until);
    }
}

void VOVCamVideoSource::SetFrameCallback(KV_FRAME_CALLBACK callback, void* user_data) {
    std::unique_lock<std::mutex> lock(callback_mutex_);
    frame_callback_ = callback;
    callback_user_data_ = user_data;
    callback_cond_.notify_all();
    // From inside the callback the running call is this one; waiting for it would never end.
    if (callback_thread_id_ == std::this_thread::get_id()) return;
    callback_cond_.wait(lock, [this] { return !callback_running_; });
}

KV_FRAME_CALLBACK VOVCamVideoSource::frame_callback() const {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    return frame_callback_;
}

void* VOVCamVideoSource::callback_user_data() const {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    return callback_user_data_;
}

void VOVCamVideoSource::SetCallbackUserData(void* user_data) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    callback_user_data_ = user_data;
}

int VOVCamVideoSource::StartCallbackThread() {
    std::thread leftover;
    {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        if (callback_thread_id_ == std::this_thread::get_id()) {
            // Reopened from inside the frame callback: this thread simply goes on serving.
            stop_callback_.store(false);
            return 0;
        }
        if (callback_thread_.joinable() && !callback_done_ && !stop_callback_.load()) return 0;
        leftover = std::move(callback_thread_);
    }
    if (leftover.joinable()) leftover.join();
    std::lock_guard<std::mutex> lock(callback_mutex_);
    stop_callback_.store(false);
    callback_done_ = false;
    try {
        callback_thread_ = std::thread([this] { UserFrameCallbackWorkThreadLoop(); });
    } catch (const std::system_error&) {
        callback_done_ = true;
        return -1;
    }
    return 0;
}

void VOVCamVideoSource::StopCallbackThread() {
    stop_callback_.store(true);
    WakeFrameWaiters();
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        // The callback thread cannot join itself; it ends after the current call and is joined later.
        if (callback_thread_id_ == std::this_thread::get_id()) return;
        thread = std::move(callback_thread_);
    }
    if (thread.joinable()) thread.join();
}

void VOVCamVideoSource::UserFrameCallbackWorkThreadLoop() {
    {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        callback_thread_id_ = std::this_thread::get_id();
    }
    KV_FRAME_DATA frame;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(callback_mutex_);
            // Decided under the lock together with callback_done_, so that a reopen either sees this
            // thread serving or sees it finished, never a thread about to leave.
            if (FetchShouldStop()) {
                callback_thread_id_ = std::thread::id();
                callback_done_ = true;
                callback_cond_.notify_all();
                return;
            }
            if (frame_callback_ == nullptr) {
                callback_cond_.wait_for(lock, kWaitSlice,
                                        [this] { return frame_callback_ != nullptr || FetchShouldStop(); });
                continue;
            }
        }
        // Wait for a frame without taking it: it is taken only together with the callback that gets
        // it, so a frame never goes to a callback unregistered meanwhile, nor is lost to nobody.
        if (WaitForFrame(-1) != 0) continue;
        std::unique_lock<std::mutex> lock(callback_mutex_);
        KV_FRAME_CALLBACK callback = frame_callback_;
        void* user_data = callback_user_data_;
        if (callback == nullptr) continue;
        std::memset(&frame, 0, sizeof(frame));
        if (image_receiver.GetFrames(&frame) != 0) continue;  // a polling thread was faster
        callback_running_ = true;
        lock.unlock();
        callback(&frame, user_data);
        lock.lock();
        callback_running_ = false;
        callback_cond_.notify_all();
    }
}

// --------------------------------------------------------------------------------------------- frame hooks

void VOVCamVideoSource::OnFrameArrived(KV_FRAME_DATA* frame) {
    // A record whose image count is out of range is not to be trusted with a write.
    if (frame == nullptr || frame->validCount < 0 || frame->validCount > KV_MAX_IMAGES_PER_FRAME) return;
    KV_IMAGE_DATA* depth = nullptr;
    for (int i = 0; i < frame->validCount && depth == nullptr; ++i) {
        if (frame->image[i].componentID == kDepthComponent) depth = &frame->image[i];
    }
    if (depth == nullptr) return;
    FilteSpeckle(depth);
    if (image_receiver.output_point3d.load()) GeneratePointCloud(frame, depth);
}

void VOVCamVideoSource::OnFrameReady(KV_FRAME_DATA*) {
    // Runs with frame_lock held, the lock fetchFrame waits under.
    image_receiver.frame_cond.notify_all();
}

void VOVCamVideoSource::FilteSpeckle(KV_IMAGE_DATA* image) {
    if (!IsUsableDepthImage(image)) return;
    std::lock_guard<std::mutex> lock(hook_mutex_);
    if (speckle_max_size_ <= 0 || speckle_max_diff_ <= 0) return;
    filterSpecklesImpl(image->width, image->height, static_cast<uint16_t*>(image->buffer), speckle_new_value_,
                       speckle_max_size_, speckle_max_diff_, speckle_buffer_);
}

void VOVCamVideoSource::GeneratePointCloud(KV_FRAME_DATA* frame, KV_IMAGE_DATA* depth) {
    if (frame == nullptr || !IsUsableDepthImage(depth)) return;
    if (frame->validCount < 0 || frame->validCount >= KV_MAX_IMAGES_PER_FRAME) return;
    std::lock_guard<std::mutex> lock(hook_mutex_);
    if (depth_world_mapper_ == nullptr) return;

    KV_IMAGE_DATA& slot = frame->image[frame->validCount];
    std::memset(&slot, 0, sizeof(slot));
    slot.timestamp = depth->timestamp;
    slot.status = depth->status;
    slot.componentID = kPoint3dComponent;
    slot.width = depth->width;
    slot.height = depth->height;
    slot.pixelFormat = KV_PIXEL_FORMAT_POINT3D_F32;
    const std::shared_ptr<KvFrameBuffer>& current = image_receiver.current_frame();
    const KvFrameBuffer::SubBufferRecord* points =
        current ? current->FindSubBuffer(kPoint3dComponent) : nullptr;
    const int64_t needed = static_cast<int64_t>(depth->width) * depth->height * sizeof(KV_VECT_3F);
    // A point sub-buffer too small for this depth image is treated as missing rather than overrun.
    if (points != nullptr && points->data != nullptr && points->size >= needed) {
        slot.buffer = points->data;
        slot.size = points->size;
    }
    ++frame->validCount;
    if (slot.buffer == nullptr) return;
    depth_world_mapper_->depthImage2WorldImage(static_cast<const uint16_t*>(depth->buffer), depth->width,
                                               depth->height, static_cast<KV_VECT_3F*>(slot.buffer));
}

void VOVCamVideoSource::SetDepthWorldMapper(const KvDepthWorldMapper* mapper) {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    depth_world_mapper_ = mapper;
}

const KvDepthWorldMapper* VOVCamVideoSource::depth_world_mapper() {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    return depth_world_mapper_;
}

std::unique_lock<std::mutex> VOVCamVideoSource::LockFrameHooks() {
    return std::unique_lock<std::mutex>(hook_mutex_);
}

}  // namespace orvane
