// Helpers shared by the model suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "model/KvDeviceDescriptorParser.h"

namespace orvane {
namespace testing_util {

// Everything the parser's dump writes, captured through a memory stream.
inline std::string dumpText(const KvDeviceDescriptorParser& parser, bool versionOneBodyOnly = false) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    if (!stream) return "<open_memstream failed>";
    if (versionOneBodyOnly) {
        parser.dump_1(stream);
    } else {
        parser.dump(stream);
    }
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Parses `xml` and builds its model; fails the test when either step fails.
inline std::unique_ptr<KvComponentManager> buildModel(const std::string& xml) {
    KvDeviceDescriptorParser parser;
    EXPECT_EQ(parser.parse(xml.c_str()), 0) << xml;
    std::unique_ptr<KvComponentManager> manager = parser.generateComponentManager();
    EXPECT_NE(manager, nullptr) << xml;
    return manager;
}

// A model as "component-id name[feature-id=value,...] ..." (identifiers in hex, values as integers).
inline std::string modelText(const KvComponentManager& manager) {
    std::ostringstream text;
    for (const auto& entry : manager) {
        text << (text.tellp() > 0 ? " " : "") << std::hex << entry.first << ' ' << entry.second.nameString()
             << '[';
        const char* separator = "";
        for (const KvFeaturePtr& f : entry.second.features) {
            text << separator << std::hex << f->id << '=' << std::dec << f->value.asInt();
            separator = ",";
        }
        text << ']';
    }
    return text.str();
}

// A version 1 descriptor with one component holding the given feature elements.
inline std::string oneComponent(const std::string& features, const std::string& componentId = "0x00010000") {
    return "<config version=\"1\"><comprotocol>1.0</comprotocol><component id=\"" + componentId +
           "\" name=\"c\">" + features + "</component></config>";
}

// The single feature of a oneComponent() descriptor.
inline KvFeaturePtr onlyFeature(const std::string& featureXml) {
    std::unique_ptr<KvComponentManager> manager = buildModel(oneComponent(featureXml));
    if (!manager) return nullptr;
    const KvComponent* component = manager->find(0x00010000);
    if (!component || component->features.size() != 1) {
        ADD_FAILURE() << "expected exactly one feature in " << featureXml;
        return nullptr;
    }
    return component->features.front();
}

// A feature's fields as texts, so a case can state just the fields it is about. Numbers of a float feature
// read as floats, all others as integers; entries are "description:value" and struct bytes a float list.
inline std::map<std::string, std::string> fieldsOf(const KvFeature& f) {
    const bool isFloat = f.isType(kFeatureTypeFloat);
    auto number = [isFloat](const KvValueCell& cell) {
        std::ostringstream text;
        if (isFloat) {
            text << cell.asFloat();
        } else {
            text << cell.asInt();
        }
        return text.str();
    };
    std::ostringstream id, entries, floats;
    id << std::hex << f.id;
    int32_t reserved = 0;
    for (const KV_ENUM_ENTRY_WRAPPER& e : f.entries) {
        entries << (entries.tellp() > 0 ? "," : "") << e.descriptionString() << ':' << e.value;
        reserved |= e.reserved[0] | e.reserved[1] | e.reserved[2];
    }
    for (size_t at = 0; at + sizeof(float) <= f.bytes.size(); at += sizeof(float)) {
        float v;
        std::memcpy(&v, f.bytes.data() + at, sizeof v);
        floats << (at > 0 ? "," : "") << v;
    }
    return {{"id", id.str()},
            {"name", f.nameString()},
            {"rw", std::to_string(f.access)},
            {"hide", std::to_string(f.hide)},
            {"run", std::to_string(f.writableAtRun)},
            {"vol", std::to_string(f.isVolatile)},
            {"bind", std::to_string(f.bindId)},
            {"min", number(f.min)},
            {"max", number(f.max)},
            {"inc", number(f.inc)},
            {"value", number(f.value)},
            {"bool", std::to_string(f.value.asBool())},
            {"entries", entries.str()},
            {"reserved", std::to_string(reserved)},
            {"text", f.stringValue},
            {"bytes", std::to_string(f.bytes.size())},
            {"floats", floats.str()}};
}

// Checks the fields listed in `expected` ("key=value;...").
inline void expectFields(const KvFeature& feature, const std::string& expected) {
    const std::map<std::string, std::string> fields = fieldsOf(feature);
    std::istringstream items(expected);
    for (std::string item; std::getline(items, item, ';');) {
        const std::size_t eq = item.find('=');
        const auto field = fields.find(item.substr(0, eq));
        ASSERT_TRUE(eq != std::string::npos && field != fields.end()) << "no field " << item;
        EXPECT_EQ(field->second, item.substr(eq + 1)) << "field " << field->first;
    }
}

// Builds the single feature of `featureXml` and checks its fields.
inline void expectFeature(const std::string& featureXml, const std::string& expected) {
    SCOPED_TRACE(featureXml.substr(0, 160));
    KvFeaturePtr feature = onlyFeature(featureXml);
    ASSERT_NE(feature, nullptr);
    expectFields(*feature, expected);
}

}  // namespace testing_util
}  // namespace orvane
