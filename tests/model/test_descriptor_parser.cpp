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
using testing_util::floatsOf;
using testing_util::oneComponent;
using testing_util::onlyFeature;

TEST(DescriptorNumbers, IntegersAreDecimalOrLowerCaseHexPatterns) {
    struct Case {
        const char* text;
        int32_t expected;
    };
    const Case good[] = {{"0", 0},
                         {"42", 42},
                         {"-5", -5},
                         {"+7", 7},
                         {" \t42\r\n", 42},
                         {"007", 7},
                         {"2147483647", INT_MAX},
                         {"-2147483648", INT_MIN},
                         {"0x10", 16},
                         {"0xAbCd", 0xabcd},
                         {"0x00013108", 0x00013108},
                         {"0x80000000", INT_MIN},
                         {"0xffffffff", -1},
                         {"0x0000000000000001", 1}};
    for (const Case& c : good) {
        int32_t v = 12345;
        EXPECT_TRUE(parseDescriptorInt(c.text, &v)) << c.text;
        EXPECT_EQ(v, c.expected) << c.text;
    }
    const char* bad[] = {"",
                         " ",
                         "0x",
                         "0x100000000",
                         "2147483648",
                         "-2147483649",
                         "12abc",
                         "abc",
                         "0X10",
                         "1.5",
                         "- 1",
                         "0x-1",
                         "+-1",
                         "1 2",
                         "0xfg",
                         "-",
                         "+",
                         "1e3",
                         "99999999999999999999999999999999999999"};
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

TEST(DescriptorParser, RejectsTextsWithoutAUsableDocument) {
    const char* bad[] = {"",
                         "   ",
                         "<config",
                         "<config version=\"1\"><component></config>",
                         "just text",
                         "<!-- only a comment -->",
                         "<?xml version=\"1.0\" ?>",
                         "<config version=\"1\" version=\"2\"/>"};
    for (const char* text : bad) {
        KvDeviceDescriptorParser parser;
        EXPECT_EQ(parser.parse(text), -1001) << text;
        EXPECT_FALSE(parser.isReady()) << text;
        EXPECT_EQ(parser.rootName(), nullptr) << text;
        EXPECT_EQ(parser.generateComponentManager(), nullptr) << text;
    }
    KvDeviceDescriptorParser parser;
    // Several top-level elements: the first one is the root.
    EXPECT_EQ(parser.parse("<a version=\"1\"></a><b></b>"), 0);
    EXPECT_STREQ(parser.rootName(), "a");
    EXPECT_EQ(parser.parse(nullptr), -1001);
    EXPECT_EQ(parser.parse(nullptr, 10), -1001);
    EXPECT_EQ(parser.parse("<config/>", 0), -1001);
}

TEST(DescriptorParser, FailedParseClearsAnEarlierSuccess) {
    KvDeviceDescriptorParser parser;
    ASSERT_EQ(parser.parse(oneComponent("").c_str()), 0);
    EXPECT_TRUE(parser.isReady());
    EXPECT_EQ(parser.parse("<config version=\"1\">"), -1001);
    EXPECT_FALSE(parser.isReady());
    EXPECT_EQ(parser.generateComponentManager(), nullptr);
    EXPECT_EQ(dumpText(parser), "=== Dump DeviceDescriptor failed, not ready!\n");
    KvComponentManager manager;
    EXPECT_FALSE(parser.genComponents_1(manager));
    EXPECT_TRUE(manager.empty());
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
    };
    for (const Case& c : cases) {
        KvDeviceDescriptorParser parser;
        ASSERT_EQ(parser.parse(c.xml), 0) << c.xml;
        EXPECT_EQ(parser.version(), c.version) << c.xml;
        EXPECT_EQ(parser.model(), c.model) << c.xml;
        EXPECT_EQ(parser.comprotocol(), c.comprotocol) << c.xml;
        EXPECT_STREQ(parser.rootName(), "config");
    }
}

