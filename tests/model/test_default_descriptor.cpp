// The built-in descriptor: its text, the model it yields and its dump (the dump pins every name, identifier,
// access, hide flag and binding of the table; that bindings share one record is the parser suite's).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
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

TEST_F(DefaultDescriptor, IsOneLineWithConfigRootVersionOneAndProtocolOne) {
    EXPECT_EQ(std::strchr(DefaultDeviceDescriptor, '\n'), nullptr);
    EXPECT_EQ(std::strncmp(DefaultDeviceDescriptor, "<?xml version=\"1.0\" ?>", 22), 0);
    EXPECT_STREQ(parser_.rootName(), "config");
    EXPECT_EQ(parser_.version(), 1);
    EXPECT_EQ(parser_.model(), 1);
    EXPECT_EQ(parser_.comprotocol(), 1);
    KvComponentManager manager;
    EXPECT_TRUE(parser_.genComponents_1(manager));
}

TEST_F(DefaultDescriptor, HasSixComponentsInIdentifierOrderAndNoOthers) {
    std::vector<int32_t> ids;
    std::vector<std::string> names;
    for (const auto& entry : *manager_) {
        ids.push_back(entry.second.id);
        names.push_back(entry.second.nameString());
    }
    EXPECT_EQ(ids,
              (std::vector<int32_t>{INT_MIN, 0x00010000, 0x00020000, 0x00040000, 0x00080000, 0x00400000}));
    EXPECT_EQ(names, (std::vector<std::string>{"device", "depth", "Point3D", "leftIR", "rightIR", "laser"}));
    EXPECT_EQ(static_cast<uint32_t>(manager_->componentMask()), 0x804f0000u);
    EXPECT_EQ(manager_->find(0x00100000), nullptr);
    EXPECT_EQ(manager_->findFeature(0x00400000, 0x3107), nullptr);
    EXPECT_EQ(manager_->findFeature(0x00020000, 0x1303), nullptr);
}

TEST_F(DefaultDescriptor, RangesAndEnumEntriesMatchTheTable) {
    for (int32_t component : {0x00040000, 0x00080000}) {
        KvFeaturePtr gain = manager_->findFeature(component, 0x1303);
        ASSERT_NE(gain, nullptr);
        EXPECT_EQ(gain->min.asInt(), 0);
        EXPECT_EQ(gain->max.asInt(), 54);
        EXPECT_EQ(gain->inc.asInt(), 1);
        EXPECT_NE(gain, manager_->findFeature(0x00040000 + 0x00080000 - component, 0x1303));
    }
    KvFeaturePtr power = manager_->findFeature(0x00400000, 0x1500);
    ASSERT_NE(power, nullptr);
    EXPECT_EQ(power->min.asInt(), 0);
    EXPECT_EQ(power->max.asInt(), 100);
    EXPECT_EQ(power->inc.asInt(), 1);
    EXPECT_EQ(power->value.asInt(), 0);
    EXPECT_TRUE(power->writableAtRun);

    struct EnumCase {
        int32_t component;
        int32_t feature;
        const char* description;
        int32_t value;
    };
    const EnumCase enums[] = {{0x00010000, 0x3107, "depth16", 0x30100020},
                              {0x00010000, 0x3108, "640x480", 2621920},
                              {0x00040000, 0x3107, "mono8", 0x10080000},
                              {0x00080000, 0x3107, "mono8", 0x10080000},
                              {0x00020000, 0x3107, "float32*3", 0x40600030}};
    for (const EnumCase& e : enums) {
        KvFeaturePtr feature = manager_->findFeature(e.component, e.feature);
        ASSERT_NE(feature, nullptr) << e.description;
        ASSERT_EQ(feature->entries.size(), 1u) << e.description;
        EXPECT_EQ(feature->entries[0].descriptionString(), e.description);
        EXPECT_EQ(feature->entries[0].value, e.value);
        EXPECT_TRUE(feature->isValidEnumValue(e.value));
        EXPECT_FALSE(feature->isValidEnumValue(e.value + 1));
    }
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
