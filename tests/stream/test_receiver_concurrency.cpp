// The receiver while the receive thread runs: application threads clear or return buffers concurrently.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "image_stream_fixture.h"

namespace kvtest {
namespace {

using orvane::KvFrameBuffer;

class ReceiverThreadTest : public ImageStreamTest {
  protected:
    void StartReceiveThread() {
        ASSERT_EQ(0, controller.StartReceive());
        ASSERT_TRUE(controller.IsRunning());
    }

    size_t ConsumedBytes() { return stream.inbound().total_written() - stream.inbound().queued_bytes(); }
};

// A payload is being read into a buffer when the application releases it; ClearBuffers must not return
// before that write is over, or the application could free memory the receive thread still fills.
enum class Release { kInProgressFrame, kReturnedToEmptyQueueAndTakenBack };

class ClearDuringPayloadTest : public ReceiverThreadTest, public ::testing::WithParamInterface<Release> {};

TEST_P(ClearDuringPayloadTest, ClearBuffersReturnsOnlyAfterThePayloadWriteEnded) {
    AppBuffer& memory = EnqueueNew();
    controller.parser().set_timeout(5000);  // the stall below must not end the payload read early
    StartReceiveThread();

    const Bytes packet = EncodeImagePacket(Depth(1, 0x44));
    stream.Feed(Bytes(packet.begin(), packet.end() - 8));
    // Once everything up to the last 8 payload bytes is consumed, the payload read into the sub-buffer runs.
    ASSERT_TRUE(WaitUntil([&] { return stream.inbound().queued_bytes() == 0; }, 10000));
    stream.Feed(Bytes(packet.end() - 8, packet.end()), 150);

    if (GetParam() == Release::kReturnedToEmptyQueueAndTakenBack) {
        receiver.PlaceAllBufferToEmptyQ();
        EXPECT_EQ(1u, empty_queue.dequeue_all().size());  // the caller takes its buffer back...
    }
    receiver.ClearBuffers();  // ...and clears, as the camera's clear does
    EXPECT_EQ(0u, stream.inbound().queued_bytes());
    EXPECT_TRUE(HoldsPattern(memory.data(), 16, 0x44));

    // The memory is the application's again: nothing may land in it any more.
    std::fill(memory.bytes.begin(), memory.bytes.end(), AppBuffer::kUntouched);
    const size_t before = ConsumedBytes();
    Bytes more =
        Concat({EncodeImagePacket(LeftIr(1)), EncodeImagePacket(Depth(2)), EncodeImagePacket(LeftIr(2))});
    stream.Feed(more);
    ASSERT_TRUE(WaitUntil([&] { return ConsumedBytes() >= before + more.size(); }, 10000));
    controller.StopReceive();
    EXPECT_TRUE(memory.Untouched(0, 64));
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
}

INSTANTIATE_TEST_SUITE_P(Release, ClearDuringPayloadTest,
                         ::testing::Values(Release::kInProgressFrame,
                                           Release::kReturnedToEmptyQueueAndTakenBack));

// Streams frames from a feeder thread while the application fetches, checks and re-enqueues frames and
// now and then resets the receiver.
class StreamingResetTest : public ReceiverThreadTest {
  protected:
    static constexpr int kBuffers = 4;
    static constexpr int kFrames = 1200;

    static uint8_t DepthSeed(int frame) { return static_cast<uint8_t>(frame * 3); }
    static uint8_t IrSeed(int frame) { return static_cast<uint8_t>(frame * 3 + 1); }

    void SetUp() override {
        ImageStreamTest::SetUp();
        for (int i = 0; i < kBuffers; ++i) memories.emplace_back(new AppBuffer(64));
        receiver.frame_ready_hook = [this](KV_FRAME_DATA*) { receiver.frame_cond.notify_all(); };
    }

    // Feeds the frames' bytes in chunks of uneven size, so the receive thread often waits for data in the
    // middle of a frame or of a payload, with a slice of application memory handed out.
    void Feed() {
        Bytes pending;
        size_t offset = 0;
        int next_frame = 1;
        for (int chunk = 0;; ++chunk) {
            const size_t size = 40 + static_cast<size_t>(chunk * 37 % 150);
            while (pending.size() - offset < size && next_frame <= kFrames) {
                const uint8_t index = static_cast<uint8_t>(next_frame);
                pending = Concat({Bytes(pending.begin() + static_cast<long>(offset), pending.end()),
                                  EncodeImagePacket(Depth(index, DepthSeed(next_frame))),
                                  EncodeImagePacket(LeftIr(index, IrSeed(next_frame)))});
                offset = 0;
                ++next_frame;
            }
            if (offset == pending.size()) break;
            const size_t take = std::min(size, pending.size() - offset);
            // Only a little is queued at a time, so the application thread keeps up.
            if (!WaitUntil([&] { return stream.inbound().queued_bytes() == 0; }, 20000)) break;
            stream.Feed(Bytes(pending.begin() + static_cast<long>(offset),
                              pending.begin() + static_cast<long>(offset + take)));
            offset += take;
        }
        feeding_done = true;
    }

