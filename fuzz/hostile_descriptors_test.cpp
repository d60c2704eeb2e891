// Descriptor and firmware documents built to hurt: absurd nesting, absurd length, cut anywhere, numbers far
// out of range. Each must come back as an error status (or, for numbers, as values that are "not a
// number") in bounded time and without leaking; the CTest timeout and the ASan build check the last two.
#include <gtest/gtest.h>

#include <string>

#include "model/KvDeviceDescriptorParser.h"
#include "model/KvDeviceDescriptors.h"

namespace orvane {
namespace {

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

const std::string kComponent =
    "<component id=\"0x00010000\" name=\"depth\"><feature id=\"0x1104\" name=\"w\" rw=\"1\">640</feature>"
    "<feature id=\"0x3108\" name=\"mode\" rw=\"3\"><entry value=\"1\" name=\"a\"/></feature></component>";

struct HostileCase {
    const char* name;
    std::string text;
};

std::vector<HostileCase> MalformedDocuments() {
    const std::string open = "<config version=\"1\">";
    return {
        {"nested 10^5 deep", open + Repeat("<a>", 100000) + Repeat("</a>", 100000) + "</config>"},
        {"nested 10^5 deep, never closed", open + Repeat("<component>", 100000)},
        {"10 MB of components, root never closed",
         open + Repeat(kComponent, 10 * 1024 * 1024 / kComponent.size())},
        {"10 MB attribute value never closed",
         open + "<component name=\"" + std::string(10 * 1024 * 1024, 'x')},
        {"10 MB comment never closed", "<!--" + std::string(10 * 1024 * 1024, '-')},
        {"10 MB of markup characters", std::string(10 * 1024 * 1024, '<')},
    };
}

TEST(HostileDescriptors, MalformedDocumentsGiveAnErrorStatus) {
    for (const HostileCase& c : MalformedDocuments()) {
        SCOPED_TRACE(c.name);
        KvDeviceDescriptorParser parser;
        EXPECT_EQ(parser.parse(c.text.c_str()), kDescriptorStatusError);
        EXPECT_FALSE(parser.isReady());
        EXPECT_EQ(parser.generateComponentManager(), nullptr);
        EXPECT_EQ(parser.getFirmwareVer(c.text.c_str()), nullptr);
    }
}

TEST(HostileDescriptors, DescriptorCutAtEveryTenthByteGivesAnErrorStatus) {
    const std::string full = DefaultDeviceDescriptor;
    const size_t root_end = full.rfind("</config>");
    ASSERT_NE(root_end, std::string::npos);
    KvDeviceDescriptorParser parser;
    for (size_t cut = 0; cut < root_end; cut += 10) {
        EXPECT_EQ(parser.parse(full.data(), cut), kDescriptorStatusError) << "cut at " << cut;
        EXPECT_EQ(parser.generateComponentManager(), nullptr) << "cut at " << cut;
    }
    // The parser is still usable after all those failures.
    EXPECT_EQ(parser.parse(full.c_str()), kDescriptorStatusOk);
    EXPECT_NE(parser.generateComponentManager(), nullptr);
}

TEST(HostileDescriptors, NumbersOutOfRangeReadAsNotANumber) {
    const std::string digits(1000000, '9');
    const std::string text =
        "<config version=\"1\"><comprotocol>1e39</comprotocol><component id=\"0x00010000\" name=\"d\">"
        "<feature id=\"0x1001\" min=\"-2147483649\" max=\"4294967296\" inc=\"0x100000000\">" +
        digits + "</feature><feature id=\"0x2001\" min=\"3.5e38\" max=\"-1e400\" inc=\"1e-400000\">0x" +
        digits + "</feature><feature bind=\"" + digits + "\"/></component></config>";
    KvDeviceDescriptorParser parser;
    ASSERT_EQ(parser.parse(text.c_str()), kDescriptorStatusOk);
    EXPECT_EQ(parser.comprotocol(), 1);  // not a number: the default generation
    std::unique_ptr<KvComponentManager> model = parser.generateComponentManager();
    ASSERT_NE(model, nullptr);
    const KvFeaturePtr integer = model->findFeature(kComponentDepth, 0x1001);
    ASSERT_NE(integer, nullptr);
    EXPECT_EQ(integer->min.asInt(), 0);
    EXPECT_EQ(integer->max.asInt(), 0);
    EXPECT_EQ(integer->inc.asInt(), 0);
    EXPECT_EQ(integer->value.asInt(), 0);
    const KvFeaturePtr real = model->findFeature(kComponentDepth, 0x2001);
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(real->min.asFloat(), 0.0f);
    EXPECT_EQ(real->max.asFloat(), 0.0f);
    EXPECT_EQ(real->value.asFloat(), 0.0f);
    // An unreadable bind is no bind: the feature is built as a plain one.
    EXPECT_EQ(model->find(kComponentDepth)->features.size(), 3u);
}

}  // namespace
}  // namespace orvane
