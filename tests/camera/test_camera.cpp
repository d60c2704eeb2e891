// KvCamera driven directly against the simulated camera, over loopback TCP and the libusb test double.
// Every test runs in a private working directory, because the camera reads and writes its descriptor
// files in the working directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "camera/KvCamera.h"
#include "model/KvDeviceDescriptors.h"
#include "sim/device/descriptor.h"
#include "sim/scene/scene_catalog.h"
#include "sim/usb/usb_double.h"
#include "sim_camera.h"

namespace fs = std::filesystem;
using kvtest::CameraEnd;
using kvtest::imageOf;
using kvtest::Transport;
using kvtest::waitFor;
using orvane::KvCamera;
using orvane::kvsim::DeviceConfig;
using orvane::kvsim::SimDevice;

namespace {

kvtest::TcpAddressRange addresses("127.0.3.", 1, 60);

const ::testing::Environment* const usbLibrary = ::testing::AddGlobalTestEnvironment(new kvtest::UsbLibrary);

constexpr int kDepth = KV_COMPONENT_DEPTH;
constexpr int kColor = KV_COMPONENT_COLOR;
constexpr int kLeftIr = KV_COMPONENT_LEFT_IR;
constexpr int kDevice = KV_COMPONENT_DEVICE;
constexpr int kFetchMs = 3000;

// A private working directory and an empty USB bus for one test.
class CleanSlate {
  public:
    CleanSlate() : previous_(fs::current_path()) {
        ::kvsim::usb::Bus::reset();
        std::string pattern = (fs::temp_directory_path() / "kvcamera-XXXXXX").string();
        path_ = mkdtemp(&pattern[0]);
        fs::current_path(path_);
    }
    ~CleanSlate() {
        fs::current_path(previous_);
        fs::remove_all(path_);
    }
    static void write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
    static std::string read(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

  private:
    fs::path previous_;
    fs::path path_;
};

DeviceConfig smallConfig() {
    DeviceConfig config;
    config.initial.depth_mode = 1;  // 320 x 240 keeps the sanitizer runs quick
    config.initial.color_mode = 1;
    config.fps = 60;
    return config;
}

std::shared_ptr<SimDevice> makeDevice(const DeviceConfig& config, const std::string& faults = "",
                                      const std::string& scene = "") {
    auto device = std::make_shared<SimDevice>(config);
    if (!faults.empty()) device->setFaultHook(kvtest::faultPlan(faults));
    if (!scene.empty()) device->setScene(orvane::kvsim::makeSyntheticScene(scene, nullptr));
    return device;
}

// A simulated camera, a stream to it and a camera object on that stream (destroyed before the stream).
struct Rig {
    explicit Rig(Transport transport, std::shared_ptr<SimDevice> device = makeDevice(smallConfig()))
        : end(transport, std::move(device)),
          stream(end.makeStream()),
          camera(KvCamera::instance(stream.get())) {}
    ~Rig() { KvCamera::destroy(camera); }

    // init, open, and only the given components enabled.
    void bringUp(int components) {
        ASSERT_EQ(camera->init(), 0);
        ASSERT_EQ(camera->open(), 0);
        ASSERT_EQ(camera->disableComponents(camera->enabledComponents()), 0);
        ASSERT_EQ(camera->enableComponents(components), 0);
    }
    void enqueue(int count, int32_t size = 0) {
        if (size == 0) size = camera->calcFrameBufferSize();
        for (int i = 0; i < count; ++i) {
            buffers.emplace_back(static_cast<size_t>(size));
            ASSERT_EQ(camera->enqueueBuffer(buffers.back().data(), size), 0);
        }
    }
    bool ownsBuffer(const void* p) const {
        for (const auto& b : buffers)
            if (b.data() == p) return true;
        return false;
    }
    void requeue(const KV_FRAME_DATA& frame) {
        ASSERT_EQ(camera->enqueueBuffer(frame.userBuffer, frame.bufferSize), 0);
    }

