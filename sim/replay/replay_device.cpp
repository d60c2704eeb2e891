#include "sim/replay/replay_device.h"

#include <cstdio>

#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {
namespace {

OutPacket outPacket(OutPacket::Kind kind, std::shared_ptr<const Bytes> whole) {
    OutPacket p;
    p.kind = kind;
    p.head.assign(whole->begin(), whole->begin() + kBlockSize);
    p.body_offset = kBlockSize;
    p.body_len = whole->size() - kBlockSize;
    p.body = std::move(whole);
    return p;
}

}  // namespace

namespace {

ReplayOptions checked(ReplayOptions options) {
    if (!(options.speed >= 0.01 && options.speed <= 100)) options.speed = 1;
    return options;
}

}  // namespace

ReplayDevice::ReplayDevice(std::shared_ptr<const ReplayScript> script, ReplayOptions options,
                           std::shared_ptr<Clock> clock)
    : script_(std::move(script)),
      options_(checked(std::move(options))),
      clock_(std::move(clock)),
      decoder_(kMaxRequestPayload) {}

void ReplayDevice::setCommandLog(std::function<void(const std::string&)> log) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_log_ = std::move(log);
}

void ReplayDevice::log(const std::string& line) {
    if (command_log_) command_log_(options_.serial + " " + line);
}

ReplayStats ReplayDevice::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

TrafficStats ReplayDevice::trafficStats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_.traffic;
}

void ReplayDevice::resetLocked() {
    decoder_.reset();
    output_.clear();
    cursors_.clear();
    streaming_ = false;
    sessions_started_ = 0;
    playing_ = nullptr;
}

void ReplayDevice::onConnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    resetLocked();
}

void ReplayDevice::onDisconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    resetLocked();
}

void ReplayDevice::receive(const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<WirePacket> packets;
    decoder_.feed(data, n, packets);
    for (const WirePacket& p : packets) handleRequest(p);
    serviceLocked(clock_->nowMicros());
}

void ReplayDevice::handleRequest(const WirePacket& p) {
    ++stats_.requests;
    if (p.truncated || p.malformed) return log("ignored a malformed request");
    const std::string key = ReplayScript::requestKey(p.header.type, p.payload);
    const std::vector<Bytes>* replies = script_->repliesTo(key);
    const uint32_t code = p.payload.size() >= 4 ? getU32(p.payload.data()) : 0;
    const std::string what = p.header.type == kPacketParam ? commandName(code)
                             : p.header.type == kPacketRegister
                                 ? std::string("register access")
                                 : "packet type " + std::to_string(p.header.type);
    if (!replies) {
        ++stats_.unknown_requests;
        log("<- " + what + " (id " + std::to_string(p.header.packet_id) + "): not in the recording");
        return refuse(p);
    }
    log("<- " + what + " (id " + std::to_string(p.header.packet_id) + ")");
    if (!replies->empty()) {
        size_t& used = cursors_[key];
        sendReply((*replies)[used < replies->size() ? used : replies->size() - 1], p.header.packet_id);
        ++used;
        ++stats_.replayed_replies;
    }
    bool start = false;
    if (isWorkModeRequest(p.header.type, p.payload, &start)) {
        if (start && !streaming_) startStreaming();
        if (!start) {
            streaming_ = false;
            output_.dropQueuedImages();
        }
    }
}

void ReplayDevice::refuse(const WirePacket& p) {
    if (p.header.type != kPacketParam || p.payload.size() < 4) return;
    const uint32_t code = getU32(p.payload.data());
    Bytes payload = code == kCmdKeepAlive                       ? keepAliveReply()
                    : code == kCmdPing && p.payload.size() < 16 ? pingReply()
                                                                : shortReply(code, -1, 0);
    sendReply(encodePacket(kPacketParam, p.header.packet_id, payload), p.header.packet_id);
}

void ReplayDevice::sendReply(const Bytes& recorded, uint8_t packet_id) {
    auto whole = std::make_shared<Bytes>(recorded);
    (*whole)[5] = packet_id;  // the host matches replies by the id of its own request
    const uint8_t type = (*whole)[6];
    output_.pushControl(outPacket(
        type == kPacketRegister ? OutPacket::kRegisterReply : OutPacket::kParamReply, std::move(whole)));
}

