// Time limits must not follow the wall clock: this executable replaces gettimeofday with one that a test
// can set back by an hour, as NTP or an administrator may do while a camera streams.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "protocol/data_packet_parser.h"
#include "protocol/packet_base.h"
#include "transport/ITransferStream.h"

namespace {
std::atomic<int64_t> wall_offset_seconds{0};
}

extern "C" int gettimeofday(struct timeval* tv, void*) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec + wall_offset_seconds.load();
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

namespace {

// Delivers its bytes, then stalls (empty reads); the wall clock steps back an hour at the first stall.
class StallingStream : public orvane::ITransferStream {
  public:
    explicit StallingStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    int GetInterface() override { return 1; }
    const char* GetStreamID() override { return "stall"; }
    int Open() override { return 0; }
    int Send(const char*, int len) override { return len; }
    int Receive(char* buffer, int len) override {
        if (pos_ < bytes_.size() && len > 0) {
            buffer[0] = static_cast<char>(bytes_[pos_++]);
            return 1;
        }
        wall_offset_seconds.store(-3600);
        usleep(1000);
        return 0;
    }
    void set_timeout(int) override {}
    int get_timeout() override { return 0; }

  private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

std::vector<uint8_t> SyncAndHeader(uint32_t length) {
    std::vector<uint8_t> bytes(orvane::kProtocolSyncHead, orvane::kProtocolSyncHead + orvane::kSyncHeadSize);
    orvane::DataPacketHeader header{};
    header.version = orvane::kProtocolVersion;
    header.length = length;
    uint8_t raw[orvane::kPacketHeaderSize];
    orvane::EncodePacketHeader(header, raw);
    bytes.insert(bytes.end(), raw, raw + orvane::kPacketHeaderSize);
    return bytes;
}

struct StallCase {
    const char* name;
    std::vector<uint8_t> bytes;  // what arrives before the link stalls
};

TEST(ParserTimeLimits, HoldWhenTheWallClockIsSetBackDuringAStall) {
    char payload[64];
    const StallCase cases[] = {
        {"sync search", {0xfe, 0x01}},
        {"header", {0xfe, 0x01, 0xfe, 0x01, 0x04}},
        {"payload", SyncAndHeader(sizeof(payload))},
    };
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.name);
        wall_offset_seconds.store(0);
        StallingStream stream(c.bytes);
        orvane::DataPacketParser parser;
        parser.set_receive_stream(&stream);
        parser.set_timeout(200);
        parser.set_header_received_callback([&](const orvane::DataPacketHeader*,
                                                const orvane::DataPacketImageHeader*, char** buffer,
                                                int* size) {
            *buffer = payload;
            *size = sizeof(payload);
        });
        auto step = std::async(std::launch::async, [&] { parser.ReceiveOnePacket(); });
        const bool ended = step.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        parser.set_work_flag(false);  // frees a hung step so the test can report instead of hanging
        step.wait();
        EXPECT_TRUE(ended) << "the stalled step waited for the wall clock to catch up";
    }
    wall_offset_seconds.store(0);
}

}  // namespace