    CameraEnd end;
    std::unique_ptr<orvane::ITransferStream> stream;
    KvCamera* camera;
    std::list<std::vector<uint8_t>> buffers;
};

// ---------------------------------------------------------------- bring-up

TEST(CameraBringUp, DescriptorFromOverrideFileDeviceOrBuiltIn) {
    const DeviceConfig plain = smallConfig();
    DeviceConfig large = plain;
    // Longer than the first request's buffer: the XML is broken unless it is read whole.
    std::string text = orvane::kvsim::buildDefaultDescriptor(large.identity, large.calibration, 1, 1);
    text.insert(text.find('\n') + 1, "<!--" + std::string(30000, 'x') + "-->\n");
    large.descriptor_file_text = text;
    struct Case {
        const char* name;
        Transport transport;
        DeviceConfig config;
        const char* faults;
        bool overrideFile;
        bool fromDevice;  // otherwise the built-in descriptor (no colour, no calibration)
    };
    const Case cases[] = {
        {"fetched over TCP", Transport::kTcp, plain, "", false, true},
        {"fetched over USB", Transport::kUsb, plain, "", false, true},
        {"fetched, longer than 10240 bytes", Transport::kTcp, large, "", false, true},
        {"override file", Transport::kTcp, plain, "", true, false},
        {"bad checksum falls back to built-in", Transport::kTcp, plain, "bad-descriptor-checksum", false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CleanSlate dir;
        if (c.overrideFile) dir.write("override_config.xml", orvane::DefaultDeviceDescriptor);
        dir.write("fetch_config.xml", "");
        dir.write("fetch_config_KVSIM0000001.xml", "");
        Rig rig(c.transport, makeDevice(c.config, c.faults));
        ASSERT_EQ(rig.camera->init(), 0);

        EXPECT_EQ((rig.camera->componentIds() & kColor) != 0, c.fromDevice);
        const std::string deviceText = rig.end.device().descriptorText();
        if (c.fromDevice) {
            EXPECT_EQ(dir.read("fetch_config.xml"), deviceText.c_str());
            EXPECT_EQ(dir.read("fetch_config_KVSIM0000001.xml"), deviceText.c_str());
        }
        if (c.overrideFile) {
            EXPECT_EQ(dir.read("fetch_config.xml"), orvane::DefaultDeviceDescriptor);
        }

        // Without calibration every mapping function reports an error instead of using an empty record.
        KV_VECT_3F depthPoint{10, 10, 1000}, world{};
        std::vector<uint16_t> registered(320 * 240);
        KV_CAMERA_INTRINSIC intrinsic{};
        const int intrinsicStatus = rig.camera->getStruct(kDepth, 0x7000, &intrinsic, sizeof(intrinsic));
        const int mapStatus = rig.camera->depthToWorld(&depthPoint, &world, 0, 1);
        const int registerStatus =
            rig.camera->registerWorld2Color(&world, 0, 1, registered.data(), registered.size() * 2);
        if (c.fromDevice) {
            EXPECT_EQ(intrinsicStatus, 0);
            EXPECT_EQ(mapStatus, 0);
            EXPECT_EQ(registerStatus, 0);
        } else {
            EXPECT_NE(intrinsicStatus, 0);
            EXPECT_NE(mapStatus, 0);
            EXPECT_EQ(registerStatus, KV_STATUS_INVALID_COMPONENT);
        }
    }
}

TEST(CameraBringUp, DeviceInfoFirmwareTextAndPerDeviceOverride) {
    CleanSlate dir;
    dir.write("override_config_KVSIM0000001.xml",
              "<config version=\"1\"><comprotocol>1.0</comprotocol>"
              "<component id=\"0x00400000\" name=\"laser\">"
              "<feature id=\"0x1500\" name=\"power\" rw=\"3\" min=\"0\" max=\"50\" inc=\"1\">10</feature>"
              "<feature id=\"0x1600\" name=\"extra\" rw=\"3\" min=\"0\" max=\"9\" inc=\"1\">3</feature>"
              "</component><component id=\"0x00200000\" name=\"extra image\"></component></config>");
    Rig rig(Transport::kTcp);
    ASSERT_EQ(rig.camera->init(), 0);

    const KV_DEVICE_BASE_INFO& info = rig.camera->deviceInfo();
    ASSERT_NE(rig.camera->readFirmwareVer(), nullptr);
    std::ostringstream summary;
    summary << std::string(info.id, strnlen(info.id, 32)) << '|' << info.vendorName << '|' << info.modelName
            << '|' << info.hardwareVersion.major << '.' << info.hardwareVersion.minor << '|'
            << info.firmwareVersion.major << '.' << info.firmwareVersion.minor << '|' << info.initStatus
            << '|' << rig.camera->readFirmwareVer();
    EXPECT_EQ(summary.str(), "KVSIM0000001|Orvane|KV-S1 Simulator|1.2|2.3|0|kvsim-2.3.0");

    KV_INT_RANGE range{};
    ASSERT_EQ(rig.camera->getIntRange(KV_COMPONENT_LASER, 0x1500, &range), 0);
    EXPECT_EQ(range.max, 50);
    int32_t extra = 0;
    EXPECT_EQ(rig.camera->getInt(KV_COMPONENT_LASER, 0x1600, &extra), 0);
    EXPECT_EQ(extra, 3);
    EXPECT_NE(rig.camera->componentIds() & KV_COMPONENT_IMAGE_EXTRA, 0);

    // Masks: a bit no component has changes nothing; the frame size follows the enabled set.
    const int32_t enabled = rig.camera->enabledComponents();
    EXPECT_EQ(rig.camera->enableComponents(0x02000000), KV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.camera->enabledComponents(), enabled);
    ASSERT_EQ(rig.camera->disableComponents(enabled), 0);
    EXPECT_EQ(rig.camera->calcFrameBufferSize(), 0);
    ASSERT_EQ(rig.camera->enableComponents(kDepth | kLeftIr), 0);
    EXPECT_EQ(rig.camera->calcFrameBufferSize(), 320 * 240 * 2 + 320 * 240);
}

TEST(CameraBringUp, EnabledMaskAndTriggerStateComeFromTheDevice) {
    struct Case {
        const char* name;
        const char* faults;
        bool trigger;
        const char* id;  // null: the stream's id stays
    };
    // The device's work mode is 0 after the handshake; a failed query must not become the mask either.
    const Case cases[] = {
        {"device idle", "", false, "KVSIM0000001"},
        {"failing work-mode query", "wrong-code=0x80000003", false, "KVSIM0000001"},
        {"device in trigger mode", "", true, "KVSIM0000001"},
        {"failing device-info query", "wrong-code=1", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CleanSlate dir;
        DeviceConfig config = smallConfig();
        config.initial.trigger_mode = c.trigger;
        Rig rig(Transport::kTcp, makeDevice(config, c.faults));
        const std::string streamId = rig.stream->GetStreamID();
        ASSERT_EQ(rig.camera->init(), 0);
        EXPECT_EQ(rig.camera->enabledComponents(), 0);
        const char* id = rig.camera->deviceInfo().id;
        EXPECT_EQ(std::string(id, strnlen(id, 32)), c.id ? c.id : streamId);
        bool trigger = !c.trigger;
        EXPECT_EQ(rig.camera->getBool(kDevice, 0x4200, &trigger), 0);
        EXPECT_EQ(trigger, c.trigger);
    }
}

TEST(CameraBringUp, InitThatFailsHalfWayLeavesNothingHalfBuilt) {
    CleanSlate dir;
    DeviceConfig config = smallConfig();
    config.descriptor_file_text = "<config version=\"1\"><component";  // not XML
    Rig rig(Transport::kTcp, makeDevice(config));
    EXPECT_EQ(rig.camera->init(), KV_STATUS_DEVICE_ERROR);
    EXPECT_EQ(rig.camera->deviceInfo().initStatus, KV_STATUS_DEVICE_ERROR);
    EXPECT_EQ(rig.camera->open(), KV_STATUS_DEVICE_ERROR);
    EXPECT_EQ(rig.camera->component(kDepth), nullptr);
    int32_t value = 0;
    EXPECT_EQ(rig.camera->getInt(KV_COMPONENT_LASER, 0x1500, &value), KV_STATUS_INVALID_COMPONENT);
    EXPECT_EQ(rig.camera->readRegister(kLeftIr, 0, &value), KV_STATUS_INVALID_COMPONENT);
    EXPECT_EQ(rig.camera->start(), KV_STATUS_INVALID_COMPONENT);
}

TEST(CameraBringUp, DeviceIdBecomesAFileNameOnlyWhenSafe) {
    const std::pair<const char*, const char*> cases[] = {
        {"KVSIM0000001", "KVSIM0000001"},
        {"127.0.3.1", "127.0.3.1"},
        {"../escape", ""},
        {"a/b", ""},
        {"", ""},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
        {"AB..CD", ""}};
    for (const auto& c : cases) EXPECT_EQ(KvCamera::deviceFileTag(c.first, 32), c.second) << c.first;
}

// ---------------------------------------------------------------- capture

TEST(CameraCapture, FetchDeliversFramesInOrderWithOneToFourBuffers) {
    for (int count = 1; count <= 4; ++count) {
        SCOPED_TRACE(count);
        CleanSlate dir;
        Rig rig(Transport::kTcp);
        rig.bringUp(kDepth);
        rig.enqueue(count);
        EXPECT_EQ(rig.camera->getBufferQueueSize(), count);
        ASSERT_EQ(rig.camera->start(), 0);
        int32_t last = -1;
        std::set<void*> used;
        for (int i = 0; i < 8; ++i) {
            KV_FRAME_DATA frame{};
            ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
            const KV_IMAGE_DATA* depth = imageOf(frame, kDepth);
            ASSERT_NE(depth, nullptr);
            EXPECT_TRUE(rig.ownsBuffer(frame.userBuffer));
            EXPECT_EQ(depth->buffer, frame.userBuffer);
            EXPECT_EQ(depth->width, 320);
            EXPECT_GT(depth->imageIndex, last);
            last = depth->imageIndex;
            used.insert(frame.userBuffer);
            rig.requeue(frame);
        }
        EXPECT_EQ(static_cast<int>(used.size()), count);  // every buffer comes round again
        EXPECT_EQ(rig.camera->stop(), 0);
        EXPECT_EQ(rig.camera->close(), 0);
        EXPECT_EQ(rig.camera->getBufferQueueSize(), 0);
    }
}

TEST(CameraCapture, CallbackPairIsReplacedAtomicallyAndCallbacksMayStopOrClose) {
    CleanSlate dir;
    Rig rig(Transport::kUsb);
    rig.bringUp(kDepth);
    rig.enqueue(3);

    struct State {
        Rig* rig;
        std::atomic<int> frames{0};
        std::atomic<int> lateCalls{0};
        std::atomic<bool> unregistered{false};
        std::atomic<int> initInside{1};
    } state{&rig};
    const KV_FRAME_CALLBACK onFrame = [](KV_FRAME_DATA* frame, void* user) {
        auto* s = static_cast<State*>(user);
        if (s->unregistered) ++s->lateCalls;
        if (s->frames++ == 0) s->initInside = s->rig->camera->init();
        s->rig->camera->enqueueBuffer(frame->userBuffer, frame->bufferSize);
    };
    ASSERT_EQ(rig.camera->registerCallback(onFrame, &state), 0);
    ASSERT_EQ(rig.camera->start(), 0);
    KV_FRAME_DATA frame{};
    EXPECT_EQ(rig.camera->fetchFrame(&frame, 0), KV_STATUS_WRONG_MODE);
    ASSERT_TRUE(waitFor([&] { return state.frames >= 5; }, 5000));
    EXPECT_EQ(state.initInside, KV_STATUS_BUSY);

    ASSERT_EQ(rig.camera->registerCallback(nullptr, nullptr), 0);
    state.unregistered = true;
    // Polling again; frames keep coming and none goes to the old callback.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
        rig.requeue(frame);
    }
    EXPECT_EQ(state.lateCalls, 0);

    // Stop and close from inside the callback thread: no self-join, clean state.
    std::atomic<int> closeStatus{1};
    const KV_FRAME_CALLBACK closer = [](KV_FRAME_DATA*, void* user) {
        auto* s = static_cast<std::pair<KvCamera*, std::atomic<int>*>*>(user);
        if (*s->second == 1) *s->second = s->first->close();
    };
    std::pair<KvCamera*, std::atomic<int>*> closerState{rig.camera, &closeStatus};
    ASSERT_EQ(rig.camera->registerCallback(closer, &closerState), 0);
    ASSERT_TRUE(waitFor([&] { return closeStatus != 1; }, 5000));
    EXPECT_EQ(closeStatus, 0);
    EXPECT_FALSE(rig.camera->isCapturing());
    EXPECT_FALSE(rig.camera->isOpened());
    EXPECT_EQ(rig.camera->registerCallback(nullptr, nullptr), 0);
}

TEST(CameraCapture, TriggerDeliversFramesPerTrigger) {
    CleanSlate dir;
    DeviceConfig config = smallConfig();
    config.initial.trigger_mode = true;
    config.initial.frames_per_trigger = 3;
    Rig rig(Transport::kTcp, makeDevice(config));
    rig.bringUp(kDepth);
    rig.enqueue(4);
    EXPECT_EQ(rig.camera->sendTrigger(), KV_STATUS_IDLE);
    ASSERT_EQ(rig.camera->start(), 0);
    ASSERT_EQ(rig.camera->sendTrigger(), 0);
    KV_FRAME_DATA frame{};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0) << i;
        rig.requeue(frame);
    }
    EXPECT_EQ(rig.camera->fetchFrame(&frame, 300), KV_STATUS_TIMEOUT);