void ReplayDevice::startStreaming() {
    streaming_ = true;
    const std::vector<ImageSession>& sessions = script_->sessions();
    playing_ = nullptr;
    if (!sessions.empty()) {
        // A session started more often than recorded plays the last recorded one again.
        playing_ = &sessions[sessions_started_ < sessions.size() ? sessions_started_ : sessions.size() - 1];
    }
    ++sessions_started_;
    next_image_ = 0;
    pass_ = 0;
    session_start_us_ = clock_->nowMicros();
}

bool ReplayDevice::nextImageDue(uint64_t* due_us) const {
    if (!streaming_ || !playing_ || next_image_ >= playing_->images.size()) return false;
    const double recorded =
        static_cast<double>(pass_ * playing_->loop_span_us + playing_->images[next_image_].offset_us);
    *due_us = session_start_us_ + static_cast<uint64_t>(recorded / options_.speed);
    return true;
}

void ReplayDevice::service() {
    std::lock_guard<std::mutex> lock(mutex_);
    serviceLocked(clock_->nowMicros());
}

namespace {

// An image of a looped pass: the recorded packet with its frame index and timestamp moved on by `pass`
// passes, so that the host sees a camera that keeps counting rather than one that lost a frame-index wrap's
// worth of frames and went back in time. The first pass is sent unchanged.
std::shared_ptr<const Bytes> continuedImage(const std::shared_ptr<const Bytes>& recorded, uint64_t pass,
                                            const ImageSession& session) {
    if (pass == 0 || recorded->size() < kBlockSize + kImageHeaderSize) return recorded;
    auto packet = std::make_shared<Bytes>(*recorded);
    uint8_t* head = packet->data() + kBlockSize;
    head[10] = static_cast<uint8_t>(head[10] + pass * session.index_span);
    const bool has_high = head[11] >= kTimestampExtraLen &&
                          packet->size() >= kBlockSize + kImageHeaderSize + kTimestampExtraLen;
    uint64_t stamp = getU32(head + 4);
    if (has_high) stamp |= static_cast<uint64_t>(getU32(head + kImageHeaderSize)) << 32;
    stamp += pass * session.loop_span_us;
    putU32(head + 4, static_cast<uint32_t>(stamp));
    if (has_high) putU32(head + kImageHeaderSize, static_cast<uint32_t>(stamp >> 32));
    return packet;
}

}  // namespace

void ReplayDevice::serviceLocked(uint64_t now) {
    uint64_t due = 0;
    while (output_.pendingImageBytes() < kMaxQueuedImageBytes && nextImageDue(&due) && due <= now) {
        const RecordedImage& image = playing_->images[next_image_];
        OutPacket p = outPacket(OutPacket::kImage, continuedImage(image.packet, pass_, *playing_));
        p.frame_end = image.frame_end;
        output_.pushImage(std::move(p));
        ++stats_.images_queued;
        if (++next_image_ == playing_->images.size()) {
            ++stats_.passes;
            if (options_.loop) {
                next_image_ = 0;
                ++pass_;
            }
        }
    }
}

int64_t ReplayDevice::nextEventMicros() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t due = 0;
    // A full image queue is drained by the transport, which services the device after each send.
    if (output_.pendingImageBytes() >= kMaxQueuedImageBytes || !nextImageDue(&due)) return -1;
    const uint64_t now = clock_->nowMicros();
    return due > now ? static_cast<int64_t>(due - now) : 0;
}

size_t ReplayDevice::gatherOutput(OutputSlice* slices, size_t max_slices, size_t max_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.gather(slices, max_slices, max_bytes);
}

void ReplayDevice::consumeOutput(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.consume(n);
    stats_.traffic.bytes_out += n;
    stats_.traffic.frames_sent += output_.takeCompletedFrames();
    output_.takeCompletedImages();
}

bool ReplayDevice::hasOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !output_.empty();
}

bool ReplayDevice::acceptsInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_.pendingControlBytes() < kMaxPendingReplies;
}

}  // namespace kvsim
}  // namespace orvane
