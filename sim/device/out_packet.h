// One packet on its way from the simulated device to the host, and the queue that paces them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "sim/wire/byte_order.h"

namespace orvane {
namespace kvsim {

struct OutPacket {
    enum Kind { kParamReply, kRegisterReply, kImage };

    Kind kind = kParamReply;
    uint8_t cam_id = 0;                 // images only
    uint32_t sequence = 0;              // images only: frame sequence number
    bool frame_end = false;             // images only: the last image of its frame
    Bytes head;                         // sync + header, and for images the sub-header and extra bytes
    std::shared_ptr<const Bytes> body;  // payload or image data; may be shared by many frames
    size_t body_offset = 0;
    size_t body_len = 0;

    size_t size() const { return head.size() + body_len; }
    // A private copy of the body that may be changed freely (a shared image stays intact). Changing its
    // length does not update the header: that is the point when a fault wants a lying header.
    Bytes& editableBody();
    // Takes over the length of an edited body; the queue calls it when the packet is pushed.
    void settle() {
        if (owned_) body_len = owned_->size();
    }

  private:
    std::shared_ptr<Bytes> owned_;
};

struct OutputSlice {
    const uint8_t* data = nullptr;
    size_t len = 0;
};

// Replies overtake queued images at packet boundaries; a packet once started is always finished first.
class OutputQueue {
  public:
    void pushControl(OutPacket packet);
    void pushImage(OutPacket packet);

    // Views of the next bytes to send, at most `max_slices` slices and about `max_bytes` bytes. The views
    // stay valid until consume() or clear().
    size_t gather(OutputSlice* slices, size_t max_slices, size_t max_bytes);
    // Copies up to `max` of the next bytes; returns the count (already consumed).
    size_t read(uint8_t* dst, size_t max);
    // Marks `n` bytes of the gathered views as sent.
    void consume(size_t n);

    bool empty() const { return committed_.empty() && control_.empty() && images_.empty(); }
    size_t pendingBytes() const { return pending_control_ + pending_image_; }
    size_t pendingImageBytes() const { return pending_image_; }
    size_t pendingControlBytes() const { return pending_control_; }
    // Drops images not yet started (streaming stopped).
    void dropQueuedImages();
    void clear();

    // Completed packets since the last call, for counting sent frames.
    uint64_t takeCompletedImages() {
        uint64_t n = completed_images_;
        completed_images_ = 0;
        return n;
    }
    uint64_t takeCompletedFrames() {
        uint64_t n = completed_frames_;
        completed_frames_ = 0;
        return n;
    }

  private:
    bool commitNext();
    void account(const OutPacket& p, size_t n);

    std::deque<OutPacket> committed_;
    size_t front_sent_ = 0;  // bytes of committed_.front() already sent
    std::deque<OutPacket> control_;
    std::deque<OutPacket> images_;
    size_t pending_control_ = 0;
    size_t pending_image_ = 0;
    uint64_t completed_images_ = 0;
    uint64_t completed_frames_ = 0;
};

}  // namespace kvsim
}  // namespace orvane
