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

TEST(DefaultDescriptor, HasGrammarOneProtocolOneAndEveryComponentInAnOrderThatResolvesItsBindings) {
    const std::string text = buildDefaultDescriptor(DeviceIdentity(), Calibration(), 3, 1);
    XMLDocument doc;
    ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS);
    const XMLElement* root = doc.FirstChildElement();
    ASSERT_NE(root, nullptr);
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
    for (auto [text, expected] :
         {std::pair<const char*, long long>{"0x80000000", static_cast<int32_t>(0x80000000u)},
          {"2621920", 0x2801E0},
          {"-1", -1}}) {
        long long v = 0;
        EXPECT_TRUE(parseDescriptorInt(text, v)) << text;
        EXPECT_EQ(v, expected) << text;
    }
    long long v = 0;
    for (const char* text : {"0X10", "0x", "12abc", "0x1ffffffff"})
        EXPECT_FALSE(parseDescriptorInt(text, v)) << text;
    EXPECT_FALSE(parseDescriptorInt(nullptr, v));
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
