// The simulator's descriptor and firmware texts, read back with an XML parser as a host would.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <map>
#include <set>

#include "sim/device/descriptor.h"
#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {
namespace {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

long long attrInt(const XMLElement* e, const char* name) {
    long long v = -999;
    EXPECT_TRUE(parseDescriptorInt(e->Attribute(name), v)) << name;
    return v;
}

const XMLElement* component(const XMLElement* root, long long id) {
    for (const XMLElement* c = root->FirstChildElement("component"); c;
         c = c->NextSiblingElement("component")) {
        long long cid = 0;
        if (parseDescriptorInt(c->Attribute("id"), cid) && cid == id) return c;
    }
    return nullptr;
}

const XMLElement* feature(const XMLElement* comp, long long id) {
    for (const XMLElement* f = comp->FirstChildElement("feature"); f; f = f->NextSiblingElement("feature")) {
        long long fid = 0;
        if (f->Attribute("id") && parseDescriptorInt(f->Attribute("id"), fid) && fid == id) return f;
    }
    return nullptr;
}

std::vector<float> floatsOf(const XMLElement* f) {
    std::vector<float> out;
    const char* p = f->GetText();
    char* end = nullptr;
    while (p && *p) {
        float v = std::strtof(p, &end);
        if (end == p) break;
        out.push_back(v);
        p = end;
    }
    return out;
}

class DefaultDescriptor : public ::testing::Test {
  protected:
    void SetUp() override {
        text = buildDefaultDescriptor(identity, calibration, 3, 1);
        ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS);
        root = doc.FirstChildElement();
        ASSERT_NE(root, nullptr);
    }
    DeviceIdentity identity;
    Calibration calibration;
    std::string text;
    XMLDocument doc;
    const XMLElement* root = nullptr;
};

TEST_F(DefaultDescriptor, HasGrammarOneProtocolOneAndEveryComponentInAnOrderThatResolvesItsBindings) {
    EXPECT_STREQ(root->Name(), "config");
    EXPECT_EQ(attrInt(root, "version"), 1);
    ASSERT_NE(root->FirstChildElement("comprotocol"), nullptr);
    EXPECT_STREQ(root->FirstChildElement("comprotocol")->GetText(), "1.0");
    EXPECT_LE(text.size(), kMaxDescriptorLength);
    std::vector<long long> ids;
    std::map<long long, std::set<long long>> defined;
    for (const XMLElement* c = root->FirstChildElement("component"); c;
         c = c->NextSiblingElement("component")) {
        long long cid = attrInt(c, "id");
        ids.push_back(cid);
        for (const XMLElement* f = c->FirstChildElement("feature"); f; f = f->NextSiblingElement("feature")) {
            if (f->Attribute("bind")) {
                long long bind = attrInt(f, "bind") & 0xffffffffll;
                long long comp = static_cast<int32_t>(bind & 0xffff0000);
                // A binding can only name a feature of a component that comes earlier.
                ASSERT_TRUE(defined.count(comp)) << std::hex << bind;
                EXPECT_TRUE(defined[comp].count(bind & 0xffff)) << std::hex << bind;
            } else {
                defined[cid].insert(attrInt(f, "id"));
                EXPECT_TRUE(f->Attribute("volatile")) << "every feature states volatile";
            }
        }
    }
    std::vector<long long> expected = {
        static_cast<int32_t>(0x80000000), 0x10000, 0x20000, 0x40000, 0x80000, 0x100000, 0x400000};
    EXPECT_EQ(ids, expected);
}

TEST_F(DefaultDescriptor, DeviceComponentNamesTheFirmwareAndItsBuild) {
    const XMLElement* dev = component(root, static_cast<int32_t>(0x80000000));
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->Attribute("name"), "device");
    EXPECT_STREQ(feature(dev, 0x5f04)->GetText(), "2.3.0");
    EXPECT_STREQ(feature(dev, 0x5f01)->GetText(), "Orvane");
    EXPECT_EQ(attrInt(feature(dev, 0x5f00), "volatile"), 1);  // the serial number comes from the device
    EXPECT_EQ(attrInt(feature(dev, 0x7523), "rw"), 3);
    EXPECT_EQ(attrInt(feature(dev, 0x1202), "max"), kFramesPerTriggerMax);
    ASSERT_NE(dev->FirstChildElement("build"), nullptr);
    EXPECT_STREQ(dev->FirstChildElement("build")->FirstChildElement("hash")->GetText(), "kvsim-2.3.0");
    EXPECT_STREQ(dev->FirstChildElement()->Name(), "feature");  // the build element is not the first child
}