TEST(DescriptorParser, OnlyGrammarVersionOneBuildsAModel) {
    for (const char* version : {"", " version=\"0\"", " version=\"2\"", " version=\"one\""}) {
        std::string xml =
            std::string("<config") + version + "><component id=\"0x10000\" name=\"d\"/></config>";
        KvDeviceDescriptorParser parser;
        ASSERT_EQ(parser.parse(xml.c_str()), 0) << xml;
        EXPECT_EQ(parser.generateComponentManager(), nullptr) << xml;
    }
    KvDeviceDescriptorParser parser;
    ASSERT_EQ(parser.parse("<device version=\"1\"><component id=\"0x10000\" name=\"d\"/></device>"), 0);
    EXPECT_STREQ(parser.rootName(), "device");
    auto manager = parser.generateComponentManager();
    ASSERT_NE(manager, nullptr);
    EXPECT_TRUE(manager->contains(0x10000));
    // A root without components gives an empty model.
    manager = buildModel("<config version=\"1\"><comprotocol>1.0</comprotocol><other/></config>");
    ASSERT_NE(manager, nullptr);
    EXPECT_TRUE(manager->empty());
}

TEST(DescriptorParser, ComponentIdentifiersMayBeHexNegativeOrDecimal) {
    auto manager = buildModel(
        "<config version=\"1\">"
        "<component id=\"0x00400000\" name=\"laser\"/>"
        "<component id=\"-2147483648\" name=\"device\"/>"
        "<component id=\"65536\" name=\"depth\"><feature id=\"4356\" name=\"w\" "
        "rw=\"1\">640</feature></component>"
        "</config>");
    ASSERT_NE(manager, nullptr);
    std::vector<int32_t> order;
    for (const auto& entry : *manager) order.push_back(entry.first);
    EXPECT_EQ(order, (std::vector<int32_t>{INT_MIN, 0x10000, 0x400000}));
    EXPECT_EQ(manager->find(INT_MIN)->nameString(), "device");
    EXPECT_EQ(manager->findFeature(0x10000, 0x1104)->value.asInt(), 640);
}

TEST(DescriptorParser, DuplicateComponentIdentifierKeepsTheFirst) {
    auto manager = buildModel(
        "<config version=\"1\">"
        "<component id=\"0x10000\" name=\"first\"><feature id=\"0x1104\" name=\"w\" rw=\"1\">640</feature>"
        "</component>"
        "<component id=\"0x10000\" name=\"second\"><feature id=\"0x1104\" name=\"w\" rw=\"1\">1280</feature>"
        "<feature id=\"0x1105\" name=\"h\" rw=\"1\">960</feature></component>"
        "<component id=\"0x40000\" name=\"after\"/>"
        "</config>");
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->size(), 2u);
    const KvComponent* depth = manager->find(0x10000);
    EXPECT_EQ(depth->nameString(), "first");
    ASSERT_EQ(depth->features.size(), 1u);
    EXPECT_EQ(depth->features[0]->value.asInt(), 640);
    EXPECT_TRUE(manager->contains(0x40000));
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

TEST(DescriptorParser, HugeAndNonNumericValuesCountAsZero) {
    const std::string digits(10000, '9');
    auto feature = onlyFeature("<feature id=\"0x1303\" name=\"gain\" rw=\"" + digits + "\" min=\"" + digits +
                               "\" max=\"abc\" inc=\"0x1ffffffff\" hide=\"1.5\">" + digits + "</feature>");
    ASSERT_NE(feature, nullptr);
    EXPECT_EQ(feature->access, 0);
    EXPECT_EQ(feature->hide, 0);
    EXPECT_EQ(feature->min.asInt(), 0);
    EXPECT_EQ(feature->max.asInt(), 0);
    EXPECT_EQ(feature->inc.asInt(), 0);
    EXPECT_EQ(feature->value.asInt(), 0);
    // A text that is not a number is still a text: the feature stays static.
    EXPECT_FALSE(feature->isVolatile);
}

