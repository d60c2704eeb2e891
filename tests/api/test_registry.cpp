// The device registry through the public header: discovery by serial and by ordinal, network cameras,
// handles across rescans, releasing cameras, and the registry under concurrent use.
#include <atomic>
#include <chrono>
#include <thread>

#include "api_fixture.h"
#include "loopback_peer.h"

namespace apitest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<KV_DEVICE_BASE_INFO> deviceList() {
    std::vector<KV_DEVICE_BASE_INFO> list(16);
    int32_t filled = -1;
    EXPECT_EQ(KVGetDeviceList(list.data(), static_cast<int32_t>(list.size()), &filled), KV_STATUS_OK);
    list.resize(static_cast<size_t>(std::max(filled, 0)));
    return list;
}

std::vector<std::string> listedIds() {
    std::vector<std::string> ids;
    for (const KV_DEVICE_BASE_INFO& info : deviceList()) ids.push_back(text(info.id, sizeof(info.id)));
    return ids;
}

class Registry : public ApiTest {};

TEST_F(Registry, SerialModeListsByAscendingSerialAndBringsCamerasUpOnlyWhenOpened) {
    CameraEnd second(Transport::kUsb, simDevice("KVSIM0000002"));
    CameraEnd first(Transport::kUsb, simDevice("KVSIM0000001"));
    uint32_t count = 0;
    ASSERT_EQ(KVGetDeviceNumber(&count), KV_STATUS_OK);
    EXPECT_EQ(count, 2u);
    const std::vector<KV_DEVICE_BASE_INFO> list = deviceList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(text(list[0].id, 32), "KVSIM0000001");
    EXPECT_EQ(text(list[1].id, 32), "KVSIM0000002");
    EXPECT_EQ(list[0].iface, KV_INTERFACE_USB);
    EXPECT_EQ(list[0].vendorName[0], '\0');  // not brought up yet
    EXPECT_EQ(KVGetFirmwareVer("KVSIM0000001"), nullptr);

    KV_DEV_HANDLE h = open(first);
    KV_DEVICE_BASE_INFO info{};
    ASSERT_EQ(KVGetDeviceInfo(h, &info), KV_STATUS_OK);
    EXPECT_EQ(text(info.vendorName, 32), "Orvane");
    EXPECT_EQ(info.firmwareVersion.major, 2);
    const char* firmware = KVGetFirmwareVer("KVSIM0000001");
    ASSERT_NE(firmware, nullptr);
    EXPECT_STREQ(firmware, "kvsim-2.3.0");
    EXPECT_NE(KVGetFirmwareVer("KVSIM0000001"), nullptr);
    EXPECT_STREQ(firmware, "kvsim-2.3.0");  // the first text is still there
    EXPECT_EQ(KVGetDeviceNetInfo("KVSIM0000001", &info.netInfo), KV_STATUS_WRONG_TYPE);
}

TEST_F(Registry, CamerasWithoutReadableSerialAreFiledByOrdinalAndBroughtUpByDiscovery) {
    CameraEnd a(Transport::kUsb, simDevice("KVSIM0000007"), 512, false);
    CameraEnd b(Transport::kUsb, simDevice("KVSIM0000003"), 512, false);
    // Brought up during discovery, so the list shows each device's own serial, in ordinal order.
    EXPECT_EQ(listedIds(), (std::vector<std::string>{"KVSIM0000007", "KVSIM0000003"}));
    KV_DEV_HANDLE h = nullptr;
    ASSERT_EQ(KVOpenDevice("KVSIM0000003", &h), KV_STATUS_OK);
    int32_t mask = 0;
    EXPECT_EQ(KVGetComponentIDs(h, &mask), KV_STATUS_OK);
    EXPECT_NE(mask & KV_COMPONENT_DEPTH, 0);
    EXPECT_EQ(listedIds().size(), 2u);  // a rescan keeps the same cameras
    KV_DEV_HANDLE again = nullptr;
    EXPECT_EQ(KVOpenDevice("KVSIM0000003", &again), KV_STATUS_BUSY);
    EXPECT_EQ(again, nullptr);
}

// Fault: a USB rescan rebuilt the registry from USB devices only, so a camera opened by IP lost its handle.
TEST_F(Registry, NetworkCameraKeepsItsHandleThroughEveryUsbRescanEvenWhileCapturing) {
    CameraEnd net(Transport::kTcp, simDevice("KVSIM0000009"));
    KV_DEV_HANDLE h = open(net);
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    enqueue(h, 3);
    ASSERT_EQ(KVStartCapture(h), KV_STATUS_OK);
    {
        CameraEnd usb(Transport::kUsb, simDevice("KVSIM0000001"));  // serial mode
        // In identifier order: the address sorts before the serial.
        EXPECT_EQ(listedIds(), (std::vector<std::string>{"KVSIM0000009", "KVSIM0000001"}));
        usb.cut();
    }
    EXPECT_EQ(listedIds(), std::vector<std::string>{"KVSIM0000009"});  // no USB device at all
    KV_FRAME_DATA frame{};
    EXPECT_EQ(KVFetchFrame(h, &frame, 3000), KV_STATUS_OK);
    EXPECT_EQ(KVStopCapture(h), KV_STATUS_OK);
    EXPECT_EQ(KVCloseDevice(h), KV_STATUS_OK);
}

