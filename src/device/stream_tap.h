// A transfer stream that reports every byte it moves to a tap callback: the raw device stream, below the
// protocol layer, for recordings. Off, a transfer costs one flag test.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "kvdepth.h"
#include "transport/ITransferStream.h"

namespace orvane {

// One tap setting: callback and user data. A null callback is "off".
struct StreamTapSetting {
    KV_STREAM_TAP_CALLBACK callback = nullptr;
    void* userData = nullptr;
};

class TappedStream : public ITransferStream {
  public:
    explicit TappedStream(std::unique_ptr<ITransferStream> inner);
    ~TappedStream() override;

    // Replaces the setting. When it returns, no callback with the previous setting is running, unless the
    // caller is itself inside a tap callback (waiting then would never end).
    void setTap(const StreamTapSetting& setting);
    StreamTapSetting tap() const;

    int GetInterface() override { return m_inner->GetInterface(); }
    const char* GetStreamID() override { return m_inner->GetStreamID(); }
    int Open() override { return m_inner->Open(); }
    int Send(const char* buf, int len) override;
    int Receive(char* buf, int len) override;
    void set_timeout(int ms) override { m_inner->set_timeout(ms); }
    int get_timeout() override { return m_inner->get_timeout(); }
    int Close() override { return m_inner->Close(); }

  private:
    void report(int direction, const char* bytes, int length);

    std::unique_ptr<ITransferStream> m_inner;
    std::atomic<bool> m_on{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    StreamTapSetting m_setting;  // guarded by m_mutex
    int m_running = 0;           // callbacks in progress, guarded by m_mutex
};

}  // namespace orvane
