#include "model/KvDeviceDescriptorParser.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "diag/logger.h"

namespace orvane {

// tinyxml2 stops a document nested deeper than this with XML_ELEMENT_DEPTH_EXCEEDED, so a hostile
// descriptor cannot exhaust the stack while parsing or freeing. Older releases had no such limit.
static_assert(TINYXML2_MAJOR_VERSION >= 8, "tinyxml2 without an element depth limit");
static_assert(::TINYXML2_MAX_ELEMENT_DEPTH > 0 && ::TINYXML2_MAX_ELEMENT_DEPTH <= 1000,
              "tinyxml2 element depth limit");

using tinyxml2::XMLElement;

namespace {

bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// [begin, end) of `text` without surrounding XML white space.
void trim(const char* text, const char** begin, const char** end) {
    const char* b = text;
    while (isXmlSpace(*b)) ++b;
    const char* e = b + std::strlen(b);
    while (e > b && isXmlSpace(e[-1])) --e;
    *begin = b;
    *end = e;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseIntRange(const char* p, const char* end, int32_t* out) {
    if (end - p > 2 && p[0] == '0' && p[1] == 'x') {
        uint64_t v = 0;
        for (p += 2; p < end; ++p) {
            int d = hexDigit(*p);
            if (d < 0) return false;
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > 0xffffffffull) return false;
        }
        *out = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = (*p++ == '-');
    if (p == end) return false;
    const uint64_t limit = negative ? 0x80000000ull : 0x7fffffffull;
    uint64_t v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > limit) return false;
    }
    *out = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
    return true;
}

// Locale-independent, so an application's numeric locale cannot change how descriptors read.
bool parseFloatRange(const char* p, const char* end, float* out) {
    // from_chars takes no '+'; accept one in front of an unsigned number.
    if (p < end && *p == '+') {
        ++p;
        if (p < end && *p == '-') return false;
    }
    if (p == end) return false;
    float v = 0.0f;
    std::from_chars_result r = std::from_chars(p, end, v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

// Attribute as an integer: `absent` when missing, 0 when not a number.
int32_t intAttribute(const XMLElement* element, const char* name, int32_t absent = 0) {
    const char* text = element->Attribute(name);
    if (!text) return absent;
    int32_t v = 0;
    return parseDescriptorInt(text, &v) ? v : 0;
}

float floatAttribute(const XMLElement* element, const char* name) {
    float v = 0.0f;
    return parseDescriptorFloat(element->Attribute(name), &v) ? v : 0.0f;
}

const char* orEmpty(const char* text) {
    return text ? text : "";
}

struct StructLayout {
    int32_t id;
    std::size_t floats;
};
constexpr StructLayout kStructLayouts[] = {{0x7000, 9}, {0x7001, 16}, {0x7002, 16}, {0x7006, 12}};

}  // namespace

bool parseDescriptorInt(const char* text, int32_t* out) {
    if (!text || !out) return false;
    const char* begin;
    const char* end;
    trim(text, &begin, &end);
    return parseIntRange(begin, end, out);
}

bool parseDescriptorFloat(const char* text, float* out) {
    if (!text || !out) return false;
    const char* begin;
    const char* end;
    trim(text, &begin, &end);
    return parseFloatRange(begin, end, out);
}

bool parseDescriptorBool(const char* text, bool* out) {
    if (!text || !out) return false;
    const char* begin;
    const char* end;
    trim(text, &begin, &end);
    std::size_t length = static_cast<std::size_t>(end - begin);
    if (length == 4 && std::memcmp(begin, "true", 4) == 0) {
        *out = true;
        return true;
    }
    if (length == 5 && std::memcmp(begin, "false", 5) == 0) {
        *out = false;
        return true;
    }
    int32_t v = 0;
    if (!parseIntRange(begin, end, &v)) return false;
    *out = v != 0;
    return true;
}

int KvDeviceDescriptorParser::parse(const char* text) {
    return load(text, text ? std::strlen(text) : 0);
}

int KvDeviceDescriptorParser::parse(const char* text, std::size_t length) {
    return load(text, length);
}

int KvDeviceDescriptorParser::load(const char* text, std::size_t length) {
    ready_ = false;
    root_ = nullptr;
    version_ = model_ = comprotocol_ = 0;
    if (!text || length == 0) {
        document_.Clear();
        return kDescriptorStatusError;
    }
    if (document_.Parse(text, length) != tinyxml2::XML_SUCCESS) {
        KV_LOG(kLogWarning, "device descriptor: XML error: %s\n", orEmpty(document_.ErrorStr()));
        document_.Clear();
        return kDescriptorStatusError;
    }
    root_ = document_.FirstChildElement();
    if (!root_) return kDescriptorStatusError;
    readHeader();
    ready_ = true;
    return kDescriptorStatusOk;
}

void KvDeviceDescriptorParser::readHeader() {
    version_ = intAttribute(root_, "version", 0);
    model_ = intAttribute(root_, "model", 1);
    comprotocol_ = 1;
    const XMLElement* protocol = root_->FirstChildElement("comprotocol");
    float v = 0.0f;
    // Truncation toward zero; a value outside the int range is treated like any other non-number.
    if (protocol && parseDescriptorFloat(protocol->GetText(), &v) && v >= -2147483648.0f &&
        v < 2147483648.0f) {
        comprotocol_ = static_cast<int32_t>(v);
    }
}

std::unique_ptr<KvComponentManager> KvDeviceDescriptorParser::generateComponentManager() const {
    if (!ready_ || version_ != 1) return nullptr;
    auto manager = std::make_unique<KvComponentManager>();
    genComponents_1(*manager);
    return manager;
}

bool KvDeviceDescriptorParser::genComponents_1(KvComponentManager& manager) const {
    if (!ready_ || !root_) return false;
    for (const XMLElement* element = root_->FirstChildElement("component"); element;
         element = element->NextSiblingElement("component")) {
        KvComponent component(intAttribute(element, "id"), element->Attribute("name"));
        for (const XMLElement* featureElement = element->FirstChildElement("feature"); featureElement;
             featureElement = featureElement->NextSiblingElement("feature")) {
            int32_t bind = intAttribute(featureElement, "bind");
            if (bind == 0) {
                component.features.push_back(buildFeature(featureElement));
                continue;
            }
            // Only components completed earlier are visible; the lookup never adds an entry.
            KvFeaturePtr target = manager.resolve(bind);
            if (!target) {
                KV_LOG(
                    kLogWarning,
                    "device descriptor: component 0x%x binds unknown feature 0x%x, components from here on "
                    "are ignored\n",
                    static_cast<unsigned>(component.id), static_cast<unsigned>(bind));
                return false;
            }
            // A record reached through a component that itself binds it already names its defining
            // component; keep that reference so reads still go through the owner.
            if (target->bindId == 0) target->bindId = bind;
            component.features.push_back(std::move(target));
        }
        if (!manager.insert(std::move(component))) {
            KV_LOG(kLogWarning, "device descriptor: duplicate component 0x%x ignored\n",
                   static_cast<unsigned>(intAttribute(element, "id")));
        }
    }
    return true;
}

KvFeaturePtr KvDeviceDescriptorParser::buildFeature(const XMLElement* element) const {
    auto feature = std::make_shared<KvFeature>();
    feature->id = intAttribute(element, "id");
    feature->setName(element->Attribute("name"));
    feature->access = intAttribute(element, "rw");
    feature->hide = intAttribute(element, "hide");
    const char* text = element->GetText();
    feature->isVolatile = (text == nullptr);
    feature->writableAtRun = intAttribute(element, "writableAtRun") != 0;
    if (element->Attribute("volatile")) feature->isVolatile = intAttribute(element, "volatile") != 0;

    switch (feature->type()) {
        case kFeatureTypeInt: {
            feature->min.setInt(intAttribute(element, "min"));
            feature->max.setInt(intAttribute(element, "max"));
            feature->inc.setInt(intAttribute(element, "inc"));
            int32_t v = 0;
            feature->value.setInt(parseDescriptorInt(text, &v) ? v : 0);
            break;
        }
        case kFeatureTypeFloat: {
            feature->min.setFloat(floatAttribute(element, "min"));
            feature->max.setFloat(floatAttribute(element, "max"));
            feature->inc.setFloat(floatAttribute(element, "inc"));
            float v = 0.0f;
            feature->value.setFloat(parseDescriptorFloat(text, &v) ? v : 0.0f);
            break;
        }
        case kFeatureTypeEnum: {
            feature->entries.clear();
            // The first child counts as an entry whatever its name; later ones only when named "entry".
            for (const XMLElement* entry = element->FirstChildElement(); entry;
                 entry = entry->NextSiblingElement("entry")) {
                feature->entries.push_back(
                    KV_ENUM_ENTRY_WRAPPER::make(entry->Attribute("name"), intAttribute(entry, "value")));
            }
            if (element->Attribute("default")) {
                feature->value.setInt(intAttribute(element, "default"));
            } else {
                feature->value.setInt(feature->entries.empty() ? 0 : feature->entries.front().value);
            }
            break;
        }
        case kFeatureTypeBool: {
            bool v = false;
            feature->value.setBool(parseDescriptorBool(text, &v) && v);
            break;
        }
        case kFeatureTypeString:
            feature->min.setInt(intAttribute(element, "max"));
            feature->stringValue = orEmpty(text);
            break;
        case kFeatureTypeByteArray:
            feature->min.setInt(intAttribute(element, "max"));
            // A byte array has no text layout: like an unknown struct, its text is ignored.
            [[fallthrough]];
        case kFeatureTypeStruct:
            if (text) {
                parseStruct(feature, text);
            } else {
                feature->bytes.clear();
            }
            break;
        default:
            break;
    }
    return feature;
}

bool KvDeviceDescriptorParser::parseStruct(const KvFeaturePtr& feature, const char* text) const {
    if (!feature) return false;
    std::size_t count = 0;
    for (const StructLayout& layout : kStructLayouts) {
        if (layout.id == feature->id) count = layout.floats;
    }
    if (count == 0) return false;

    std::vector<uint8_t> bytes(count * sizeof(float), 0);
    const char* p = text ? text : "";
    for (std::size_t i = 0; i < count; ++i) {
        while (isXmlSpace(*p)) ++p;
        const char* tokenEnd = p;
        while (*tokenEnd != '\0' && !isXmlSpace(*tokenEnd)) ++tokenEnd;
        float v = 0.0f;
        // The first token that is not a number ends the list; the remaining values stay 0.
        if (tokenEnd == p || !parseFloatRange(p, tokenEnd, &v)) break;
        std::memcpy(bytes.data() + i * sizeof(float), &v, sizeof(float));
        p = tokenEnd;
    }
    feature->bytes = std::move(bytes);
    return true;
}

const char* KvDeviceDescriptorParser::getFirmwareVer(const char* text) {
    if (load(text, text ? std::strlen(text) : 0) != kDescriptorStatusOk) return nullptr;
    for (const XMLElement* component = root_->FirstChildElement("component"); component;
         component = component->NextSiblingElement("component")) {
        const char* name = component->Attribute("name");
        if (!name || std::strcmp(name, "device") != 0) continue;
        for (const XMLElement* build = component->FirstChildElement("build"); build;
             build = build->NextSiblingElement("build")) {
            if (const XMLElement* hash = build->FirstChildElement("hash")) return hash->GetText();
        }
    }
    return nullptr;
}

void KvDeviceDescriptorParser::dump(std::FILE* out) const {
    if (!ready_) {
        std::fputs("=== Dump DeviceDescriptor failed, not ready!\n", out);
        return;
    }
    std::fprintf(out, "=== Dump DeviceDescriptor version %d\n", version_);
    if (version_ == 1) {
        dump_1(out);
        std::fputs("=== Dump DeviceDescriptor End\n", out);
    } else {
        std::fprintf(out, "*** Error: Unknown version: %d\n", version_);
    }
}

void KvDeviceDescriptorParser::dump_1(std::FILE* out) const {
    if (!ready_ || !root_) return;
    const XMLElement* protocol = root_->FirstChildElement("comprotocol");
    std::fprintf(out, "  comprotocol: %s\n", orEmpty(protocol ? protocol->GetText() : nullptr));
    // The listing starts after `comprotocol`; without one, it lists every component.
    const XMLElement* component =
        protocol ? protocol->NextSiblingElement("component") : root_->FirstChildElement("component");
    for (; component; component = component->NextSiblingElement("component")) {
        std::fprintf(out, "  component: id(%x) name(%s)\n",
                     static_cast<unsigned>(intAttribute(component, "id")),
                     orEmpty(component->Attribute("name")));
        for (const XMLElement* feature = component->FirstChildElement(); feature;
             feature = feature->NextSiblingElement("feature")) {
            int32_t bind = intAttribute(feature, "bind");
            if (bind != 0) {
                std::fprintf(out, "    feature[bindID]: %x\n", static_cast<unsigned>(bind));
                continue;
            }
            std::fprintf(out, "    feature: id(%x) name(%s) rw(%d) hide(%d) bind(%d) value: %s\n",
                         static_cast<unsigned>(intAttribute(feature, "id")),
                         orEmpty(feature->Attribute("name")), intAttribute(feature, "rw"),
                         intAttribute(feature, "hide"), bind, orEmpty(feature->GetText()));
        }
    }
}

}  // namespace orvane