TEST_F(DefaultDescriptor, DepthListsFiveImageModesAndItsIntrinsic) {
    const XMLElement* depth = component(root, 0x10000);
    ASSERT_NE(depth, nullptr);
    const XMLElement* mode = feature(depth, 0x3108);
    ASSERT_NE(mode, nullptr);
    std::vector<long long> entries;
    for (const XMLElement* e = mode->FirstChildElement("entry"); e; e = e->NextSiblingElement("entry"))
        entries.push_back(attrInt(e, "value"));
    EXPECT_EQ(entries, (std::vector<long long>{0xA0078, 0x1400F0, 0x2801E0, 0x5003C0, 0xA20798}));
    EXPECT_EQ(attrInt(mode, "default"), 0x5003C0);
    EXPECT_STREQ(feature(depth, 0x1104)->GetText(), "1280");
    EXPECT_STREQ(feature(depth, 0x1105)->GetText(), "960");
    EXPECT_EQ(attrInt(feature(depth, 0x1003), "hide"), 1);
    std::vector<float> k = floatsOf(feature(depth, 0x7000));
    ASSERT_EQ(k.size(), 9u);
    EXPECT_FLOAT_EQ(k[0], calibration.depth.fx);
    EXPECT_FLOAT_EQ(k[2], calibration.depth.cx);
    EXPECT_FLOAT_EQ(k[4], calibration.depth.fy);
    EXPECT_FLOAT_EQ(k[5], calibration.depth.cy);
    EXPECT_FLOAT_EQ(k[8], 1.0f);
}

TEST_F(DefaultDescriptor, InfraredSensorsBindTheDepthImageAndHaveGainControls) {
    for (long long id : {0x40000, 0x80000}) {
        const XMLElement* ir = component(root, id);
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(attrInt(feature(ir, 0x1303), "max"), kIrGainMax);
        EXPECT_NE(feature(ir, 0x4302), nullptr);
        std::set<long long> binds;
        for (const XMLElement* f = ir->FirstChildElement("feature"); f; f = f->NextSiblingElement("feature"))
            if (f->Attribute("bind")) binds.insert(attrInt(f, "bind"));
        EXPECT_TRUE(binds.count(0x13108) && binds.count(0x11104) && binds.count(0x11105));
    }
    const XMLElement* left = component(root, 0x40000);
    EXPECT_NE(feature(left, 0x4510), nullptr);
    // No device query exists for the histogram switch, so it must not be volatile.
    EXPECT_EQ(attrInt(feature(left, 0x4511), "volatile"), 0);
}

TEST_F(DefaultDescriptor, ColourHasCalibrationExposureGainsAndWhiteBalance) {
    const XMLElement* color = component(root, 0x100000);
    ASSERT_NE(color, nullptr);
    EXPECT_EQ(attrInt(feature(color, 0x3107)->FirstChildElement("entry"), "value"), 0x20180010);
    EXPECT_STREQ(feature(color, 0x1104)->GetText(), "320");  // colour mode 1
    std::vector<float> ext = floatsOf(feature(color, 0x7001));
    ASSERT_EQ(ext.size(), 16u);
    EXPECT_FLOAT_EQ(ext[3], 25.0f);
    EXPECT_FLOAT_EQ(ext[15], 1.0f);
    for (long long f : {0x1301, 0x4300, 0x1520, 0x1521, 0x1522, 0x4304, 0x7000, 0x1003, 0x1004})
        EXPECT_NE(feature(color, f), nullptr) << std::hex << f;
    const XMLElement* mode = feature(color, 0x3108);
    EXPECT_EQ(attrInt(mode->FirstChildElement("entry"), "value"), 0x1400F0);  // no 160x120 for colour
}

TEST_F(DefaultDescriptor, LaserPowerAndAutoControlAreWritableWhileStreaming) {
    const XMLElement* laser = component(root, 0x400000);
    ASSERT_NE(laser, nullptr);
    EXPECT_EQ(attrInt(feature(laser, 0x1500), "writableAtRun"), 1);
    EXPECT_EQ(attrInt(feature(laser, 0x1500), "max"), 100);
    EXPECT_EQ(attrInt(feature(laser, 0x4501), "writableAtRun"), 1);
}

