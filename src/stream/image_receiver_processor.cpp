#include "stream/image_receiver_processor.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "diag/logger.h"

namespace orvane {

namespace {

const char kTraceSource[] = "src/image_receiver_processor";
#define RECEIVER_TRACE(function) KV_LOG(kLogVerbose, "%s, %s(Line %d)\n", kTraceSource, function, __LINE__)

struct WireFormat {
    int32_t pixel_format;
    int bytes_per_pixel;
};

// Indexed by the wire cam_id.
constexpr int32_t kCamComponents[] = {KV_COMPONENT_LEFT_IR, KV_COMPONENT_RIGHT_IR, KV_COMPONENT_COLOR,
                                      KV_COMPONENT_DEPTH, KV_COMPONENT_AUX_DATA};
constexpr int kCamCount = static_cast<int>(sizeof(kCamComponents) / sizeof(kCamComponents[0]));

// Indexed by the wire pixel_format.
constexpr WireFormat kWireFormats[] = {
    {KV_PIXEL_FORMAT_MONO8, 1},         {KV_PIXEL_FORMAT_DEPTH16, 2}, {KV_PIXEL_FORMAT_COLOR_16_A, 2},
    {KV_PIXEL_FORMAT_RGB8, 3},          {KV_PIXEL_FORMAT_MONO8, 1},   {KV_PIXEL_FORMAT_COLOR_16_B, 2},
    {KV_PIXEL_FORMAT_COLOR_8_TO_24, 1},
};
constexpr int kWireFormatCount = static_cast<int>(sizeof(kWireFormats) / sizeof(kWireFormats[0]));

// A frame holds at most one image per component the device can send, plus the point image the host adds.
static_assert(kCamCount + 1 <= KV_MAX_IMAGES_PER_FRAME, "a frame record must hold every image of a frame");

bool IsFilledFromPackets(int32_t component_id) {
    return std::find(std::begin(kCamComponents), std::end(kCamComponents), component_id) !=
           std::end(kCamComponents);
}

// How often a ClearBuffers waiting for a payload write looks again whether the receive thread still runs.
constexpr std::chrono::milliseconds kWriteWaitSlice(10);

}  // namespace

// ------------------------------------------------------------------------------------------- tables

int32_t ComponentOfCamId(int cam_id) {
    if (cam_id < 0 || cam_id >= kCamCount) return -1;
    return kCamComponents[cam_id];
}

int32_t PixelFormatOfWireCode(int pixel_format) {
    if (pixel_format < 0 || pixel_format >= kWireFormatCount) return 0;
    return kWireFormats[pixel_format].pixel_format;
}

int WireBytesPerPixel(int pixel_format) {
    if (pixel_format < 0 || pixel_format >= kWireFormatCount) return 0;
    return kWireFormats[pixel_format].bytes_per_pixel;
}

// ------------------------------------------------------------------------------------------- KvFrameBuffer

std::shared_ptr<KvFrameBuffer> KvFrameBuffer::Create(void* buffer, int32_t size,
                                                     const std::vector<SubBufferInfo>& layout) {
    if (buffer == nullptr || size < 0) return nullptr;
    auto frame_buffer = std::make_shared<KvFrameBuffer>();
    frame_buffer->buffer = static_cast<uint8_t*>(buffer);
    frame_buffer->size = size;
    int64_t used = 0;
    frame_buffer->sub_buffers.reserve(layout.size());
    for (const SubBufferInfo& info : layout) {
        if (info.size < 0 || used + info.size > size) return nullptr;
        SubBufferRecord record;
        record.componentID = info.componentID;
        record.size = info.size;
        record.data = frame_buffer->buffer + used;
        frame_buffer->sub_buffers.push_back(record);
        used += info.size;
    }
    frame_buffer->used_size = static_cast<int32_t>(used);
    return frame_buffer;
}

const KvFrameBuffer::SubBufferRecord* KvFrameBuffer::FindSubBuffer(int32_t component_id) const {
    for (const SubBufferRecord& record : sub_buffers) {
        if (record.componentID == component_id) return &record;
    }
    return nullptr;
}

// ------------------------------------------------------------------------------------- KvFrameBufferQueue

int KvFrameBufferQueue::enqueue(Entry buffer) {
    if (!buffer) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(buffer));
    return 0;
}

KvFrameBufferQueue::Entry KvFrameBufferQueue::dequeue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return nullptr;
    Entry front = std::move(queue_.front());
    queue_.pop_front();
    return front;
}

std::vector<KvFrameBufferQueue::Entry> KvFrameBufferQueue::dequeue_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> all(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    return all;
}

size_t KvFrameBufferQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

bool KvFrameBufferQueue::empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty();
}

void KvFrameBufferQueue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
}

// --------------------------------------------------------------------------------- ImageReceiverProcessor

ImageReceiverProcessor::ImageReceiverProcessor(int /*packet_type*/, KvFrameBufferQueue& empty_queue)
    : empty_queue_(empty_queue) {}

ImageReceiverProcessor::~ImageReceiverProcessor() = default;

