// Frame assembly throughput: 1280x960 depth, left and right infrared and RGB colour images pulled from an
// in-memory stream through the real parser, receive controller and image receiver into application
// buffers, fetched and re-enqueued as an application does. The memcpy benchmark copies the same image
// bytes into the same buffer layout: the floor that assembly cannot beat, since the stream itself hands
// data out by copying.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/device_receive_controller.h"
#include "stream/image_receiver_processor.h"
#include "transport/ITransferStream.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 960;
constexpr int kPixels = kWidth * kHeight;

struct StreamImage {
    uint8_t cam_id;
    uint8_t pixel_format;
    int32_t component;
    int bytes_per_pixel;
    std::vector<uint8_t> data;
};

std::vector<StreamImage> MakeImages() {
    std::vector<StreamImage> images = {
        {3, 1, KV_COMPONENT_DEPTH, 2, {}},
        {0, 0, KV_COMPONENT_LEFT_IR, 1, {}},
        {1, 0, KV_COMPONENT_RIGHT_IR, 1, {}},
        {2, 3, KV_COMPONENT_COLOR, 3, {}},
    };
    for (StreamImage& image : images) {
        image.data.resize(static_cast<size_t>(kPixels) * image.bytes_per_pixel);
        for (size_t i = 0; i < image.data.size(); ++i)
            image.data[i] = static_cast<uint8_t>(i * 13 + image.cam_id);
    }
    return images;
}

size_t FrameBytes(const std::vector<StreamImage>& images) {
    size_t total = 0;
    for (const StreamImage& image : images) total += image.data.size();
    return total;
}

std::vector<orvane::SubBufferInfo> Layout(const std::vector<StreamImage>& images) {
    std::vector<orvane::SubBufferInfo> layout;
    for (const StreamImage& image : images)
        layout.push_back({image.component, static_cast<int32_t>(image.data.size())});
    return layout;
}

// An endless device stream: one image packet per sensor and frame, the frame index advancing (and
// wrapping) per frame, a 64-bit timestamp through one extra byte.
class GeneratedFrameStream : public orvane::ITransferStream {
  public:
    explicit GeneratedFrameStream(const std::vector<StreamImage>& images) : images_(images) { NextPacket(); }

    int GetInterface() override { return 2; }
    const char* GetStreamID() override { return "generated"; }
    int Open() override { return 0; }
    int Send(const char*, int len) override { return len; }
    void set_timeout(int) override {}
    int get_timeout() override { return 0; }

    int Receive(char* buf, int len) override {
        if (len <= 0) return 0;
        if (head_pos_ < kHeadSize) {
            const int n = std::min(len, kHeadSize - head_pos_);
            std::memcpy(buf, head_ + head_pos_, static_cast<size_t>(n));
            head_pos_ += n;
            if (head_pos_ == kHeadSize && payload_left_ == 0) NextPacket();
            return n;
        }
        const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(len), payload_left_));
        std::memcpy(buf, payload_, static_cast<size_t>(n));
        payload_ += n;
        payload_left_ -= static_cast<size_t>(n);
        if (payload_left_ == 0) NextPacket();
        return n;
    }

  private:
    static constexpr int kHeadSize = 4 + 12 + 12 + 1;

    static void Le16(uint8_t* p, uint32_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
    static void Le32(uint8_t* p, uint32_t v) {
        Le16(p, v);
        Le16(p + 2, v >> 16);
    }

    void NextPacket() {
        const StreamImage& image = images_[next_image_];
        const uint8_t fixed[12] = {0xfe, 0x01, 0xfe, 0x01, 0x04, 0x00, 0x02, 0, 0, 0, 0, 0};
        std::memcpy(head_, fixed, sizeof(fixed));
        Le32(head_ + 12, static_cast<uint32_t>(12 + 1 + image.data.size()));
        Le16(head_ + 16, kWidth);
        Le16(head_ + 18, kHeight);
        Le32(head_ + 20, timestamp_);
        head_[24] = image.cam_id;
        head_[25] = image.pixel_format;
        head_[26] = frame_index_;
        head_[27] = 1;  // one extra byte: the timestamp's high part
        head_[28] = 0x01;
        head_pos_ = 0;
        payload_ = image.data.data();
        payload_left_ = image.data.size();
        if (++next_image_ == images_.size()) {
            next_image_ = 0;
            ++frame_index_;
            timestamp_ += 33;
        }
    }

    const std::vector<StreamImage>& images_;
    size_t next_image_ = 0;
    uint8_t frame_index_ = 0;
    uint32_t timestamp_ = 0;
    uint8_t head_[kHeadSize] = {};
    int head_pos_ = kHeadSize;
    const uint8_t* payload_ = nullptr;
    size_t payload_left_ = 0;
};

const std::vector<StreamImage>& Images() {
    static const std::vector<StreamImage> images = MakeImages();
    return images;
}

void BM_AssembleFrames(benchmark::State& state) {
    const std::vector<StreamImage>& images = Images();
    const size_t frame_bytes = FrameBytes(images);
    const std::vector<orvane::SubBufferInfo> layout = Layout(images);

    GeneratedFrameStream stream(images);
    orvane::KvFrameBufferQueue empty_queue;
    orvane::ImageReceiverProcessor receiver(orvane::kPacketTypeImage, empty_queue);
    orvane::DeviceReceiveController controller;
    controller.set_underlay_stream(&stream);
    controller.AddProcessor(&receiver);

    // Two application buffers, touched once so page faults stay out of the measurement.
    std::vector<std::vector<uint8_t>> memories(2, std::vector<uint8_t>(frame_bytes, 0));
    for (auto& memory : memories) {
        empty_queue.enqueue(
            orvane::KvFrameBuffer::Create(memory.data(), static_cast<int32_t>(memory.size()), layout));
    }

    KV_FRAME_DATA frame;
    for (auto _ : state) {
        for (size_t i = 0; i < images.size(); ++i) controller.DoReceiveEvents();
        if (receiver.GetFrames(&frame) != 0 || frame.validCount != static_cast<int>(images.size())) {
            state.SkipWithError("frame not assembled");
            break;
        }
        benchmark::DoNotOptimize(frame.image[0].buffer);
        empty_queue.enqueue(orvane::KvFrameBuffer::Create(frame.userBuffer, frame.bufferSize, layout));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame_bytes));
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AssembleFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpySameBytes(benchmark::State& state) {
    const std::vector<StreamImage>& images = Images();
    const size_t frame_bytes = FrameBytes(images);
    std::vector<std::vector<uint8_t>> memories(2, std::vector<uint8_t>(frame_bytes, 0));
    size_t which = 0;
    for (auto _ : state) {
        uint8_t* out = memories[which].data();
        for (const StreamImage& image : images) {
            std::memcpy(out, image.data.data(), image.data.size());
            out += image.data.size();
        }
        benchmark::DoNotOptimize(memories[which].data());
        benchmark::ClobberMemory();
        which ^= 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame_bytes));
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