TEST(DescriptorCalibration, RoundTripsThroughTheGeneratedText) {
    Calibration in;
    in.depth = Intrinsic{812.5f, 813.25f, 321.5f, 240.75f, 640, 480};
    in.color = Intrinsic{700, 701, 330, 250, 640, 480};
    in.color_from_depth = {0.5f, 0, 0, -12.5f, 0, 1, 0, 3, 0, 0, 1, 0.25f, 0, 0, 0, 1};
    std::string text = buildDefaultDescriptor(DeviceIdentity(), in, 2, 2);
    Calibration out;
    std::string error;
    ASSERT_TRUE(calibrationFromDescriptor(text, out, &error)) << error;
    EXPECT_FLOAT_EQ(out.depth.fy, 813.25f);
    EXPECT_FLOAT_EQ(out.depth.cy, 240.75f);
    EXPECT_EQ(out.depth.ref_width, 640);
    EXPECT_FLOAT_EQ(out.color.fx, 700);
    EXPECT_EQ(out.color.ref_height, 480);
    EXPECT_EQ(out.color_from_depth, in.color_from_depth);
}

TEST(DescriptorCalibration, AcceptsHexIdsAndA3x4Extrinsic) {
    const char* text =
        "<config version=\"1\"><component id=\"0x00100000\" name=\"c\">"
        "<feature id=\"0x7001\" name=\"e\" rw=\"1\">1 0 0 7  0 1 0 8  0 0 1 9</feature>"
        "<feature id=\"4099\" name=\"iw\" rw=\"1\">2592</feature>"
        "</component></config>";
    Calibration cal;
    ASSERT_TRUE(calibrationFromDescriptor(text, cal, nullptr));
    EXPECT_FLOAT_EQ(cal.color_from_depth[3], 7);
    EXPECT_FLOAT_EQ(cal.color_from_depth[11], 9);
    EXPECT_FLOAT_EQ(cal.color_from_depth[15], 1);
    EXPECT_EQ(cal.color.ref_width, 2592);                   // 4099 = 0x1003
    EXPECT_FLOAT_EQ(cal.depth.fx, Calibration().depth.fx);  // absent: unchanged
}

TEST(DescriptorCalibration, RejectsBrokenOrOversizedTextAndLeavesTheCalibration) {
    Calibration cal;
    std::string error;
    EXPECT_FALSE(calibrationFromDescriptor("<config><component", cal, &error));
    EXPECT_NE(error.find("XML"), std::string::npos);
    EXPECT_FALSE(calibrationFromDescriptor("", cal, &error));
    std::string big = "<config>" + std::string(kMaxDescriptorLength, ' ') + "</config>";
    EXPECT_FALSE(calibrationFromDescriptor(big, cal, &error));
    EXPECT_NE(error.find("at most"), std::string::npos);
    // A 0x7000 text with too few numbers is ignored rather than read past its end.
    EXPECT_TRUE(calibrationFromDescriptor(
        "<c><component id=\"0x10000\"><feature id=\"0x7000\">5 6</feature></component></c>", cal, nullptr));
    EXPECT_FLOAT_EQ(cal.depth.fx, Calibration().depth.fx);
}

TEST(DescriptorIntegers, DecimalAndLowerCaseHexOnly) {
    long long v = 0;
    EXPECT_TRUE(parseDescriptorInt("0x80000000", v));
    EXPECT_EQ(v, static_cast<int32_t>(0x80000000u));
    EXPECT_TRUE(parseDescriptorInt("2621920", v));
    EXPECT_EQ(v, 0x2801E0);
    EXPECT_TRUE(parseDescriptorInt("-1", v));
    EXPECT_EQ(v, -1);
    EXPECT_FALSE(parseDescriptorInt("0X10", v));
    EXPECT_FALSE(parseDescriptorInt("0x", v));
    EXPECT_FALSE(parseDescriptorInt("12abc", v));
    EXPECT_FALSE(parseDescriptorInt("0x1ffffffff", v));
    EXPECT_FALSE(parseDescriptorInt(nullptr, v));
}

TEST(FirmwareXml, DeviceComponentCarriesTheBuildHash) {
    DeviceIdentity id;
    id.fw_major = 1;
    id.fw_minor = 0;
    id.fw_patch = 7;
    XMLDocument doc;
    std::string text = buildFirmwareXml(id);
    ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS);
    const XMLElement* c = doc.FirstChildElement()->FirstChildElement("component");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->Attribute("name"), "device");
    EXPECT_STREQ(c->FirstChildElement("build")->FirstChildElement("hash")->GetText(), "kvsim-1.0.7");
    EXPECT_STREQ(c->FirstChildElement("firmware")->GetText(), "1.0.7");
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
