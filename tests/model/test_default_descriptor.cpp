// The built-in descriptor: its text, the model it yields and its dump.
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

// One expected list entry: either a bind reference, or a feature defined in place.
struct Expected {
    int32_t bind;  // non-zero: the entry is the record named by this reference
    int32_t id;
    const char* name;
    int32_t rw;
    int32_t hide;
    bool isVolatile;
    int32_t value;     // Int/Enum value, Bool as 0/1
    const char* text;  // String value
};

Expected bound(int32_t ref) {
    return {ref, featureRefFeature(ref), "", 0, 0, false, 0, ""};
}
Expected plain(int32_t id, const char* name, int32_t rw, int32_t hide, bool isVolatile, int32_t value = 0,
               const char* text = "") {
    return {0, id, name, rw, hide, isVolatile, value, text};
}

struct ExpectedComponent {
    int32_t id;
    const char* name;
    std::vector<Expected> features;
};

// Written from the table of the built-in descriptor.
const std::vector<ExpectedComponent>& expectedModel() {
    static const std::vector<ExpectedComponent> model = {
        {INT_MIN,
         "device",
         {plain(0x5f00, "SN", 1, 0, true), plain(0x5f01, "vendor", 1, 0, false, 0, "Orvane"),
          plain(0x5f02, "model", 1, 0, true), plain(0x5f03, "hardware version", 1, 0, true),
          plain(0x5f04, "firmware version", 1, 0, false, 0, "0.0.0"),
          plain(0x4200, "trigger mode", 3, 0, true), plain(0x1202, "frame per trigger", 1, 0, false, 1)}},
        {0x00010000,
         "depth",
         {plain(0x3107, "pixel format", 1, 0, false, 0x30100020),
          plain(0x1003, "intrinsic width", 1, 1, false, 640),
          plain(0x1004, "intrinsic height", 1, 1, false, 480), plain(0x7000, "depth intrinsic", 1, 0, true),
          plain(0x3108, "image mode", 1, 0, false, 2621920), plain(0x1104, "image width", 1, 0, false, 640),
          plain(0x1105, "image height", 1, 0, false, 480)}},
        {0x00020000,
         "Point3D",
         {plain(0x3107, "pixel format", 1, 0, false, 0x40600030), bound(0x00013108), bound(0x00011104),
          bound(0x00011105)}},
        {0x00040000,
         "leftIR",
         {plain(0x3107, "pixel format", 1, 0, false, 0x10080000), bound(0x00013108), bound(0x00011104),
          bound(0x00011105), plain(0x4510, "undistort", 2, 0, true), plain(0x1303, "gain", 3, 0, true)}},
        {0x00080000,
         "rightIR",
         {plain(0x3107, "pixel format", 1, 0, false, 0x10080000), bound(0x00013108), bound(0x00011104),
          bound(0x00011105), bound(0x00044510), plain(0x1303, "gain", 3, 0, true)}},
        {0x00400000, "laser", {plain(0x1500, "power", 3, 0, true)}},
    };
    return model;
}

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

TEST_F(DefaultDescriptor, EveryFeatureMatchesTheTable) {
    for (const ExpectedComponent& component : expectedModel()) {
        SCOPED_TRACE(component.name);
        const KvComponent* actual = manager_->find(component.id);
        ASSERT_NE(actual, nullptr);
        EXPECT_EQ(actual->nameString(), component.name);
        ASSERT_EQ(actual->features.size(), component.features.size());
        for (std::size_t i = 0; i < component.features.size(); ++i) {
            const Expected& want = component.features[i];
            const KvFeaturePtr& got = actual->features[i];
            SCOPED_TRACE(::testing::Message() << "feature " << i << " id 0x" << std::hex << want.id);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got->id, want.id);
            if (want.bind != 0) {
                EXPECT_EQ(got, manager_->resolve(want.bind));
                EXPECT_NE(featureRefComponent(want.bind), component.id);
                EXPECT_EQ(got->bindId, want.bind);
                continue;
            }
            EXPECT_EQ(got->nameString(), want.name);
            EXPECT_EQ(got->access, want.rw);
            EXPECT_EQ(got->hide, want.hide);
            EXPECT_EQ(got->isVolatile, want.isVolatile);
            EXPECT_EQ(got->writableAtRun, want.id == 0x1500);
            switch (got->type()) {
                case kFeatureTypeInt:
                case kFeatureTypeEnum:
                    EXPECT_EQ(got->value.asInt(), want.value);
                    break;
                case kFeatureTypeBool:
                    EXPECT_EQ(got->value.asBool(), want.value != 0);
                    break;
                case kFeatureTypeString:
                    EXPECT_EQ(got->stringValue, want.text);
                    EXPECT_EQ(got->min.asInt(), 0);
                    break;
                case kFeatureTypeStruct:
                    EXPECT_TRUE(got->bytes.empty());
                    break;
                default:
                    ADD_FAILURE() << "unexpected type";
            }
        }
    }
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

// A write through one component is seen through every other one that lists the record.
TEST_F(DefaultDescriptor, WriteThroughABoundFeatureIsSeenEverywhere) {
    manager_->findFeature(0x00040000, 0x3108)->value.setInt(0x5003c0);
    for (int32_t component : {0x00010000, 0x00020000, 0x00040000, 0x00080000}) {
        KvFeaturePtr seen = manager_->findFeature(component, 0x3108);
        ASSERT_NE(seen, nullptr) << component;
        EXPECT_EQ(seen->value.asInt(), 0x5003c0) << component;
        EXPECT_EQ(seen->bindId, 0x00013108) << component;
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
