#include "transport/tcp_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/hal_linux.h"

namespace orvane {

namespace {

constexpr int kInterfaceEthernet = 1;  // KV_INTERFACE_ETHERNET

// Parses dotted IPv4 text into a host-order address. Missing trailing parts count as 0 ("10.0.0" is
// 10.0.0.0). Rejects text that is not an address: a part that is not 1-3 decimal digits or exceeds 255,
// more than four parts, and 0.0.0.0 (which the socket layer would take as "listen as a server").
bool parseIPv4(const char* text, uint32_t* address) {
    uint32_t parts[4] = {0, 0, 0, 0};
    int count = 0;
    const char* p = text;
    while (true) {
        if (count == 4) return false;
        int digits = 0;
        uint32_t value = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3) return false;
            value = value * 10 + static_cast<uint32_t>(*p - '0');
            ++p;
        }
        if (digits == 0 || value > 255) return false;
        parts[count++] = value;
        if (*p == '\0') break;
        if (*p != '.') return false;
        ++p;
    }
    *address = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
    return *address != 0;
}

}  // namespace

tcp_stream::tcp_stream() {
    snprintf(m_ip, sizeof(m_ip), "%s", "127.0.0.1");
}

tcp_stream::tcp_stream(const char* ip, unsigned short port) : m_port(port) {
    snprintf(m_ip, sizeof(m_ip), "%s", ip != nullptr ? ip : "");
}

tcp_stream::~tcp_stream() {
    Close();
}

int tcp_stream::GetInterface() {
    return kInterfaceEthernet;
}

const char* tcp_stream::GetStreamID() {
    return m_ip;
}

int tcp_stream::Open() {
    std::unique_lock<std::shared_mutex> guard(m_connection);
    if (m_sock != -1) return 0;
    uint32_t address = 0;
    if (!parseIPv4(m_ip, &address)) return 1;
    m_rxLeft = 0;
    m_rxPos = 0;
    m_sock = SOCK_Open(address, static_cast<uint16_t>(m_port));
    return m_sock == -1 ? 1 : 0;
}

int tcp_stream::Send(const char* buf, int len) {
    std::shared_lock<std::shared_mutex> guard(m_connection);
    if (m_sock == -1 || buf == nullptr || len <= 0) return 0;
    const int n = SOCK_Write(m_sock, buf, len);
    return n > 0 ? n : 0;
}

int tcp_stream::Receive(char* buf, int len) {
    std::shared_lock<std::shared_mutex> guard(m_connection);
    if (m_sock == -1 || buf == nullptr || len <= 0) return 0;
    if (m_rxLeft > 0) {
        const int n = std::min(len, m_rxLeft);
        memcpy(buf, m_rxBuf + m_rxPos, static_cast<size_t>(n));
        m_rxPos += n;
        m_rxLeft -= n;
        return n;
    }

    int r;
    if (len > kStagingSize) {
        // Large reads take what is there, in whole staging units, straight into the caller's buffer.
        r = SOCK_Read(m_sock, buf, len / kStagingSize * kStagingSize, 0);
        if (r > 0) return r;
    } else {
        r = SOCK_Read(m_sock, m_rxBuf, kStagingSize, kShortReadWaitMs);
        if (r > 0) {
            const int n = std::min(len, r);
            memcpy(buf, m_rxBuf, static_cast<size_t>(n));
            m_rxPos = n;
            m_rxLeft = r - n;
            return n;
        }
    }
    // A peer that closed the connection (or a failed socket) will never send again: report it as a failed
    // read, so the receive thread ends and the device-offline event is raised now rather than after the
    // keep-alive's dead time.
    return r < 0 ? -1 : 0;
}

void tcp_stream::set_timeout(int ms) {
    m_timeout = ms;
}

int tcp_stream::get_timeout() {
    return m_timeout;
}

int tcp_stream::Close() {
    std::unique_lock<std::shared_mutex> guard(m_connection);
    if (m_sock != -1) {
        SOCK_Close(m_sock);
        m_sock = -1;
    }
    m_rxLeft = 0;
    m_rxPos = 0;
    return 0;
}

std::vector<std::string> TcpCluster::m_streamIDs;

void TcpCluster::InitTcpLib() {
    m_streamIDs.clear();
}

void TcpCluster::DeinitTcpLib() {}

int TcpCluster::GetNum() {
    return 0;
}

std::vector<std::string> TcpCluster::GetStreamIDs() {
    return m_streamIDs;
}

ITransferStream* TcpCluster::GetStream(const char*) {
    return nullptr;
}

ITransferStream* TcpCluster::GetStreamByIP(const char* ip) {
    if (ip == nullptr) return nullptr;
    auto* stream = new tcp_stream(ip, kTcpCameraPort);
    if (stream->Open() != 0) {
        delete stream;
        return nullptr;
    }
    m_streamIDs.emplace_back(stream->GetStreamID());
    return stream;
}

}  // namespace orvane
