// Feature records, enum entries, components and the ordered component manager.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "kvdepth.h"
#include "model/KvFeature.h"
#include "model_test_util.h"

namespace orvane {
namespace {

using testing_util::modelText;

const char kName40[] = "abcdefghijklmnopqrstuvwxyz0123456789WXYZ";

// The other typed constructors only store their arguments; the descriptor tests read those back. Struct
// records size their bytes themselves.
TEST(KvFeature, StructConstructorCopiesZeroFillsOrRefusesANegativeSize) {
    const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
    KvFeature triggerStruct(0x7523, "trigger", 3, 4, data);
    EXPECT_EQ(triggerStruct.min.asInt(), 4);
    EXPECT_EQ(triggerStruct.bytes, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(KvFeature(0x7000, "depth intrinsic", 1, 36, nullptr).bytes, std::vector<uint8_t>(36, 0));
    EXPECT_TRUE(KvFeature(0x7001, "bad size", 1, -8, data).bytes.empty());
}

TEST(KvFeatureDeathTest, TypedConstructorWithMismatchedTypeCodeAborts) {
    EXPECT_DEATH(KvFeature(0x2001, "float id", 3, 0, 1, 1, 0), "type code");
    EXPECT_DEATH(KvFeature(0x1001, "int id", 3, 0.0f, 1.0f, 1.0f, 0.0f), "type code");
    EXPECT_DEATH(KvFeature(0x1001, "int id", 3, true), "type code");
    EXPECT_DEATH(KvFeature(0x4000, "bool id", 3, std::vector<KV_ENUM_ENTRY_WRAPPER>{}, 0), "type code");
    EXPECT_DEATH(KvFeature(0x6000, "bytes id", 3, 8, std::string("x")), "type code");
    EXPECT_DEATH(KvFeature(0x7000, "struct id", 3, 8, std::vector<uint8_t>{}), "type code");
    EXPECT_DEATH(KvFeature(0x6000, "bytes id", 3, 8, static_cast<const uint8_t*>(nullptr)), "type code");
}

// Cutting at 32 bytes without overrun: DescriptorParser.NamesLongerThanTheirFieldsAreCutWithoutOverrun.
TEST(KvFeature, AShorterNameClearsTheRestOfTheField) {
    KvFeature shorter;
    shorter.setName(kName40);
    shorter.setName("ab");
    EXPECT_EQ(shorter.nameString(), "ab");
    // A shorter name clears the rest of the field instead of leaving the old tail.
    EXPECT_EQ(std::string(shorter.name + 2, 30), std::string(30, '\0'));

    KvFeature unnamed;
    unnamed.setName(nullptr);
    EXPECT_EQ(unnamed.nameString(), "");
}

// Enum entries as public records: their layout is checked at compile time, their fields through the parser
// (DescriptorFeature.FieldsFollowTheTypeCodeDefaultsAndVolatileRules, reserved=0;
// DescriptorParser.NamesLongerThanTheirFieldsAreCutWithoutOverrun, 64 characters without a terminator).

TEST(KvFeature, IsValidEnumValueMatchesOnlyListedValues) {
    KvFeature mode(0x3108, "image mode", 3,
                   std::vector<KV_ENUM_ENTRY_WRAPPER>{KV_ENUM_ENTRY_WRAPPER::make("640x480", 2621920),
                                                      KV_ENUM_ENTRY_WRAPPER::make("1280x960", 0x5003c0),
                                                      KV_ENUM_ENTRY_WRAPPER::make("neg", INT_MIN)},
                   2621920);
    EXPECT_TRUE(mode.isValidEnumValue(2621920));
    EXPECT_TRUE(mode.isValidEnumValue(0x5003c0));
    EXPECT_TRUE(mode.isValidEnumValue(INT_MIN));
    EXPECT_FALSE(mode.isValidEnumValue(0));
    EXPECT_FALSE(mode.isValidEnumValue(2621921));

    KvFeature empty(0x3000, "empty", 3, std::vector<KV_ENUM_ENTRY_WRAPPER>{}, 0);
    for (int32_t v : {0, -1, 1, INT_MIN, INT_MAX}) EXPECT_FALSE(empty.isValidEnumValue(v)) << v;
}

TEST(KvFeature, RangeBlockIsMinMaxIncThenValue) {
    KV_INT_RANGE range, expected{-4, 54, 2, 9};
    KvFeature(0x1303, "gain", 3, -4, 54, 2, 9).copyRangeBlock(&range);
    EXPECT_EQ(0, std::memcmp(&range, &expected, sizeof(range)));
    KV_FLOAT_RANGE frange, fexpected{0.5f, 8.0f, 0.5f, 1.0f};
    KvFeature(0x2001, "exposure", 3, 0.5f, 8.0f, 0.5f, 1.0f).copyRangeBlock(&frange);
    EXPECT_EQ(0, std::memcmp(&frange, &fexpected, sizeof(frange)));
}

std::shared_ptr<KvFeature> intFeature(int32_t id, const char* name, int32_t value) {
    return std::make_shared<KvFeature>(id, name, 3, 0, 1000, 1, value);
}

TEST(KvComponent, FindFeatureReturnsFirstRecordWithThatIdentifier) {
    KvComponent component(kComponentLeftIR, "leftIR");
    component.features.push_back(intFeature(0x1303, "gain", 1));
    component.features.push_back(intFeature(0x1303, "gain again", 2));
    component.features.push_back(nullptr);  // tolerated, never returned
    component.features.push_back(intFeature(0x1104, "width", 640));
    EXPECT_EQ(component.findFeature(0x1303)->value.asInt(), 1);
    EXPECT_EQ(component.findFeature(0x1104)->value.asInt(), 640);
    EXPECT_EQ(component.findFeature(0x1105), nullptr);
    EXPECT_EQ(component.nameString(), "leftIR");
}

// Iteration order and the mask: DescriptorParser.ComponentsAreKeyedBySignedIdentifierAndTheFirstDuplicateWins
// and DefaultDescriptor; a duplicate insert keeps the first component: the same parser test.
KvComponentManager scrambledManager() {
    KvComponentManager manager;
    for (int32_t id : {kComponentLaser, kComponentRightIR, kComponentDepth, kComponentDevice,
                       kComponentLeftIR, kComponentPoint3D}) {
        EXPECT_TRUE(manager.insert(KvComponent(id, "c")));
    }
    return manager;
}

TEST(KvComponentManager, LookupsOfAbsentKeysCreateNoEntry) {
    KvComponentManager manager = scrambledManager();
    const std::size_t before = manager.size();
    EXPECT_EQ(manager.find(kComponentColor), nullptr);
    EXPECT_EQ(manager.findFeature(kComponentColor, 0x1104), nullptr);
    EXPECT_EQ(manager.resolve(0x00103108), nullptr);
    EXPECT_FALSE(manager.contains(kComponentColor));
    EXPECT_EQ(manager.size(), before);
    const KvComponentManager& constManager = manager;
    EXPECT_EQ(constManager.find(kComponentAuxData), nullptr);
    EXPECT_EQ(manager.size(), before);
}

// One record shared by several components (a bound feature):
// DescriptorBind.BoundFeatureIsTheDefiningRecordAlsoThroughABindingComponent.

TEST(KvComponentManager, MergeReplacesInPlaceAppendsAndInsertsNewComponents) {
    KvComponentManager model;
    KvComponent depth(kComponentDepth, "depth");
    depth.features.push_back(intFeature(0x1104, "image width", 640));
    depth.features.push_back(intFeature(0x1105, "image height", 480));
    model.insert(depth);

    KvComponentManager overrides;
    KvComponent depthOverride(kComponentDepth, "ignored name");
    depthOverride.features.push_back(intFeature(0x1104, "image width", 1280));
    depthOverride.features.push_back(intFeature(0x1303, "gain", 5));
    overrides.insert(depthOverride);
    KvComponent laser(kComponentLaser, "laser");
    laser.features.push_back(intFeature(0x1500, "power", 50));
    overrides.insert(laser);

    model.merge(overrides);
    EXPECT_EQ(modelText(model), "10000 depth[1104=1280,1105=480,1303=5] 400000 laser[1500=50]");
    EXPECT_EQ(model.findFeature(kComponentDepth, 0x1104), overrides.findFeature(kComponentDepth, 0x1104));
}

}  // namespace
}  // namespace orvane
