// Descriptor grammar, defaults and hostile input.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "model/KvDeviceDescriptorParser.h"
#include "model_test_util.h"

namespace orvane {
namespace {

using testing_util::buildModel;
using testing_util::dumpText;
using testing_util::oneComponent;
using testing_util::onlyFeature;

TEST(DescriptorNumbers, IntegersAreDecimalOrLowerCaseHexPatterns) {
    struct Case {
        const char* text;
        int32_t expected;
    };
    // clang-format off
    const Case good[] = {{"0", 0}, {"42", 42}, {"-5", -5}, {"+7", 7}, {" \t42\r\n", 42}, {"007", 7},
                         {"0x10", 16}, {"0xAbCd", 0xabcd}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
                         {"0x00013108", 0x00013108}, {"0x80000000", INT_MIN}, {"0xffffffff", -1},
                         {"0x0000000000000001", 1}};
    // clang-format on
    for (const Case& c : good) {
        int32_t v = 12345;
        EXPECT_TRUE(parseDescriptorInt(c.text, &v)) << c.text;
        EXPECT_EQ(v, c.expected) << c.text;
    }
    const std::string huge(38, '9');
    const char* bad[] = {"",     " ",    "0x",  "0x100000000", "2147483648", "-2147483649", "12abc",
                         "abc",  "0X10", "1.5", "- 1",         "0x-1",       "+-1",         "1 2",
                         "0xfg", "-",    "+",   "1e3",         huge.c_str()};
    for (const char* text : bad) {
        int32_t v = 12345;
        EXPECT_FALSE(parseDescriptorInt(text, &v)) << text;
        EXPECT_EQ(v, 12345) << text;
    }
    int32_t v = 0;
    EXPECT_FALSE(parseDescriptorInt(nullptr, &v));
    EXPECT_FALSE(parseDescriptorInt("1", nullptr));
}

TEST(DescriptorNumbers, FloatsAreFiniteDecimalNumbers) {
    struct Case {
        const char* text;
        float expected;
    };
    const Case good[] = {{"1.0", 1.0f},  {"-2.5", -2.5f}, {"1e3", 1000.0f}, {" 3.25 ", 3.25f},
                         {"+1.5", 1.5f}, {".5", 0.5f},    {"7", 7.0f},      {"-0", -0.0f}};
    for (const Case& c : good) {
        float v = 99.0f;
        EXPECT_TRUE(parseDescriptorFloat(c.text, &v)) << c.text;
        EXPECT_FLOAT_EQ(v, c.expected) << c.text;
    }
    const char* bad[] = {"", "nan", "inf", "-inf", "1e50", "abc", "1.0x", "0x10", "+-1", "1,5", "1.0 2.0"};
    for (const char* text : bad) {
        float v = 99.0f;
        EXPECT_FALSE(parseDescriptorFloat(text, &v)) << text;
        EXPECT_FLOAT_EQ(v, 99.0f) << text;
    }
}

TEST(DescriptorNumbers, BoolsAreTrueFalseOrIntegers) {
    struct Case {
        const char* text;
        bool expected;
    };
    const Case good[] = {{"true", true}, {"false", false}, {"1", true},     {"0", false},
                         {"-3", true},   {"0x10", true},   {" true ", true}};
    for (const Case& c : good) {
        bool v = !c.expected;
        EXPECT_TRUE(parseDescriptorBool(c.text, &v)) << c.text;
        EXPECT_EQ(v, c.expected) << c.text;
    }
    for (const char* text : {"", "True", "yes", "truex", "1.0"}) {
        bool v = true;
        EXPECT_FALSE(parseDescriptorBool(text, &v)) << text;
    }
}

TEST(DescriptorParser, RejectsTextsWithoutAUsableDocumentAndForgetsAnEarlierOne) {
    // clang-format off
    const char* bad[] = {"", "   ", "<config", "<config version=\"1\"><component></config>", "just text",
                         "<!-- only a comment -->", "<?xml version=\"1.0\" ?>",
                         "<config version=\"1\" version=\"2\"/>"};
    // clang-format on
    KvDeviceDescriptorParser parser;
    for (const char* text : bad) {
        ASSERT_EQ(parser.parse(oneComponent("").c_str()), 0);  // a failure also clears an earlier success
        EXPECT_EQ(parser.parse(text), -1001) << text;
        EXPECT_FALSE(parser.isReady()) << text;
        EXPECT_EQ(parser.rootName(), nullptr) << text;
        EXPECT_EQ(parser.generateComponentManager(), nullptr) << text;
    }
    EXPECT_EQ(dumpText(parser), "=== Dump DeviceDescriptor failed, not ready!\n");
    KvComponentManager manager;
    EXPECT_FALSE(parser.genComponents_1(manager));
    EXPECT_TRUE(manager.empty());
    // Several top-level elements: the first one is the root.
    EXPECT_EQ(parser.parse("<a version=\"1\"></a><b></b>"), 0);
    EXPECT_STREQ(parser.rootName(), "a");
    EXPECT_EQ(parser.parse(nullptr), -1001);
    EXPECT_EQ(parser.parse(nullptr, 10), -1001);
    EXPECT_EQ(parser.parse("<config/>", 0), -1001);
}

TEST(DescriptorParser, ParsesBoundedBuffersUpToTheirFirstNul) {
    const std::string xml = oneComponent("<feature id=\"0x1104\" name=\"w\" rw=\"1\">640</feature>");
    // No terminator anywhere in the buffer.
    std::vector<char> exact(xml.begin(), xml.end());
    KvDeviceDescriptorParser parser;
    ASSERT_EQ(parser.parse(exact.data(), exact.size()), 0);
    auto manager = parser.generateComponentManager();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->findFeature(0x00010000, 0x1104)->value.asInt(), 640);

