// The components and features a camera's descriptor declares, in descriptor order, and the lookup of a
// "COMPONENT.FEATURE" text typed by a user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {
namespace tool {

struct DescFeature {
    int32_t id = 0;    // feature identifier (lower 16 bits)
    std::string name;  // as the descriptor names it
    int32_t bind = 0;  // for a feature listed from another component: that full reference, else 0
};

struct DescComponent {
    int32_t id = 0;
    std::string name;
    std::vector<DescFeature> features;
};

// Reads the component and feature lists of a descriptor text. False with a message when it is not XML.
bool parseDescriptor(const std::string& xml, std::vector<DescComponent>& out, std::string* error);

struct FeatureRef {
    int32_t component = 0;
    int32_t feature = 0;
    std::string component_name;
    std::string feature_name;
};

// Resolves "COMPONENT.FEATURE" where each part is a name (case, spaces, '_' and '-' do not matter) or a
// hexadecimal identifier ("0x1500"); a single hexadecimal feature reference ("0x00401500") also works.
// False with a message naming the closest matches.
bool resolveFeature(const std::vector<DescComponent>& components, const std::string& text, FeatureRef& out,
                    std::string* error);

// Lower case without spaces, '_' and '-': the form names are compared in.
std::string normalizedName(const std::string& name);

// Parses decimal, or hexadecimal with a 0x prefix, into 32 bits (0x80000000 is allowed). False otherwise.
bool parseInt32(const std::string& text, int32_t& out);

}  // namespace tool
}  // namespace orvane
