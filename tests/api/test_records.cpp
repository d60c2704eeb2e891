// Record layouts are part of the interface: C and C++ callers must see the same, documented bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "kvdepth.h"
#include "records_from_c.h"

namespace {

const std::map<std::string, size_t> kDocumentedLayout = {
    {"KV_VERSION_INFO", 16},
    {"KV_DEVICE_NET_INFO", 384},
    {"KV_DEVICE_NET_INFO.ip", 32},
    {"KV_DEVICE_BASE_INFO", 768},
    {"KV_DEVICE_BASE_INFO.id", 4},
    {"KV_DEVICE_BASE_INFO.vendorName", 36},
    {"KV_DEVICE_BASE_INFO.modelName", 68},
    {"KV_DEVICE_BASE_INFO.hardwareVersion", 100},
    {"KV_DEVICE_BASE_INFO.firmwareVersion", 116},
    {"KV_DEVICE_BASE_INFO.netInfo", 132},
    {"KV_DEVICE_BASE_INFO.initStatus", 516},
    {"KV_VECT_3F", 12},
    {"KV_CAMERA_INTRINSIC", 36},
    {"KV_CAMERA_DISTORTION", 48},
    {"KV_IMAGE_DATA", 80},
    {"KV_IMAGE_DATA.imageIndex", 8},
    {"KV_IMAGE_DATA.status", 12},
    {"KV_IMAGE_DATA.componentID", 16},
    {"KV_IMAGE_DATA.size", 20},
    {"KV_IMAGE_DATA.buffer", 24},
    {"KV_IMAGE_DATA.width", 32},
    {"KV_IMAGE_DATA.height", 36},
    {"KV_IMAGE_DATA.pixelFormat", 40},
    {"KV_FRAME_DATA", 840},
    {"KV_FRAME_DATA.bufferSize", 8},
    {"KV_FRAME_DATA.validCount", 12},
    {"KV_FRAME_DATA.image", 40},
    {"KV_FEATURE_INFO", 52},
    {"KV_FEATURE_INFO.accessMode", 1},
    {"KV_FEATURE_INFO.writableAtRun", 2},
    {"KV_FEATURE_INFO.componentID", 4},
    {"KV_FEATURE_INFO.featureID", 8},
    {"KV_FEATURE_INFO.name", 12},
    {"KV_FEATURE_INFO.bindComponentID", 44},
    {"KV_FEATURE_INFO.bindFeatureID", 48},
    {"KV_INT_RANGE", 16},
    {"KV_FLOAT_RANGE", 16},
    {"KV_ENUM_ENTRY", 80},
    {"KV_ENUM_ENTRY.value", 64},
    {"KV_TRIGGER_MODE", 4},
    {"KV_TRIGGER_MODE.param", 2},
};

TEST(PublicRecords, CCompilerSeesTheDocumentedLayout) {
    int count = 0;
    const LayoutEntry* entries = layoutSeenFromC(&count);
    ASSERT_EQ(static_cast<size_t>(count), kDocumentedLayout.size());
    for (int i = 0; i < count; ++i) {
        auto expected = kDocumentedLayout.find(entries[i].name);
        ASSERT_NE(expected, kDocumentedLayout.end()) << entries[i].name;
        EXPECT_EQ(entries[i].value, expected->second) << entries[i].name;
    }
}

TEST(PublicRecords, CPlusPlusSeesTheDocumentedLayoutToo) {
    const std::map<std::string, size_t> cxx = {
        {"KV_DEVICE_BASE_INFO", sizeof(KV_DEVICE_BASE_INFO)},
        {"KV_DEVICE_BASE_INFO.netInfo", offsetof(KV_DEVICE_BASE_INFO, netInfo)},
        {"KV_DEVICE_BASE_INFO.initStatus", offsetof(KV_DEVICE_BASE_INFO, initStatus)},
        {"KV_IMAGE_DATA.buffer", offsetof(KV_IMAGE_DATA, buffer)},
        {"KV_FRAME_DATA", sizeof(KV_FRAME_DATA)},
        {"KV_FRAME_DATA.image", offsetof(KV_FRAME_DATA, image)},
        {"KV_FEATURE_INFO.bindFeatureID", offsetof(KV_FEATURE_INFO, bindFeatureID)},
        {"KV_ENUM_ENTRY.value", offsetof(KV_ENUM_ENTRY, value)},
        {"KV_TRIGGER_MODE.param", offsetof(KV_TRIGGER_MODE, param)},
    };
    for (const auto& [name, value] : cxx) EXPECT_EQ(kDocumentedLayout.at(name), value) << name;
}

TEST(PublicRecords, FeatureReferenceSplitsIntoComponentAndFeature) {
    const int32_t reference = KV_FEATURE_REF(KV_COMPONENT_DEPTH, KV_FEATURE_IMAGE_MODE);
    EXPECT_EQ(reference, 0x00013108);
    EXPECT_EQ(KV_FEATURE_REF(KV_COMPONENT_DEVICE, KV_FEATURE_TRIGGER_MODE_STRUCT),
              static_cast<int32_t>(0x80007523u));
    EXPECT_EQ(KV_COMPONENT_DEVICE, INT32_MIN);
}

}  // namespace
