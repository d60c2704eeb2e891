// Receive controller: processor chain, reply matching, keep-alive, the receive thread's life and death,
// and the send path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "diag/KvException.h"
#include "memory_stream.h"
#include "platform/hal_linux.h"
#include "protocol/device_param_processor.h"
#include "protocol/device_receive_controller.h"
#include "scripted_device.h"

using orvane::DataPacketHeader;
using orvane::DataPacketImageHeader;
using orvane::DeviceReceiveController;
using orvane::PacketData;

namespace kvtest {
namespace {

class RecordingProcessor : public orvane::IPacketProcessor {
  public:
    struct Seen {
        uint8_t type;
        uint8_t packet_id;
        Bytes payload;
    };

    explicit RecordingProcessor(std::function<bool(const DataPacketHeader*)> claims)
        : claims_(std::move(claims)) {}

    bool AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader*, char** buffer,
                      int* size) override {
        ++asked;
        if (!claims_(header)) return false;
        buffer_.assign(header->length, 0);
        *buffer = buffer_.data();
        *size = static_cast<int>(buffer_.size());
        return true;
    }

    void ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data);
        seen_.push_back({header->type, header->packet_id, p ? Bytes(p, p + header->length) : Bytes()});
    }

    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

    std::atomic<int> asked{0};

  private:
    std::function<bool(const DataPacketHeader*)> claims_;
    std::vector<char> buffer_;
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

struct EventLog {
    std::atomic<int> count{0};
    std::atomic<int> last_id{0};
    std::function<void()> action;  // runs inside the callback, on the receive thread
};

void RecordEvent(KV_EVENT_INFO* event, void* user) {
    EventLog* log = static_cast<EventLog*>(user);
    log->last_id.store(event->eventId);
    if (log->action) log->action();
    log->count.fetch_add(1);
}

class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.set_underlay_stream(&device.stream());
        controller.parser().set_timeout(30);
        controller.SetEventCallback(&RecordEvent, &events);
    }
    void TearDown() override { controller.StopReceive(); }

    void Pump(int steps) {
        for (int i = 0; i < steps; ++i) controller.DoReceiveEvents();
    }

    ScriptedDevice device;
    EventLog events;
    DeviceReceiveController controller;
    RecordingProcessor registers{[](const DataPacketHeader* h) { return h->type == 1; }};
    RecordingProcessor params{[](const DataPacketHeader* h) { return h->type == 0; }};
};

TEST_F(ControllerTest, OffersPacketsInOrderAndTheFirstClaimWins) {
    RecordingProcessor everything{[](const DataPacketHeader*) { return true; }};
    controller.AddProcessor(&registers);
    controller.AddProcessor(&everything);
    EXPECT_EQ(&controller, registers.controller);
    EXPECT_EQ(&controller, everything.controller);
    device.Push(1, 0, Hex("01 00 00 00 02 00 00 00 03 01"));
    device.Push(0, 5, Hex("aa bb"));
    Pump(2);
    ASSERT_EQ(1u, registers.seen().size());
    EXPECT_EQ(1, registers.seen()[0].type);
    ASSERT_EQ(1u, everything.seen().size());
    EXPECT_EQ(Hex("aa bb"), everything.seen()[0].payload);
    EXPECT_EQ(2, registers.asked.load());
    EXPECT_EQ(1, everything.asked.load());  // the register packet never reached it
}

TEST_F(ControllerTest, RemoveProcessorAddedTwiceRemovesBothEntriesAndUnclaimedPacketsAreDropped) {
    controller.AddProcessor(&params);
    controller.AddProcessor(&registers);
    controller.AddProcessor(&params);
    controller.RemoveProcessor(&params);
    device.Push(0, 1, Bytes(300, 0x55));  // nobody claims it: its payload must not be parsed as a packet
    device.Push(1, 0, Hex("07 00 00 00 00 00 00 00 00 01"));
    Pump(2);
    EXPECT_EQ(0, params.asked.load());
    EXPECT_TRUE(params.seen().empty());
    ASSERT_EQ(1u, registers.seen().size());
    EXPECT_EQ(Hex("07 00 00 00 00 00 00 00 00 01"), registers.seen()[0].payload);
}

TEST_F(ControllerTest, OnlyTheArmedPacketIdAnswersTheWait) {
    controller.AddProcessor(&params);
    params.ArmWait(7);
    device.Push(0, 8, Hex("01 00 00 00"));
    Pump(1);
    EXPECT_TRUE(params.seen().empty());
    EXPECT_FALSE(params.response_ready.load());
    device.Push(0, 7, Hex("02 00 00 00"));
    Pump(1);
    ASSERT_EQ(1u, params.seen().size());
    EXPECT_EQ(7, params.seen()[0].packet_id);
    EXPECT_TRUE(params.response_ready.load());
    // Idle (-1), any id is processed.
    params.DisarmWait();
    device.Push(0, 99, Hex("03 00 00 00"));
    Pump(1);
    EXPECT_EQ(2u, params.seen().size());
    // The idle processor absorbed that stray reply; arming afterwards must start from "not answered".
    EXPECT_TRUE(params.response_ready.load());
    params.ArmWait(4);
    EXPECT_FALSE(params.response_ready.load());
    params.CompleteWait(3);  // a late completion for the old id
    EXPECT_FALSE(params.response_ready.load());
    params.CompleteWait(4);
    EXPECT_TRUE(params.response_ready.load());
}

