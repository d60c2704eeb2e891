#include "device/stream_tap.h"

#include <time.h>

namespace orvane {
namespace {

// Set while this thread runs a tap callback, so that a callback that changes the tap does not wait for
// itself.
thread_local int t_insideTap = 0;

uint64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

TappedStream::TappedStream(std::unique_ptr<ITransferStream> inner) : m_inner(std::move(inner)) {}

TappedStream::~TappedStream() = default;

void TappedStream::setTap(const StreamTapSetting& setting) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_setting = setting;
    m_on.store(setting.callback != nullptr, std::memory_order_release);
    // The caller may free the old user data as soon as this returns. The callback is the caller's own
    // code and is documented not to block on the library, so the wait ends when it returns.
    if (t_insideTap == 0) m_idle.wait(lock, [this] { return m_running == 0; });
}

StreamTapSetting TappedStream::tap() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setting;
}

int TappedStream::Send(const char* buf, int len) {
    const int sent = m_inner->Send(buf, len);
    // USB reports failure as negative and TCP as 0. Only what went out is reported: a sender that retries
    // the rest of a short send must not find the same bytes twice in a recording.
    if (sent > 0 && m_on.load(std::memory_order_acquire))
        report(KV_STREAM_TO_DEVICE, buf, sent < len ? sent : len);
    return sent;
}

int TappedStream::Receive(char* buf, int len) {
    const int received = m_inner->Receive(buf, len);
    if (received > 0 && m_on.load(std::memory_order_acquire)) {
        report(KV_STREAM_FROM_DEVICE, buf, received < len ? received : len);
    }
    return received;
}

void TappedStream::report(int direction, const char* bytes, int length) {
    StreamTapSetting setting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_setting.callback == nullptr) return;
        setting = m_setting;
        ++m_running;
    }
    KV_STREAM_TAP_DATA data{};
    data.direction = direction;
    data.bytes = reinterpret_cast<const uint8_t*>(bytes);
    data.length = length;
    data.timeNs = realtimeNs();
    data.deviceId = m_inner->GetStreamID();
    ++t_insideTap;
    setting.callback(&data, setting.userData);
    --t_insideTap;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_running == 0) m_idle.notify_all();
}

}  // namespace orvane
