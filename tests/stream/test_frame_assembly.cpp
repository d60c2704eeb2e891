// Frame assembly driven through the real parser and receive controller from an in-memory stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "diag/log_context.h"
#include "diag/log_writer.h"
#include "image_stream_fixture.h"

namespace kvtest {
namespace {

using orvane::KvFrameBuffer;
using orvane::SubBufferInfo;

TEST_F(ImageStreamTest, FrameCompletesAfterOneImagePerEnabledComponentAndAnEmptyQueueGivesNoData) {
    AppBuffer& memory = EnqueueNew();

    Send({Depth(1, 0x11)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    Send({LeftIr(1, 0x22)});
    ASSERT_EQ(1, receiver.get_buffered_frame_num());

    KV_FRAME_DATA frame = Fetch();
    EXPECT_EQ(memory.data(), frame.userBuffer);
    EXPECT_EQ(64, frame.bufferSize);
    ASSERT_EQ(2, frame.validCount);

    // Sensor, place (the first sub-buffer starts the application's buffer), size, geometry, format, status.
    const KV_IMAGE_DATA &depth = frame.image[0], &ir = frame.image[1];
    EXPECT_EQ(std::make_tuple(KV_COMPONENT_DEPTH, static_cast<void*>(memory.data()), 16, 4, 2,
                              KV_PIXEL_FORMAT_DEPTH16, 0),
              std::tie(depth.componentID, depth.buffer, depth.size, depth.width, depth.height,
                       depth.pixelFormat, depth.status));
    EXPECT_EQ(std::make_tuple(KV_COMPONENT_LEFT_IR, static_cast<void*>(memory.data() + 16), 8, 4, 2,
                              KV_PIXEL_FORMAT_MONO8, 0),
              std::tie(ir.componentID, ir.buffer, ir.size, ir.width, ir.height, ir.pixelFormat, ir.status));
    EXPECT_TRUE(HoldsPattern(depth.buffer, 16, 0x11));
    EXPECT_TRUE(HoldsPattern(ir.buffer, 8, 0x22));
    // Image data went straight into the sub-buffers; the rest of the memory was never written.
    EXPECT_TRUE(memory.Untouched(24, 40));

    // The queue is empty now: the record is left untouched.
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    std::memset(&frame, 0x5a, sizeof(frame));
    EXPECT_EQ(KV_STATUS_NO_DATA, receiver.GetFrames(&frame));
    const uint8_t* record = reinterpret_cast<uint8_t*>(&frame);
    EXPECT_EQ(Bytes(sizeof(frame), 0x5a), Bytes(record, record + sizeof(frame)));
    EXPECT_EQ(KV_STATUS_NULL_POINTER, receiver.GetFrames(nullptr));
}

// Regression: the point-output flag stays set after a capture with points (the driver never clears it).
// Counting it against buffers without a point sub-buffer completed frames one image short (dropping the
// other image as late) or, with a single sub-buffer, never completed them while images piled up.
TEST_F(ImageStreamTest, PointOutputFlagDoesNotShortenFramesWithoutAPointSubBuffer) {
    receiver.output_point3d = true;
    EnqueueNew();
    Send({Depth(1)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    Send({LeftIr(1)});
    FetchOnlyFrame(2);

    AppBuffer& one = EnqueueNew(16, {{KV_COMPONENT_DEPTH, 16}});
    Send({Depth(2)});
    EXPECT_EQ(one.data(), FetchOnlyFrame(1).userBuffer);
}

TEST_F(ImageStreamTest, TimestampJoinsLowPartAndFirstExtraByteOnlyWhenExtraBytesAreSent) {
    AppBuffer& memory = EnqueueNew(16, {{KV_COMPONENT_DEPTH, 16}});

    // The high bit of the low part is set: it must not sign-extend.
    Send({Changed(Depth(1), [](ImagePacket& p) {
        p.timestamp = 0xfffffff0u, p.extra = {0xab, 0x01, 0x02};
    })});
    KV_FRAME_DATA frame = FetchOnlyFrame(1);
    EXPECT_EQ(0x000000abfffffff0ull, frame.image[0].timestamp);
    EXPECT_TRUE(HoldsPattern(frame.image[0].buffer, 16, 0x10));  // the extra bytes are not image data

    // The parser keeps the previous high part; without extra bytes it must not be used.
    Enqueue(memory, {{KV_COMPONENT_DEPTH, 16}});
    Send({Changed(Depth(2), [](ImagePacket& p) { p.timestamp = 0x80000001u; })});
    frame = FetchOnlyFrame(1);
    EXPECT_EQ(0x80000001ull, frame.image[0].timestamp);
}

// Regression: with the last frame index starting at 0, a stream whose first frame had index 0 never began
// that frame and its images were dropped.
TEST_F(ImageStreamTest, ImageIndexAdvancesByTheEightBitFrameIndexDistanceFromAFirstFrameZero) {
    auto index_of_frame = [&](uint8_t frame_index) {
        EnqueueNew(16, {{KV_COMPONENT_DEPTH, 16}});
        Send({Depth(frame_index, frame_index)});
        KV_FRAME_DATA frame = FetchOnlyFrame(1);
        EXPECT_TRUE(HoldsPattern(frame.image[0].buffer, 16, frame_index));
        return frame.image[0].imageIndex;
    };
    EXPECT_EQ(-1, receiver.last_frame_index());
    EXPECT_EQ(0, index_of_frame(0));      // the first frame counts from 0
    EXPECT_EQ(7, index_of_frame(7));      // 0 -> 7 advances by 7
    EXPECT_EQ(255, index_of_frame(255));  // 7 -> 255 by 248
    EXPECT_EQ(256, index_of_frame(0));    // 255 -> 0 by 1
    EXPECT_EQ(257, index_of_frame(1));
    EXPECT_EQ(257, receiver.frame_counter());
    EXPECT_EQ(1, receiver.last_frame_index());
}

TEST_F(ImageStreamTest, NewFrameIndexRestartsAnIncompleteFrameInTheSameBuffer) {
    AppBuffer& first = EnqueueNew();
    EnqueueNew();

    Send({Depth(1, 0x41)});                   // frame 1 never gets its infrared image
    Send({LeftIr(2, 0x52), Depth(2, 0x51)});  // frame 2 arrives whole, in the other order
    EXPECT_EQ(1u, empty_queue.size());        // the second buffer was not needed
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(first.data(), frame.userBuffer);
    EXPECT_EQ(KV_COMPONENT_LEFT_IR, frame.image[0].componentID);  // arrival order
    EXPECT_EQ(KV_COMPONENT_DEPTH, frame.image[1].componentID);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(2, frame.image[i].imageIndex);
    EXPECT_TRUE(HoldsPattern(frame.image[1].buffer, 16, 0x51));
}

TEST_F(ImageStreamTest, LatePacketsOfAFinishedFrameAreDropped) {
    EnqueueNew();
    AppBuffer& second = EnqueueNew();
    Send({Depth(1, 0x11), LeftIr(1, 0x12)});
    ASSERT_EQ(1, receiver.get_buffered_frame_num());

    Send({Depth(1, 0x99), LeftIr(1, 0x98)});
    EXPECT_EQ(1u, empty_queue.size());
    EXPECT_TRUE(second.Untouched(0, 64));
    EXPECT_TRUE(
        HoldsPattern(FetchOnlyFrame(2).image[0].buffer, 16, 0x11));  // not overwritten by the late copy
}

TEST_F(ImageStreamTest, WithoutAFreeBufferTheOldestFinishedFrameIsOverwritten) {
    AppBuffer &a = EnqueueNew(), &b = EnqueueNew();
    Send({Depth(1), LeftIr(1), Depth(2), LeftIr(2)});
    ASSERT_EQ(2, receiver.get_buffered_frame_num());

    Send({Depth(3, 0x33), LeftIr(3, 0x34)});
    ASSERT_EQ(2, receiver.get_buffered_frame_num());
    KV_FRAME_DATA newer = Fetch();
    EXPECT_EQ(b.data(), newer.userBuffer);
    EXPECT_EQ(2, newer.image[0].imageIndex);
    KV_FRAME_DATA newest = Fetch();
    EXPECT_EQ(a.data(), newest.userBuffer);
    EXPECT_EQ(3, newest.image[0].imageIndex);
    EXPECT_TRUE(HoldsPattern(newest.image[0].buffer, 16, 0x33));
}

TEST_F(ImageStreamTest, WithoutAnyBufferPacketsAreDroppedUntilOneIsEnqueued) {
    Send({Depth(4), LeftIr(4)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    EXPECT_EQ(-1, receiver.last_frame_index());  // nothing began without a buffer
    EXPECT_EQ(0, receiver.frame_counter());

    EnqueueNew();
    Send({LeftIr(5, 0x55)});  // frame 5 begins part-way, its depth image came before the buffer
    EXPECT_EQ(5, receiver.frame_counter());
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    Send({Depth(6, 0x61), LeftIr(6, 0x62)});  // frame 6 restarts the buffer
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(6, frame.image[0].imageIndex);
    EXPECT_TRUE(HoldsPattern(frame.image[1].buffer, 8, 0x62));
}

TEST_F(ImageStreamTest, UnknownSensorsFormatsAndWrongLengthsAreDiscardedWithoutCounting) {
    AppBuffer& memory = EnqueueNew();
    using P = ImagePacket&;
    Send({Changed(Depth(1, 0x77), [](P p) { p.cam_id = 5; }),
          Changed(LeftIr(1, 0x78), [](P p) { p.cam_id = 200; }),
          Image(kCamColor, kWireMono8, 4, 2, 1, 0x79)});  // no colour sub-buffer
    EXPECT_TRUE(memory.Untouched(0, 64));

    Send({Changed(Depth(1), [](P p) { p.pixel_format = 7; }),
          Changed(Depth(1), [](P p) { p.pixel_format = 255; }),
          Changed(Depth(1), [](P p) { p.data.resize(15); }),
          Changed(Depth(1), [](P p) { p.width = 5; }),  // 5 x 2 x 2 = 20 bytes announced, 16 sent
          Changed(LeftIr(1), [](P p) { p.pixel_format = kWireDepth16; }),  // 4 x 2 x 2 = 16, 8 sent
          Changed(Depth(1), [](P p) { p.width = 0, p.data.clear(); })});
    Send({Depth(1, 0x21)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());  // none of the discarded images counted
    Send({LeftIr(1, 0x22)});
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(KV_COMPONENT_DEPTH, frame.image[0].componentID);
    EXPECT_EQ(KV_COMPONENT_LEFT_IR, frame.image[1].componentID);
    EXPECT_TRUE(HoldsPattern(frame.image[0].buffer, 16, 0x21));
    EXPECT_TRUE(HoldsPattern(frame.image[1].buffer, 8, 0x22));
}

TEST_F(ImageStreamTest, CamIdsAndWirePixelFormatsMapToComponentsAndFormatCodes) {
    struct Case {
        uint8_t cam;
        int32_t component;
        uint8_t wire_format;
        int bytes_per_pixel;
        int32_t format_code;
    };
    const Case cases[] = {
        {0, KV_COMPONENT_LEFT_IR, 0, 1, KV_PIXEL_FORMAT_MONO8},
        {1, KV_COMPONENT_RIGHT_IR, 4, 1, KV_PIXEL_FORMAT_MONO8},
        {2, KV_COMPONENT_COLOR, 3, 3, KV_PIXEL_FORMAT_RGB8},
        {3, KV_COMPONENT_DEPTH, 1, 2, KV_PIXEL_FORMAT_DEPTH16},
        {4, KV_COMPONENT_AUX_DATA, 2, 2, KV_PIXEL_FORMAT_COLOR_16_A},
        {2, KV_COMPONENT_COLOR, 5, 2, KV_PIXEL_FORMAT_COLOR_16_B},
        {2, KV_COMPONENT_COLOR, 6, 1, KV_PIXEL_FORMAT_COLOR_8_TO_24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cam " << int(c.cam) << " format " << int(c.wire_format));
        AppBuffer memory(64);
        Enqueue(memory, {{c.component, 64}});
        ImagePacket p =
            Image(c.cam, c.wire_format, 3, 2, static_cast<uint8_t>(receiver.last_frame_index() + 1), 0);
        p.data = Pattern(static_cast<size_t>(6 * c.bytes_per_pixel), 0x40);
        // One byte more than the format's size never counts.
        ImagePacket longer = p;
        longer.data.push_back(0);
        Send({longer});
        EXPECT_EQ(0, receiver.get_buffered_frame_num());
        Send({p});
        KV_FRAME_DATA frame = FetchOnlyFrame(1);
        EXPECT_EQ(c.component, frame.image[0].componentID);
        EXPECT_EQ(c.format_code, frame.image[0].pixelFormat);
        EXPECT_EQ(6 * c.bytes_per_pixel, frame.image[0].size);
    }
}

// Regression: width x height x bytes-per-pixel in 32 bits wraps; 33025 x 65026 x 2 is 2^32 + 4, which
// matched a 4-byte payload and produced an image claiming that geometry.
TEST_F(ImageStreamTest, ExpectedLengthDoesNotWrapAtThirtyTwoBits) {
    EnqueueNew();
    Send(
        {Changed(Depth(1), [](ImagePacket& p) { p.width = 33025, p.height = 65026, p.data = Pattern(4, 1); }),
         LeftIr(1)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    Send({Depth(1)});
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    for (int i = 0; i < frame.validCount; ++i) EXPECT_LE(frame.image[i].width, 4);
}

// Regression: an image larger than its sub-buffer (parser status -2) was recorded with the header's length,
// pointing the application past the sub-buffer at bytes the library never wrote.
TEST_F(ImageStreamTest, ImageLargerThanItsSubBufferIsNotDelivered) {
    AppBuffer& memory = EnqueueNew();
    Send({LeftIr(1, 0x61)});
    Send({Image(kCamDepth, kWireDepth16, 4, 4, 1, 0x62)});  // 32 bytes for a 16-byte sub-buffer
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    EXPECT_TRUE(HoldsPattern(memory.data(), 16, 0x62));  // only the sub-buffer was written...
    EXPECT_TRUE(memory.Untouched(24, 40));               // ...and nothing past the layout

    Send({Depth(1, 0x63)});
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(8, frame.image[0].size);
    EXPECT_EQ(16, frame.image[1].size);
    EXPECT_TRUE(HoldsPattern(frame.image[1].buffer, 16, 0x63));
}

// Regression: an image whose payload read failed (status -1) was delivered over partly stale bytes.
TEST_F(ImageStreamTest, ImageWhosePayloadReadFailedIsNotDelivered) {
    EnqueueNew();
    controller.parser().set_timeout(30);
    Bytes truncated = EncodeImagePacket(Depth(1, 0x71));
    truncated.resize(truncated.size() - 6);  // the stream stalls 6 bytes short
    stream.Feed(truncated);
    Pump();  // the stall outlasts the parser's time limit: the payload read fails
    Send({LeftIr(1)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());

    Send({Depth(1, 0x72)});
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(KV_COMPONENT_DEPTH, frame.image[1].componentID);
    EXPECT_TRUE(HoldsPattern(frame.image[1].buffer, 16, 0x72));
}

// Regression: a repeated image of one sensor counted again, so frames completed without another sensor's
// image, and the earlier record described bytes the repeat had overwritten.
TEST_F(ImageStreamTest, RepeatedImageReplacesTheEarlierOneInItsSubBuffer) {
    EnqueueNew();
    Send({Depth(1, 0x01), Depth(1, 0x02)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    Send({Image(kCamDepth, kWireDepth16, 4, 4, 1, 0x03)});  // overflows: the repeat spoils the slice
    Send({LeftIr(1, 0x04)});
    EXPECT_EQ(0, receiver.get_buffered_frame_num());  // no intact depth image is left
    Send({Depth(1, 0x05)});
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(KV_COMPONENT_LEFT_IR, frame.image[0].componentID);
    EXPECT_EQ(KV_COMPONENT_DEPTH, frame.image[1].componentID);
    EXPECT_TRUE(HoldsPattern(frame.image[1].buffer, 16, 0x05));
}

TEST_F(ImageStreamTest, FrameRecordNeverHoldsMoreThanTenImages) {
    int largest_count = 0;
    receiver.frame_arrived_hook = [&](KV_FRAME_DATA* frame) {
        largest_count = std::max(largest_count, frame->validCount);
    };
    receiver.output_point3d = true;  // room must stay for the host's point image

    // A depth-only buffer with the point flag left on and a device repeating its depth image.
    EnqueueNew(16, {{KV_COMPONENT_DEPTH, 16}});
    for (int round = 0; round < 12; ++round) Send({Depth(8, static_cast<uint8_t>(round))});
    KV_FRAME_DATA frame = FetchOnlyFrame(1);
    EXPECT_TRUE(HoldsPattern(frame.image[0].buffer, 16, 0));  // later copies were late packets

    // All five sensors, four of them repeated a dozen times within one frame.
    const std::vector<SubBufferInfo> all = {{KV_COMPONENT_DEPTH, 16},
                                            {KV_COMPONENT_LEFT_IR, 8},
                                            {KV_COMPONENT_RIGHT_IR, 8},
                                            {KV_COMPONENT_COLOR, 8},
                                            {KV_COMPONENT_AUX_DATA, 8}};
    EnqueueNew(64, all);
    for (int round = 0; round < 12; ++round) {
        for (uint8_t cam : {kCamLeftIr, kCamRightIr, kCamColor, kCamAux}) {
            Send({Image(cam, kWireMono8, 4, 2, 9, static_cast<uint8_t>(round))});
        }
    }
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    Send({Depth(9)});
    frame = FetchOnlyFrame(5);
    std::set<int32_t> components;
    for (int i = 0; i < frame.validCount; ++i) components.insert(frame.image[i].componentID);
    EXPECT_EQ(5u, components.size());
    EXPECT_TRUE(HoldsPattern(frame.image[0].buffer, 8, 11));  // the last repeat is what the slice holds
    EXPECT_EQ(5, largest_count);
}

TEST_F(ImageStreamTest, HooksRunOnTheCompletedFrameBeforeAndAfterItIsQueued) {
    AppBuffer memory(256);
    auto buffer = Enqueue(memory, {{KV_COMPONENT_DEPTH, 16}, {KV_COMPONENT_POINT3D, 96}});
    receiver.output_point3d = true;
    int arrived = 0, ready = 0;
    receiver.frame_arrived_hook = [&](KV_FRAME_DATA* frame) {
        ++arrived;
        EXPECT_EQ(0, receiver.get_buffered_frame_num());
        // The hook sees the buffer being completed and may add the host's image, as point output does.
        ASSERT_EQ(buffer, receiver.current_frame());
        EXPECT_EQ(&buffer->frame, frame);
        const KvFrameBuffer::SubBufferRecord* points = buffer->FindSubBuffer(KV_COMPONENT_POINT3D);
        ASSERT_NE(nullptr, points);
        KV_IMAGE_DATA& slot = frame->image[frame->validCount++];
        slot.componentID = KV_COMPONENT_POINT3D;
        slot.buffer = points->data;
        slot.size = points->size;
    };
    receiver.frame_ready_hook = [&](KV_FRAME_DATA*) {
        ++ready;
        EXPECT_EQ(1, receiver.get_buffered_frame_num());
    };
    Send({Depth(1)});
    EXPECT_EQ(1, arrived);
    EXPECT_EQ(1, ready);
    EXPECT_EQ(nullptr, receiver.current_frame());
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(KV_COMPONENT_POINT3D, frame.image[1].componentID);
    EXPECT_EQ(memory.data() + 16, frame.image[1].buffer);
}

TEST_F(ImageStreamTest, ClearBuffersForgetsFramesWithoutReturningTheirBuffers) {
    EnqueueNew();
    EnqueueNew();
    AppBuffer& c = EnqueueNew();
    Send({Depth(1), LeftIr(1), Depth(2)});  // a finished, b in progress, c free
    receiver.ClearBuffers();
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    EXPECT_EQ(nullptr, receiver.current_frame());
    ASSERT_EQ(1u, empty_queue.size());
    EXPECT_EQ(2, receiver.last_frame_index());  // counters are kept

    // The rest of frame 2 finds no frame in progress; frame 3 takes the free buffer.
    Send({LeftIr(2), Depth(3), LeftIr(3)});
    KV_FRAME_DATA frame = FetchOnlyFrame(2);
    EXPECT_EQ(c.data(), frame.userBuffer);
    EXPECT_EQ(3, frame.image[0].imageIndex);
}

TEST_F(ImageStreamTest, PlaceAllBufferToEmptyQueueReturnsFinishedOldestFirstThenTheOneInProgress) {
    AppBuffer &a = EnqueueNew(), &b = EnqueueNew(), &c = EnqueueNew(), &d = EnqueueNew();
    Send({Depth(1), LeftIr(1), Depth(2), LeftIr(2), Depth(3)});  // a, b finished; c in progress; d free
    receiver.PlaceAllBufferToEmptyQ();
    EXPECT_EQ(0, receiver.get_buffered_frame_num());
    EXPECT_EQ(nullptr, receiver.current_frame());
    const auto order = empty_queue.dequeue_all();
    ASSERT_EQ(4u, order.size());
    const uint8_t* expected[] = {d.data(), a.data(), b.data(), c.data()};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expected[i], order[i]->buffer) << i;
}

TEST(KvFrameBuffer, CutsTheMemoryIntoConsecutiveSlicesInLayoutOrderAndRefusesLayoutsThatDoNotFit) {
    std::vector<uint8_t> memory(100);
    auto buffer = KvFrameBuffer::Create(
        memory.data(), 100, {{KV_COMPONENT_DEPTH, 30}, {KV_COMPONENT_POINT3D, 50}, {KV_COMPONENT_COLOR, 20}});
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(100, buffer->used_size);
    ASSERT_EQ(3u, buffer->sub_buffers.size());
    const int offsets[] = {0, 30, 80};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(memory.data() + offsets[i], buffer->sub_buffers[i].data) << i;
    EXPECT_EQ(KV_COMPONENT_POINT3D, buffer->FindSubBuffer(KV_COMPONENT_POINT3D)->componentID);
    EXPECT_EQ(nullptr, buffer->FindSubBuffer(KV_COMPONENT_LEFT_IR));
    const Bytes zero(sizeof(KV_FRAME_DATA), 0);
    EXPECT_EQ(0, std::memcmp(zero.data(), &buffer->frame, sizeof(KV_FRAME_DATA)));

    // Layouts that do not fit, negative sizes and missing memory are refused.
    EXPECT_EQ(nullptr,
              KvFrameBuffer::Create(memory.data(), 99, {{KV_COMPONENT_DEPTH, 60}, {KV_COMPONENT_COLOR, 40}}));
    EXPECT_EQ(nullptr, KvFrameBuffer::Create(memory.data(), 100, {{KV_COMPONENT_COLOR, -1}}));
    EXPECT_EQ(nullptr, KvFrameBuffer::Create(memory.data(), 100,
                                             {{KV_COMPONENT_DEPTH, 0x7fffffff}, {KV_COMPONENT_COLOR, 2}}));
    EXPECT_EQ(nullptr, KvFrameBuffer::Create(nullptr, 100, {}));
    auto empty_layout = KvFrameBuffer::Create(memory.data(), 100, {});
    ASSERT_NE(nullptr, empty_layout);
    EXPECT_EQ(0, empty_layout->used_size);
}

}  // namespace
}  // namespace kvtest