    ASSERT_EQ(rig.camera->stop(), 0);
    // The trigger record takes the caller's size both ways; a short buffer is never overrun.
    const KV_TRIGGER_MODE record{1, 2};
    ASSERT_EQ(rig.camera->setStruct(kDevice, 0x7523, &record, sizeof(record)), 0);
    uint16_t shortBuffer = 0;
    EXPECT_EQ(rig.camera->getStruct(kDevice, 0x7523, &shortBuffer, sizeof(shortBuffer)), 0);
    EXPECT_EQ(shortBuffer, 1);
    ASSERT_EQ(rig.camera->setBool(kDevice, 0x4200, false), 0);
    ASSERT_EQ(rig.camera->start(), 0);
    EXPECT_EQ(rig.camera->sendTrigger(), KV_STATUS_WRONG_MODE);
}

TEST(CameraCapture, ComponentChangeRecutsOrDropsQueuedBuffers) {
    CleanSlate dir;
    Rig rig(Transport::kTcp);
    rig.bringUp(kDepth | kLeftIr);
    rig.enqueue(2);
    const int32_t bothSize = rig.camera->calcFrameBufferSize();

    ASSERT_EQ(rig.camera->disableComponents(kLeftIr), 0);
    EXPECT_LT(rig.camera->calcFrameBufferSize(), bothSize);
    EXPECT_EQ(rig.camera->getBufferQueueSize(), 2);  // cut again for depth alone
    ASSERT_EQ(rig.camera->start(), 0);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
    EXPECT_EQ(frame.validCount, 1);
    EXPECT_EQ(frame.image[0].componentID, kDepth);
    EXPECT_EQ(frame.image[0].buffer, frame.userBuffer);
    rig.requeue(frame);
    ASSERT_EQ(rig.camera->stop(), 0);

    // Colour makes the frame larger than the queued buffers: they are dropped, not overrun.
    ASSERT_EQ(rig.camera->enableComponents(kColor), 0);
    EXPECT_GT(rig.camera->calcFrameBufferSize(), bothSize);
    EXPECT_EQ(rig.camera->getBufferQueueSize(), 0);
    rig.enqueue(2);
    ASSERT_EQ(rig.camera->start(), 0);
    ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
    EXPECT_NE(imageOf(frame, kDepth), nullptr);
    EXPECT_NE(imageOf(frame, kColor), nullptr);
}

TEST(CameraCapture, ImageModeChangeGivesNewSizeIntrinsicAndCompleteFrames) {
    CleanSlate dir;
    Rig rig(Transport::kUsb);
    rig.bringUp(kDepth);
    rig.enqueue(2);
    ASSERT_EQ(rig.camera->start(), 0);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
    ASSERT_EQ(rig.camera->stop(), 0);

    // Through the 3D-point component, whose image mode is bound to the depth one.
    ASSERT_EQ(rig.camera->setEnum(KV_COMPONENT_POINT3D, 0x3108, 0x2801E0), 0);  // 640 x 480
    EXPECT_EQ(rig.camera->calcFrameBufferSize(), 640 * 480 * 2);
    EXPECT_EQ(rig.camera->getBufferQueueSize(), 0);
    KV_CAMERA_INTRINSIC k{};
    ASSERT_EQ(rig.camera->getStruct(kDepth, 0x7000, &k, sizeof(k)), 0);
    EXPECT_FLOAT_EQ(k.data[0], 1100.0f / 2);  // stored for 1280 x 960
    EXPECT_FLOAT_EQ(k.data[5], 479.5f / 2);
    EXPECT_FLOAT_EQ(k.data[8], 1.0f);

    rig.enqueue(2);
    ASSERT_EQ(rig.camera->start(), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
        const KV_IMAGE_DATA* depth = imageOf(frame, kDepth);
        ASSERT_NE(depth, nullptr);
        EXPECT_EQ(depth->width, 640);
        EXPECT_EQ(depth->height, 480);
        EXPECT_EQ(depth->size, 640 * 480 * 2);
        rig.requeue(frame);
    }
}

TEST(CameraCapture, PassThroughOnlyWithTheInternalReceiverClosed) {
    CleanSlate dir;
    Rig rig(Transport::kTcp);
    rig.bringUp(kDepth);
    char reply[64];
    EXPECT_EQ(rig.camera->receivedThrough(reply, sizeof(reply)), KV_STATUS_BUSY);  // the receive thread reads
    EXPECT_EQ(rig.camera->openInternalReceiver(), KV_STATUS_BUSY);
    ASSERT_EQ(rig.camera->closeInternalReceiver(), 0);
    EXPECT_FALSE(rig.camera->internalReceiverOpenning());
    EXPECT_EQ(rig.camera->closeInternalReceiver(), KV_STATUS_IDLE);
    // A ping, framed by hand: sync, header (version 4, id, type 0, length 4), command 0.
    const uint8_t ping[] = {0xfe, 0x01, 0xfe, 0x01, 4, 0x77, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(rig.camera->sendThrough(ping, sizeof(ping)), 0);
    int got = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            const int n = rig.camera->receivedThrough(reply + got, static_cast<int>(sizeof(reply)) - got);
            if (n > 0) got += n;
            return got >= 16;
        },
        3000));
    EXPECT_EQ(static_cast<uint8_t>(reply[0]), 0xfe);
    EXPECT_EQ(static_cast<uint8_t>(reply[5]), 0x77);  // the reply carries the request's packet id

    ASSERT_EQ(rig.camera->openInternalReceiver(), 0);
    rig.enqueue(2);
    ASSERT_EQ(rig.camera->start(), 0);
    KV_FRAME_DATA frame{};
    EXPECT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
    EXPECT_EQ(rig.camera->sendThrough(ping, sizeof(ping)), KV_STATUS_BUSY);
}

