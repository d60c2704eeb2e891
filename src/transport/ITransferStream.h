// The byte stream of one device; implemented by libusb_stream (USB) and tcp_stream (TCP).
#pragma once

namespace orvane {

class ITransferStream {
  public:
    virtual ~ITransferStream() = default;
    // KV_INTERFACE_USB (2) or KV_INTERFACE_ETHERNET (1).
    virtual int GetInterface() = 0;
    // Identifier text; valid for the stream's life.
    virtual const char* GetStreamID() = 0;
    // 0 on success.
    virtual int Open() = 0;
    // Bytes accepted (all of len); on failure negative (USB) or 0 (network).
    virtual int Send(const char* buf, int len) = 0;
    // Bytes placed in buf (0..len); 0 when nothing arrived within the wait; negative on failure.
    virtual int Receive(char* buf, int len) = 0;
    virtual void set_timeout(int ms) = 0;
    virtual int get_timeout() = 0;
    virtual int Close() { return 0; }
};

}  // namespace orvane
