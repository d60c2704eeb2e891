// The order of argument checks of every exported function, and the status each failing check gives.
#include <functional>

#include "api_fixture.h"

namespace apitest {
namespace {

constexpr int32_t kNoSuchComponent = 0x00800000;
constexpr int32_t kDevice = KV_COMPONENT_DEVICE, kDepth = KV_COMPONENT_DEPTH, kLaser = KV_COMPONENT_LASER;

struct Row {
    const char* what;
    std::function<KV_STATUS(KV_DEV_HANDLE)> call;
    KV_STATUS expected;
};

// Arguments valid apart from the one a row spoils.
struct Args {
    uint8_t bytes[16384] = {};
    int32_t i = 0;
    uint32_t u = 0;
    float f = 0;
    bool b = false;
    KV_FRAME_DATA frame{};
    KV_FEATURE_INFO info{};
    KV_INT_RANGE ir{};
    KV_FLOAT_RANGE fr{};
    KV_ENUM_ENTRY entries[8]{};
    KV_DEVICE_BASE_INFO base{};
    KV_VECT_3F pts[4]{};
    uint16_t out[16]{};
    void* p() { return bytes; }
};

// Every function that takes a handle, called with arguments that pass every check after the handle.
std::vector<Row> handleCalls(Args& a) {
    return {
        {"EnterDeveloperMode", [&](KV_DEV_HANDLE h) { return KVEnterDeveloperMode(h); }, 0},
        {"GetDeviceInfo", [&](KV_DEV_HANDLE h) { return KVGetDeviceInfo(h, &a.base); }, 0},
        {"GetComponentIDs", [&](KV_DEV_HANDLE h) { return KVGetComponentIDs(h, &a.i); }, 0},
        {"GetEnabledComponentIDs", [&](KV_DEV_HANDLE h) { return KVGetEnabledComponentIDs(h, &a.i); }, 0},
        {"DisableComponents", [&](KV_DEV_HANDLE h) { return KVDisableComponents(h, kDepth); }, 0},
        {"EnableComponents", [&](KV_DEV_HANDLE h) { return KVEnableComponents(h, kDepth); }, 0},
        {"LoadDeviceConfig", [&](KV_DEV_HANDLE h) { return KVLoadDeviceConfig(h, "none.xml"); }, -1005},
        {"GetFeatureInfo", [&](KV_DEV_HANDLE h) { return KVGetFeatureInfo(h, kDepth, 0x1104, &a.info); }, 0},
        {"GetIntRange", [&](KV_DEV_HANDLE h) { return KVGetIntRange(h, kLaser, 0x1500, &a.ir); }, 0},
        {"GetInt", [&](KV_DEV_HANDLE h) { return KVGetInt(h, kLaser, 0x1500, &a.i); }, 0},
        {"SetInt", [&](KV_DEV_HANDLE h) { return KVSetInt(h, kLaser, 0x1500, 50); }, 0},
        {"GetFloatRange", [&](KV_DEV_HANDLE h) { return KVGetFloatRange(h, kLaser, 0x2500, &a.fr); }, 0},
        {"GetFloat", [&](KV_DEV_HANDLE h) { return KVGetFloat(h, kLaser, 0x2500, &a.f); }, 0},
        {"SetFloat", [&](KV_DEV_HANDLE h) { return KVSetFloat(h, kLaser, 0x2500, 1.f); }, -1003},
        {"GetEnumEntryCount", [&](KV_DEV_HANDLE h) { return KVGetEnumEntryCount(h, kDepth, 0x3108, &a.u); },
         0},
        {"GetEnumEntryInfo",
         [&](KV_DEV_HANDLE h) { return KVGetEnumEntryInfo(h, kDepth, 0x3108, a.entries, 8, &a.u); }, 0},
        {"GetEnum", [&](KV_DEV_HANDLE h) { return KVGetEnum(h, kDepth, 0x3108, &a.i); }, 0},
        {"SetEnum", [&](KV_DEV_HANDLE h) { return KVSetEnum(h, kDepth, 0x3108, a.entries[2].value); }, 0},
        {"GetBool", [&](KV_DEV_HANDLE h) { return KVGetBool(h, kLaser, 0x4501, &a.b); }, 0},
        {"SetBool", [&](KV_DEV_HANDLE h) { return KVSetBool(h, kLaser, 0x4501, false); }, 0},
        {"GetStringBufferSize",
         [&](KV_DEV_HANDLE h) { return KVGetStringBufferSize(h, kDevice, 0x5f01, &a.u); }, 0},
        {"GetString", [&](KV_DEV_HANDLE h) { return KVGetString(h, kDevice, 0x5f01, (char*)a.p(), 64); }, 0},
        {"SetString", [&](KV_DEV_HANDLE h) { return KVSetString(h, kLaser, 0x5500, "x"); }, -1003},
        {"GetByteArraySize", [&](KV_DEV_HANDLE h) { return KVGetByteArraySize(h, kLaser, 0x6500, &a.u); }, 0},
        {"GetByteArray",
         [&](KV_DEV_HANDLE h) { return KVGetByteArray(h, kLaser, 0x6500, a.bytes, 16, &a.u); }, 0},
        {"SetByteArray", [&](KV_DEV_HANDLE h) { return KVSetByteArray(h, kLaser, 0x6500, a.bytes, 4); },
         -1003},
        {"GetStruct", [&](KV_DEV_HANDLE h) { return KVGetStruct(h, kDepth, 0x7000, a.p(), 36); }, 0},
        {"SetStruct", [&](KV_DEV_HANDLE h) { return KVSetStruct(h, kLaser, 0x7006, a.p(), 48); }, 0},
        {"IsCapturing", [&](KV_DEV_HANDLE h) { return KVIsCapturing(h, &a.b); }, 0},
        {"RegisterCallback", [&](KV_DEV_HANDLE h) { return KVRegisterCallback(h, nullptr, nullptr); }, 0},
        {"RegisterEventCallback",
         [&](KV_DEV_HANDLE h) { return KVRegisterEventCallback(h, nullptr, nullptr); }, 0},
        {"GetFrameBufferSize", [&](KV_DEV_HANDLE h) { return KVGetFrameBufferSize(h, &a.u); }, 0},
        {"ClearBufferQueue", [&](KV_DEV_HANDLE h) { return KVClearBufferQueue(h); }, 0},
        {"GetDeviceDescriptor",
         [&](KV_DEV_HANDLE h) { return KVGetDeviceDescriptor(h, (char*)a.p(), sizeof(a.bytes)); }, 0},
        {"ReadRegister", [&](KV_DEV_HANDLE h) { return KVReadRegister(h, KV_COMPONENT_LEFT_IR, 0, &a.i); },
         0},
        {"WriteRegister", [&](KV_DEV_HANDLE h) { return KVWriteRegister(h, KV_COMPONENT_LEFT_IR, 4, 7); }, 0},
        {"DepthToWorld", [&](KV_DEV_HANDLE h) { return KVDepthToWorld(h, a.pts, a.pts + 2, 0, 2); }, 0},
        {"WorldToDepth", [&](KV_DEV_HANDLE h) { return KVWorldToDepth(h, a.pts, a.pts + 2, 0, 2); }, 0},
        {"StartCapture", [&](KV_DEV_HANDLE h) { return KVStartCapture(h); }, KV_STATUS_NO_BUFFER},
        {"StopCapture", [&](KV_DEV_HANDLE h) { return KVStopCapture(h); }, KV_STATUS_IDLE},
        {"SendSoftTrigger", [&](KV_DEV_HANDLE h) { return KVSendSoftTrigger(h); }, KV_STATUS_IDLE},
        {"FetchFrame", [&](KV_DEV_HANDLE h) { return KVFetchFrame(h, &a.frame, 0); }, KV_STATUS_IDLE},
        {"EnqueueBuffer", [&](KV_DEV_HANDLE h) { return KVEnqueueBuffer(h, a.p(), 1); },
         KV_STATUS_WRONG_SIZE},
        {"RegisterIMUCallback", [&](KV_DEV_HANDLE h) { return KVRegisterIMUCallback(h, nullptr, nullptr); },
         KV_STATUS_NOT_IMPLEMENTED},
        {"OpenInternalReceiver", [&](KV_DEV_HANDLE h) { return KVOpenInternalReceiver(h); }, KV_STATUS_BUSY},
        {"SendThrough", [&](KV_DEV_HANDLE h) { return KVSendThrough(h, a.p(), 4); }, KV_STATUS_BUSY},
        {"ReceivedThrough", [&](KV_DEV_HANDLE h) { return KVReceivedThrough(h, a.p(), 4, &a.i); },
         KV_STATUS_BUSY},
        {"RegisterWorldToColor",
         [&](KV_DEV_HANDLE h) { return KVRegisterWorldToColor(h, a.pts, 0, 4, a.out, sizeof(a.out)); },
         KV_STATUS_OUT_OF_MEMORY},
        {"CloseDevice", [&](KV_DEV_HANDLE h) { return KVCloseDevice(h); }, 0},
    };
}

// Every function's own checks, each row spoiling one argument, in the documented order.
std::vector<Row> ownChecks(Args& a) {
    const int32_t X = kNoSuchComponent;
    char* s = reinterpret_cast<char*>(a.bytes);
    return {
        {"component before feature", [&](KV_DEV_HANDLE h) { return KVGetInt(h, X, 0x7fff, nullptr); }, -1008},
        {"feature of another component", [&](KV_DEV_HANDLE h) { return KVGetInt(h, kLaser, 0x1104, &a.i); },
         -1009},
        {"info: null before feature",
         [&](KV_DEV_HANDLE h) { return KVGetFeatureInfo(h, kDepth, 0x7fff, nullptr); }, -1020},
        {"type before null", [&](KV_DEV_HANDLE h) { return KVGetFloat(h, kLaser, 0x1500, nullptr); }, -1010},
        {"int getter null", [&](KV_DEV_HANDLE h) { return KVGetInt(h, kLaser, 0x1500, nullptr); }, -1020},
        {"range of read-only int", [&](KV_DEV_HANDLE h) { return KVGetIntRange(h, kDepth, 0x1104, &a.ir); },
         -1021},
        {"set: writable before type", [&](KV_DEV_HANDLE h) { return KVSetFloat(h, kDepth, 0x1104, 1.f); },
         -1004},
        {"set int through float", [&](KV_DEV_HANDLE h) { return KVSetFloat(h, kLaser, 0x1500, 1.f); }, -1010},
        {"int above max", [&](KV_DEV_HANDLE h) { return KVSetInt(h, kLaser, 0x1500, 101); }, -1013},
        {"int below min", [&](KV_DEV_HANDLE h) { return KVSetInt(h, kLaser, 0x1500, -1); }, -1013},
        {"float above max", [&](KV_DEV_HANDLE h) { return KVSetFloat(h, kLaser, 0x2500, 9.5f); }, -1013},
        {"enum value of no entry", [&](KV_DEV_HANDLE h) { return KVSetEnum(h, kDepth, 0x3108, 12345); },
         -1006},
        {"enum entries null",
         [&](KV_DEV_HANDLE h) { return KVGetEnumEntryInfo(h, kDepth, 0x3108, a.entries, 1, nullptr); },
         -1020},
        {"bool set of an int", [&](KV_DEV_HANDLE h) { return KVSetBool(h, kLaser, 0x1500, true); }, -1010},
        {"string null buffer", [&](KV_DEV_HANDLE h) { return KVGetString(h, kDevice, 0x5f01, nullptr, 8); },
         -1020},
        {"string negative size", [&](KV_DEV_HANDLE h) { return KVGetString(h, kDevice, 0x5f01, s, -1); },
         -1011},
        {"string read-only", [&](KV_DEV_HANDLE h) { return KVSetString(h, kDevice, 0x5f01, "x"); }, -1004},
        {"string null text", [&](KV_DEV_HANDLE h) { return KVSetString(h, kLaser, 0x5500, nullptr); }, -1020},
        {"bytes above max size",
         [&](KV_DEV_HANDLE h) { return KVSetByteArray(h, kLaser, 0x6500, a.bytes, 17); }, -1011},
        {"bytes negative size",
         [&](KV_DEV_HANDLE h) { return KVSetByteArray(h, kLaser, 0x6500, a.bytes, -1); }, -1011},
        {"bytes get negative",
         [&](KV_DEV_HANDLE h) { return KVGetByteArray(h, kLaser, 0x6500, a.bytes, -2, &a.u); }, -1011},
        {"struct 0x7005 before handle",
         [&](KV_DEV_HANDLE) { return KVGetStruct(nullptr, kDepth, 0x7005, s, 4); }, -1003},
        {"set struct 0x7005", [&](KV_DEV_HANDLE) { return KVSetStruct(&a, kDepth, 0x7005, s, 4); }, -1003},
        {"intrinsic of wrong size", [&](KV_DEV_HANDLE h) { return KVGetStruct(h, kDepth, 0x7000, s, 35); },
         -1011},
        {"trigger record get size", [&](KV_DEV_HANDLE h) { return KVGetStruct(h, kDevice, 0x7523, s, 8); },
         -1011},
        {"trigger record set size", [&](KV_DEV_HANDLE h) { return KVSetStruct(h, kDevice, 0x7523, s, 2); },
         -1011},
        {"struct null", [&](KV_DEV_HANDLE h) { return KVGetStruct(h, kDepth, 0x7000, nullptr, 36); }, -1020},
        {"unknown component bit", [&](KV_DEV_HANDLE h) { return KVEnableComponents(h, X); }, -1006},
        {"info null", [&](KV_DEV_HANDLE h) { return KVGetDeviceInfo(h, nullptr); }, -1020},
        {"mask null", [&](KV_DEV_HANDLE h) { return KVGetComponentIDs(h, nullptr); }, -1020},
        {"enabled mask null", [&](KV_DEV_HANDLE h) { return KVGetEnabledComponentIDs(h, nullptr); }, -1020},
        {"capturing null", [&](KV_DEV_HANDLE h) { return KVIsCapturing(h, nullptr); }, -1020},
        {"fetch null before state", [&](KV_DEV_HANDLE h) { return KVFetchFrame(h, nullptr, 0); }, -1020},
        {"frame size null", [&](KV_DEV_HANDLE h) { return KVGetFrameBufferSize(h, nullptr); }, -1020},
        {"enqueue null", [&](KV_DEV_HANDLE h) { return KVEnqueueBuffer(h, nullptr, 1 << 30); }, -1020},
        {"enqueue negative", [&](KV_DEV_HANDLE h) { return KVEnqueueBuffer(h, a.p(), -5); }, -1011},
        {"send null", [&](KV_DEV_HANDLE h) { return KVSendThrough(h, nullptr, 1); }, -1020},
        {"send nothing", [&](KV_DEV_HANDLE h) { return KVSendThrough(h, a.p(), 0); }, -1006},
        {"receive null count", [&](KV_DEV_HANDLE h) { return KVReceivedThrough(h, a.p(), 4, nullptr); },
         -1020},
        {"receive nothing", [&](KV_DEV_HANDLE h) { return KVReceivedThrough(h, a.p(), 0, &a.i); }, -1006},
        {"descriptor null", [&](KV_DEV_HANDLE h) { return KVGetDeviceDescriptor(h, nullptr, 10); }, -1020},
        {"descriptor too small", [&](KV_DEV_HANDLE h) { return KVGetDeviceDescriptor(h, s, 10); }, -1011},
        {"register component", [&](KV_DEV_HANDLE h) { return KVReadRegister(h, X, 0, nullptr); }, -1008},
        {"register null",
         [&](KV_DEV_HANDLE h) { return KVReadRegister(h, KV_COMPONENT_LEFT_IR, 0, nullptr); }, -1020},
        {"write register component", [&](KV_DEV_HANDLE h) { return KVWriteRegister(h, X, 0, 0); }, -1008},
        {"close receiver twice", [&](KV_DEV_HANDLE h) { return KVOpenInternalReceiver(h); }, -1016},
        {"depth null", [&](KV_DEV_HANDLE h) { return KVDepthToWorld(h, nullptr, a.pts, 0, 1); }, -1020},
        {"padding not x4", [&](KV_DEV_HANDLE h) { return KVDepthToWorld(h, a.pts, a.pts, 2, 1); }, -1006},
        {"padding negative", [&](KV_DEV_HANDLE h) { return KVWorldToDepth(h, a.pts, a.pts, -4, 1); }, -1006},
        {"padding overflowing",
         [&](KV_DEV_HANDLE h) { return KVWorldToDepth(h, a.pts, a.pts, INT32_MAX - 3, 1); }, -1006},
        {"register out null",
         [&](KV_DEV_HANDLE h) { return KVRegisterWorldToColor(h, a.pts, 0, 1, nullptr, 9); }, -1020},
        {"register padding",
         [&](KV_DEV_HANDLE h) { return KVRegisterWorldToColor(h, a.pts, 3, 1, a.out, 9); }, -1006},
        {"register negative size",
         [&](KV_DEV_HANDLE h) { return KVRegisterWorldToColor(h, a.pts, 0, 1, a.out, -1); }, -1012},
        {"config null", [&](KV_DEV_HANDLE h) { return KVLoadDeviceConfig(h, nullptr); }, -1020},
        {"imu callback", [&](KV_DEV_HANDLE h) { return KVRegisterIMUCallback(h, nullptr, &a); }, -1003},
    };
}

// A camera with a float, a string, a byte array and a plain struct feature next to the usual ones.
std::shared_ptr<kvtest::SimDevice> deviceWithEveryType() {
    kvtest::DeviceConfig config;
    std::string text = kvtest::SimDevice(config).descriptorText();
    const std::string extra =
        "<feature id=\"0x2500\" name=\"ratio\" rw=\"3\" volatile=\"0\" min=\"0.5\" max=\"9.0\" "
        "inc=\"0.5\">2.5</feature>"
        "<feature id=\"0x5500\" name=\"label\" rw=\"3\" volatile=\"0\" max=\"16\">abc</feature>"
        "<feature id=\"0x6500\" name=\"blob\" rw=\"3\" volatile=\"0\" max=\"16\"></feature>"
        "<feature id=\"0x7006\" name=\"distortion\" rw=\"3\" volatile=\"0\">1 2 3 4 5 6 7 8 9 10 11 "
        "12</feature>";
    const size_t laser = text.find("name=\"laser\">");
    text.insert(text.find('\n', laser) + 1, extra + "\n");
    config.descriptor_file_text = text;
    return std::make_shared<kvtest::SimDevice>(config);
}

class CheckOrder : public ApiTest {};

TEST(CheckOrderBeforeInit, EveryFunctionNeedingTheLibraryReportsNotInitialised) {
    Args a;
    for (const Row& row : handleCalls(a)) EXPECT_EQ(row.call(&a), KV_STATUS_NOT_INITIALIZED) << row.what;
    KV_DEV_HANDLE h = nullptr;
    KV_DEVICE_NET_INFO net{};
    int32_t filled = 0;
    EXPECT_EQ(KVGetDeviceNumber(&a.u), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(KVGetDeviceList(&a.base, 1, &filled), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(KVGetDeviceNetInfo("x", &net), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(KVSetDeviceNetInfo("x", &net), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(KVOpenDevice("x", &h), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(KVOpenDeviceWithIP("127.0.4.1", &h), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(KVGetFirmwareVer("x"), nullptr);
}

TEST_F(CheckOrder, HandleCheckComesFirstAndEveryFunctionMakesItsOwnChecksInOrder) {
    CameraEnd end(Transport::kTcp, deviceWithEveryType());
    ASSERT_TRUE(end.ready());
    KV_DEV_HANDLE h = open(end);
    ASSERT_NE(h, nullptr);
    Args a;
    int never_issued = 0;
    for (const Row& row : handleCalls(a)) {
        EXPECT_EQ(row.call(&never_issued), KV_STATUS_INVALID_HANDLE) << row.what;
        EXPECT_EQ(row.call(nullptr), KV_STATUS_INVALID_HANDLE) << row.what;
    }
    ASSERT_EQ(KVGetEnumEntryInfo(h, kDepth, 0x3108, a.entries, 8, &a.u), 0);
    for (const Row& row : ownChecks(a)) EXPECT_EQ(row.call(h), row.expected) << row.what;
    for (const Row& row : handleCalls(a)) EXPECT_EQ(row.call(h), row.expected) << row.what;

    // The device refused those writes: the held values are still the descriptor's.
    char label[8] = {};
    EXPECT_EQ(KVGetFloat(h, kLaser, 0x2500, &a.f), 0);
    EXPECT_EQ(a.f, 2.5f);
    EXPECT_EQ(KVGetString(h, kLaser, 0x5500, label, sizeof(label)), 0);
    EXPECT_STREQ(label, "abc");
    EXPECT_EQ(KVGetByteArraySize(h, kLaser, 0x6500, &a.u), 0);
    EXPECT_EQ(a.u, 0u);
}

TEST_F(CheckOrder, RegistryFunctionsCheckPointersThenIdentifiers) {
    KV_DEV_HANDLE h = reinterpret_cast<KV_DEV_HANDLE>(1);
    KV_DEVICE_NET_INFO net{};
    KV_DEVICE_BASE_INFO list[2];
    int32_t filled = -1;
    const std::vector<std::pair<KV_STATUS, KV_STATUS>> rows = {
        {KVGetDeviceNumber(nullptr), -1020},
        {KVGetDeviceList(nullptr, 1, &filled), -1020},
        {KVGetDeviceList(list, 2, nullptr), -1020},
        {KVGetDeviceNetInfo(nullptr, &net), -1020},
        {KVGetDeviceNetInfo("KVSIM9", nullptr), -1020},
        {KVGetDeviceNetInfo("KVSIM9", &net), -1006},
        {KVSetDeviceNetInfo("KVSIM9", &net), -1006},
        {KVOpenDevice(nullptr, &h), -1020},
        {KVOpenDevice("KVSIM9", nullptr), -1020},
        {KVOpenDeviceWithIP(nullptr, &h), -1020},
        {KVOpenDeviceWithIP("127.0.4.2", nullptr), -1020},
        {KVOpenDeviceWithIP("not an address", &h), -1006},
    };
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    EXPECT_EQ(KVOpenDevice("KVSIM9", &h), -1006);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(KVGetDeviceList(list, 0, &filled), 0);
    EXPECT_EQ(filled, 0);
}

TEST_F(CheckOrder, CaptureStateGatesWritesMasksPassThroughAndASecondStart) {
    CameraEnd end(Transport::kTcp, simDevice());
    KV_DEV_HANDLE h = open(end);
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), 0);
    enqueue(h, 1);
    ASSERT_EQ(KVDisableComponents(h, KV_COMPONENT_DEPTH | KV_COMPONENT_LEFT_IR | KV_COMPONENT_RIGHT_IR |
                                         KV_COMPONENT_COLOR | KV_COMPONENT_POINT3D),
              0);
    EXPECT_EQ(KVStartCapture(h), KV_STATUS_INVALID_COMPONENT);  // nothing enabled
    ASSERT_EQ(KVEnableComponents(h, KV_COMPONENT_DEPTH), 0);
    enqueue(h, 2);
    ASSERT_EQ(KVStartCapture(h), 0);
    uint8_t byte = 0;
    int32_t got = 0;
    const std::vector<std::pair<KV_STATUS, KV_STATUS>> rows = {
        {KVStartCapture(h), -1016},
        {KVSetInt(h, KV_COMPONENT_LEFT_IR, 0x1303, 5), -1016},
        {KVSetInt(h, KV_COMPONENT_LASER, 0x1500, 60), 0},  // writable while capturing
        {KVEnableComponents(h, KV_COMPONENT_COLOR), -1016},
        {KVDisableComponents(h, KV_COMPONENT_DEPTH), -1016},
        {KVSendThrough(h, &byte, 1), -1016},
        {KVReceivedThrough(h, &byte, 1, &got), -1016},
    };
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    EXPECT_EQ(KVCloseDevice(h), 0);
}

}  // namespace
}  // namespace apitest
