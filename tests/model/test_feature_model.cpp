// Feature records, enum entries, components and the ordered component manager.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "kvdepth.h"
#include "model/KvFeature.h"

namespace orvane {
namespace {

const char kName32[] = "abcdefghijklmnopqrstuvwxyz012345";  // exactly 32 characters
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

TEST(KvFeature, NamesAreCopiedWithAt32BytesAndNoOverrun) {
    KvFeature exact(0x1000, kName32, 1, 0, 0, 0, 0);
    EXPECT_EQ(std::memcmp(exact.name, kName32, 32), 0);
    EXPECT_EQ(exact.nameString(), kName32);
    EXPECT_EQ(exact.nameString().size(), 32u);

    KvFeature longer;
    longer.setName(kName40);
    EXPECT_EQ(longer.nameString(), std::string(kName40, 32));

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

TEST(KvEnumEntryWrapper, CopiesOutAsThePublicEntryRecord) {
    std::string longName(70, 'q');
    KV_ENUM_ENTRY_WRAPPER entries[2] = {KV_ENUM_ENTRY_WRAPPER::make("640x480", 2621920),
                                        KV_ENUM_ENTRY_WRAPPER::make(longName.c_str(), -5)};
    KV_ENUM_ENTRY out[2];
    std::memcpy(out, entries, sizeof(out));
    EXPECT_STREQ(out[0].description, "640x480");
    EXPECT_EQ(out[0].value, 2621920);
    EXPECT_EQ(out[0].reserved[0] | out[0].reserved[1] | out[0].reserved[2], 0);
    // 64 characters, no terminator: the value follows directly.
    EXPECT_EQ(std::string(out[1].description, 64), std::string(64, 'q'));
    EXPECT_EQ(out[1].value, -5);
    EXPECT_EQ(entries[1].descriptionString(), std::string(64, 'q'));
}

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
    KvFeature gain(0x1303, "gain", 3, -4, 54, 2, 9);
    KV_INT_RANGE range;
    gain.copyRangeBlock(&range);
    EXPECT_EQ(range.min, -4);
    EXPECT_EQ(range.max, 54);
    EXPECT_EQ(range.inc, 2);
    EXPECT_EQ(range.reserved, 9);

    KvFeature exposure(0x2001, "exposure", 3, 0.5f, 8.0f, 0.5f, 1.0f);
    KV_FLOAT_RANGE frange;
    exposure.copyRangeBlock(&frange);
    EXPECT_FLOAT_EQ(frange.min, 0.5f);
    EXPECT_FLOAT_EQ(frange.max, 8.0f);
    EXPECT_FLOAT_EQ(frange.inc, 0.5f);
    EXPECT_FLOAT_EQ(frange.reserved, 1.0f);
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

    KvComponent defaulted;
    EXPECT_EQ(defaulted.id, -1);
    EXPECT_EQ(defaulted.nameString(), "");
    KvComponent longName(kComponentDepth, kName40);
    EXPECT_EQ(longName.nameString(), std::string(kName40, 32));
}

KvComponentManager scrambledManager() {
    KvComponentManager manager;
    for (int32_t id : {kComponentLaser, kComponentRightIR, kComponentDepth, kComponentDevice,
                       kComponentLeftIR, kComponentPoint3D}) {
        EXPECT_TRUE(manager.insert(KvComponent(id, "c")));
    }
    return manager;
}

TEST(KvComponentManager, IteratesInSignedIdentifierOrderAndMasksTheIdentifiers) {
    KvComponentManager manager = scrambledManager();
    std::vector<int32_t> order;
    for (const auto& entry : manager) {
        EXPECT_EQ(entry.first, entry.second.id);
        order.push_back(entry.first);
    }
    EXPECT_EQ(order, (std::vector<int32_t>{kComponentDevice, kComponentDepth, kComponentPoint3D,
                                           kComponentLeftIR, kComponentRightIR, kComponentLaser}));
    // The mask is the OR of the identifiers.
    EXPECT_EQ(static_cast<uint32_t>(manager.componentMask()), 0x804f0000u);
    EXPECT_EQ(KvComponentManager().componentMask(), 0);
}

TEST(KvComponentManager, DuplicateInsertKeepsTheFirstComponent) {
    KvComponentManager manager;
    KvComponent first(kComponentDepth, "first");
    first.features.push_back(intFeature(0x1104, "width", 640));
    EXPECT_TRUE(manager.insert(first));
    EXPECT_FALSE(manager.insert(KvComponent(kComponentDepth, "second")));
    ASSERT_EQ(manager.size(), 1u);
    EXPECT_EQ(manager.find(kComponentDepth)->nameString(), "first");
    EXPECT_EQ(manager.findFeature(kComponentDepth, 0x1104)->value.asInt(), 640);
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

TEST(KvComponentManager, SharedFeatureIsOneRecordSeenThroughEveryComponent) {
    KvComponentManager manager;
    KvComponent depth(kComponentDepth, "depth");
    auto width = intFeature(0x1104, "image width", 640);
    depth.features.push_back(width);
    manager.insert(std::move(depth));
    KvComponent left(kComponentLeftIR, "leftIR");
    KvFeaturePtr shared = manager.resolve(0x00011104);
    ASSERT_EQ(shared, width);
    shared->bindId = 0x00011104;
    left.features.push_back(std::move(shared));
    manager.insert(std::move(left));
    width.reset();

    manager.findFeature(kComponentLeftIR, 0x1104)->value.setInt(1280);
    EXPECT_EQ(manager.findFeature(kComponentDepth, 0x1104)->value.asInt(), 1280);
    EXPECT_EQ(manager.findFeature(kComponentDepth, 0x1104)->bindId, 0x00011104);

    // The record lives as long as any component lists it.
    std::weak_ptr<KvFeature> watch = manager.findFeature(kComponentDepth, 0x1104);
    manager.find(kComponentDepth)->features.clear();
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(manager.findFeature(kComponentLeftIR, 0x1104)->value.asInt(), 1280);
    manager.find(kComponentLeftIR)->features.clear();
    EXPECT_TRUE(watch.expired());
}

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
    const KvComponent* merged = model.find(kComponentDepth);
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(merged->nameString(), "depth");
    ASSERT_EQ(merged->features.size(), 3u);
    EXPECT_EQ(merged->features[0]->id, 0x1104);
    EXPECT_EQ(merged->features[0]->value.asInt(), 1280);
    EXPECT_EQ(merged->features[1]->id, 0x1105);
    EXPECT_EQ(merged->features[2]->id, 0x1303);
    EXPECT_EQ(merged->features[0], overrides.findFeature(kComponentDepth, 0x1104));
    EXPECT_EQ(model.findFeature(kComponentLaser, 0x1500)->value.asInt(), 50);
    EXPECT_EQ(model.size(), 2u);
}

}  // namespace
}  // namespace orvane
