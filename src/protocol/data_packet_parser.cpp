#include "protocol/data_packet_parser.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "diag/logger.h"
#include "platform/KvDebug.h"
#include "transport/ITransferStream.h"

namespace orvane {

namespace {
// A sync search gives up with an error after this many one-byte reads that delivered nothing.
constexpr int kMaxEmptySyncReads = 1843200;
// Largest payload dropped in one go when no consumer claims it.
constexpr uint32_t kMaxDiscardLength = 0x4B0000;
constexpr int kDiscardChunk = 1024;
const char kTraceSource[] = "src/data_packet_parser";
}  // namespace

#define PARSER_TRACE(function) KV_LOG(kLogVerbose, "%s, %s(Line %d)\n", kTraceSource, function, __LINE__)

struct ParserPrivateData {
    std::atomic<bool> work_flag{true};
    int state = DataPacketParser::kStateSyncSearch;
    int receive_count = 0;
    ITransferStream* stream = nullptr;
    DataPacketHeader header;
    DataPacketParser::PacketCallback packet_callback;
    DataPacketParser::HeaderCallback header_callback;
    DataPacketImageHeader image_header;
    char* buffer = nullptr;
    int buffer_size = 0;
    int last_error = 0;
    uint32_t start_time = 0;
    std::atomic<int> timeout{DataPacketParser::kDefaultTimeoutMs};
    std::atomic<int> idle_return_ms{-1};