TEST(DescriptorParser, DeepNestingIsRejectedWithoutExhaustingTheStack) {
    const int depth = 200000;
    std::string xml = "<config version=\"1\">";
    xml.reserve(xml.size() + depth * 7 + 16);
    for (int i = 0; i < depth; ++i) xml += "<a>";
    for (int i = 0; i < depth; ++i) xml += "</a>";
    xml += "</config>";
    KvDeviceDescriptorParser parser;
    EXPECT_EQ(parser.parse(xml.c_str()), -1001);
    EXPECT_FALSE(parser.isReady());
    EXPECT_EQ(parser.getFirmwareVer(xml.c_str()), nullptr);

    // Unclosed nesting as well.
    std::string open(depth * 3, ' ');
    for (int i = 0; i < depth; ++i) open.replace(i * 3, 3, "<a>");
    EXPECT_EQ(parser.parse(open.c_str()), -1001);

    // Moderate nesting inside a feature is fine.
    std::string nested;
    for (int i = 0; i < 40; ++i) nested += "<x>";
    for (int i = 0; i < 40; ++i) nested += "</x>";
    auto feature = onlyFeature("<feature id=\"0x3107\" name=\"f\" rw=\"1\"><entry value=\"3\" name=\"e\">" +
                               nested + "</entry></feature>");
    ASSERT_NE(feature, nullptr);
    ASSERT_EQ(feature->entries.size(), 1u);
    EXPECT_EQ(feature->value.asInt(), 3);
}

TEST(DescriptorFeature, CommonAttributesAndVolatileRules) {
    struct Case {
        const char* xml;
        bool isVolatile;
    };
    const Case cases[] = {
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\">640</feature>", false},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"1\">640</feature>", true},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"0\"></feature>", false},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\"></feature>", true},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\"/>", true},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\">   </feature>", true},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"abc\"/>", false},
        {"<feature id=\"0x1104\" name=\"w\" rw=\"1\" volatile=\"0x2\">5</feature>", true},
    };
    for (const Case& c : cases) {
        auto feature = onlyFeature(c.xml);
        ASSERT_NE(feature, nullptr) << c.xml;
        EXPECT_EQ(feature->isVolatile, c.isVolatile) << c.xml;
        EXPECT_EQ(feature->bindId, 0) << c.xml;
    }

    auto full = onlyFeature(
        "<feature id=\"0x1500\" name=\"power\" rw=\"3\" hide=\"1\" writableAtRun=\"5\" min=\"-10\" "
        "max=\"0x64\" "
        "inc=\"2\">-7</feature>");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->id, 0x1500);
    EXPECT_EQ(full->nameString(), "power");
    EXPECT_EQ(full->access, 3);
    EXPECT_EQ(full->hide, 1);
    EXPECT_TRUE(full->writableAtRun);
    EXPECT_EQ(full->min.asInt(), -10);
    EXPECT_EQ(full->max.asInt(), 100);
    EXPECT_EQ(full->inc.asInt(), 2);
    EXPECT_EQ(full->value.asInt(), -7);

    auto bare = onlyFeature("<feature/>");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->id, 0);
    EXPECT_EQ(bare->access, 0);
    EXPECT_FALSE(bare->writableAtRun);
    EXPECT_TRUE(bare->isVolatile);
}

TEST(DescriptorFeature, FloatFeatureReadsFloatsAndDefaultsToZero) {
    auto feature = onlyFeature(
        "<feature id=\"0x2001\" name=\"e\" rw=\"3\" min=\"-1.5\" max=\"1e2\" inc=\"0.25\">"
        "3.75</feature>");
    ASSERT_NE(feature, nullptr);
    EXPECT_FLOAT_EQ(feature->min.asFloat(), -1.5f);
    EXPECT_FLOAT_EQ(feature->max.asFloat(), 100.0f);
    EXPECT_FLOAT_EQ(feature->inc.asFloat(), 0.25f);
    EXPECT_FLOAT_EQ(feature->value.asFloat(), 3.75f);

    auto bad =
        onlyFeature("<feature id=\"0x2001\" name=\"e\" rw=\"3\" min=\"nan\" max=\"x\">1e999</feature>");
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->min.asInt(), 0);
    EXPECT_EQ(bad->max.asInt(), 0);
    EXPECT_EQ(bad->value.asInt(), 0);
}

