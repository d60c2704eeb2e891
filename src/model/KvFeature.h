// The camera's feature model: typed features, the components that list them, and the ordered
// component manager built from a device descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kvdepth.h"

namespace orvane {

// Component identifiers: exactly one bit among bits 16..31, so sets of components are ORs.
constexpr int32_t kComponentDevice = KV_COMPONENT_DEVICE;  // 0x80000000, the most negative key
constexpr int32_t kComponentDepth = KV_COMPONENT_DEPTH;
constexpr int32_t kComponentPoint3D = KV_COMPONENT_POINT3D;
constexpr int32_t kComponentLeftIR = KV_COMPONENT_LEFT_IR;
constexpr int32_t kComponentRightIR = KV_COMPONENT_RIGHT_IR;
constexpr int32_t kComponentColor = KV_COMPONENT_COLOR;
constexpr int32_t kComponentImageExtra = KV_COMPONENT_IMAGE_EXTRA;
constexpr int32_t kComponentLaser = KV_COMPONENT_LASER;
constexpr int32_t kComponentAuxData = KV_COMPONENT_AUX_DATA;

// Value type of a feature: its identifier ANDed with kFeatureTypeMask.
constexpr int32_t kFeatureTypeMask = KV_FEATURE_TYPE_MASK;
constexpr int32_t kFeatureTypeInt = KV_FEATURE_TYPE_INT;
constexpr int32_t kFeatureTypeFloat = KV_FEATURE_TYPE_FLOAT;
constexpr int32_t kFeatureTypeEnum = KV_FEATURE_TYPE_ENUM;
constexpr int32_t kFeatureTypeBool = KV_FEATURE_TYPE_BOOL;
constexpr int32_t kFeatureTypeString = KV_FEATURE_TYPE_STRING;
constexpr int32_t kFeatureTypeByteArray = KV_FEATURE_TYPE_BYTEARRAY;
constexpr int32_t kFeatureTypeStruct = KV_FEATURE_TYPE_STRUCT;

// Access bits.
constexpr int32_t kAccessRead = KV_ACCESS_READ;
constexpr int32_t kAccessWrite = KV_ACCESS_WRITE;

constexpr std::size_t kFeatureNameSize = 32;
constexpr std::size_t kComponentNameSize = 32;
constexpr std::size_t kEnumDescriptionSize = 64;

// A feature reference packs a component identifier (upper 16 bits) and a feature identifier (lower 16).
inline int32_t makeFeatureRef(int32_t componentId, int32_t featureId) {
    return static_cast<int32_t>((static_cast<uint32_t>(componentId) & 0xffff0000u) |
                                (static_cast<uint32_t>(featureId) & 0xffffu));
}
inline int32_t featureRefComponent(int32_t ref) {
    return static_cast<int32_t>(static_cast<uint32_t>(ref) & 0xffff0000u);
}
inline int32_t featureRefFeature(int32_t ref) {
    return static_cast<int32_t>(static_cast<uint32_t>(ref) & 0xffffu);
}

// Copies at most `size` bytes of `src` into `dst` and zero-fills the rest; a source of `size` bytes or
// more leaves no terminator. A null source gives an all-zero field.
void copyBoundedName(char* dst, std::size_t size, const char* src);

// The same 80-byte layout as the exported KV_ENUM_ENTRY, so entries are copied out byte for byte.
struct KV_ENUM_ENTRY_WRAPPER {
    char description[kEnumDescriptionSize];
    int32_t value;
    int32_t reserved[3];

    static KV_ENUM_ENTRY_WRAPPER make(const char* description, int32_t value);
    // The description as text, bounded by its 64 bytes.
    std::string descriptionString() const;
};
static_assert(sizeof(KV_ENUM_ENTRY_WRAPPER) == 80, "enum entries are 80-byte records");
static_assert(sizeof(KV_ENUM_ENTRY_WRAPPER) == sizeof(KV_ENUM_ENTRY), "enum entry size");
static_assert(offsetof(KV_ENUM_ENTRY_WRAPPER, description) == offsetof(KV_ENUM_ENTRY, description),
              "enum entry description offset");
static_assert(offsetof(KV_ENUM_ENTRY_WRAPPER, value) == offsetof(KV_ENUM_ENTRY, value),
              "enum entry value offset");
static_assert(offsetof(KV_ENUM_ENTRY_WRAPPER, reserved) == offsetof(KV_ENUM_ENTRY, reserved),
              "enum entry reserved offset");

// One 32-bit value cell of a feature: an int, a float or, for Bool, its first byte. Stored as raw bytes
// so the driver can write a device value straight into it and every typed view stays well defined.
class KvValueCell {
  public:
    int32_t asInt() const;
    float asFloat() const;
    bool asBool() const { return raw_[0] != 0; }
    void setInt(int32_t v);
    void setFloat(float v);
    void setBool(bool v);
    unsigned char* data() { return raw_; }
    const unsigned char* data() const { return raw_; }

