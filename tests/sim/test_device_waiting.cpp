// A pulling transport (as a bulk IN transfer is) waits on the device for output. Paced frames through that
// path are streamed by the USB conformance suite; here only the wake-ups, with a wait no slice would end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "raw_client.h"
#include "sim/device/sim_device.h"

namespace orvane {
namespace kvsim {
namespace {

using test::Millis;
using test::waitUntil;

constexpr uint64_t kLong = 10 * 1000 * 1000;  // a wait that only a wake-up may end early

TEST(SimDeviceWaiting, AQueuedReplyWakeWaitersAndDisconnectEachEndAWait) {
    struct Case {
        const char* what;
        void (*wake)(SimDevice&);
        int result;  // 1: output is there
    };
    const Case cases[] = {
        {"reply queued",
         [](SimDevice& d) {
             Bytes ping = encodePacket(kPacketParam, 3, pingRequest());
             d.receive(ping.data(), ping.size());
         },
         1},
        {"wakeWaiters", [](SimDevice& d) { d.wakeWaiters(); }, 0},
        {"disconnect", [](SimDevice& d) { d.onDisconnect(); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimDevice device{DeviceConfig()};
        device.onConnect();
        std::atomic<int> result{-1};
        std::thread reader([&] { result = device.waitForOutput(kLong) ? 1 : 0; });
        // The waiter may not be waiting yet when woken; wake until it has returned (a reply is sent once).
        bool sent = false;
        const bool ended = waitUntil(
            [&] {
                if (!sent || c.result == 0) c.wake(device);
                sent = true;
                return result.load() != -1;
            },
            Millis(5000));
        reader.join();
        EXPECT_TRUE(ended);
        EXPECT_EQ(result.load(), c.result);
    }
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