    // Reads and drops n bytes; 0 when all were dropped, 1 when the stream failed, stalled past the timeout
    // or the work flag dropped first. An empty read only means the rest is slow to come: giving up there
    // would parse the remainder of the payload as packets.
    int DiscardData(uint32_t n) {
        char scratch[kDiscardChunk];
        uint32_t mark = getMonotonicTime();
        while (n > 0) {
            const int want = static_cast<int>(std::min<uint32_t>(n, kDiscardChunk));
            const int got = stream->Receive(scratch, want);
            if (got < 0) return 1;
            if (got > 0) {
                n -= static_cast<uint32_t>(std::min(got, want));
                mark = getMonotonicTime();
            } else if (timeDiff(getMonotonicTime(), mark) > timeout.load()) {
                return 1;
            }
            if (!work_flag.load()) return 1;
        }
        return 0;
    }
};

DataPacketParser::DataPacketParser() : d_(new ParserPrivateData) {}

DataPacketParser::~DataPacketParser() = default;

void DataPacketParser::set_receive_stream(ITransferStream* stream) {
    d_->stream = stream;
}

void DataPacketParser::set_packet_received_callback(PacketCallback callback) {
    d_->packet_callback = std::move(callback);
}

void DataPacketParser::set_header_received_callback(HeaderCallback callback) {
    d_->header_callback = std::move(callback);
}

void DataPacketParser::set_timeout(int ms) {
    d_->timeout.store(ms);
}

int DataPacketParser::get_timeout() const {
    return d_->timeout.load();
}

void DataPacketParser::set_idle_return(int ms) {
    d_->idle_return_ms.store(ms);
}

void DataPacketParser::set_work_flag(bool on) {
    d_->work_flag.store(on);
}

int DataPacketParser::get_lasterror() const {
    return d_->last_error;
}

int DataPacketParser::get_state() const {
    return d_->state;
}

void DataPacketParser::Reset() {
    d_->timeout.store(kDefaultTimeoutMs);
    d_->last_error = 0;
    d_->state = kStateSyncSearch;
    d_->receive_count = 0;
    d_->buffer = nullptr;
    d_->buffer_size = 0;
}

void DataPacketParser::ReceiveOnePacket() {
    ParserPrivateData& d = *d_;
    d.start_time = getMonotonicTime();
    if (d.stream == nullptr) {
        // Nothing to read from: as fatal as a broken transport.
        d.last_error = kErrorNoData;
        return;
    }
    for (;;) {
        if (!d.work_flag.load()) return;
        switch (d.state) {
            case kStateSyncSearch:
                SyncSearch();
                // A failed transport is not read again for the rest of the call: the caller treats the
                // recorded error as fatal.
                if (d.last_error != 0) return;
                // Stopped, or an idle link: give the caller its turn.
                if (d.state == kStateSyncSearch) return;
                break;
            case kStateHeader:
                if (!HeaderStatus()) {
                    d.state = kStateSyncSearch;
                    return;
                }
                OnHeadReceived();
                // The payload destination handed out by the header callback is only valid within this
                // call: leaving between header and body (stop or time limit) would later write into
                // memory the consumer may have taken back. ReceiveBody ends a stalled or stopped read
                // itself and reports it as a failed packet.
                d.state = kStateBody;
                ReceiveBody();
                d.state = kStateSyncSearch;
                d.buffer = nullptr;
                d.buffer_size = 0;
                return;
            case kStateBody:
                // Not reached: the body is read in the same step as its header.
                d.state = kStateSyncSearch;
                break;
            default:
                d.state = kStateSyncSearch;
                break;
        }
        if (timeDiff(getMonotonicTime(), d.start_time) > d.timeout.load()) return;
    }
}

void DataPacketParser::SyncSearch() {
    ParserPrivateData& d = *d_;
    d.receive_count = 0;
    int empty_reads = 0;
    uint32_t mark = getMonotonicTime();
    while (d.receive_count < kSyncHeadSize) {
        if (!d.work_flag.load()) {
            // Stopped: a later call starts a fresh search instead of reading a header that was never
            // preceded by a sync pattern.
            d.state = kStateSyncSearch;
            return;
        }
        // One clock reading per byte serves both limits and the progress mark.
        const uint32_t now = getMonotonicTime();
        const int idle_return = d.idle_return_ms.load();
        if (d.receive_count == 0 && idle_return >= 0 && timeDiff(now, d.start_time) > idle_return) {
            // Nothing of a packet has arrived: return so that the caller's periodic work (keep-alive)
            // is not held up for the whole time limit.
            d.state = kStateSyncSearch;
            return;
        }
        if (timeDiff(now, mark) > d.timeout.load()) {
            KV_LOG(kLogVerbose, "timeout st_err \n");
            d.state = kStateError;
            return;
        }
        uint8_t byte = 0;
        const int got = d.stream->Receive(reinterpret_cast<char*>(&byte), 1);
        if (got < 0) {
            d.last_error = got;
            KV_LOG(kLogVerbose, "error_ret st_err ");
            d.state = kStateError;
            return;
        }
        if (got == 0) {
            // No byte arrived: the partial match stands and nothing is compared.
            if (++empty_reads > kMaxEmptySyncReads) {
                KV_LOG(kLogVerbose, "error reach max try count:%d\n", empty_reads);
                d.last_error = kErrorNoData;
                d.state = kStateError;
                return;
            }
            continue;
        }
        if (byte == kProtocolSyncHead[d.receive_count]) {
            mark = now;
            ++d.receive_count;
            KV_LOG(kLogVerbose, "receive_count: %d\n", d.receive_count);
        } else {
            d.receive_count = 0;
            KV_LOG(kLogVerbose, "set receive_count to 0\n");
        }
    }
    d.state = kStateHeader;
}

bool DataPacketParser::ReadFully(char* destination, int count) {
    ParserPrivateData& d = *d_;
    int remaining = count;
    uint32_t mark = getMonotonicTime();
    while (remaining > 0) {
        const int got = d.stream->Receive(destination, remaining);
        if (got < 0 || got > remaining) return false;
        remaining -= got;
        destination += got;
        if (got > 0) {
            mark = getMonotonicTime();
        } else if (timeDiff(getMonotonicTime(), mark) > d.timeout.load()) {
            return false;
        }
        if (!d.work_flag.load()) return false;
    }
    return true;
}

bool DataPacketParser::HeaderStatus() {
    PARSER_TRACE("HeaderStatus");
    ParserPrivateData& d = *d_;
    // Every part is read into scratch first: a read that fails part-way drops the packet rather than
    // judging a header made partly of an earlier packet's bytes.
    uint8_t raw[kPacketHeaderSize];
    if (!ReadFully(reinterpret_cast<char*>(raw), kPacketHeaderSize)) return false;
    DataPacketHeader header = DecodePacketHeader(raw);
    if (header.version != kProtocolVersion || header.length > kMaxPacketLength) return false;
    if (header.type == kPacketTypeImage) {
        if (header.length < static_cast<uint32_t>(kImageHeaderSize)) return false;
        uint8_t raw_image[kImageHeaderSize];
        if (!ReadFully(reinterpret_cast<char*>(raw_image), kImageHeaderSize)) return false;
        DataPacketImageHeader image_header;
        DecodeImageHeader(raw_image, &image_header);
        header.length -= kImageHeaderSize;
        if (image_header.extra_len > 0) {
            if (image_header.extra_len > header.length) return false;
            uint8_t extra[255];
            if (!ReadFully(reinterpret_cast<char*>(extra), image_header.extra_len)) return false;
            header.length -= image_header.extra_len;
            image_header.timestamp_high = extra[0];
        }
        d.image_header = image_header;
    }
    d.header = header;
    return true;
}

void DataPacketParser::OnHeadReceived() {
    PARSER_TRACE("OnHeadReceived");
    ParserPrivateData& d = *d_;
    d.buffer = nullptr;
    d.buffer_size = 0;
    if (d.header_callback) {
        d.header_callback(&d.header, &d.image_header, &d.buffer, &d.buffer_size);
    }
    if (d.buffer == nullptr || d.buffer_size < 0) {
        d.buffer = nullptr;
        d.buffer_size = 0;
    }
}

void DataPacketParser::ReceiveBody() {
    ParserPrivateData& d = *d_;
    const uint32_t remaining = d.header.length;
    if (remaining == 0) {
        OnPacketReceived(kPacketStatusComplete);
        return;
    }
    if (d.buffer == nullptr || d.buffer_size == 0) {
        d.DiscardData(std::min(remaining, kMaxDiscardLength));
        return;
    }
    const uint32_t capacity = static_cast<uint32_t>(d.buffer_size);
    const int to_read = static_cast<int>(std::min(remaining, capacity));
    int status = kPacketStatusComplete;
    if (!ReadFully(d.buffer, to_read)) {
        // The stream failed or stalled: whatever followed is not this packet's surplus.
        status = kPacketStatusReadFailed;
    } else if (remaining > capacity) {
        d.DiscardData(remaining - capacity);
        status = kPacketStatusTruncated;
    }
    OnPacketReceived(status);
}

void DataPacketParser::OnPacketReceived(int status) {
    PARSER_TRACE("OnPacketReceived");
    ParserPrivateData& d = *d_;
    if (d.packet_callback) {
        PacketData data;
        data.data = d.buffer;
        data.image_header = &d.image_header;
        data.status = status;
        d.packet_callback(&d.header, data);
    }
}

}  // namespace orvane
