#include "feature_values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera_session.h"
#include "descriptor_model.h"

namespace orvane {
namespace tool {
namespace {

int typeOf(int32_t feature) {
    return feature & KV_FEATURE_TYPE_MASK;
}

std::string formatFloat(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
    return text;
}

std::string hexBytes(const uint8_t* bytes, size_t count, size_t limit) {
    std::string text;
    char b[4];
    for (size_t i = 0; i < count && i < limit; ++i) {
        std::snprintf(b, sizeof b, "%02x", bytes[i]);
        text += b;
    }
    if (count > limit) text += "... (" + std::to_string(count) + " bytes)";
    return text;
}

// Struct features have no size query: the getter refuses every size but the stored one.
KV_STATUS readStruct(KV_DEV_HANDLE h, int32_t component, int32_t feature, std::vector<uint8_t>& bytes) {
    KV_STATUS status = KV_STATUS_WRONG_SIZE;
    for (int32_t size : {36, 64, 48, 4, 8, 12, 16, 24, 32, 128, 256}) {
        bytes.assign(static_cast<size_t>(size), 0);
        status = KVGetStruct(h, component, feature, bytes.data(), size);
        if (status != KV_STATUS_WRONG_SIZE) return status;
    }
    return status;
}

std::string structText(int32_t feature, const std::vector<uint8_t>& bytes) {
    if ((feature & 0xffff) == KV_FEATURE_TRIGGER_MODE_STRUCT && bytes.size() >= 4) {
        KV_TRIGGER_MODE mode;
        std::memcpy(&mode, bytes.data(), sizeof mode);
        return "mode " + std::to_string(mode.mode) + " param " + std::to_string(mode.param);
    }
    if (bytes.size() % 4 != 0) return hexBytes(bytes.data(), bytes.size(), 64);
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 4) {
        float v;
        std::memcpy(&v, bytes.data() + i, 4);
        text += (i ? " " : "") + formatFloat(v);
    }
    return text;
}

bool parseFloat(const std::string& text, float& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtof(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(out);
}

bool parseBool(const std::string& text, bool& out) {
    const std::string t = normalizedName(text);
    if (t == "true" || t == "1" || t == "on" || t == "yes") return out = true, true;
    if (t == "false" || t == "0" || t == "off" || t == "no") return out = false, true;
    return false;
}

bool parseHexBytes(std::string text, std::vector<uint8_t>& out) {
    if (text.rfind("0x", 0) == 0) text = text.substr(2);
    if (text.empty() || text.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

std::vector<float> parseFloats(const std::string& text, bool* ok) {
    std::vector<float> values;
    std::string token;
    *ok = true;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char ch = i < text.size() ? text[i] : ' ';
        if (ch == ' ' || ch == ',' || ch == '\t') {
            float v;
            if (!token.empty() && !(parseFloat(token, v) && (values.push_back(v), true))) *ok = false;
            token.clear();
        } else {
            token += ch;
        }
    }
    return values;
}

bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

}  // namespace

const char* typeName(int32_t feature) {
    switch (typeOf(feature)) {
        case KV_FEATURE_TYPE_INT:
            return "int";
        case KV_FEATURE_TYPE_FLOAT:
            return "float";
        case KV_FEATURE_TYPE_ENUM:
            return "enum";
        case KV_FEATURE_TYPE_BOOL:
            return "bool";
        case KV_FEATURE_TYPE_STRING:
            return "string";
        case KV_FEATURE_TYPE_BYTEARRAY:
            return "bytes";
        case KV_FEATURE_TYPE_STRUCT:
            return "struct";
        default:
            return "unknown";
    }
}

std::string entryName(const KV_ENUM_ENTRY& entry) {
    return std::string(entry.description, strnlen(entry.description, sizeof entry.description));
}

std::vector<KV_ENUM_ENTRY> enumEntries(KV_DEV_HANDLE h, int32_t component, int32_t feature) {
    uint32_t count = 0;
    if (KVGetEnumEntryCount(h, component, feature, &count) != KV_STATUS_OK || count == 0) return {};
    std::vector<KV_ENUM_ENTRY> entries(count);
    uint32_t filled = 0;
    if (KVGetEnumEntryInfo(h, component, feature, entries.data(), static_cast<int32_t>(count), &filled) !=
        KV_STATUS_OK)
        return {};
    entries.resize(std::min(filled, count));
    return entries;
}

KV_STATUS readValueText(KV_DEV_HANDLE h, int32_t component, int32_t feature, std::string& out) {
    KV_STATUS status = KV_STATUS_OK;
    switch (typeOf(feature)) {
        case KV_FEATURE_TYPE_INT: {
            int32_t v = 0;
            if ((status = KVGetInt(h, component, feature, &v)) == KV_STATUS_OK) out = std::to_string(v);
            break;
        }
        case KV_FEATURE_TYPE_FLOAT: {
            float v = 0;
            if ((status = KVGetFloat(h, component, feature, &v)) == KV_STATUS_OK) out = formatFloat(v);
            break;
        }
        case KV_FEATURE_TYPE_ENUM: {
            int32_t v = 0;
            if ((status = KVGetEnum(h, component, feature, &v)) != KV_STATUS_OK) break;
            out = std::to_string(v);
            for (const KV_ENUM_ENTRY& e : enumEntries(h, component, feature))
                if (e.value == v) out = entryName(e) + " (" + out + ")";
            break;
        }
        case KV_FEATURE_TYPE_BOOL: {
            bool v = false;
            if ((status = KVGetBool(h, component, feature, &v)) == KV_STATUS_OK) out = v ? "true" : "false";
            break;
        }
        case KV_FEATURE_TYPE_STRING: {
            uint32_t size = 0;
            KVGetStringBufferSize(h, component, feature, &size);
            std::vector<char> text(std::max<uint32_t>(size, 256) + 1, '\0');
            status = KVGetString(h, component, feature, text.data(), static_cast<int32_t>(text.size() - 1));
            if (status == KV_STATUS_OK) out = text.data();
            break;
        }
        case KV_FEATURE_TYPE_BYTEARRAY: {
            uint32_t size = 0;
            if ((status = KVGetByteArraySize(h, component, feature, &size)) != KV_STATUS_OK) break;
            std::vector<uint8_t> bytes(size);
            uint32_t filled = 0;
            status = KVGetByteArray(h, component, feature, bytes.data(), static_cast<int32_t>(size), &filled);
            if (status == KV_STATUS_OK) out = hexBytes(bytes.data(), std::min(filled, size), 64);
            break;
        }
        case KV_FEATURE_TYPE_STRUCT: {
            std::vector<uint8_t> bytes;
            if ((status = readStruct(h, component, feature, bytes)) == KV_STATUS_OK)
                out = structText(feature, bytes);
            break;
        }
        default:
            status = KV_STATUS_WRONG_TYPE;
    }
    return status;
}

std::string limitsText(KV_DEV_HANDLE h, int32_t component, int32_t feature) {
    switch (typeOf(feature)) {
        case KV_FEATURE_TYPE_INT: {
            KV_INT_RANGE r;
            if (KVGetIntRange(h, component, feature, &r) != KV_STATUS_OK || (r.min == 0 && r.max == 0))
                return {};
            return std::to_string(r.min) + " to " + std::to_string(r.max) +
                   (r.inc > 1 ? ", step " + std::to_string(r.inc) : "");
        }
        case KV_FEATURE_TYPE_FLOAT: {
            KV_FLOAT_RANGE r;
            if (KVGetFloatRange(h, component, feature, &r) != KV_STATUS_OK || (r.min == 0 && r.max == 0))
                return {};
            return formatFloat(r.min) + " to " + formatFloat(r.max);
        }
        case KV_FEATURE_TYPE_ENUM: {
            std::string text;
            for (const KV_ENUM_ENTRY& e : enumEntries(h, component, feature))
                text += (text.empty() ? "" : ", ") + entryName(e) + " = " + std::to_string(e.value);
            return text;
        }
        default:
            return {};
    }
}

bool writeValueText(KV_DEV_HANDLE h, int32_t component, int32_t feature, const std::string& label,
                    const std::string& text, std::string* error) {
    KV_FEATURE_INFO info{};
    if (KVGetFeatureInfo(h, component, feature, &info) == KV_STATUS_OK && info.isValid &&
        !(info.accessMode & KV_ACCESS_WRITE))
        return fail(error, label + " is read-only");
    const std::string bad = "'" + text + "' is not a valid " + typeName(feature) + " value for " + label;
    KV_STATUS status = KV_STATUS_OK;
    switch (typeOf(feature)) {
        case KV_FEATURE_TYPE_INT: {
            int32_t v = 0;
            if (!parseInt32(text, v)) return fail(error, bad);
            KV_INT_RANGE r{};
            const bool ranged = KVGetIntRange(h, component, feature, &r) == KV_STATUS_OK;
            status = KVSetInt(h, component, feature, v);
            if (status == KV_STATUS_OUT_OF_RANGE && ranged)
                return fail(error, "value " + text + " is out of range for " + label + " (" +
                                       std::to_string(r.min) + " to " + std::to_string(r.max) + ")");
            break;
        }
        case KV_FEATURE_TYPE_FLOAT: {
            float v = 0;
            if (!parseFloat(text, v)) return fail(error, bad);
            status = KVSetFloat(h, component, feature, v);
            break;
        }
        case KV_FEATURE_TYPE_ENUM: {
            const std::vector<KV_ENUM_ENTRY> entries = enumEntries(h, component, feature);
            int32_t v = 0;
            bool found = false;
            for (const KV_ENUM_ENTRY& e : entries)
                if (normalizedName(entryName(e)) == normalizedName(text)) v = e.value, found = true;
            if (!found && parseInt32(text, v))
                for (const KV_ENUM_ENTRY& e : entries) found = found || e.value == v;
            if (!found)
                return fail(error, "'" + text + "' is not an entry of " + label +
                                       "; entries: " + limitsText(h, component, feature));
            status = KVSetEnum(h, component, feature, v);
            break;
        }
        case KV_FEATURE_TYPE_BOOL: {
            bool v = false;
            if (!parseBool(text, v)) return fail(error, bad + " (true or false)");
            status = KVSetBool(h, component, feature, v);
            break;
        }
        case KV_FEATURE_TYPE_STRING:
            status = KVSetString(h, component, feature, text.c_str());
            break;
        case KV_FEATURE_TYPE_BYTEARRAY: {
            std::vector<uint8_t> bytes;
            if (!parseHexBytes(text, bytes)) return fail(error, bad + " (hexadecimal bytes)");
            status = KVSetByteArray(h, component, feature, bytes.data(), static_cast<int32_t>(bytes.size()));
            break;
        }
        case KV_FEATURE_TYPE_STRUCT: {
            std::vector<uint8_t> current;
            if ((status = readStruct(h, component, feature, current)) != KV_STATUS_OK) break;
            bool ok = false;
            const std::vector<float> values = parseFloats(text, &ok);
            std::vector<uint8_t> bytes(current.size(), 0);
            if ((feature & 0xffff) == KV_FEATURE_TRIGGER_MODE_STRUCT &&
                current.size() == sizeof(KV_TRIGGER_MODE)) {
                if (!ok || values.size() != 2) return fail(error, bad + " (MODE PARAM)");
                KV_TRIGGER_MODE mode{static_cast<int16_t>(values[0]), static_cast<uint16_t>(values[1])};
                std::memcpy(bytes.data(), &mode, sizeof mode);
            } else {
                if (!ok || values.size() * 4 != current.size())
                    return fail(error, bad + " (" + std::to_string(current.size() / 4) + " numbers)");
                std::memcpy(bytes.data(), values.data(), bytes.size());
            }
            status = KVSetStruct(h, component, feature, bytes.data(), static_cast<int32_t>(bytes.size()));
            break;
        }
        default:
            return fail(error, label + " has an unknown type");
    }
    if (status == KV_STATUS_OK) return true;
    switch (status) {
        case KV_STATUS_OUT_OF_RANGE:
            return fail(error, "value " + text + " is out of range for " + label);
        case KV_STATUS_NOT_PERMITTED:
        case KV_STATUS_READONLY_FEATURE:
            return fail(error, label + " is read-only");
        case KV_STATUS_BUSY:
            return fail(error, label + " cannot be changed while capturing");
        default:
            return fail(error, "cannot set " + label + " to " + text + ": " + statusText(status));
    }
}

}  // namespace tool
}  // namespace orvane
