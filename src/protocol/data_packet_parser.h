// Pulls framed packets off a byte stream: finds the sync pattern, validates the header, reads the image
// sub-header, asks the header callback where the payload goes, reads (or drops) the payload and reports
// the outcome through the packet callback.
#pragma once

#include <functional>
#include <memory>

#include "protocol/packet_base.h"

namespace orvane {

class ITransferStream;
struct ParserPrivateData;

class DataPacketParser {
  public:
    // Called once per packet whose payload was read into a supplied buffer, or whose length is 0.
    using PacketCallback = std::function<void(const DataPacketHeader* header, const PacketData& data)>;
    // Called right after a valid header (and image sub-header); stores a destination and its capacity
    // through the two out-parameters, or leaves them null and 0 to have the payload dropped.
    using HeaderCallback = std::function<void(
        const DataPacketHeader* header, const DataPacketImageHeader* image_header, char** buffer, int* size)>;

    enum State { kStateSyncSearch = 0, kStateHeader = 1, kStateBody = 2, kStateError = 3 };

    // Error recorded when a sync search sees too many empty reads in a row.
    static constexpr int kErrorNoData = -100;
    static constexpr int kDefaultTimeoutMs = 5000;

    DataPacketParser();
    ~DataPacketParser();
    DataPacketParser(const DataPacketParser&) = delete;
    DataPacketParser& operator=(const DataPacketParser&) = delete;

    void set_receive_stream(ITransferStream* stream);
    void set_packet_received_callback(PacketCallback callback);
    void set_header_received_callback(HeaderCallback callback);
    // Every wait limit of the parser, in milliseconds.
    void set_timeout(int ms);
    int get_timeout() const;
    // A step whose sync search has seen no byte of a packet for ms returns early without an error, so
    // that an idle link does not hold the caller for the whole time limit; below 0 (default): off.
    void set_idle_return(int ms);
    // May be called from any thread; clearing it makes a running ReceiveOnePacket return at its next check.
    void set_work_flag(bool on);
    // Last transport error seen by the sync search (or kErrorNoData); cleared only by Reset.
    int get_lasterror() const;
    int get_state() const;
    void Reset();

    // Advances the state machine until one packet was delivered or dropped, an invalid header was seen,
    // the work flag dropped, or the call's own time passed the timeout between two states.
    void ReceiveOnePacket();

  private:
    void SyncSearch();
    bool HeaderStatus();
    void OnHeadReceived();
    void ReceiveBody();
    void OnPacketReceived(int status);
    bool ReadFully(char* destination, int count);

    std::unique_ptr<ParserPrivateData> d_;
};

}  // namespace orvane
