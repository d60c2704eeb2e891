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

// A row's call on the handle it is given.
#define CALL(expr) [&]([[maybe_unused]] KV_DEV_HANDLE h) { return expr; }

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
        {"EnterDeveloperMode", CALL(KVEnterDeveloperMode(h)), 0},
        {"GetDeviceInfo", CALL(KVGetDeviceInfo(h, &a.base)), 0},
        {"GetComponentIDs", CALL(KVGetComponentIDs(h, &a.i)), 0},
        {"GetEnabledComponentIDs", CALL(KVGetEnabledComponentIDs(h, &a.i)), 0},
        {"DisableComponents", CALL(KVDisableComponents(h, kDepth)), 0},
        {"EnableComponents", CALL(KVEnableComponents(h, kDepth)), 0},
        {"LoadDeviceConfig", CALL(KVLoadDeviceConfig(h, "none.xml")), -1005},
        {"GetFeatureInfo", CALL(KVGetFeatureInfo(h, kDepth, 0x1104, &a.info)), 0},
        {"GetIntRange", CALL(KVGetIntRange(h, kLaser, 0x1500, &a.ir)), 0},
        {"GetInt", CALL(KVGetInt(h, kLaser, 0x1500, &a.i)), 0},
        {"SetInt", CALL(KVSetInt(h, kLaser, 0x1500, 50)), 0},
        {"GetFloatRange", CALL(KVGetFloatRange(h, kLaser, 0x2500, &a.fr)), 0},
        {"GetFloat", CALL(KVGetFloat(h, kLaser, 0x2500, &a.f)), 0},
        {"SetFloat", CALL(KVSetFloat(h, kLaser, 0x2500, 1.f)), -1003},
        {"GetEnumEntryCount", CALL(KVGetEnumEntryCount(h, kDepth, 0x3108, &a.u)), 0},
        {"GetEnumEntryInfo", CALL(KVGetEnumEntryInfo(h, kDepth, 0x3108, a.entries, 8, &a.u)), 0},
        {"GetEnum", CALL(KVGetEnum(h, kDepth, 0x3108, &a.i)), 0},
        {"SetEnum", CALL(KVSetEnum(h, kDepth, 0x3108, a.entries[2].value)), 0},
        {"GetBool", CALL(KVGetBool(h, kLaser, 0x4501, &a.b)), 0},
        {"SetBool", CALL(KVSetBool(h, kLaser, 0x4501, false)), 0},
        {"GetStringBufferSize", CALL(KVGetStringBufferSize(h, kDevice, 0x5f01, &a.u)), 0},
        {"GetString", CALL(KVGetString(h, kDevice, 0x5f01, (char*)a.p(), 64)), 0},
        {"SetString", CALL(KVSetString(h, kLaser, 0x5500, "x")), -1003},
        {"GetByteArraySize", CALL(KVGetByteArraySize(h, kLaser, 0x6500, &a.u)), 0},
        {"GetByteArray", CALL(KVGetByteArray(h, kLaser, 0x6500, a.bytes, 16, &a.u)), 0},
        {"SetByteArray", CALL(KVSetByteArray(h, kLaser, 0x6500, a.bytes, 4)), -1003},
        {"GetStruct", CALL(KVGetStruct(h, kDepth, 0x7000, a.p(), 36)), 0},
        {"SetStruct", CALL(KVSetStruct(h, kLaser, 0x7006, a.p(), 48)), 0},
        {"IsCapturing", CALL(KVIsCapturing(h, &a.b)), 0},
        {"RegisterCallback", CALL(KVRegisterCallback(h, nullptr, nullptr)), 0},
        {"RegisterEventCallback", CALL(KVRegisterEventCallback(h, nullptr, nullptr)), 0},
        {"GetFrameBufferSize", CALL(KVGetFrameBufferSize(h, &a.u)), 0},
        {"ClearBufferQueue", CALL(KVClearBufferQueue(h)), 0},
        {"GetDeviceDescriptor", CALL(KVGetDeviceDescriptor(h, (char*)a.p(), sizeof(a.bytes))), 0},
        {"ReadRegister", CALL(KVReadRegister(h, KV_COMPONENT_LEFT_IR, 0, &a.i)), 0},
        {"WriteRegister", CALL(KVWriteRegister(h, KV_COMPONENT_LEFT_IR, 4, 7)), 0},
        {"DepthToWorld", CALL(KVDepthToWorld(h, a.pts, a.pts + 2, 0, 2)), 0},
        {"WorldToDepth", CALL(KVWorldToDepth(h, a.pts, a.pts + 2, 0, 2)), 0},
        {"StartCapture", CALL(KVStartCapture(h)), KV_STATUS_NO_BUFFER},
        {"StopCapture", CALL(KVStopCapture(h)), KV_STATUS_IDLE},
        {"SendSoftTrigger", CALL(KVSendSoftTrigger(h)), KV_STATUS_IDLE},
        {"FetchFrame", CALL(KVFetchFrame(h, &a.frame, 0)), KV_STATUS_IDLE},
        {"EnqueueBuffer", CALL(KVEnqueueBuffer(h, a.p(), 1)), KV_STATUS_WRONG_SIZE},
        {"RegisterIMUCallback", CALL(KVRegisterIMUCallback(h, nullptr, nullptr)), KV_STATUS_NOT_IMPLEMENTED},
        {"OpenInternalReceiver", CALL(KVOpenInternalReceiver(h)), KV_STATUS_BUSY},
        {"SendThrough", CALL(KVSendThrough(h, a.p(), 4)), KV_STATUS_BUSY},
        {"ReceivedThrough", CALL(KVReceivedThrough(h, a.p(), 4, &a.i)), KV_STATUS_BUSY},
        {"RegisterWorldToColor", CALL(KVRegisterWorldToColor(h, a.pts, 0, 4, a.out, sizeof(a.out))),
         KV_STATUS_OUT_OF_MEMORY},
        {"CloseDevice", CALL(KVCloseDevice(h)), 0},
    };
}