std::shared_ptr<KvFrameBuffer> ImageReceiverProcessor::TakeFreeBuffer() {
    std::shared_ptr<KvFrameBuffer> buffer = empty_queue_.dequeue();
    // With no free buffer the oldest finished frame is overwritten: the stream stays live.
    if (!buffer) buffer = finished_queue_.dequeue();
    return buffer;
}

void ImageReceiverProcessor::BeginFrame(uint8_t frame_index) {
    KvFrameBuffer& fb = *current_frame_;
    KV_LOG(kLogVerbose, ">>>> set new frame buffer %p\n", static_cast<void*>(fb.buffer));
    // An unfinished frame in this buffer is abandoned; its images are not delivered.
    std::memset(&fb.frame, 0, sizeof(fb.frame));
    fb.frame.userBuffer = fb.buffer;
    fb.frame.bufferSize = fb.size;
    // The first frame of a stream counts from 0, so a stream starting at index 0 keeps imageIndex 0.
    const int previous = last_frame_index_.load();
    const uint32_t advance = static_cast<uint8_t>(frame_index - (previous < 0 ? 0 : previous));
    frame_counter_.store(static_cast<int32_t>(static_cast<uint32_t>(frame_counter_.load()) + advance));
    last_frame_index_.store(frame_index);
    KV_LOG(kLogVerbose, ">>>>>> buffer size %d\n", fb.frame.bufferSize);
}

void ImageReceiverProcessor::EndPendingWrite() {
    if (pending_frame_ == nullptr) return;
    pending_frame_ = nullptr;
    pending_data_ = nullptr;
    pending_size_ = 0;
    write_done_cond_.notify_all();
}

bool ImageReceiverProcessor::AcceptPacket(const DataPacketHeader* header,
                                          const DataPacketImageHeader* image_header, char** buffer,
                                          int* size) {
    if (header == nullptr || header->type != kPacketTypeImage) return false;
    *buffer = nullptr;
    *size = 0;
    if (image_header == nullptr) return true;

    std::lock_guard<std::mutex> lock(frame_lock);
    KV_LOG(kLogVerbose, ">>> AcceptPacket: %d\n", image_header->cam_id);
    // A new header means the payload of the previous one is no longer being written.
    EndPendingWrite();

    const int previous = last_frame_index_.load();
    if (previous < 0 || image_header->frame_index != previous) {
        if (!current_frame_) current_frame_ = TakeFreeBuffer();
        // Without a buffer the frame has not begun; its next packet tries again.
        if (current_frame_) BeginFrame(image_header->frame_index);
    }
    if (!current_frame_) return true;

    const int32_t component = ComponentOfCamId(image_header->cam_id);
    if (component == -1) {
        KV_LOG(kLogError, "AcceptPacket: not recog compID 0x%x", static_cast<unsigned>(component));
        return true;
    }
    const KvFrameBuffer::SubBufferRecord* record = current_frame_->FindSubBuffer(component);
    if (record != nullptr && record->size > 0) {
        *buffer = reinterpret_cast<char*>(record->data);
        *size = record->size;
        pending_frame_ = current_frame_.get();
        pending_data_ = *buffer;
        pending_size_ = *size;
        ++write_sequence_;
    }
    KV_LOG(kLogVerbose, ">>> AcceptPacket: %d -> buffer(%p), size:%d\n", image_header->cam_id,
           static_cast<void*>(current_frame_->buffer), *size);
    return true;
}

void ImageReceiverProcessor::ForgetImageIn(const char* sub_buffer) {
    KV_FRAME_DATA& frame = current_frame_->frame;
    int kept = 0;
    for (int i = 0; i < frame.validCount; ++i) {
        if (frame.image[i].buffer == sub_buffer) continue;
        if (kept != i) frame.image[kept] = frame.image[i];
        ++kept;
    }
    frame.validCount = kept;
}

int ImageReceiverProcessor::ExpectedImageCount() const {
    // One image per distinct component that packets can fill; the point image is computed on the host.
    int count = 0;
    const std::vector<KvFrameBuffer::SubBufferRecord>& subs = current_frame_->sub_buffers;
    for (size_t i = 0; i < subs.size(); ++i) {
        if (!IsFilledFromPackets(subs[i].componentID) || subs[i].size <= 0) continue;
        if (current_frame_->FindSubBuffer(subs[i].componentID) != &subs[i]) continue;
        ++count;
    }
    return count;
}

void ImageReceiverProcessor::CompleteFrame() {
    KV_FRAME_DATA* frame = &current_frame_->frame;
    if (frame_arrived_hook) frame_arrived_hook(frame);
    finished_queue_.enqueue(current_frame_);
    if (frame_ready_hook) frame_ready_hook(frame);
    current_frame_.reset();
}

