// Feature values as text: reading any feature type for display and writing one from what a user typed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kvdepth.h>

namespace orvane {
namespace tool {

// "int", "float", "enum", "bool", "string", "bytes", "struct" by the identifier's type bits.
const char* typeName(int32_t feature);

// The current value as text ("80", "true", "640x480 (2621920)", ...). The library's status on failure.
KV_STATUS readValueText(KV_DEV_HANDLE h, int32_t component, int32_t feature, std::string& out);

// Range or enumeration entries as text ("0 to 100, step 1", "160x120 = 655480, ..."); empty if none.
std::string limitsText(KV_DEV_HANDLE h, int32_t component, int32_t feature);

// The entries of an enumeration feature.
std::vector<KV_ENUM_ENTRY> enumEntries(KV_DEV_HANDLE h, int32_t component, int32_t feature);
// An entry's name as a string (the record's text is not terminated when 64 characters long).
std::string entryName(const KV_ENUM_ENTRY& entry);

// Parses `text` for the feature's type and writes it. `label` names the feature in messages. False with a
// one-line message (bad value, out of range, read-only, refused by the camera).
bool writeValueText(KV_DEV_HANDLE h, int32_t component, int32_t feature, const std::string& label,
                    const std::string& text, std::string* error);

}  // namespace tool
}  // namespace orvane
