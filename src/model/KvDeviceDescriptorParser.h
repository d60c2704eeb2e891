// Turns a device descriptor (XML) into a KvComponentManager, and reads the build hash of a firmware
// version document. Descriptors come from the device or from local files: every value is checked.
#pragma once

#include <tinyxml2.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "model/KvFeature.h"

namespace orvane {

constexpr int kDescriptorStatusOk = KV_STATUS_OK;
constexpr int kDescriptorStatusError = KV_STATUS_ERROR;  // "some error"

// Number texts of descriptors and device documents. Surrounding XML white space is allowed; anything
// else that is not part of the number makes the whole text "not a number" (false, *out untouched).
// Integers: decimal with an optional sign inside the signed 32-bit range, or 0x followed by hex digits
// up to 0xffffffff, taken as the 32-bit pattern (0x80000000 is negative).
bool parseDescriptorInt(const char* text, int32_t* out);
// Decimal floating point; values that do not fit a finite float are not numbers.
bool parseDescriptorFloat(const char* text, float* out);
// `true`, `false`, or an integer (non-zero is true).
bool parseDescriptorBool(const char* text, bool* out);

class KvDeviceDescriptorParser {
  public:
    KvDeviceDescriptorParser() = default;
    KvDeviceDescriptorParser(const KvDeviceDescriptorParser&) = delete;
    KvDeviceDescriptorParser& operator=(const KvDeviceDescriptorParser&) = delete;

    // Parses a NUL-terminated descriptor text into the parser's document: 0, or -1001 for malformed
    // XML, an empty text or a document without an element (the parser is then not ready).
    int parse(const char* text);
    // The same for a buffer of `length` bytes; parsing stops at an earlier NUL byte.
    int parse(const char* text, std::size_t length);

    // A new model built from the parsed descriptor, or null when not ready or the grammar version is
    // not 1. A bind that cannot be resolved ends the model before the failing component (see
    // genComponents_1); the components completed before it are kept.
    std::unique_ptr<KvComponentManager> generateComponentManager() const;
    // Fills `manager` with the components of a version 1 descriptor; false at the first bound feature
    // that names no earlier component's feature (that component and all later ones are left out) or
    // when nothing is parsed.
    bool genComponents_1(KvComponentManager& manager) const;
    // Fills the bytes of a Struct feature with a known layout from a text of floats; false and nothing
    // changed for any other identifier.
    bool parseStruct(const KvFeaturePtr& feature, const char* text) const;

    // Parses a firmware version document and returns the text of the first `hash` under a `build` of
    // the component named "device", or null. The text belongs to the parser and stays valid until the
    // next parse or getFirmwareVer call, or the parser's destruction.
    const char* getFirmwareVer(const char* text);

    // Prints the parsed descriptor (to standard output unless told otherwise).
    void dump(std::FILE* out = stdout) const;
    void dump_1(std::FILE* out = stdout) const;

    bool isReady() const { return ready_; }
    const tinyxml2::XMLElement* rootElement() const { return root_; }
    // Name of the root element, or null when nothing is parsed.
    const char* rootName() const { return root_ ? root_->Name() : nullptr; }
    int32_t version() const { return version_; }
    int32_t model() const { return model_; }
    // Protocol generation from `comprotocol`, truncated to an integer.
    int32_t comprotocol() const { return comprotocol_; }

  private:
    int load(const char* text, std::size_t length);
    void readHeader();
    KvFeaturePtr buildFeature(const tinyxml2::XMLElement* element) const;

    tinyxml2::XMLDocument document_;
    bool ready_ = false;
    const tinyxml2::XMLElement* root_ = nullptr;
    int32_t version_ = 0;
    int32_t model_ = 0;
    int32_t comprotocol_ = 0;
};

}  // namespace orvane