// ---------------------------------------------------------------- geometry against the scene's truth

TEST(CameraGeometry, PointsAndRegistrationMatchSceneTruth) {
    CleanSlate dir;
    DeviceConfig config = smallConfig();
    config.stamp_frames = false;
    auto scene = orvane::kvsim::makeSyntheticScene("room", nullptr);
    ASSERT_NE(scene, nullptr);
    auto device = std::make_shared<SimDevice>(config);
    device->setScene(scene);
    Rig rig(Transport::kTcp, device);
    rig.bringUp(KV_COMPONENT_POINT3D);
    rig.enqueue(2);
    ASSERT_EQ(rig.camera->start(), 0);
    KV_FRAME_DATA frame{};
    ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
    const KV_IMAGE_DATA* depth = imageOf(frame, kDepth);
    const KV_IMAGE_DATA* cloud = imageOf(frame, KV_COMPONENT_POINT3D);
    ASSERT_NE(depth, nullptr);
    ASSERT_NE(cloud, nullptr);
    ASSERT_NE(cloud->buffer, nullptr);
    const int w = depth->width, h = depth->height;
    const auto* pixels = static_cast<const uint16_t*>(depth->buffer);
    const auto* cloudPoints = static_cast<const KV_VECT_3F*>(cloud->buffer);

    std::vector<KV_VECT_3F> world;
    int checked = 0;
    for (int v = 1; v < h; v += 7) {
        for (int u = 0; u < w; u += 7) {
            const uint16_t d = pixels[v * w + u];
            if (d == 0) continue;
            const KV_VECT_3F in{static_cast<float>(u), static_cast<float>(v), static_cast<float>(d)};
            KV_VECT_3F p{};
            ASSERT_EQ(rig.camera->depthToWorld(&in, &p, 0, 1), 0);
            EXPECT_LT(scene->distanceToSurface({p.x, p.y, p.z}, 0), 1.0) << u << "," << v;
            EXPECT_NEAR(cloudPoints[v * w + u].x, p.x, 1e-3);
            EXPECT_NEAR(cloudPoints[v * w + u].z, p.z, 1e-3);
            world.push_back(p);
            ++checked;
        }
    }
    ASSERT_GT(checked, 500);

    const int cw = 320, ch = 240;
    std::vector<uint16_t> registered(cw * ch);
    EXPECT_EQ(rig.camera->registerWorld2Color(world.data(), 0, 1, registered.data(), cw * ch * 2 - 1),
              KV_STATUS_OUT_OF_MEMORY);
    ASSERT_EQ(rig.camera->registerWorld2Color(world.data(), 0, static_cast<int>(world.size()),
                                              registered.data(), static_cast<int64_t>(registered.size() * 2)),
              0);
    int landed = 0, matching = 0;
    for (const KV_VECT_3F& p : world) {
        double cu, cv;
        if (!orvane::kvsim::SyntheticScene::projectToColor(device->calibration(), cw, ch, {p.x, p.y, p.z}, cu,
                                                           cv))
            continue;
        const int x = static_cast<int>(std::lround(cu)), y = static_cast<int>(std::lround(cv));
        if (x < 1 || y < 1 || x >= cw - 1 || y >= ch - 1) continue;
        ++landed;
        if (std::abs(registered[y * cw + x] - p.z) <= 2.0f) ++matching;
    }
    ASSERT_GT(landed, 300);
    // The 3x3 minimum of the registration may pick a nearer neighbour at depth edges.
    EXPECT_GE(matching, landed * 95 / 100);
}