TEST(DescriptorFeature, EnumTakesDefaultOrFirstEntry) {
    auto noDefault = onlyFeature(
        "<feature id=\"0x3108\" name=\"mode\" rw=\"3\"><entry value=\"2621920\" name=\"640x480\"/>"
        "<entry value=\"0x5003c0\" name=\"1280x960\"/></feature>");
    ASSERT_NE(noDefault, nullptr);
    ASSERT_EQ(noDefault->entries.size(), 2u);
    EXPECT_EQ(noDefault->entries[0].descriptionString(), "640x480");
    EXPECT_EQ(noDefault->entries[1].value, 0x5003c0);
    EXPECT_EQ(noDefault->value.asInt(), 2621920);

    // The default wins even when no entry carries it.
    auto withDefault = onlyFeature(
        "<feature id=\"0x3108\" name=\"mode\" rw=\"3\" default=\"77\"><entry value=\"1\" "
        "name=\"a\"/></feature>");
    ASSERT_NE(withDefault, nullptr);
    EXPECT_EQ(withDefault->value.asInt(), 77);
    EXPECT_FALSE(withDefault->isValidEnumValue(77));

    auto defaultOnly = onlyFeature("<feature id=\"0x3108\" name=\"mode\" rw=\"3\" default=\"0x10\"/>");
    ASSERT_NE(defaultOnly, nullptr);
    EXPECT_TRUE(defaultOnly->entries.empty());
    EXPECT_EQ(defaultOnly->value.asInt(), 16);
}

// Regression: an enum without entries and without default read the first entry of an empty list.
TEST(DescriptorFeature, EnumWithoutEntriesOrDefaultStartsAtZero) {
    auto feature = onlyFeature("<feature id=\"0x3107\" name=\"format\" rw=\"1\" volatile=\"0\"></feature>");
    ASSERT_NE(feature, nullptr);
    EXPECT_TRUE(feature->entries.empty());
    EXPECT_EQ(feature->value.asInt(), 0);
    EXPECT_FALSE(feature->isValidEnumValue(0));
}

TEST(DescriptorFeature, EnumEntriesAreTheFirstChildThenSiblingsNamedEntry) {
    auto feature = onlyFeature(
        "<feature id=\"0x3107\" name=\"f\" rw=\"1\">"
        "<option value=\"1\" name=\"first\"/><entry value=\"2\" name=\"two\"/><note value=\"3\"/>"
        "<entry name=\"no value\"/><entry value=\"bad\" name=\"bad value\"/></feature>");
    ASSERT_NE(feature, nullptr);
    ASSERT_EQ(feature->entries.size(), 4u);
    EXPECT_EQ(feature->entries[0].descriptionString(), "first");
    EXPECT_EQ(feature->entries[0].value, 1);
    EXPECT_EQ(feature->entries[1].value, 2);
    EXPECT_EQ(feature->entries[2].descriptionString(), "no value");
    EXPECT_EQ(feature->entries[2].value, 0);
    EXPECT_EQ(feature->entries[3].value, 0);
    for (const KV_ENUM_ENTRY_WRAPPER& entry : feature->entries) {
        EXPECT_EQ(entry.reserved[0] | entry.reserved[1] | entry.reserved[2], 0);
    }
}

TEST(DescriptorFeature, BoolTextsFollowTheGrammar) {
    struct Case {
        const char* text;
        bool expected;
    };
    const Case cases[] = {{"true", true}, {"false", false}, {"1", true},     {"0", false},
                          {"7", true},    {"maybe", false}, {"TRUE", false}, {"", false}};
    for (const Case& c : cases) {
        auto feature =
            onlyFeature(std::string("<feature id=\"0x4200\" name=\"t\" rw=\"3\">") + c.text + "</feature>");
        ASSERT_NE(feature, nullptr) << c.text;
        EXPECT_EQ(feature->value.asBool(), c.expected) << c.text;
        EXPECT_EQ(feature->value.asInt(), c.expected ? 1 : 0) << c.text;
    }
}