    // A device buffer: the text, then zero bytes up to the buffer size.
    std::vector<char> padded(xml.begin(), xml.end());
    padded.resize(10240, '\0');
    EXPECT_EQ(parser.parse(padded.data(), padded.size()), 0);
    // A buffer cut inside the document is malformed.
    EXPECT_EQ(parser.parse(exact.data(), exact.size() / 2), -1001);
}

TEST(DescriptorParser, ReadsVersionModelAndComprotocolWithTheirDefaults) {
    struct Case {
        const char* xml;
        int32_t version, model, comprotocol;
    };
    const Case cases[] = {
        {"<config/>", 0, 1, 1},
        {"<config version=\"1\"><comprotocol>1.0</comprotocol></config>", 1, 1, 1},
        {"<config version=\"1\"><comprotocol>1.9</comprotocol></config>", 1, 1, 1},
        {"<config version=\"1\"><comprotocol>2</comprotocol></config>", 1, 1, 2},
        {"<config version=\"1\"><comprotocol>-0.5</comprotocol></config>", 1, 1, 0},
        {"<config version=\"1\"><comprotocol>abc</comprotocol></config>", 1, 1, 1},
        {"<config version=\"1\"><comprotocol></comprotocol></config>", 1, 1, 1},
        {"<config version=\"1\"><comprotocol>1e20</comprotocol></config>", 1, 1, 1},
        {"<config version=\"1\"><comprotocol>3.5</comprotocol><comprotocol>7</comprotocol></config>", 1, 1,
         3},
        {"<config version=\"0x1\" model=\"7\"/>", 1, 7, 1},
        {"<config version=\"x\" model=\"abc\"/>", 0, 0, 1},
        {"<config version=\"-3\" model=\"0x80000000\"/>", -3, INT_MIN, 1},
        {"<config version=\"2\"><component id=\"0x10000\" name=\"d\"/></config>", 2, 1, 1},
    };
    for (const Case& c : cases) {
        KvDeviceDescriptorParser parser;
        ASSERT_EQ(parser.parse(c.xml), 0) << c.xml;
        EXPECT_EQ(parser.version(), c.version) << c.xml;
        EXPECT_EQ(parser.model(), c.model) << c.xml;
        EXPECT_EQ(parser.comprotocol(), c.comprotocol) << c.xml;
        EXPECT_STREQ(parser.rootName(), "config");
        // Only grammar version 1 builds a model.
        EXPECT_EQ(parser.generateComponentManager() != nullptr, c.version == 1) << c.xml;
    }
}

// Any root name works; identifiers may be hex, negative or decimal; the first of two equal ones wins.
TEST(DescriptorParser, ComponentsAreKeyedBySignedIdentifierAndTheFirstDuplicateWins) {
    const struct {
        const char* xml;
        const char* model;
    } cases[] = {
        {"<device version=\"1\"><component id=\"0x10000\" name=\"d\"/></device>", "10000 d[]"},
        {"<config version=\"1\"><comprotocol>1.0</comprotocol><other/></config>", ""},
        {"<config version=\"1\"><component id=\"0x00400000\" name=\"laser\"/><component id=\"-2147483648\" "
         "name=\"device\"/><component id=\"65536\" name=\"depth\"><feature id=\"4356\" name=\"w\" "
         "rw=\"1\">640</feature></component></config>",
         "80000000 device[] 10000 depth[1104=640] 400000 laser[]"},
        {"<config version=\"1\"><component id=\"0x10000\" name=\"first\"><feature id=\"0x1104\" name=\"w\" "
         "rw=\"1\">640</feature></component><component id=\"0x10000\" name=\"second\"><feature id=\"0x1104\" "
         "name=\"w\" rw=\"1\">1280</feature><feature id=\"0x1105\" name=\"h\" "
         "rw=\"1\">960</feature></component>"
         "<component id=\"0x40000\" name=\"after\"/></config>",
         "10000 first[1104=640] 40000 after[]"},
    };
    for (const auto& c : cases) {
        auto manager = buildModel(c.xml);
        ASSERT_NE(manager, nullptr) << c.xml;
        EXPECT_EQ(testing_util::modelText(*manager), c.model);
    }
}

TEST(DescriptorParser, NamesLongerThanTheirFieldsAreCutWithoutOverrun) {
    const std::string name32(32, 'n');
    const std::string huge(1 << 20, 'h');
    auto manager = buildModel("<config version=\"1\"><component id=\"0x10000\" name=\"" + huge + "\">" +
                              "<feature id=\"0x1104\" name=\"" + name32 + "\" rw=\"1\">1</feature>" +
                              "<feature id=\"0x1105\" name=\"" + huge + "\" rw=\"1\">2</feature>" +
                              "<feature id=\"0x3107\" name=\"f\" rw=\"1\"><entry value=\"1\" name=\"" + huge +
                              "\"/></feature></component></config>");
    ASSERT_NE(manager, nullptr);
    const KvComponent* component = manager->find(0x10000);
    EXPECT_EQ(component->nameString(), std::string(32, 'h'));
    EXPECT_EQ(component->features[0]->nameString(), name32);
    EXPECT_EQ(std::string(component->features[0]->name, 32), name32);
    EXPECT_EQ(component->features[1]->nameString(), std::string(32, 'h'));
    ASSERT_EQ(component->features[2]->entries.size(), 1u);
    EXPECT_EQ(std::string(component->features[2]->entries[0].description, 64), std::string(64, 'h'));
    EXPECT_EQ(component->features[2]->entries[0].value, 1);
}

// Rows: a feature element and the fields it must yield. A text that is not a number is still a text, so a
// feature with one is static; a huge or non-numeric number counts as zero.
TEST(DescriptorFeature, FieldsFollowTheTypeCodeDefaultsAndVolatileRules) {
    const std::string digits(10000, '9'), longText(100000, 's');
    std::string nested;
    for (int i = 0; i < 40; ++i) nested = "<x>" + nested + "</x>";
    const std::string matrix =
        "\" name=\"m\" rw=\"1\">1.5\n-2\t3e1 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18</feature>";
    const std::string matrixFloats = "floats=1.5,-2,30,4,5,6,7,8,9,10,11,12,13,14,15,16";
    const struct {
        std::string xml, expected;
    } cases[] = {
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\">640</feature>", "vol=0;bind=0;value=640"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"1\">640</feature>", "vol=1;bind=0"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"0\"></feature>", "vol=0;bind=0"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\"></feature>", "vol=1;bind=0"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\"/>", "vol=1;bind=0"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\">   </feature>", "vol=1;bind=0"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"abc\"/>", "vol=0;bind=0"},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"0x2\">5</feature>", "vol=1;bind=0"},
        {"<feature id=\"0x1500\" name=\"power\" rw=\"3\" hide=\"1\" writableAtRun=\"5\" min=\"-10\" "
         "max=\"0x64\" "
         "inc=\"2\">-7</feature>",
         "id=1500;name=power;rw=3;hide=1;run=1;min=-10;max=100;inc=2;value=-7"},
        {"<feature/>", "id=0;rw=0;run=0;vol=1"},
        {"<feature id=\"0x1303\" name=\"gain\" rw=\"" + digits + "\" min=\"" + digits +
             "\" max=\"abc\" inc=\"0x1ffffffff\" hide=\"1.5\">" + digits + "</feature>",
         "rw=0;hide=0;min=0;max=0;inc=0;value=0;vol=0"},
        {"<feature id=\"0x2001\" name=\"e\" rw=\"3\" min=\"-1.5\" max=\"1e2\" inc=\"0.25\">3.75</feature>",
         "min=-1.5;max=100;inc=0.25;value=3.75"},
        {"<feature id=\"0x2001\" name=\"e\" rw=\"3\" min=\"nan\" max=\"x\">1e999</feature>",
         "min=0;max=0;value=0"},
        // Enums take the default, else the first entry; the default wins even when no entry carries it.
        {"<feature id=\"0x3108\" name=\"mode\" rw=\"3\"><entry value=\"2621920\" name=\"640x480\"/>"
         "<entry value=\"0x5003c0\" name=\"1280x960\"/></feature>",
         "entries=640x480:2621920,1280x960:5243840;value=2621920"},
        {"<feature id=\"0x3108\" name=\"mode\" rw=\"3\" default=\"77\"><entry value=\"1\" "
         "name=\"a\"/></feature>",
         "entries=a:1;value=77"},
        {"<feature id=\"0x3108\" name=\"mode\" rw=\"3\" default=\"0x10\"/>", "entries=;value=16"},
        // Regression: an enum without entries and without default read the first entry of an empty list.
        {"<feature id=\"0x3107\" name=\"format\" rw=\"1\" volatile=\"0\"></feature>", "entries=;value=0"},
        // Entries are the first child, then its siblings named entry.
        {"<feature id=\"0x3107\" name=\"f\" rw=\"1\"><option value=\"1\" name=\"first\"/><entry value=\"2\" "
         "name=\"two\"/><note value=\"3\"/><entry name=\"no value\"/><entry value=\"bad\" name=\"bad "
         "value\"/>"
         "</feature>",
         "entries=first:1,two:2,no value:0,bad value:0;reserved=0"},
        {"<feature id=\"0x3107\" name=\"f\" rw=\"1\"><entry value=\"3\" name=\"e\">" + nested +
             "</entry></feature>",
         "entries=e:3;value=3"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">true</feature>", "bool=1;value=1"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">false</feature>", "bool=0;value=0"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">1</feature>", "bool=1;value=1"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">0</feature>", "bool=0;value=0"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">7</feature>", "bool=1;value=1"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">maybe</feature>", "bool=0;value=0"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\">TRUE</feature>", "bool=0;value=0"},
        {"<feature id=\"0x4200\" name=\"t\" rw=\"3\"></feature>", "bool=0;value=0"},
        // Strings and byte arrays take max as their length; a byte array ignores its text.
        {"<feature id=\"0x5f01\" name=\"vendor\" rw=\"1\" max=\"32\">Orvane &amp; Co</feature>",
         "min=32;text=Orvane & Co;vol=0"},
        {"<feature id=\"0x5f00\" name=\"SN\" rw=\"1\"/>", "min=0;text=;vol=1"},
        {"<feature id=\"0x5f02\" name=\"m\" rw=\"1\">" + longText + "</feature>", "text=" + longText},
        {"<feature id=\"0x6001\" name=\"blob\" rw=\"3\" max=\"16\">1 2 3 4</feature>", "min=16;bytes=0"},
        // Structs fill their exact size, pad with zeros and stop at the first token that is not a number.
        {"<feature id=\"0x7000\" name=\"k\" rw=\"1\">1 2 3 4 5 6 7 8 9</feature>",
         "floats=1,2,3,4,5,6,7,8,9"},
        {"<feature id=\"0x7001" + matrix, matrixFloats},
        {"<feature id=\"0x7002" + matrix, matrixFloats},
        {"<feature id=\"0x7006\" name=\"d\" rw=\"1\">0.1 0.2 0.3 0.4 0.5</feature>",
         "floats=0.1,0.2,0.3,0.4,0.5,0,0,0,0,0,0,0"},
        {"<feature id=\"0x7000\" name=\"k\" rw=\"1\">1 2 x 4 5</feature>", "floats=1,2,0,0,0,0,0,0,0"},
        {"<feature id=\"0x7000\" name=\"k\" rw=\"1\"/>", "bytes=0;vol=1"},
        {"<feature id=\"0x7005\" name=\"u\" rw=\"1\">1 2 3</feature>", "bytes=0"},
    };
    for (const auto& c : cases) testing_util::expectFeature(c.xml, c.expected);
}

