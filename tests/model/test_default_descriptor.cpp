// The built-in descriptor: its text, the model it yields and its dump (the dump pins every name, identifier,
// access, hide flag and binding of the table; that bindings share one record is the parser suite's).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "model/KvDeviceDescriptorParser.h"
#include "model/KvDeviceDescriptors.h"
#include "model_test_util.h"

namespace orvane {
namespace {

using testing_util::dumpText;

class DefaultDescriptor : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(parser_.parse(DefaultDeviceDescriptor), 0);
        manager_ = parser_.generateComponentManager();
        ASSERT_NE(manager_, nullptr);
    }
    KvDeviceDescriptorParser parser_;
    std::unique_ptr<KvComponentManager> manager_;
};

TEST_F(DefaultDescriptor, IsOneLineWithSixComponentsInIdentifierOrderAndNoOthers) {
    EXPECT_EQ(std::strchr(DefaultDeviceDescriptor, '\n'), nullptr);
    EXPECT_EQ(std::strncmp(DefaultDeviceDescriptor, "<?xml version=\"1.0\" ?>", 22), 0);
    EXPECT_STREQ(parser_.rootName(), "config");
    EXPECT_EQ(parser_.model(), 1);  // version and protocol: see the dump
    KvComponentManager manager;
    EXPECT_TRUE(parser_.genComponents_1(manager));
    std::ostringstream components;
    for (const auto& entry : *manager_)
        components << std::hex << entry.second.id << ':' << entry.second.nameString() << ' ';
    EXPECT_EQ(components.str(),
              "80000000:device 10000:depth 20000:Point3D 40000:leftIR 80000:rightIR 400000:laser ");
    EXPECT_EQ(static_cast<uint32_t>(manager_->componentMask()), 0x804f0000u);
    EXPECT_EQ(manager_->find(0x00100000), nullptr);
    EXPECT_EQ(manager_->findFeature(0x00400000, 0x3107), nullptr);
    EXPECT_EQ(manager_->findFeature(0x00020000, 0x1303), nullptr);
}

TEST_F(DefaultDescriptor, RangesAndEnumEntriesMatchTheTable) {
    const std::string gain = "min=0;max=54;inc=1", entry = "entries=";
    const struct {
        int32_t component, feature;
        std::string expected;
    } cases[] = {{0x00040000, 0x1303, gain},
                 {0x00080000, 0x1303, gain},
                 {0x00400000, 0x1500, "min=0;max=100;inc=1;value=0;run=1"},
                 {0x00010000, 0x3107, entry + "depth16:" + std::to_string(0x30100020)},
                 {0x00010000, 0x3108, entry + "640x480:2621920"},
                 {0x00040000, 0x3107, entry + "mono8:" + std::to_string(0x10080000)},
                 {0x00080000, 0x3107, entry + "mono8:" + std::to_string(0x10080000)},
                 {0x00020000, 0x3107, entry + "float32*3:" + std::to_string(0x40600030)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        KvFeaturePtr feature = manager_->findFeature(c.component, c.feature);
        ASSERT_NE(feature, nullptr);
        testing_util::expectFields(*feature, c.expected);
    }
    // The two IR gains are records of their own.
    EXPECT_NE(manager_->findFeature(0x00040000, 0x1303), manager_->findFeature(0x00080000, 0x1303));
}

TEST_F(DefaultDescriptor, DumpPrintsEveryComponentAndFeature) {
    // Document order; a feature without text prints an empty value.
    const char* expected =
        "=== Dump DeviceDescriptor version 1\n"
        "  comprotocol: 1.0\n"
        "  component: id(80000000) name(device)\n"
        "    feature: id(5f00) name(SN) rw(1) hide(0) bind(0) value: \n"
        "    feature: id(5f01) name(vendor) rw(1) hide(0) bind(0) value: Orvane\n"
        "    feature: id(5f02) name(model) rw(1) hide(0) bind(0) value: \n"
        "    feature: id(5f03) name(hardware version) rw(1) hide(0) bind(0) value: \n"
        "    feature: id(5f04) name(firmware version) rw(1) hide(0) bind(0) value: 0.0.0\n"
        "    feature: id(4200) name(trigger mode) rw(3) hide(0) bind(0) value: \n"
        "    feature: id(1202) name(frame per trigger) rw(1) hide(0) bind(0) value: 1\n"
        "  component: id(10000) name(depth)\n"
        "    feature: id(3107) name(pixel format) rw(1) hide(0) bind(0) value: \n"
        "    feature: id(1003) name(intrinsic width) rw(1) hide(1) bind(0) value: 640\n"
        "    feature: id(1004) name(intrinsic height) rw(1) hide(1) bind(0) value: 480\n"
        "    feature: id(7000) name(depth intrinsic) rw(1) hide(0) bind(0) value: \n"
        "    feature: id(3108) name(image mode) rw(1) hide(0) bind(0) value: \n"
        "    feature: id(1104) name(image width) rw(1) hide(0) bind(0) value: 640\n"
        "    feature: id(1105) name(image height) rw(1) hide(0) bind(0) value: 480\n"
        "  component: id(40000) name(leftIR)\n"
        "    feature: id(3107) name(pixel format) rw(1) hide(0) bind(0) value: \n"
        "    feature[bindID]: 13108\n"
        "    feature[bindID]: 11104\n"
        "    feature[bindID]: 11105\n"
        "    feature: id(4510) name(undistort) rw(2) hide(0) bind(0) value: \n"
        "    feature: id(1303) name(gain) rw(3) hide(0) bind(0) value: \n"
        "  component: id(80000) name(rightIR)\n"
        "    feature: id(3107) name(pixel format) rw(1) hide(0) bind(0) value: \n"
        "    feature[bindID]: 13108\n"
        "    feature[bindID]: 11104\n"
        "    feature[bindID]: 11105\n"
        "    feature[bindID]: 44510\n"
        "    feature: id(1303) name(gain) rw(3) hide(0) bind(0) value: \n"
        "  component: id(20000) name(Point3D)\n"
        "    feature: id(3107) name(pixel format) rw(1) hide(0) bind(0) value: \n"
        "    feature[bindID]: 13108\n"
        "    feature[bindID]: 11104\n"
        "    feature[bindID]: 11105\n"
        "  component: id(400000) name(laser)\n"
        "    feature: id(1500) name(power) rw(3) hide(0) bind(0) value: \n"
        "=== Dump DeviceDescriptor End\n";
    EXPECT_EQ(dumpText(parser_), expected);
}

}  // namespace
}  // namespace orvane