// Fault: opening one address twice made a second connection (taking the camera from the first) and a
// second camera object filed nowhere.
TEST_F(Registry, SameAddressGivesTheSameCameraWithoutASecondConnectionAndReopensAfterClose) {
    CameraEnd net(Transport::kTcp, simDevice());
    KV_DEV_HANDLE h = open(net);
    KV_DEV_HANDLE second = &h;
    EXPECT_EQ(KVOpenDeviceWithIP(net.address().c_str(), &second), KV_STATUS_BUSY);
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(KVCloseDevice(h), KV_STATUS_OK);
    EXPECT_EQ(KVCloseDevice(h), KV_STATUS_IDLE);
    KV_DEV_HANDLE reopened = nullptr;
    ASSERT_EQ(KVOpenDeviceWithIP(net.address().c_str(), &reopened), KV_STATUS_OK);
    EXPECT_EQ(reopened, h);
    EXPECT_EQ(net.device().stats().connections, 1u);
    int32_t power = 0;
    EXPECT_EQ(KVGetInt(h, KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER, &power), KV_STATUS_OK);

    // The stored network record is the caller's, as given; the id a network camera reports opens it too.
    KV_DEVICE_NET_INFO record{};
    memset(record.reserved1, 0x5a, sizeof(record.reserved1));
    snprintf(record.ip, sizeof(record.ip), "%s", net.address().c_str());
    ASSERT_EQ(KVSetDeviceNetInfo("KVSIM0000001", &record), KV_STATUS_OK);
    KV_DEVICE_NET_INFO back{};
    ASSERT_EQ(KVGetDeviceNetInfo("KVSIM0000001", &back), KV_STATUS_OK);
    EXPECT_EQ(memcmp(&back, &record, sizeof(record)), 0);
}

// Fault: the connect had no time limit, so an address whose listener never completes the handshake held
// the caller for the system's TCP time-out (minutes).
TEST_F(Registry, AddressThatNeverCompletesTheHandshakeFailsWithinSeconds) {
    kvtest::LoopbackListener listener("127.0.4.90", 7001, 0, 0);
    ASSERT_TRUE(listener.fillBacklog());  // a full accept queue: handshakes stall

    KV_DEV_HANDLE h = &h;
    const auto start = Clock::now();
    EXPECT_EQ(KVOpenDeviceWithIP("127.0.4.90", &h), KV_STATUS_INVALID_PARAMETER);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
    EXPECT_EQ(h, nullptr);
}

// Fault: cameras dropped by a rescan were never released, their threads kept running on a stream nobody
// owned.
TEST_F(Registry, UnpluggedCameraLosesItsHandleAndIsReleasedAtDeinitAfterItsThreadsStop) {
    auto usb = std::make_unique<CameraEnd>(Transport::kUsb, simDevice());
    KV_DEV_HANDLE h = open(*usb);
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    enqueue(h, 2);
    ASSERT_EQ(KVStartCapture(h), KV_STATUS_OK);
    usb->cut();
    EXPECT_TRUE(listedIds().empty());
    bool capturing = false;
    EXPECT_EQ(KVIsCapturing(h, &capturing), KV_STATUS_INVALID_HANDLE);
    // TearDown deinitialises with the dropped camera's threads still running: sanitizers watch.
}

TEST_F(Registry, DeviceListOnOneThreadWhileAnotherUsesAnOpenCamera) {
    CameraEnd net(Transport::kTcp, simDevice("KVSIM0000005"));
    CameraEnd usb(Transport::kUsb, simDevice("KVSIM0000001"));
    KV_DEV_HANDLE h = open(net);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, calls{0};
    std::thread user([&] {
        while (!stop) {
            int32_t power = 0;
            KV_DEVICE_BASE_INFO info{};
            if (KVGetInt(h, KV_COMPONENT_LASER, KV_FEATURE_LASER_POWER, &power) != 0) ++failures;
            if (KVGetDeviceInfo(h, &info) != 0) ++failures;
            ++calls;
        }
    });
    for (int i = 0; i < 20; ++i) {
        if (i == 10) usb.cut();
        EXPECT_EQ(listedIds().size(), i < 10 ? 2u : 1u);
    }
    EXPECT_TRUE(waitFor([&] { return calls > 20; }, 5000));
    stop = true;
    user.join();
    EXPECT_EQ(failures, 0);
}

// Fault: deinit destroyed cameras under the registry lock, so a frame callback inside a handle check and
// the deinit joining that callback's thread waited for each other.
TEST_F(Registry, DeinitReturnsWhileAFrameCallbackCallsIntoTheLibrary) {
    CameraEnd net(Transport::kTcp, simDevice());
    KV_DEV_HANDLE h = open(net);
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), KV_STATUS_OK);
    enqueue(h, 3);
    static std::atomic<int> calls{0};
    auto onFrame = [](KV_FRAME_DATA* frame, void* handle) {
        for (int i = 0; i < 1000; ++i) {
            bool capturing = false;
            KVIsCapturing(handle, &capturing);
        }
        KVEnqueueBuffer(handle, frame->userBuffer, frame->bufferSize);
        ++calls;
    };
    ASSERT_EQ(KVRegisterCallback(h, onFrame, h), KV_STATUS_OK);
    ASSERT_EQ(KVStartCapture(h), KV_STATUS_OK);
    ASSERT_TRUE(waitFor([] { return calls > 2; }, 5000));
    std::atomic<bool> done{false};
    std::thread deinit([&] {
        KVDeinitLib();
        done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done.load(); }, 10000));
    deinit.join();
}

}  // namespace
}  // namespace apitest