const char kBindHead[] =
    "<config version=\"1\"><comprotocol>1</comprotocol>"
    "<component id=\"0x10000\" name=\"depth\">"
    "<feature id=\"0x3108\" name=\"image mode\" rw=\"3\" volatile=\"0\"><entry value=\"2621920\" "
    "name=\"640x480\"/>"
    "</feature><feature id=\"0x1104\" name=\"image width\" rw=\"1\">640</feature></component>";

// A bound feature is the defining record itself (its own attributes are ignored), also when the bind goes
// through a component that binds it in turn.
TEST(DescriptorBind, BoundFeatureIsTheDefiningRecordAlsoThroughABindingComponent) {
    KvDeviceDescriptorParser parser;
    const std::string xml =
        std::string(kBindHead) +
        "<component id=\"0x40000\" name=\"leftIR\"><feature bind=\"0x00013108\"/>"
        "<feature bind=\"0x00011104\" id=\"0x1999\" name=\"ignored\" rw=\"3\">5</feature>"
        "</component><component id=\"0x20000\" name=\"Point3D\"><feature bind=\"0x00043108\"/>"
        "</component></config>";
    ASSERT_EQ(parser.parse(xml.c_str()), 0);
    KvComponentManager manager;
    EXPECT_TRUE(parser.genComponents_1(manager));  // every bind resolves
    EXPECT_EQ(
        testing_util::modelText(manager),
        "10000 depth[3108=2621920,1104=640] 20000 Point3D[3108=2621920] 40000 leftIR[3108=2621920,1104=640]");
    KvFeaturePtr viaPoint = manager.findFeature(0x20000, 0x3108), left = manager.findFeature(0x40000, 0x1104);
    ASSERT_TRUE(viaPoint && left);
    EXPECT_EQ(viaPoint, manager.findFeature(0x10000, 0x3108));
    EXPECT_EQ(viaPoint->bindId, 0x00013108);
    EXPECT_EQ(left, manager.findFeature(0x10000, 0x1104));
    EXPECT_EQ(left->bindId, 0x00011104);
    EXPECT_EQ(left->nameString(), "image width");
    EXPECT_EQ(left->access, 1);
}

