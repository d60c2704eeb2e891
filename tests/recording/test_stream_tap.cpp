// The raw stream tap seen from an application: it holds the whole session from the first byte, reports
// each direction, and is quiet once turned off.
#include <mutex>
#include <vector>

#include "api_fixture.h"
#include "device/stream_tap.h"
#include "memory_stream.h"

namespace apitest {
namespace {

const kvtest::TcpAddressRange kAddresses("127.0.9.", 1, 20);

struct TapLog {
    std::mutex mutex;
    std::vector<uint8_t> sent;
    std::vector<uint8_t> received;
    std::string deviceId;
    size_t calls = 0;

    static void onTap(const KV_STREAM_TAP_DATA* data, void* user) {
        auto* log = static_cast<TapLog*>(user);
        std::lock_guard<std::mutex> lock(log->mutex);
        auto& into = data->direction == KV_STREAM_TO_DEVICE ? log->sent : log->received;
        into.insert(into.end(), data->bytes, data->bytes + data->length);
        log->deviceId = data->deviceId;
        ++log->calls;
    }
    size_t callCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

bool startsWithSync(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 4 && bytes[0] == 0xfe && bytes[1] == 0x01 && bytes[2] == 0xfe && bytes[3] == 0x01;
}

class StreamTap : public ApiTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(StreamTap, GlobalTapHoldsTheSessionFromTheFirstByteAndStopsWhenOff) {
    CameraEnd end(GetParam(), simDevice());
    ASSERT_TRUE(end.ready());
    TapLog log;
    ASSERT_EQ(KVSetStreamTap(nullptr, &TapLog::onTap, &log), KV_STATUS_OK);
    KV_DEV_HANDLE h = open(end);
    ASSERT_NE(h, nullptr);
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        // The handshake is there: the first bytes each way are a packet's sync pattern.
        EXPECT_TRUE(startsWithSync(log.sent));
        EXPECT_TRUE(startsWithSync(log.received));
        EXPECT_FALSE(log.deviceId.empty());
    }
    ASSERT_EQ(KVSetStreamTap(nullptr, nullptr, nullptr), KV_STATUS_OK);
    const size_t calls = log.callCount();
    int32_t power = 0;
    ASSERT_EQ(KVGetInt(h, KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER, &power), KV_STATUS_OK);
    EXPECT_EQ(log.callCount(), calls);

    // A tap on the handle reports the request and its reply.
    ASSERT_EQ(KVSetStreamTap(h, &TapLog::onTap, &log), KV_STATUS_OK);
    ASSERT_EQ(KVGetInt(h, KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER, &power), KV_STATUS_OK);
    EXPECT_GE(log.callCount(), calls + 2);
    ASSERT_EQ(KVSetStreamTap(h, nullptr, nullptr), KV_STATUS_OK);
}

// A sender that retries the rest of a short send must not find the first part twice in the tap.
TEST(TappedStreamShortSends, EachByteIsReportedOnceInOrder) {
    auto memory = std::make_unique<kvtest::MemoryStream>();
    memory->SetMaxSendSize(3);
    orvane::TappedStream stream(std::move(memory));
    TapLog log;
    stream.setTap({&TapLog::onTap, &log});
    const std::string packet = "0123456789abcdef";
    for (size_t at = 0; at < packet.size();) {
        const int sent = stream.Send(packet.data() + at, static_cast<int>(packet.size() - at));
        ASSERT_GT(sent, 0);
        at += static_cast<size_t>(sent);
    }
    EXPECT_EQ(std::string(log.sent.begin(), log.sent.end()), packet);
}

TEST(StreamTapChecks, RefusesWithoutLibraryOrWithUnknownHandle) {
    int notACamera = 0;
    EXPECT_EQ(KVSetStreamTap(nullptr, nullptr, nullptr), KV_STATUS_NOT_INITIALIZED);
    ASSERT_EQ(_KVInitLib(), KV_STATUS_OK);
    EXPECT_EQ(KVSetStreamTap(&notACamera, nullptr, nullptr), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(KVDeinitLib(), KV_STATUS_OK);
}

INSTANTIATE_TEST_SUITE_P(Transports, StreamTap, ::testing::Values(Transport::kTcp, Transport::kUsb),
                         kvtest::transportSuffix);

}  // namespace
}  // namespace apitest
