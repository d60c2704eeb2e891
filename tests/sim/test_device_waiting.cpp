// A pulling transport (as a bulk IN transfer is) waits on the device for output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "raw_client.h"
#include "sim/device/sim_device.h"

namespace orvane {
namespace kvsim {
namespace {

using test::Millis;
using test::waitUntil;

constexpr uint64_t kLong = 10 * 1000 * 1000;  // a wait that only a wake-up may end early

TEST(SimDeviceWaiting, AWaitingReaderWakesWhenAReplyIsQueued) {
    SimDevice device{DeviceConfig()};
    device.onConnect();
    std::atomic<int> result{-1};
    std::thread reader([&] { result = device.waitForOutput(kLong) ? 1 : 0; });
    Bytes ping = encodePacket(kPacketParam, 3, pingRequest());
    device.receive(ping.data(), ping.size());
    EXPECT_TRUE(waitUntil([&] { return result.load() != -1; }, Millis(5000)));
    reader.join();
    EXPECT_EQ(result.load(), 1);
    uint8_t buf[64];
    EXPECT_EQ(device.readOutput(buf, sizeof buf), 24u);
}

TEST(SimDeviceWaiting, WakeWaitersAndDisconnectEndAWaitWithoutOutput) {
    SimDevice device{DeviceConfig()};
    device.onConnect();
    for (int round = 0; round < 2; ++round) {
        std::atomic<int> result{-1};
        std::thread reader([&] { result = device.waitForOutput(kLong) ? 1 : 0; });
        // The waiter may not be waiting yet when woken; keep waking until it has returned.
        bool ended = waitUntil(
            [&] {
                if (round == 0) {
                    device.wakeWaiters();
                } else {
                    device.onDisconnect();
                }
                return result.load() != -1;
            },
            Millis(5000));
        reader.join();
        EXPECT_TRUE(ended);
        EXPECT_EQ(result.load(), 0);
    }
}

TEST(SimDeviceWaiting, PullingReaderReceivesPacedFrames) {
    DeviceConfig config;
    config.fps = 100;
    config.initial.depth_mode = 1;
    SimDevice device(config);
    device.onConnect();
    Bytes start = encodePacket(kPacketParam, 1, u16Request(kCmdWorkMode, kWorkDepth));
    device.receive(start.data(), start.size());
    StreamDecoder decoder;
    std::vector<WirePacket> packets;
    std::vector<uint8_t> buf(64 * 1024);
    std::set<int> frames;
    const auto deadline = std::chrono::steady_clock::now() + Millis(5000);
    while (frames.size() < 5 && std::chrono::steady_clock::now() < deadline) {
        if (!device.waitForOutput(100000)) continue;
        decoder.feed(buf.data(), device.readOutput(buf.data(), buf.size()), packets);
        for (const WirePacket& p : packets) {
            if (p.has_image) frames.insert(p.image.frame_index);
        }
        packets.clear();
    }
    EXPECT_GE(frames.size(), 5u);
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
