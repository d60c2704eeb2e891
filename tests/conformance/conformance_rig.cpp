#include "conformance_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace conformance {

// Loopback addresses of this suite: 127.0.0.71 to 127.0.0.80.
const kvtest::TcpAddressRange kSuiteAddresses("127.0.0.", 71, 10);

// ---- HostLink -----------------------------------------------------------------------------------------

HostLink::HostLink(orvane::ITransferStream* s) : stream(s) {}

HostLink::~HostLink() {
    stop();
}

bool HostLink::start() {
    if (!stream || stream->Open() != 0) return false;
    // Bulk reads give up after this long, so that a stopping receive thread is never stuck in one.
    stream->set_timeout(100);
    controller.set_underlay_stream(stream.get());
    controller.AddProcessor(&images);
    controller.AddProcessor(&param);
    controller.AddProcessor(&registers);
    controller.SetEventCallback(&HostLink::onEvent, this);
    if (controller.StartReceive() != 0) return false;
    started_ = true;
    return waitFor([this] { return controller.IsRunning(); }, 2000);
}

void HostLink::stop() {
    if (!started_) return;
    controller.StopReceive();
    started_ = false;
}

void HostLink::keepAlive(int interval_ms, int dead_ms) {
    // The receive loop looks at the keep-alive between parser steps, and a step stalled inside a packet
    // lasts up to the parser's time limit: no longer than the dead time, so a stall is noticed as soon. Not
    // shorter: a loaded machine may leave the receive thread unscheduled for tens of milliseconds.
    controller.parser().set_timeout(std::max(dead_ms, 20));
    controller.SetKeepAliveTiming(interval_ms, dead_ms);
    controller.EnableKeepAlive();
}

void HostLink::setCommandTimeout(int ms) {
    param.timeout_ms = ms;
    registers.timeout_ms = ms;
}

void HostLink::onEvent(KV_EVENT_INFO* event, void* user) {
    auto* self = static_cast<HostLink*>(user);
    self->last_event_ = event->eventId;
    if (event->eventId == KV_EVENT_DEVICE_OFFLINE) ++self->offline_events_;
}

bool HostLink::waitOffline(int timeout_ms) const {
    return waitFor([this] { return offline_events_.load() > 0; }, timeout_ms);
}

void HostLink::enqueueBuffers(const std::vector<orvane::SubBufferInfo>& layout, int count) {
    for (int i = 0; i < count; ++i) {
        auto b = std::make_unique<Buffer>();
        for (const orvane::SubBufferInfo& s : layout) b->used += static_cast<size_t>(s.size);
        b->memory.assign(b->used + kGuardSize, kGuardByte);
        b->layout = layout;
        auto fb = orvane::KvFrameBuffer::Create(b->memory.data(), static_cast<int32_t>(b->used), layout);
        ASSERT_TRUE(fb);
        empty_queue.enqueue(fb);
        buffers_.push_back(std::move(b));
    }
}

bool HostLink::guardsIntact() const {
    for (const auto& b : buffers_) {
        for (size_t i = b->used; i < b->memory.size(); ++i)
            if (b->memory[i] != kGuardByte) return false;
    }
    return true;
}

bool HostLink::fetchFrame(KV_FRAME_DATA& frame, int timeout_ms) {
    bool got = false;
    waitFor([&] { return got = images.GetFrames(&frame) == 0; }, timeout_ms);
    return got;
}

void HostLink::requeue(const KV_FRAME_DATA& frame) {
    for (const auto& b : buffers_) {
        if (b->memory.data() != frame.userBuffer) continue;
        empty_queue.enqueue(
            orvane::KvFrameBuffer::Create(b->memory.data(), static_cast<int32_t>(b->used), b->layout));
    }
}

}  // namespace conformance
