// Image packets into frames: the receiver claims every image packet, points the framing layer at the
// sub-buffer of the application's memory where the image belongs, records each image in the frame's
// KV_FRAME_DATA and queues the frame once every image it can get has arrived.
//
// Buffers move: application -> empty queue -> being filled (current frame) -> finished queue -> application
// (GetFrames), or back to the empty queue (PlaceAllBufferToEmptyQ), or dropped (ClearBuffers).
//
// Locking: frame_lock is always taken before a queue's mutex; a queue's mutex is never held while taking
// frame_lock or the other queue's mutex.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kvdepth.h"
#include "protocol/device_receive_controller.h"
#include "protocol/packet_base.h"
#include "stream/sub_buffer_info.h"

namespace orvane {

// One application buffer enqueued for frames, cut into one consecutive slice per layout entry.
struct KvFrameBuffer {
    struct SubBufferRecord {
        int32_t componentID = 0;
        int32_t size = 0;
        uint8_t* data = nullptr;  // inside buffer
    };

    uint8_t* buffer = nullptr;  // the application's memory, not owned
    int32_t size = 0;
    int32_t used_size = 0;  // sum of the sub-buffer sizes
    std::vector<SubBufferRecord> sub_buffers;
    KV_FRAME_DATA frame{};  // handed to the application; zero until the buffer is filled

    // Wraps the application's memory and cuts it into the slices of the layout, the first at `buffer`.
    // Returns null when the memory is null, a size is negative, or the layout does not fit into `size`.
    static std::shared_ptr<KvFrameBuffer> Create(void* buffer, int32_t size,
                                                 const std::vector<SubBufferInfo>& layout);

    // The first slice for the component, or null.
    const SubBufferRecord* FindSubBuffer(int32_t component_id) const;
};

// A mutex-guarded first-in first-out queue of frame buffers.
class KvFrameBufferQueue {
  public:
    using Entry = std::shared_ptr<KvFrameBuffer>;

    // Appends at the back; 0 (-1 for a null entry, which is not queued).
    int enqueue(Entry buffer);
    // Takes the front, or null when the queue is empty.
    Entry dequeue();
    // Takes every entry, oldest first.
    std::vector<Entry> dequeue_all();
    size_t size() const;
    bool empty() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::deque<Entry> queue_;
};

// Component of a wire cam_id, or -1 for an unknown one.
int32_t ComponentOfCamId(int cam_id);
// KV pixel-format code of a wire pixel format, or 0 for an unknown one.
int32_t PixelFormatOfWireCode(int pixel_format);
// Bytes per pixel of a wire pixel format for the length check, or 0 for an unknown one.
int WireBytesPerPixel(int pixel_format);

class ImageReceiverProcessor : public IPacketProcessor {
  public:
    using FrameHook = std::function<void(KV_FRAME_DATA* frame)>;

    // packet_type is accepted for symmetry with the other processors; image packets are recognised by
    // their own type. The empty queue belongs to the camera and must outlive the receiver.
    ImageReceiverProcessor(int packet_type, KvFrameBufferQueue& empty_queue);
    ~ImageReceiverProcessor() override;

    bool AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader* image_header,
                      char** buffer, int* size) override;
    void ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) override;

    // Copies the oldest finished frame's record into *frame and forgets the frame: 0; KV_STATUS_NO_DATA
    // when there is none (the record is left untouched); KV_STATUS_NULL_POINTER for a null record.
    int GetFrames(KV_FRAME_DATA* frame);
    int get_buffered_frame_num() const;

    // Forgets every finished frame and the frame in progress without giving the buffers back. A payload
    // that the receive thread is reading into application memory at the call is finished first, so once
    // the caller has also emptied the empty queue, no buffer of the application is written any more and
    // its memory may be released (the receive thread must not be stopped concurrently).
    void ClearBuffers();
    // Gives every finished frame's buffer, oldest first, and the buffer in progress back to the empty queue.
    void PlaceAllBufferToEmptyQ();

    // The buffer being filled. Only with frame_lock held: inside the frame hooks it is the completed frame.
    const std::shared_ptr<KvFrameBuffer>& current_frame() const { return current_frame_; }
    // Running frame count written into every image's imageIndex.
    int32_t frame_counter() const { return frame_counter_.load(); }
    // frame_index of the frame being received, or -1 before the first frame began.
    int last_frame_index() const { return last_frame_index_.load(); }

    // Guards the receiver's state (not the finished queue); the video source waits for frames on
    // frame_cond under it.
    std::mutex frame_lock;
    std::condition_variable frame_cond;
    // The point image is computed on the host (read by the video source's frame hook).
    std::atomic<bool> output_point3d{false};
    // Run on the receive thread with frame_lock held: frame_arrived_hook on a completed frame before it is
    // queued, frame_ready_hook right after. Set them before the receive thread starts.
    FrameHook frame_arrived_hook;
    FrameHook frame_ready_hook;

  private:
    std::shared_ptr<KvFrameBuffer> TakeFreeBuffer();
    void BeginFrame(uint8_t frame_index);
    void EndPendingWrite();
    void ForgetImageIn(const char* sub_buffer);
    int ExpectedImageCount() const;
    void CompleteFrame();
    void WaitForPayloadWrite(std::unique_lock<std::mutex>& lock);

    KvFrameBufferQueue& empty_queue_;
    KvFrameBufferQueue finished_queue_;
    std::shared_ptr<KvFrameBuffer> current_frame_;
    std::atomic<int32_t> frame_counter_{0};
    std::atomic<int> last_frame_index_{-1};

    // The slice the framing layer is filling right now (between AcceptPacket and ProcessPacketOverride).
    const KvFrameBuffer* pending_frame_ = nullptr;
    const char* pending_data_ = nullptr;
    int pending_size_ = 0;
    uint64_t write_sequence_ = 0;  // counts the slices handed out
    std::condition_variable write_done_cond_;
};

}  // namespace orvane
