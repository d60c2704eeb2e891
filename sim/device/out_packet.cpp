#include "sim/device/out_packet.h"

#include <algorithm>
#include <cstring>

namespace orvane {
namespace kvsim {

Bytes& OutPacket::editableBody() {
    if (!owned_) {
        owned_ = std::make_shared<Bytes>();
        if (body && body_len > 0)
            owned_->assign(body->begin() + body_offset, body->begin() + body_offset + body_len);
        body = owned_;
        body_offset = 0;
    }
    return *owned_;
}

void OutputQueue::pushControl(OutPacket packet) {
    packet.settle();
    pending_control_ += packet.size();
    control_.push_back(std::move(packet));
}

void OutputQueue::pushImage(OutPacket packet) {
    packet.settle();
    pending_image_ += packet.size();
    images_.push_back(std::move(packet));
}

bool OutputQueue::commitNext() {
    if (!control_.empty()) {
        committed_.push_back(std::move(control_.front()));
        control_.pop_front();
        return true;
    }
    if (!images_.empty()) {
        committed_.push_back(std::move(images_.front()));
        images_.pop_front();
        return true;
    }
    return false;
}

size_t OutputQueue::gather(OutputSlice* slices, size_t max_slices, size_t max_bytes) {
    if (committed_.empty()) commitNext();
    size_t count = 0, bytes = 0;
    size_t skip = front_sent_;
    for (size_t i = 0; count < max_slices && bytes < max_bytes; ++i) {
        if (i == committed_.size() && !commitNext()) break;
        const OutPacket& p = committed_[i];
        // Head, then body, each minus what was already sent of the front packet.
        if (skip < p.head.size()) {
            slices[count++] = {p.head.data() + skip, p.head.size() - skip};
            bytes += p.head.size() - skip;
            skip = 0;
        } else {
            skip -= p.head.size();
        }
        if (p.body_len > skip && count < max_slices) {
            slices[count++] = {p.body->data() + p.body_offset + skip, p.body_len - skip};
            bytes += p.body_len - skip;
        } else if (p.body_len > skip) {
            break;  // no room for the body: stop, the head goes out now and the body next time
        }
        skip = 0;
    }
    return count;
}

void OutputQueue::account(const OutPacket& p, size_t n) {
    if (p.kind == OutPacket::kImage) {
        pending_image_ -= n;
    } else {
        pending_control_ -= n;
    }
}

void OutputQueue::consume(size_t n) {
    while (n > 0 && !committed_.empty()) {
        OutPacket& p = committed_.front();
        size_t left = p.size() - front_sent_;
        size_t take = std::min(left, n);
        front_sent_ += take;
        n -= take;
        account(p, take);
        if (front_sent_ == p.size()) {
            if (p.kind == OutPacket::kImage) {
                ++completed_images_;
                if (p.frame_end) ++completed_frames_;
            }
            committed_.pop_front();
            front_sent_ = 0;
        }
    }
}

size_t OutputQueue::read(uint8_t* dst, size_t max) {
    OutputSlice slices[16];
    size_t count = gather(slices, 16, max);
    size_t total = 0;
    for (size_t i = 0; i < count && total < max; ++i) {
        size_t take = std::min(slices[i].len, max - total);
        std::memcpy(dst + total, slices[i].data, take);
        total += take;
    }
    consume(total);
    return total;
}

void OutputQueue::dropQueuedImages() {
    for (const OutPacket& p : images_) pending_image_ -= p.size();
    images_.clear();
}

void OutputQueue::clear() {
    committed_.clear();
    control_.clear();
    images_.clear();
    front_sent_ = 0;
    pending_control_ = pending_image_ = 0;
}

}  // namespace kvsim
}  // namespace orvane
