// The process-wide packet-id counter. Header encoding is pinned by the exact request bytes of the
// parameter tests, decoding by the parser tests.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "protocol/packet_base.h"

namespace kvtest {
namespace {

TEST(PacketBase, PacketIdsTakenConcurrentlyAreNeverLostOrDuplicated) {
    // 4 threads x 1024 ids = 16 full turns of the counter: every value exactly 16 times.
    orvane::kPacketIdCounter.store(0);
    std::vector<std::vector<int>> counts(4, std::vector<int>(256, 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counts, t] {
            for (int i = 0; i < 1024; ++i) ++counts[t][orvane::NextPacketId()];
        });
    }
    for (std::thread& t : threads) t.join();
    for (int id = 0; id < 256; ++id) {
        int total = 0;
        for (int t = 0; t < 4; ++t) total += counts[t][id];
        EXPECT_EQ(16, total) << "id " << id;
    }
    EXPECT_EQ(0, orvane::kPacketIdCounter.load());
}

}  // namespace
}  // namespace kvtest
