// The property accessors and the device-configuration document against the simulator's state.
#include <cstdio>
#include <fstream>
#include <set>

#include "video_source_rig.h"

namespace vstest {
namespace {

using Source = VOVCamVideoSource;
using Getter = int (Source::*)(void*, int);
using Setter = int (Source::*)(const void*, int);

using Properties = VideoSourceRig;

// One setting: its accessors, the value size, what a set returns, where the simulator keeps it, a value it
// takes and one it refuses (kNoRefusal: the command's reply carries no status to refuse with).
constexpr int kNoRefusal = -12345;
struct Setting {
    const char* name;
    Setter set;
    Getter get;
    int size;
    int set_result;
    int (*held)(const kv::DeviceSettings&);
    int good;
    int refused;
};

const Setting kSettings[] = {
    {"laser power", &Source::SetLaserPower, &Source::GetLaserPow, 4, 4,
     [](const kv::DeviceSettings& s) { return s.laser_power; }, 42, kNoRefusal},
    {"depth resolution", &Source::SetDeivceDepthResolution, &Source::GetDeivceDepthResolution, 4, 0,
     [](const kv::DeviceSettings& s) { return s.depth_mode; }, 1, kNoRefusal},
    {"colour resolution", &Source::SetRgbResolution, &Source::GetRgbResolution, 4, 0,
     [](const kv::DeviceSettings& s) { return s.color_mode; }, 3, kNoRefusal},
    {"colour exposure", &Source::SetRgbExpo, &Source::GetRgbExpo, 4, 4,
     [](const kv::DeviceSettings& s) { return s.exposure; }, 500, 20000},
    {"colour auto exposure", &Source::SetRgbAutoExpo, &Source::GetRgbAutoExpo, 1, 1,
     [](const kv::DeviceSettings& s) { return s.exposure == kv::kExposureAuto ? 1 : 0; }, 1, kNoRefusal},
    {"frames per trigger", &Source::SetFramePerTrigger, &Source::GetFramePerTrigger, 4, 4,
     [](const kv::DeviceSettings& s) { return s.frames_per_trigger; }, 5, kNoRefusal},
    {"laser auto control", &Source::SetLaserAutoCtrl, &Source::GetLaserAutoCtrl, 1, 1,
     [](const kv::DeviceSettings& s) { return s.laser_auto ? 1 : 0; }, 1, kNoRefusal},
    {"infrared undistort", &Source::SetUndistortIR, &Source::GetUndistortIRStatus, 1, 1,
     [](const kv::DeviceSettings& s) { return s.undistort ? 1 : 0; }, 1, kNoRefusal},
    {"white balance", &Source::SetRgbAWB, &Source::GetRgbAWB, 1, 1,
     [](const kv::DeviceSettings& s) { return s.awb ? 1 : 0; }, 0, kNoRefusal},
    {"trigger mode", &Source::SetTriggerMode, &Source::GetTriggerMode, 1, 1,
     [](const kv::DeviceSettings& s) { return s.trigger_mode ? 1 : 0; }, 1, kNoRefusal},
    {"work mode", &Source::SetWorkMode, &Source::GetWorkMode, 4, 4,
     [](const kv::DeviceSettings& s) { return static_cast<int>(s.work_mode); }, 0, kNoRefusal},
};

TEST_P(Properties, EverySettingReachesTheDeviceReadsBackAndRefusalsFail) {
    plugAndOpen();
    for (const Setting& s : kSettings) {
        SCOPED_TRACE(s.name);
        int32_t value = s.good;
        ASSERT_EQ((source.get()->*s.set)(&value, s.size), s.set_result);
        // Some setters await no reply; the device handles requests in order, so after the read it has.
        int32_t read = 0;
        EXPECT_EQ((source.get()->*s.get)(&read, s.size), s.size);
        EXPECT_EQ(read, s.good);
        EXPECT_EQ(s.held(dev().settings()), s.good);
        if (s.refused == kNoRefusal) continue;
        value = s.refused;
        EXPECT_EQ((source.get()->*s.set)(&value, s.size), orvane::kPropDeviceFailure);
        EXPECT_EQ(s.held(dev().settings()), s.good) << "a refused value changed the device";
    }
}

TEST_P(Properties, RecordSettingsReachTheDevice) {
    plugAndOpen();
    orvane::GainControlRecord gain{1, 30};
    ASSERT_EQ(source->SetGainControl(&gain, sizeof gain), 8);
    EXPECT_EQ(dev().settings().ir_gain[1], 30);
    gain.gain = 0;
    ASSERT_EQ(source->GetGainControl(&gain, sizeof gain), 8);
    EXPECT_EQ(gain.gain, 30);
    gain.gain = 60;
    EXPECT_EQ(source->SetGainControl(&gain, sizeof gain), orvane::kPropDeviceFailure);

    int32_t gains[3] = {10, 20, 30};
    ASSERT_EQ(source->SetRgbGain(gains, sizeof gains), 12);
    ASSERT_EQ(source->SetRgbGainComponent(2, 77), 4);
    int32_t read[3] = {0, 0, 0};
    ASSERT_EQ(source->GetRgbGain(read, sizeof read), 12);
    EXPECT_EQ(std::vector<int32_t>(read, read + 3), (std::vector<int32_t>{10, 20, 77}));
    gains[1] = 300;
    EXPECT_EQ(source->SetRgbGain(gains, sizeof gains), orvane::kPropDeviceFailure);

    orvane::CmosRegisterRecord reg{0x30, 0x5A, 1};
    ASSERT_EQ(source->SetCmosReg(&reg, sizeof reg), 12);
    EXPECT_TRUE(kvtest::waitFor([&] { return dev().readRegister(1, 0x30) == 0x5A; }, 2000));
    reg.value = 0;
    ASSERT_EQ(source->GetCmosReg(&reg, sizeof reg), 12);
    EXPECT_EQ(reg.value, 0x5A);

    const uint8_t on = 1;
    ASSERT_EQ(source->SetBrightHisto(&on, 1), 1);
    EXPECT_TRUE(dev().settings().histogram);
    const KV_TRIGGER_MODE trigger{1, 9};
    ASSERT_EQ(source->SetStructTriggerMode(&trigger, sizeof trigger), 4);
    EXPECT_EQ(dev().settings().trigger_record_mode, 1);
    EXPECT_EQ(dev().settings().trigger_record_param, 9);

    orvane::DeviceInfo info{};
    ASSERT_EQ(source->GetDeviceInfo(&info, sizeof info), 104);
    EXPECT_EQ(std::string(info.serial_number), dev().identity().serial);
    int32_t version[2] = {0, 0};
    ASSERT_EQ(source->GetFirmwareVersion(version, sizeof version), 8);
    EXPECT_EQ(version[0], static_cast<int>(dev().identity().fw_major));
    const std::string descriptor = dev().descriptorText();
    char head[10];
    EXPECT_EQ(source->GetDeviceDescriptor(head, sizeof head), static_cast<int>(descriptor.size()) + 1);
    EXPECT_EQ(std::string(head, sizeof head), descriptor.substr(0, sizeof head));
}

TEST_P(Properties, NullValuesAndWrongSizesAreRefusedAlike) {
    plugAndOpen();
    const std::pair<Getter, int> getters[] = {
        {&Source::GetDeviceInfo, 104}, {&Source::GetCmosReg, 12},       {&Source::GetLaserPow, 4},
        {&Source::GetWorkMode, 4},     {&Source::GetGainControl, 8},    {&Source::GetRgbGain, 12},
        {&Source::GetTriggerMode, 1},  {&Source::GetSpeckleFilter, 8},  {&Source::GetFirmwareVersion, 8},
        {&Source::GetRgbExpo, 4},      {&Source::GetDepthIntrinsic, 44}};
    const std::pair<Setter, int> setters[] = {
        {&Source::SetCmosReg, 12},         {&Source::SetLaserPower, 4},    {&Source::SetWorkMode, 4},
        {&Source::SetGainControl, 8},      {&Source::SetRgbGain, 12},      {&Source::SetTriggerMode, 1},
        {&Source::SetSpeckleFilter, 8},    {&Source::SetDeviceConfig, 16}, {&Source::SetDeviceSaveConfig, 24},
        {&Source::SetStructTriggerMode, 4}};
    uint8_t scratch[128] = {};
    for (const auto& g : getters) {
        EXPECT_EQ((source.get()->*g.first)(nullptr, g.second), orvane::kPropBadArgument);
        EXPECT_EQ((source.get()->*g.first)(scratch, g.second + 1), orvane::kPropBadArgument);
    }
    for (const auto& s : setters) {
        EXPECT_EQ((source.get()->*s.first)(nullptr, s.second), orvane::kPropBadArgument);
        EXPECT_EQ((source.get()->*s.first)(scratch, s.second - 1), orvane::kPropBadArgument);
    }
    EXPECT_EQ(dev().settings().laser_power, kv::DeviceConfig().initial.laser_power) << "nothing was sent";
}

TEST_P(Properties, TheNumberedInterfaceRoutesAndRefuses) {
    plug();
    EXPECT_EQ(Source::GetPropertyNum(), 15);
    std::vector<orvane::DeviceProperty> table(15);
    ASSERT_EQ(Source::GetPropertyList(table.data()), 0);
    EXPECT_EQ(table[10].id, 11);
    EXPECT_STREQ(table[14].name, "Camera Auto Gain Control");
    int32_t value = 0;
    EXPECT_EQ(source->GetProperty(orvane::kPropLaserPower, &value, 4), orvane::kPropNotRunning);
    EXPECT_EQ(source->GetProperty(1, &value, 4), orvane::kPropNotRunning);
    ASSERT_EQ(source->OpenDevice(), 0);
    EXPECT_EQ(source->GetProperty(orvane::kPropLaserPower, &value, 4), 4);
    EXPECT_EQ(value, dev().settings().laser_power);
    EXPECT_EQ(source->GetProperty(1, &value, 4), orvane::kPropUnknown);
    EXPECT_EQ(source->SetProperty(8, &value, 4), orvane::kPropUnknown);
    EXPECT_EQ(source->SetProperty(10, &value, 4), orvane::kPropUnknown);
    int marker = 0;
    EXPECT_EQ(source->SetProperty(orvane::kPropCallbackUserData, &marker, 3), 3);
    EXPECT_EQ(source->callback_user_data(), &marker);
    source->CloseDevice();
    EXPECT_EQ(source->SetLaserPower(&value, 4), orvane::kPropNotRunning);
}

TEST_P(Properties, AConfigurationImageOfAnOddLengthEndsWithAShortSegment) {
    plugAndOpen();
    // Exactly the image's bytes on the heap: reading past them is an overrun.
    std::vector<int8_t> image(300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<int8_t>(i * 7 + 1);
    const orvane::DeviceConfigRecord record{image.data(), static_cast<int32_t>(image.size())};
    ASSERT_EQ(source->SetDeviceConfig(&record, sizeof record), 300);
    const auto memory = dev().configMemory();
    ASSERT_GE(memory.size(), 512u);
    EXPECT_EQ(std::memcmp(memory.data(), image.data(), image.size()), 0);
    EXPECT_EQ(memory[300], 0) << "the short segment is completed with zeros";
}

TEST_P(Properties, TheConfigurationDocumentIsAppliedAtOpenAndOnDemand) {
    plug();
    ASSERT_EQ(
        source->Config("<Config><LASER>0x2a</LASER><Camera>"
                       "<Set camid=\"1\" reg=\"0x20\" val=\"77\"/><Set camid=\"0\" reg=\"5\" val=\"0x10\"/>"
                       "</Camera></Config>"),
        0);
    ASSERT_EQ(source->OpenDevice(), 0);
    EXPECT_TRUE(kvtest::waitFor([&] { return dev().settings().laser_power == 42; }, 2000));
    EXPECT_TRUE(kvtest::waitFor(
        [&] { return dev().readRegister(1, 0x20) == 77 && dev().readRegister(0, 5) == 0x10; }, 2000));

    const std::string path = ::testing::TempDir() + "kvdepth_device_config.xml";
    std::ofstream(path)
        << "<Config><LASER>bright</LASER><Camera><Set camid=\"2\" reg=\"7\" val=\"9\"/></Camera>"
           "</Config>";
    ASSERT_EQ(source->LoadConfigFile(path.c_str()), 0);
    ASSERT_EQ(source->ParseConfigFile(), 0) << "applied to the open device";
    EXPECT_TRUE(kvtest::waitFor([&] { return dev().readRegister(2, 7) == 9; }, 2000));
    EXPECT_EQ(dev().settings().laser_power, 42) << "a laser value that is not a number is not sent";
    std::remove(path.c_str());
    EXPECT_EQ(source->LoadConfigFile(path.c_str()), -1);
    EXPECT_EQ(source->Config("<Config><Camera>"), -1);

    ASSERT_EQ(source->Config("<Config><Camera><Set camid=\"0\" reg=\"1\" val=\"1\"/></Camera></Config>"), 0);
    source->param_processor.timeout_ms = 200;
    fastKeepAlive();
    camera->cut();
    ASSERT_TRUE(kvtest::waitFor([&] { return !source->ReceiverRunning(); }, 5000));
    EXPECT_EQ(source->ParseConfigFile(), -1) << "a register write that cannot be sent is a failure";
}

TEST_P(Properties, ACommandThatReadsABrokenLinkItselfFailsWithoutThrowing) {
    if (GetParam() == Transport::kTcp) GTEST_SKIP() << "a TCP link reports no transfer errors";
    plug();
    // A link used before the receive thread runs: the command reads the replies itself and meets the
    // transfer error as the parser's exception.
    ASSERT_EQ(stream->Open(), 0);
    camera->usb()->sharedUsb()->queueInResult(LIBUSB_ERROR_IO);
    int32_t power = 0;
    EXPECT_EQ(source->GetLaserPow(&power, 4), orvane::kPropDeviceFailure);
}

TEST_P(Properties, SwitchingTriggerModeOnKeepsTheApplicationsBuffers) {
    plugAndOpen();
    ASSERT_EQ(startStreaming(3), 4);
    // Let every buffer fill without fetching.
    ASSERT_TRUE(kvtest::waitFor([&] { return source->image_receiver.get_buffered_frame_num() >= 3; }, 5000));
    const uint8_t on = 1;
    ASSERT_EQ(source->SetTriggerMode(&on, 1), 1);
    EXPECT_EQ(dev().settings().work_mode, kDepthAndIr) << "streaming restarted in the mode it had";
    std::set<void*> buffers;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(source->TriggerOnce(), 0);
        KV_FRAME_DATA frame{};
        ASSERT_EQ(source->fetchFrame(&frame, 3000), 0) << "trigger " << i;
        buffers.insert(frame.userBuffer);
    }
    EXPECT_EQ(buffers.size(), 3u) << "a buffer was dropped";
}

INSTANTIATE_TEST_SUITE_P(Transports, Properties, ::testing::Values(Transport::kTcp, Transport::kUsb),
                         transportSuffix);

}  // namespace
}  // namespace vstest