// ---------------------------------------------------------------- offline

TEST(CameraOffline, StopCloseSucceedAndReopenBringsTheDeviceBack) {
    struct Case {
        const char* name;
        Transport transport;
        const char* faults;  // a TCP connection is reset by the camera; a USB camera is unplugged
        bool closeInEventCallback;
    };
    const Case cases[] = {
        {"TCP", Transport::kTcp, "reset-after-frames=20", false},
        {"USB", Transport::kUsb, "", false},
        {"TCP, closed from the event callback", Transport::kTcp, "reset-after-frames=20", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CleanSlate dir;
        Rig rig(c.transport, makeDevice(smallConfig(), c.faults));
        rig.camera->setKeepAliveTiming(100, 800);
        rig.bringUp(kDepth);
        struct Events {
            KvCamera* camera;
            bool close;
            std::atomic<int> offline{0};
            std::atomic<int> closeStatus{1};
        } events{rig.camera, c.closeInEventCallback};
        rig.camera->registerEventCallback(
            [](KV_EVENT_INFO* event, void* user) {
                auto* e = static_cast<Events*>(user);
                if (event->eventId != KV_EVENT_DEVICE_OFFLINE) return;
                if (e->close) e->closeStatus = e->camera->close();
                ++e->offline;
            },
            &events);
        rig.enqueue(2);
        ASSERT_EQ(rig.camera->start(), 0);
        KV_FRAME_DATA frame{};
        ASSERT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);

        if (c.transport == Transport::kUsb) rig.end.cut();
        ASSERT_TRUE(waitFor([&] { return events.offline > 0; }, 5000));
        if (c.closeInEventCallback) {
            EXPECT_EQ(events.closeStatus, 0);
        } else {
            EXPECT_EQ(rig.camera->stop(), 0);
            EXPECT_EQ(rig.camera->close(), 0);
        }
        EXPECT_FALSE(rig.camera->isCapturing());
        EXPECT_EQ(rig.camera->getBufferQueueSize(), 0);

        // The device comes back: the TCP camera accepts a new connection, the USB camera is plugged in again.
        std::shared_ptr<orvane::kvsim::UsbCamera> usb;
        if (c.transport == Transport::kUsb) usb = orvane::kvsim::UsbCamera::plug(rig.end.sharedDevice());
        ASSERT_EQ(rig.camera->open(), 0);
        rig.camera->disableComponents(rig.camera->enabledComponents());
        ASSERT_EQ(rig.camera->enableComponents(kDepth), 0);
        rig.enqueue(2);
        ASSERT_EQ(rig.camera->start(), 0);
        EXPECT_EQ(rig.camera->fetchFrame(&frame, kFetchMs), 0);
        KvCamera::destroy(rig.camera);  // before the restored link goes
        rig.camera = nullptr;
    }
}

}  // namespace