TEST_F(ControllerTest, KeepAliveReplyIsNotPassedToProcessors) {
    controller.AddProcessor(&params);
    params.ArmWait(12);
    device.Push(0, 12, ReplyWords(224, {0}));
    Pump(1);
    EXPECT_EQ(1, params.asked.load());   // it was claimed (payload read) ...
    EXPECT_TRUE(params.seen().empty());  // ... but not processed
    EXPECT_FALSE(params.response_ready.load());
}

TEST_F(ControllerTest, KeepAliveRequestIsSentOnlyWhenDueAndRetriedAfterAFailedSend) {
    controller.EnableKeepAlive();
    EXPECT_EQ(0, controller.KeepAlive());  // default interval: not due right after construction
    EXPECT_EQ(0u, device.request_count());

    controller.SetKeepAliveTiming(0, DeviceReceiveController::kDefaultKeepAliveDeadMs);
    orvane::kPacketIdCounter.store(0x3c);
    EXPECT_EQ(0, controller.KeepAlive());
    ASSERT_EQ(1u, device.request_count());
    EXPECT_EQ("fe 01 fe 01 04 3c 00 00 00 00 00 00 08 00 00 00 e0 00 00 00 00 00 00 00",
              ToHex(device.requests()[0].raw));

    device.stream().FailSends(-1, 1);
    EXPECT_EQ(1, controller.KeepAlive());
    EXPECT_EQ(0, controller.KeepAlive());
    EXPECT_EQ(2u, device.keepalive_requests());
}

TEST_F(ControllerTest, AnsweredKeepAlivesHoldTheLinkAndUnansweredOnesEndItWithAnOfflineEvent) {
    controller.AddProcessor(&params);
    controller.EnableKeepAlive();
    controller.SetKeepAliveTiming(10, 150);
    device.OnReply(0, Hex("00 00 00 00"));  // the device answers ordinary requests throughout
    ASSERT_EQ(0, controller.StartReceive());
    // 25 keep-alives take well over the 150 ms dead time.
    ASSERT_TRUE(WaitUntil([&] { return device.keepalive_requests() >= 25; }, 10000));
    EXPECT_TRUE(controller.IsRunning());
    EXPECT_EQ(0, events.count.load());
    EXPECT_TRUE(params.seen().empty());

    const size_t answered = device.keepalive_requests();
    device.AnswerKeepAlive(false);
    ASSERT_TRUE(WaitUntil([&] { return events.count.load() == 1; }, 10000));
    EXPECT_EQ(KV_EVENT_DEVICE_OFFLINE, events.last_id.load());
    EXPECT_FALSE(controller.IsRunning());
    EXPECT_TRUE(WaitUntil([&] { return device.stream().close_count() >= 1; }, 2000));
    EXPECT_GE(device.keepalive_requests(), answered + 2);
}

TEST_F(ControllerTest, SilentDeviceWithoutKeepAliveNeverEndsTheThread) {
    ASSERT_EQ(0, controller.StartReceive());
    // Several parser steps time out (30 ms each) without any consequence.
    ASSERT_TRUE(WaitUntil([&] { return device.stream().receive_calls() > 100; }, 10000));
    EXPECT_TRUE(controller.IsRunning());
    EXPECT_EQ(0, events.count.load());
    EXPECT_EQ(0u, device.keepalive_requests());
}

TEST_F(ControllerTest, TransportErrorEndsTheThreadWithEventAndClosesTheStream) {
    ASSERT_EQ(0, controller.StartReceive());
    device.stream().FailReceives(-9);
    ASSERT_TRUE(WaitUntil([&] { return events.count.load() == 1; }, 10000));
    EXPECT_EQ(-2001, events.last_id.load());
    EXPECT_FALSE(controller.IsRunning());
    EXPECT_EQ(-9, controller.parser().get_lasterror());
    EXPECT_TRUE(device.stream().is_closed());

    // The parser keeps its error: a restarted thread dies again at once.
    device.stream().FailReceives(0, 0);
    ASSERT_EQ(0, controller.StartReceive());
    ASSERT_TRUE(WaitUntil([&] { return events.count.load() == 2; }, 10000));
    EXPECT_FALSE(controller.IsRunning());
}

TEST_F(ControllerTest, PumpingThrowsOnTransportError) {
    device.stream().FailReceives(-3, 1);
    EXPECT_THAT([&] { controller.DoReceiveEvents(); },
                testing::ThrowsMessage<orvane::RuntimeException>(testing::StrEq("transfer data error")));
}

