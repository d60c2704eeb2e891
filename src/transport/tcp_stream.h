// TCP byte stream to a network camera, over the portability layer's socket table.
#pragma once

#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

#include "transport/ITransferStream.h"

namespace orvane {

// Network cameras listen on this port.
constexpr unsigned short kTcpCameraPort = 7001;

class tcp_stream : public ITransferStream {
  public:
    tcp_stream();  // the loopback address, port 8800
    // ip: dotted IPv4 text (at most 31 characters are kept).
    tcp_stream(const char* ip, unsigned short port);
    ~tcp_stream() override;  // closes the connection if still open
    tcp_stream(const tcp_stream&) = delete;
    tcp_stream& operator=(const tcp_stream&) = delete;

    int GetInterface() override;  // KV_INTERFACE_ETHERNET
    const char* GetStreamID() override;
    int Open() override;
    int Send(const char* buf, int len) override;
    int Receive(char* buf, int len) override;
    void set_timeout(int ms) override;
    int get_timeout() override;
    int Close() override;

    static constexpr int kStagingSize = 2048;
    static constexpr int kShortReadWaitMs = 100;

  private:
    // Reads and writes share the connection, Open and Close replace it: a Close on the receive thread
    // waits for a Send in progress on another thread instead of closing the socket under it.
    std::shared_mutex m_connection;
    int m_sock = -1;  // socket slot, -1 while closed
    char m_ip[32] = {};
    int m_port = 8800;
    int m_timeout = 0;
    int m_rxLeft = 0;
    int m_rxPos = 0;
    char m_rxBuf[kStagingSize];
};

// Network cameras are not discovered: they become known when opened by address.
class TcpCluster {
  public:
    static void InitTcpLib();
    static void DeinitTcpLib();
    static int GetNum();  // always 0
    static std::vector<std::string> GetStreamIDs();
    static ITransferStream* GetStream(const char* id);  // always null
    // A new, open stream to ip:7001, or null when it cannot be opened; the caller owns it.
    static ITransferStream* GetStreamByIP(const char* ip);

  private:
    static std::vector<std::string> m_streamIDs;  // every address opened, in order, repeats kept
};

}  // namespace orvane