void ImageReceiverProcessor::ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) {
    RECEIVER_TRACE("ProcessPacketOverride");
    if (header == nullptr || header->type != kPacketTypeImage || data.image_header == nullptr) return;
    std::lock_guard<std::mutex> lock(frame_lock);
    RECEIVER_TRACE("ProcessPacketOverride");

    const KvFrameBuffer* written_frame = pending_frame_;
    const char* written_data = pending_data_;
    const int written_size = pending_size_;
    EndPendingWrite();
    // Only a payload that went into a slice of the frame in progress can become one of its images.
    if (!current_frame_ || data.data == nullptr || written_frame != current_frame_.get() ||
        data.data != written_data) {
        return;
    }
    RECEIVER_TRACE("ProcessPacketOverride");
    // Whatever this slice held before has just been overwritten.
    ForgetImageIn(data.data);
    if (data.status != kPacketStatusComplete) {
        KV_LOG(kLogWarning, "drop image of cam %d: payload status %d, length %u, buffer size %d",
               data.image_header->cam_id, data.status, header->length, written_size);
        return;
    }

    const DataPacketImageHeader& image_header = *data.image_header;
    KV_LOG(kLogVerbose, "imageHeader->width: %d, imageHeader->height: %d, imageHeader->pixel_format: %d\n",
           image_header.width, image_header.height, image_header.pixel_format);
    const uint64_t image_len = static_cast<uint64_t>(image_header.width) * image_header.height *
                               static_cast<uint64_t>(WireBytesPerPixel(image_header.pixel_format));
    KV_LOG(kLogVerbose, "packet_header->length: %d, image_len: %d\n", static_cast<int>(header->length),
           static_cast<int>(std::min<uint64_t>(image_len, INT32_MAX)));
    if (image_len == 0 || image_len != header->length ||
        header->length > static_cast<uint32_t>(written_size)) {
        return;
    }
    RECEIVER_TRACE("ProcessPacketOverride");

    KV_FRAME_DATA& frame = current_frame_->frame;
    KV_IMAGE_DATA& image = frame.image[frame.validCount];
    const uint64_t low = image_header.timestamp;
    const uint64_t high = static_cast<uint32_t>(image_header.timestamp_high);
    image.timestamp = image_header.extra_len != 0 ? ((high << 32) | low) : low;
    image.imageIndex = frame_counter_.load();
    image.status = 0;
    image.componentID = ComponentOfCamId(image_header.cam_id);
    image.buffer = data.data;
    image.size = static_cast<int32_t>(header->length);
    image.width = image_header.width;
    image.height = image_header.height;
    image.pixelFormat = PixelFormatOfWireCode(image_header.pixel_format);
    KV_LOG(kLogVerbose, "imageHeader->cam_id: %d\n", image_header.cam_id);
    KV_LOG(kLogVerbose, "push image %x\n", static_cast<unsigned>(image.componentID));
    ++frame.validCount;

    if (frame.validCount >= ExpectedImageCount()) CompleteFrame();
    RECEIVER_TRACE("ProcessPacketOverride");
}

int ImageReceiverProcessor::GetFrames(KV_FRAME_DATA* frame) {
    if (frame == nullptr) return KV_STATUS_NULL_POINTER;
    std::shared_ptr<KvFrameBuffer> finished = finished_queue_.dequeue();
    if (!finished) return KV_STATUS_NO_DATA;
    std::memcpy(frame, &finished->frame, sizeof(KV_FRAME_DATA));
    return 0;
}

int ImageReceiverProcessor::get_buffered_frame_num() const {
    return static_cast<int>(finished_queue_.size());
}

void ImageReceiverProcessor::WaitForPayloadWrite(std::unique_lock<std::mutex>& lock) {
    DeviceReceiveController* owner = controller;
    // Only a running receive thread can be writing; on that thread itself nothing is in flight.
    if (pending_frame_ == nullptr || owner == nullptr || owner->IsReceiveThread()) return;
    // Waiting for this one write only: later ones go into buffers the receiver still holds, and waiting for
    // a quiet moment could starve under a continuous stream. The running flag is re-checked because a
    // thread stopped between header and payload never finishes the write.
    const uint64_t sequence = write_sequence_;
    while (pending_frame_ != nullptr && write_sequence_ == sequence && owner->IsRunning()) {
        write_done_cond_.wait_for(lock, kWriteWaitSlice);
    }
}

void ImageReceiverProcessor::ClearBuffers() {
    std::unique_lock<std::mutex> lock(frame_lock);
    std::vector<std::shared_ptr<KvFrameBuffer>> released = finished_queue_.dequeue_all();
    if (current_frame_) released.push_back(std::move(current_frame_));
    current_frame_.reset();
    // The application may free its buffers once we return: a payload being read into one ends first. It
    // may be in one of the released buffers, or in one the caller has just taken out of the empty queue.
    WaitForPayloadWrite(lock);
    lock.unlock();
    released.clear();
}

void ImageReceiverProcessor::PlaceAllBufferToEmptyQ() {
    std::lock_guard<std::mutex> lock(frame_lock);
    while (std::shared_ptr<KvFrameBuffer> finished = finished_queue_.dequeue()) {
        empty_queue_.enqueue(std::move(finished));
    }
    if (current_frame_) empty_queue_.enqueue(std::move(current_frame_));
    current_frame_.reset();
}

}  // namespace orvane