    void EnqueueMemory(uint8_t* address) {
        for (auto& memory : memories) {
            if (memory->data() == address) {
                Enqueue(*memory, DepthAndIrLayout());
                return;
            }
        }
        ADD_FAILURE() << "frame in memory the application never enqueued";
    }

    // Waits briefly for the next frame the way the video source's fetch does.
    bool NextFrame(KV_FRAME_DATA* frame) {
        if (receiver.GetFrames(frame) == 0) return true;
        std::unique_lock<std::mutex> lock(receiver.frame_lock);
        receiver.frame_cond.wait_for(lock, std::chrono::milliseconds(20));
        return receiver.GetFrames(frame) == 0;
    }

    void CheckFrame(const KV_FRAME_DATA& frame) {
        ASSERT_EQ(2, frame.validCount);
        const int f = frame.image[0].imageIndex;
        EXPECT_EQ(f, frame.image[1].imageIndex);
        EXPECT_GT(f, last_index);  // frames come out in order, never twice
        last_index = f;
        for (int i = 0; i < 2; ++i) {
            const KV_IMAGE_DATA& image = frame.image[i];
            const bool depth = image.componentID == KV_COMPONENT_DEPTH;
            EXPECT_TRUE(HoldsPattern(image.buffer, depth ? 16 : 8, depth ? DepthSeed(f) : IrSeed(f)))
                << "frame " << f << " component " << std::hex << image.componentID;
        }
    }

    // Runs the stream; reset() is called a little after every 7th frame. Returns the frames delivered.
    int Run(const std::function<void()>& reset) {
        for (auto& memory : memories) Enqueue(*memory, DepthAndIrLayout());
        StartReceiveThread();
        std::thread feeder([this] { Feed(); });
        int delivered = 0;
        KV_FRAME_DATA frame;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!NextFrame(&frame)) {
                if (feeding_done && stream.inbound().queued_bytes() == 0) break;
                continue;
            }
            CheckFrame(frame);
            EnqueueMemory(static_cast<uint8_t*>(frame.userBuffer));
            if (++delivered % 7 != 0) continue;
            // Reset once the receive thread has moved on a little: mid-frame or mid-payload as often as not.
            const size_t target = ConsumedBytes() + 1 + static_cast<size_t>(delivered * 13 % 80);
            WaitUntil([&] { return ConsumedBytes() >= target || feeding_done.load(); }, 10000);
            reset();
        }
        feeder.join();
        controller.StopReceive();
        return delivered;
    }

    // After the receive thread stopped: every buffer the receiver holds goes back to the empty queue, and
    // together with what the application holds that must be each buffer exactly once.
    void ExpectEveryBufferOnce(const std::vector<uint8_t*>& held_by_application) {
        receiver.PlaceAllBufferToEmptyQ();
        std::map<uint8_t*, int> seen;
        for (const auto& buffer : empty_queue.dequeue_all()) ++seen[buffer->buffer];
        for (uint8_t* address : held_by_application) ++seen[address];
        EXPECT_EQ(static_cast<size_t>(kBuffers), seen.size());
        for (auto& memory : memories) EXPECT_EQ(1, seen[memory->data()]);
    }

    std::vector<std::unique_ptr<AppBuffer>> memories;
    std::atomic<bool> feeding_done{false};
    int last_index = -1;
};

TEST_F(StreamingResetTest, PlaceAllBufferToEmptyQueueWhileReceivingLosesNoBuffer) {
    const int delivered = Run([this] { receiver.PlaceAllBufferToEmptyQ(); });
    EXPECT_GT(delivered, 20);
    ExpectEveryBufferOnce({});
}

TEST_F(StreamingResetTest, ClearBuffersWhileReceivingLosesNoBufferAndReleasedMemoryStaysUntouched) {
    int clears = 0;
    const int delivered = Run([&] {
        // The camera's clear: take the queued buffers back, then clear the receiver.
        empty_queue.dequeue_all();
        receiver.ClearBuffers();
        ++clears;
        // Every buffer is the application's now; the receive thread keeps consuming packets meanwhile.
        for (auto& memory : memories)
            std::fill(memory->bytes.begin(), memory->bytes.end(), AppBuffer::kUntouched);
        const size_t before = ConsumedBytes();
        WaitUntil([&] { return ConsumedBytes() > before + 100 || feeding_done.load(); }, 10000);
        for (auto& memory : memories) EXPECT_TRUE(memory->Untouched(0, 64)) << "written after ClearBuffers";
        for (auto& memory : memories) Enqueue(*memory, DepthAndIrLayout());
    });
    EXPECT_GT(delivered, 20);
    EXPECT_GT(clears, 2);
    ExpectEveryBufferOnce({});
}

}  // namespace
}  // namespace kvtest