TEST(DescriptorFeature, StringTakesMaxAsLengthAndTextAsValue) {
    auto vendor =
        onlyFeature("<feature id=\"0x5f01\" name=\"vendor\" rw=\"1\" max=\"32\">Orvane &amp; Co</feature>");
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(vendor->min.asInt(), 32);
    EXPECT_EQ(vendor->stringValue, "Orvane & Co");
    EXPECT_FALSE(vendor->isVolatile);

    auto serial = onlyFeature("<feature id=\"0x5f00\" name=\"SN\" rw=\"1\"/>");
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(serial->min.asInt(), 0);
    EXPECT_TRUE(serial->stringValue.empty());
    EXPECT_TRUE(serial->isVolatile);

    const std::string longText(100000, 's');
    auto big = onlyFeature("<feature id=\"0x5f02\" name=\"m\" rw=\"1\">" + longText + "</feature>");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->stringValue, longText);
}

TEST(DescriptorFeature, ByteArrayTakesMaxAsSizeAndIgnoresItsText) {
    auto feature = onlyFeature("<feature id=\"0x6001\" name=\"blob\" rw=\"3\" max=\"16\">1 2 3 4</feature>");
    ASSERT_NE(feature, nullptr);
    EXPECT_EQ(feature->min.asInt(), 16);
    EXPECT_TRUE(feature->bytes.empty());
}

TEST(DescriptorFeature, StructLayoutsFillExactSizesAndPadWithZeros) {
    auto intrinsic = onlyFeature("<feature id=\"0x7000\" name=\"k\" rw=\"1\">1 2 3 4 5 6 7 8 9</feature>");
    ASSERT_NE(intrinsic, nullptr);
    EXPECT_EQ(floatsOf(intrinsic->bytes), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9}));

    for (const char* id : {"0x7001", "0x7002"}) {
        auto matrix = onlyFeature(
            std::string("<feature id=\"") + id +
            "\" name=\"m\" rw=\"1\">1.5\n-2\t3e1 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18</feature>");
        ASSERT_NE(matrix, nullptr) << id;
        std::vector<float> expected = {1.5f, -2, 30, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        EXPECT_EQ(floatsOf(matrix->bytes), expected) << id;
    }

    auto shortList = onlyFeature("<feature id=\"0x7006\" name=\"d\" rw=\"1\">0.1 0.2 0.3 0.4 0.5</feature>");
    ASSERT_NE(shortList, nullptr);
    EXPECT_EQ(floatsOf(shortList->bytes),
              (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0, 0, 0, 0, 0, 0, 0}));

    // The first token that is not a number ends the list.
    auto broken = onlyFeature("<feature id=\"0x7000\" name=\"k\" rw=\"1\">1 2 x 4 5</feature>");
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(floatsOf(broken->bytes), (std::vector<float>{1, 2, 0, 0, 0, 0, 0, 0, 0}));

    auto noText = onlyFeature("<feature id=\"0x7000\" name=\"k\" rw=\"1\"/>");
    ASSERT_NE(noText, nullptr);
    EXPECT_TRUE(noText->bytes.empty());
    EXPECT_TRUE(noText->isVolatile);

    auto unknown = onlyFeature("<feature id=\"0x7005\" name=\"u\" rw=\"1\">1 2 3</feature>");
    ASSERT_NE(unknown, nullptr);
    EXPECT_TRUE(unknown->bytes.empty());
}

const char kBindHead[] =
    "<config version=\"1\"><comprotocol>1</comprotocol>"
    "<component id=\"0x10000\" name=\"depth\">"
    "<feature id=\"0x3108\" name=\"image mode\" rw=\"3\" volatile=\"0\"><entry value=\"2621920\" "
    "name=\"640x480\"/>"
    "</feature><feature id=\"0x1104\" name=\"image width\" rw=\"1\">640</feature></component>";

TEST(DescriptorBind, BoundFeatureIsTheDefiningRecord) {
    auto manager =
        buildModel(std::string(kBindHead) +
                   "<component id=\"0x40000\" name=\"leftIR\">"
                   "<feature bind=\"0x00011104\" id=\"0x1999\" name=\"ignored\" rw=\"3\">5</feature>"
                   "</component></config>");
    ASSERT_NE(manager, nullptr);
    KvFeaturePtr left = manager->findFeature(0x40000, 0x1104);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left, manager->findFeature(0x10000, 0x1104));
    EXPECT_EQ(left->bindId, 0x00011104);
    EXPECT_EQ(left->nameString(), "image width");
    EXPECT_EQ(left->access, 1);
    EXPECT_EQ(manager->findFeature(0x40000, 0x1999), nullptr);
    left->value.setInt(1280);
    EXPECT_EQ(manager->findFeature(0x10000, 0x1104)->value.asInt(), 1280);
}