// Regression: resolving a bind to an unknown component used to leave an empty component (id -1) under the
// unknown key, which then showed up in the component mask and in lookups.
TEST(DescriptorBind, UnresolvableBindKeepsEarlierComponentsAndLeavesNoPhantom) {
    const struct {
        const char *what, *bind;
    } cases[] = {{"later component", "0x00401500"},    // laser is defined after the failing component
                 {"unknown component", "0x00101104"},  // never defined
                 {"unknown feature", "0x00011105"},    // depth has no 0x1105
                 {"feature id zero", "0x00010000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KvDeviceDescriptorParser parser;
        ASSERT_EQ(
            parser.parse((std::string(kBindHead) +
                          "<component id=\"0x40000\" name=\"leftIR\"><feature "
                          "id=\"0x1303\" name=\"g\" rw=\"3\"/><feature bind=\"" +
                          c.bind +
                          "\"/></component><component id=\"0x400000\" name=\"laser\"><feature id=\"0x1500\" "
                          "name=\"p\" rw=\"3\"/></component></config>")
                             .c_str()),
            0);
        KvComponentManager direct;
        EXPECT_FALSE(parser.genComponents_1(direct));
        EXPECT_EQ(direct.size(), 1u);
        auto manager = parser.generateComponentManager();
        ASSERT_NE(manager, nullptr);
        EXPECT_EQ(testing_util::modelText(*manager), "10000 depth[3108=2621920,1104=640]");
        EXPECT_EQ(manager->find(0x10000)->id, 0x10000);
        EXPECT_EQ(manager->componentMask(), 0x10000);
        EXPECT_EQ(manager->findFeature(0x10000, 0x1104)->bindId, 0);
    }
}

TEST(FirmwareVersion, FindsFirstHashUnderBuildOfTheDeviceComponent) {
    KvDeviceDescriptorParser parser;
    const char* xml =
        "<firmware>"
        "<component name=\"depth\"><build><hash>wrong-component</hash></build></component>"
        "<component><build><hash>no-name</hash></build></component>"
        "<component name=\"devices\"><build><hash>near-miss</hash></build></component>"
        "<component "
        "name=\"device\"><other><hash>not-in-build</hash></other><build><version>1</version></build>"
        "<build><hash>abc123</hash><hash>second-hash</hash></build><build><hash>later</hash></build></"
        "component>"
        "<component name=\"device\"><build><hash>second-device</hash></build></component>"
        "</firmware>";
    const char* hash = parser.getFirmwareVer(xml);
    ASSERT_NE(hash, nullptr);
    EXPECT_STREQ(hash, "abc123");
    // Valid until the next parse: using the parser otherwise leaves it alone.
    auto manager = parser.generateComponentManager();
    std::string dumped = dumpText(parser);
    EXPECT_STREQ(hash, "abc123");
    EXPECT_TRUE(parser.isReady());
}

TEST(FirmwareVersion, ReturnsNullWithoutADeviceBuildHash) {
    const char* cases[] = {
        "<firmware><component name=\"depth\"><build><hash>x</hash></build></component></firmware>",
        "<firmware><component name=\"device\"><hash>outside-build</hash></component></firmware>",
        "<firmware><component name=\"device\"><build/></component></firmware>",
        "<firmware><device><build><hash>x</hash></build></device></firmware>",
        "<firmware/>",
        "<firmware><component name=\"device\"><build><hash>x</hash></build></component>",
        "no xml at all",
        "",
        "<f><component name=\"device\"><build><hash/></build></component></f>",  // an empty hash has no text
    };
    for (const char* xml : cases) {
        KvDeviceDescriptorParser parser;
        EXPECT_EQ(parser.getFirmwareVer(xml), nullptr) << xml;
    }
    KvDeviceDescriptorParser parser;
    EXPECT_EQ(parser.getFirmwareVer(nullptr), nullptr);
    EXPECT_FALSE(parser.isReady());
}

TEST(DescriptorDump, ListsComponentsAfterComprotocolWithGrammarDefaults) {
    KvDeviceDescriptorParser parser;
    ASSERT_EQ(
        parser.parse("<config version=\"1\">"
                     "<component id=\"0x1\" name=\"before\"/>"
                     "<comprotocol>2.5</comprotocol>"
                     "<component id=\"-1\">"
                     "<note id=\"0x1104\" name=\"first child\" rw=\"1\">640</note>"
                     "<feature bind=\"0x00011104\"/>"
                     "<other id=\"0x1\"/>"
                     "<feature id=\"x\" rw=\"bad\" hide=\"0x1\"/>"
                     "</component>"
                     "<component id=\"0x80000000\" name=\"device\"><feature id=\"0x5f01\" name=\"vendor\" "
                     "rw=\"1\" hide=\"0\">Orvane</feature></component>"
                     "</config>"),
        0);
    EXPECT_EQ(dumpText(parser),
              "=== Dump DeviceDescriptor version 1\n"
              "  comprotocol: 2.5\n"
              "  component: id(ffffffff) name()\n"
              "    feature: id(1104) name(first child) rw(1) hide(0) bind(0) value: 640\n"
              "    feature[bindID]: 11104\n"
              "    feature: id(0) name() rw(0) hide(1) bind(0) value: \n"
              "  component: id(80000000) name(device)\n"
              "    feature: id(5f01) name(vendor) rw(1) hide(0) bind(0) value: Orvane\n"
              "=== Dump DeviceDescriptor End\n");
}

// Regression: without a comprotocol element the listing started from a missing element.
TEST(DescriptorDump, WithoutComprotocolListsEveryComponent) {
    KvDeviceDescriptorParser parser;
    ASSERT_EQ(parser.parse("<config version=\"1\"><component id=\"0x10000\" name=\"depth\"/></config>"), 0);
    EXPECT_EQ(dumpText(parser),
              "=== Dump DeviceDescriptor version 1\n"
              "  comprotocol: \n"
              "  component: id(10000) name(depth)\n"
              "=== Dump DeviceDescriptor End\n");
    EXPECT_EQ(dumpText(parser, true),
              "  comprotocol: \n"
              "  component: id(10000) name(depth)\n");
}

}  // namespace
}  // namespace orvane