TEST_F(ControllerTest, StopFromInsideEventCallbackDoesNotDeadlock) {
    events.action = [&] { EXPECT_EQ(0, controller.StopReceive()); };
    ASSERT_EQ(0, controller.StartReceive());
    device.stream().FailReceives(-1);
    ASSERT_TRUE(WaitUntil([&] { return events.count.load() == 1; }, 10000));
    EXPECT_EQ(0, controller.StopReceive());  // joins the finished thread
    EXPECT_FALSE(controller.IsRunning());
}

TEST_F(ControllerTest, DestroyingTheControllerFromInsideEventCallbackIsSafe) {
    auto* owned = new DeviceReceiveController;
    owned->set_underlay_stream(&device.stream());
    owned->parser().set_timeout(30);
    EventLog log;
    log.action = [&] { delete owned; };
    owned->SetEventCallback(&RecordEvent, &log);
    ASSERT_EQ(0, owned->StartReceive());
    device.stream().FailReceives(-1);
    ASSERT_TRUE(WaitUntil([&] { return log.count.load() == 1; }, 10000));
    EXPECT_TRUE(device.stream().is_closed());
}

TEST_F(ControllerTest, StopRightAfterStartAlwaysReturnsAndClosesTheStream) {
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(0, device.stream().Open());  // a stopped thread closes the stream
        ASSERT_EQ(0, controller.StartReceive());
        EXPECT_EQ(1, controller.StartReceive());  // already running
        EXPECT_EQ(0, controller.StopReceive());
        EXPECT_FALSE(controller.IsRunning());
        EXPECT_TRUE(device.stream().is_closed());
    }
    EXPECT_EQ(0, events.count.load());
}

TEST_F(ControllerTest, StartFailsWhileTheLockTableIsFull) {
    std::vector<int> taken;
    for (int handle = UTIL_CreateLock(); handle != -1; handle = UTIL_CreateLock()) taken.push_back(handle);
    ASSERT_FALSE(taken.empty());
    {
        DeviceReceiveController starved;
        starved.set_underlay_stream(&device.stream());
        starved.parser().set_timeout(30);
        EXPECT_EQ(1, starved.StartReceive());
        EXPECT_FALSE(starved.IsRunning());
        UTIL_DeleteLock(taken.back());
        taken.pop_back();
        EXPECT_EQ(0, starved.StartReceive());
        EXPECT_TRUE(starved.IsRunning());
    }
    for (int handle : taken) UTIL_DeleteLock(handle);
}

TEST_F(ControllerTest, SendDataNeverLoopsOnASendThatMakesNoProgress) {
    MemoryStream stream;
    controller.set_underlay_stream(&stream);
    const char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

    stream.FailSends(0);  // a closed socket accepts nothing
    EXPECT_EQ(1, controller.SendData(bytes, 10));
    EXPECT_LE(stream.send_calls(), 10);

    stream.FailSends(-4);
    EXPECT_EQ(1, controller.SendData(bytes, 10));

    stream.FailSends(0, 0);
    const int calls = stream.send_calls();
    EXPECT_EQ(0, controller.SendData(bytes, 0));
    EXPECT_EQ(calls, stream.send_calls());

    // Partial sends are continued until everything is out.
    stream.SetMaxSendSize(3);
    EXPECT_EQ(0, controller.SendData(bytes, 10));
    EXPECT_EQ(Hex("01 02 03 04 05 06 07 08 09 0a"), stream.TakeSent());
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A camera that takes long to answer (or never does) must not cost the waiting thread a core.
TEST_F(ControllerTest, AWaitWhileTheThreadRunsSleepsInsteadOfSpinning) {
    controller.AddProcessor(&params);
    ASSERT_EQ(0, controller.StartReceive());
    params.ArmWait(5);
    const double before = threadCpuSeconds();
    EXPECT_FALSE(params.WaitForResponse(400));
    EXPECT_LT(threadCpuSeconds() - before, 0.1);  // spinning would take about the whole 0.4 s
    params.DisarmWait();
}

TEST_F(ControllerTest, WaitBegunWhileThreadRanEndsWhenTheThreadStops) {
    orvane::DeviceParamProcessor processor;
    controller.AddProcessor(&processor);
    processor.timeout_ms = 0;  // no limit: only the thread's end can finish this wait
    device.Silence(0);
    ASSERT_EQ(0, controller.StartReceive());
    std::atomic<int> result{-100};
    std::thread caller([&] { result = processor.Ping(-1); });
    ASSERT_TRUE(device.WaitForCode(0, 1, 5000));
    controller.StopReceive();
    caller.join();
    EXPECT_EQ(orvane::kParamNoReply, result.load());
    EXPECT_EQ(-1, processor.wait_packet_id.load());
}

}  // namespace
}  // namespace kvtest
