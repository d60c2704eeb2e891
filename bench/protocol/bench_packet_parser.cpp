// Parse rate of 1280x960 depth image packets from an in-memory stream, next to a plain memcpy of the same
// image bytes in the same run. The parser reads the payload straight into the consumer's buffer, so the
// two rates should be close.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/data_packet_parser.h"
#include "protocol/packet_base.h"
#include "transport/ITransferStream.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 960;
constexpr int kImageBytes = kWidth * kHeight * 2;  // depth16

// One wire packet: sync, header, image sub-header (with 4 extra bytes), depth pixels.
std::vector<uint8_t> BuildDepthPacket() {
    const int extra = 4;
    const uint32_t length = orvane::kImageHeaderSize + extra + kImageBytes;
    std::vector<uint8_t> packet(orvane::kSyncHeaderBlockSize + length);
    orvane::BuildSyncHeaderBlock(packet.data(), 0, orvane::kPacketTypeImage, length);
    orvane::DataPacketImageHeader image;
    image.width = kWidth;
    image.height = kHeight;
    image.cam_id = 3;
    image.pixel_format = 1;
    image.extra_len = extra;
    orvane::EncodeImageHeader(image, packet.data() + orvane::kSyncHeaderBlockSize);
    uint8_t* pixels = packet.data() + orvane::kSyncHeaderBlockSize + orvane::kImageHeaderSize + extra;
    for (int i = 0; i < kImageBytes; ++i) pixels[i] = static_cast<uint8_t>(i * 31 + 7);
    return packet;
}

// Serves the same packet over and over, as a transport would from its staging buffer; max_read limits
// the bytes per Receive like the transfer size of a transport.
class LoopStream : public orvane::ITransferStream {
  public:
    LoopStream(const std::vector<uint8_t>& packet, int max_read) : packet_(packet), max_read_(max_read) {}
    int GetInterface() override { return 2; }
    const char* GetStreamID() override { return "bench"; }
    int Open() override { return 0; }
    int Send(const char*, int len) override { return len; }
    int Receive(char* buf, int len) override {
        size_t n = std::min(static_cast<size_t>(len), packet_.size() - pos_);
        if (max_read_ > 0) n = std::min(n, static_cast<size_t>(max_read_));
        std::memcpy(buf, packet_.data() + pos_, n);
        pos_ += n;
        if (pos_ == packet_.size()) pos_ = 0;
        return static_cast<int>(n);
    }
    void set_timeout(int) override {}
    int get_timeout() override { return 0; }

  private:
    const std::vector<uint8_t>& packet_;
    size_t pos_ = 0;
    int max_read_;
};

void ParseDepthPackets(benchmark::State& state, int max_read) {
    const std::vector<uint8_t> packet = BuildDepthPacket();
    std::vector<char> frame(kImageBytes);  // the consumer's buffer
    LoopStream stream(packet, max_read);
    orvane::DataPacketParser parser;
    parser.set_receive_stream(&stream);
    parser.set_header_received_callback(
        [&](const orvane::DataPacketHeader*, const orvane::DataPacketImageHeader*, char** buffer, int* size) {
            *buffer = frame.data();
            *size = static_cast<int>(frame.size());
        });
    int64_t delivered = 0;
    parser.set_packet_received_callback(
        [&](const orvane::DataPacketHeader* header, const orvane::PacketData& data) {
            if (data.status == 0) delivered += header->length;
        });
    for (auto _ : state) {
        parser.ReceiveOnePacket();
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    if (delivered != static_cast<int64_t>(state.iterations()) * kImageBytes || parser.get_lasterror() != 0) {
        state.SkipWithError("packets were lost");
    }
    state.SetBytesProcessed(delivered);
}

void BM_ParseDepthPackets(benchmark::State& state) {
    ParseDepthPackets(state, 0);
}
BENCHMARK(BM_ParseDepthPackets)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Reads of at most 16 KiB, as a USB transport hands them out.
void BM_ParseDepthPackets16KReads(benchmark::State& state) {
    ParseDepthPackets(state, 16384);
}
BENCHMARK(BM_ParseDepthPackets16KReads)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MemcpyDepthImage(benchmark::State& state) {
    const std::vector<uint8_t> packet = BuildDepthPacket();
    const uint8_t* pixels = packet.data() + packet.size() - kImageBytes;
    std::vector<char> frame(kImageBytes);
    for (auto _ : state) {
        std::memcpy(frame.data(), pixels, kImageBytes);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
}
BENCHMARK(BM_MemcpyDepthImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