// Every function's own checks, each row spoiling one argument, in the documented order.
std::vector<Row> ownChecks(Args& a) {
    const int32_t X = kNoSuchComponent;
    char* s = reinterpret_cast<char*>(a.bytes);
    return {
        {"component before feature", CALL(KVGetInt(h, X, 0x7fff, nullptr)), -1008},
        {"feature of another component", CALL(KVGetInt(h, kLaser, 0x1104, &a.i)), -1009},
        {"info: null before feature", CALL(KVGetFeatureInfo(h, kDepth, 0x7fff, nullptr)), -1020},
        {"type before null", CALL(KVGetFloat(h, kLaser, 0x1500, nullptr)), -1010},
        {"int getter null", CALL(KVGetInt(h, kLaser, 0x1500, nullptr)), -1020},
        {"range of read-only int", CALL(KVGetIntRange(h, kDepth, 0x1104, &a.ir)), -1021},
        {"set: writable before type", CALL(KVSetFloat(h, kDepth, 0x1104, 1.f)), -1004},
        {"set int through float", CALL(KVSetFloat(h, kLaser, 0x1500, 1.f)), -1010},
        {"int above max", CALL(KVSetInt(h, kLaser, 0x1500, 101)), -1013},
        {"int below min", CALL(KVSetInt(h, kLaser, 0x1500, -1)), -1013},
        {"float above max", CALL(KVSetFloat(h, kLaser, 0x2500, 9.5f)), -1013},
        {"enum value of no entry", CALL(KVSetEnum(h, kDepth, 0x3108, 12345)), -1006},
        {"enum entries null", CALL(KVGetEnumEntryInfo(h, kDepth, 0x3108, a.entries, 1, nullptr)), -1020},
        {"bool set of an int", CALL(KVSetBool(h, kLaser, 0x1500, true)), -1010},
        {"string null buffer", CALL(KVGetString(h, kDevice, 0x5f01, nullptr, 8)), -1020},
        {"string negative size", CALL(KVGetString(h, kDevice, 0x5f01, s, -1)), -1011},
        {"string read-only", CALL(KVSetString(h, kDevice, 0x5f01, "x")), -1004},
        {"string null text", CALL(KVSetString(h, kLaser, 0x5500, nullptr)), -1020},
        {"bytes above max size", CALL(KVSetByteArray(h, kLaser, 0x6500, a.bytes, 17)), -1011},
        {"bytes negative size", CALL(KVSetByteArray(h, kLaser, 0x6500, a.bytes, -1)), -1011},
        {"bytes get negative", CALL(KVGetByteArray(h, kLaser, 0x6500, a.bytes, -2, &a.u)), -1011},
        {"struct 0x7005 before handle", CALL(KVGetStruct(nullptr, kDepth, 0x7005, s, 4)), -1003},
        {"set struct 0x7005", CALL(KVSetStruct(&a, kDepth, 0x7005, s, 4)), -1003},
        {"intrinsic of wrong size", CALL(KVGetStruct(h, kDepth, 0x7000, s, 35)), -1011},
        {"trigger record get size", CALL(KVGetStruct(h, kDevice, 0x7523, s, 8)), -1011},
        {"trigger record set size", CALL(KVSetStruct(h, kDevice, 0x7523, s, 2)), -1011},
        {"struct null", CALL(KVGetStruct(h, kDepth, 0x7000, nullptr, 36)), -1020},
        {"unknown component bit", CALL(KVEnableComponents(h, X)), -1006},
        {"info null", CALL(KVGetDeviceInfo(h, nullptr)), -1020},
        {"mask null", CALL(KVGetComponentIDs(h, nullptr)), -1020},
        {"enabled mask null", CALL(KVGetEnabledComponentIDs(h, nullptr)), -1020},
        {"capturing null", CALL(KVIsCapturing(h, nullptr)), -1020},
        {"fetch null before state", CALL(KVFetchFrame(h, nullptr, 0)), -1020},
        {"frame size null", CALL(KVGetFrameBufferSize(h, nullptr)), -1020},
        {"enqueue null", CALL(KVEnqueueBuffer(h, nullptr, 1 << 30)), -1020},
        {"enqueue negative", CALL(KVEnqueueBuffer(h, a.p(), -5)), -1011},
        {"send null", CALL(KVSendThrough(h, nullptr, 1)), -1020},
        {"send nothing", CALL(KVSendThrough(h, a.p(), 0)), -1006},
        {"receive null count", CALL(KVReceivedThrough(h, a.p(), 4, nullptr)), -1020},
        {"receive nothing", CALL(KVReceivedThrough(h, a.p(), 0, &a.i)), -1006},
        {"descriptor null", CALL(KVGetDeviceDescriptor(h, nullptr, 10)), -1020},
        {"descriptor too small", CALL(KVGetDeviceDescriptor(h, s, 10)), -1011},
        {"register component", CALL(KVReadRegister(h, X, 0, nullptr)), -1008},
        {"register null", CALL(KVReadRegister(h, KV_COMPONENT_LEFT_IR, 0, nullptr)), -1020},
        {"write register component", CALL(KVWriteRegister(h, X, 0, 0)), -1008},
        {"close receiver twice", CALL(KVOpenInternalReceiver(h)), -1016},
        {"depth null", CALL(KVDepthToWorld(h, nullptr, a.pts, 0, 1)), -1020},
        {"padding not x4", CALL(KVDepthToWorld(h, a.pts, a.pts, 2, 1)), -1006},
        {"padding negative", CALL(KVWorldToDepth(h, a.pts, a.pts, -4, 1)), -1006},
        {"padding overflowing", CALL(KVWorldToDepth(h, a.pts, a.pts, INT32_MAX - 3, 1)), -1006},
        {"register out null", CALL(KVRegisterWorldToColor(h, a.pts, 0, 1, nullptr, 9)), -1020},
        {"register padding", CALL(KVRegisterWorldToColor(h, a.pts, 3, 1, a.out, 9)), -1006},
        {"register negative size", CALL(KVRegisterWorldToColor(h, a.pts, 0, 1, a.out, -1)), -1012},
        {"config null", CALL(KVLoadDeviceConfig(h, nullptr)), -1020},
        {"imu callback", CALL(KVRegisterIMUCallback(h, nullptr, &a)), -1003},
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
    for (const Row& row : handleCalls(a)) {
        EXPECT_EQ(row.call(&a), KV_STATUS_NOT_INITIALIZED) << row.what;
        EXPECT_EQ(row.call(nullptr), KV_STATUS_NOT_INITIALIZED) << row.what;
    }
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