TEST(DescriptorBind, RebindingThroughABindingComponentKeepsTheDefiningReference) {
    KvDeviceDescriptorParser parser;
    const std::string xml =
        std::string(kBindHead) +
        "<component id=\"0x40000\" name=\"leftIR\"><feature bind=\"0x00013108\"/></component>"
        "<component id=\"0x20000\" name=\"Point3D\"><feature bind=\"0x00043108\"/></component></config>";
    ASSERT_EQ(parser.parse(xml.c_str()), 0);
    KvComponentManager manager;
    EXPECT_TRUE(parser.genComponents_1(manager));  // every bind resolves
    EXPECT_EQ(manager.size(), 3u);
    KvFeaturePtr viaPoint = manager.findFeature(0x20000, 0x3108);
    ASSERT_NE(viaPoint, nullptr);
    EXPECT_EQ(viaPoint, manager.findFeature(0x10000, 0x3108));
    EXPECT_EQ(viaPoint->bindId, 0x00013108);
}

// Regression: resolving a bind to an unknown component used to leave an empty component (id -1) under the
// unknown key, which then showed up in the component mask and in lookups.
TEST(DescriptorBind, UnresolvableBindKeepsEarlierComponentsAndLeavesNoPhantom) {
    struct Case {
        const char* what;
        const char* bind;
    };
    const Case cases[] = {{"later component", "0x00401500"},  // laser is defined after the failing component
                          {"unknown component", "0x00101104"},  // never defined
                          {"unknown feature", "0x00011105"},    // depth has no 0x1105
                          {"feature id zero", "0x00010000"}};
    for (const Case& c : cases) {
        const std::string xml = std::string(kBindHead) +
                                "<component id=\"0x40000\" name=\"leftIR\"><feature id=\"0x1303\" name=\"g\" "
                                "rw=\"3\"/><feature bind=\"" +
                                c.bind +
                                "\"/></component>"
                                "<component id=\"0x400000\" name=\"laser\"><feature id=\"0x1500\" name=\"p\" "
                                "rw=\"3\"/></component></config>";
        KvDeviceDescriptorParser parser;
        ASSERT_EQ(parser.parse(xml.c_str()), 0) << c.what;

        KvComponentManager direct;
        EXPECT_FALSE(parser.genComponents_1(direct)) << c.what;
        EXPECT_EQ(direct.size(), 1u) << c.what;

        auto manager = parser.generateComponentManager();
        ASSERT_NE(manager, nullptr) << c.what;
        std::vector<int32_t> keys;
        for (const auto& entry : *manager) {
            keys.push_back(entry.first);
            EXPECT_EQ(entry.second.id, entry.first) << c.what;
        }
        EXPECT_EQ(keys, std::vector<int32_t>{0x10000}) << c.what;
        EXPECT_EQ(manager->componentMask(), 0x10000) << c.what;
        EXPECT_FALSE(manager->contains(0x00100000)) << c.what;
        EXPECT_FALSE(manager->contains(0x00400000)) << c.what;
        EXPECT_EQ(manager->findFeature(0x10000, 0x1104)->bindId, 0) << c.what;
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
    };
    for (const char* xml : cases) {
        KvDeviceDescriptorParser parser;
        EXPECT_EQ(parser.getFirmwareVer(xml), nullptr) << xml;
    }
    KvDeviceDescriptorParser parser;
    EXPECT_EQ(parser.getFirmwareVer(nullptr), nullptr);
    EXPECT_FALSE(parser.isReady());
    // An empty hash element has no text.
    EXPECT_EQ(parser.getFirmwareVer("<f><component name=\"device\"><build><hash/></build></component></f>"),
              nullptr);
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