  private:
    alignas(4) unsigned char raw_[4] = {0, 0, 0, 0};
};
static_assert(sizeof(KvValueCell) == 4, "value cells are 32 bits");

class KvFeature {
  public:
    int32_t id = -1;
    char name[kFeatureNameSize] = {};
    bool isVolatile = false;
    bool writableAtRun = false;
    int32_t access = 0;
    int32_t hide = 0;
    int32_t bindId = 0;
    // Int/Float: bounds and step. String: maximum length in `min`. ByteArray/Struct: size in `min`.
    KvValueCell min;
    KvValueCell max;
    KvValueCell inc;
    KvValueCell value;
    std::vector<KV_ENUM_ENTRY_WRAPPER> entries;
    std::string stringValue;
    std::vector<uint8_t> bytes;

    KvFeature() = default;
    // Typed constructors; a type code of `id` that does not match the constructor aborts the process.
    KvFeature(int32_t id, const char* name, int32_t access, int32_t min, int32_t max, int32_t inc,
              int32_t defaultValue);
    KvFeature(int32_t id, const char* name, int32_t access, float min, float max, float inc,
              float defaultValue);
    KvFeature(int32_t id, const char* name, int32_t access, bool defaultValue);
    KvFeature(int32_t id, const char* name, int32_t access, std::vector<KV_ENUM_ENTRY_WRAPPER>&& entries,
              int32_t defaultValue);
    KvFeature(int32_t id, const char* name, int32_t access, int32_t maxLength, std::string text);
    KvFeature(int32_t id, const char* name, int32_t access, int32_t size, std::vector<uint8_t>&& data);
    // Struct: `size` bytes copied from `data`, or zeros when `data` is null.
    KvFeature(int32_t id, const char* name, int32_t access, int32_t size, const uint8_t* data);

    int32_t type() const { return id & kFeatureTypeMask; }
    bool isType(int32_t typeCode) const { return type() == typeCode; }
    bool isReadable() const { return (access & kAccessRead) != 0; }
    bool isWritable() const { return (access & kAccessWrite) != 0; }
    bool isBound() const { return bindId != 0; }
    int32_t bindComponentId() const { return featureRefComponent(bindId); }
    int32_t bindFeatureId() const { return featureRefFeature(bindId); }

    void setName(const char* text) { copyBoundedName(name, sizeof(name), text); }
    // The name as text, bounded by its 32 bytes.
    std::string nameString() const;

    bool isValidEnumValue(int32_t v) const;

    // The four cells min, max, inc, value as one 16-byte block, as the range queries report them.
    void copyRangeBlock(void* out16) const;
};

using KvFeaturePtr = std::shared_ptr<KvFeature>;

class KvComponent {
  public:
    int32_t id = -1;
    char name[kComponentNameSize] = {};
    // In descriptor order; bound features are the defining component's very records.
    std::vector<KvFeaturePtr> features;

    KvComponent() = default;
    KvComponent(int32_t id, const char* name);

    void setName(const char* text) { copyBoundedName(name, sizeof(name), text); }
    std::string nameString() const;

    // First feature whose own identifier equals `featureId`, or null.
    KvFeaturePtr findFeature(int32_t featureId) const;
};

// The whole model of one camera, ordered by component identifier as a signed 32-bit key, so the device
// component (0x80000000) comes first.
class KvComponentManager {
  public:
    using Map = std::map<int32_t, KvComponent>;
    using iterator = Map::iterator;
    using const_iterator = Map::const_iterator;

    KvComponentManager() = default;
    // Copies would silently share every feature record; use merge() when sharing is meant.
    KvComponentManager(const KvComponentManager&) = delete;
    KvComponentManager& operator=(const KvComponentManager&) = delete;
    KvComponentManager(KvComponentManager&&) = default;
    KvComponentManager& operator=(KvComponentManager&&) = default;

    // Inserts under component.id; returns false and keeps the existing entry when the key is taken.
    bool insert(KvComponent component);
    // Lookups never create entries.
    KvComponent* find(int32_t componentId);
    const KvComponent* find(int32_t componentId) const;
    bool contains(int32_t componentId) const { return components_.count(componentId) != 0; }
    KvFeaturePtr findFeature(int32_t componentId, int32_t featureId) const;
    // The feature named by a reference (component in the upper 16 bits, feature in the lower 16).
    KvFeaturePtr resolve(int32_t featureRef) const;

    // OR of every component identifier.
    int32_t componentMask() const;

    // Applies a partial model: a feature of `overrides` replaces the same-identifier entry of the
    // matching component in place or is appended to it; components not present yet are inserted whole.
    // The override records are shared, not copied.
    void merge(const KvComponentManager& overrides);

    std::size_t size() const { return components_.size(); }
    bool empty() const { return components_.empty(); }
    iterator begin() { return components_.begin(); }
    iterator end() { return components_.end(); }
    const_iterator begin() const { return components_.begin(); }
    const_iterator end() const { return components_.end(); }

  private:
    Map components_;
};

}  // namespace orvane
