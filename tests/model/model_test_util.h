// Helpers shared by the model suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

inline std::vector<float> floatsOf(const std::vector<uint8_t>& bytes) {
    std::vector<float> out(bytes.size() / sizeof(float));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

}  // namespace testing_util
}  // namespace orvane
