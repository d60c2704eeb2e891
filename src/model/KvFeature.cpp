#include "model/KvFeature.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orvane {

namespace {

// A typed constructor called with an identifier of another type is a bug in the calling code, not a
// runtime condition: stop at once, in every build type.
void requireTypeCode(int32_t id, int32_t typeCode) {
    if ((id & kFeatureTypeMask) != typeCode) {
        std::fprintf(stderr, "KvFeature: identifier 0x%x does not have type code 0x%x\n",
                     static_cast<unsigned>(id), static_cast<unsigned>(typeCode));
        std::abort();
    }
}

std::string boundedString(const char* field, std::size_t size) {
    const void* end = std::memchr(field, '\0', size);
    std::size_t length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : size;
    return std::string(field, length);
}

}  // namespace

void copyBoundedName(char* dst, std::size_t size, const char* src) {
    std::memset(dst, 0, size);
    if (!src) return;
    for (std::size_t i = 0; i < size && src[i] != '\0'; ++i) dst[i] = src[i];
}

KV_ENUM_ENTRY_WRAPPER KV_ENUM_ENTRY_WRAPPER::make(const char* description, int32_t value) {
    KV_ENUM_ENTRY_WRAPPER entry;
    std::memset(&entry, 0, sizeof(entry));
    copyBoundedName(entry.description, sizeof(entry.description), description);
    entry.value = value;
    return entry;
}

std::string KV_ENUM_ENTRY_WRAPPER::descriptionString() const {
    return boundedString(description, sizeof(description));
}

int32_t KvValueCell::asInt() const {
    int32_t v;
    std::memcpy(&v, raw_, sizeof(v));
    return v;
}

float KvValueCell::asFloat() const {
    float v;
    std::memcpy(&v, raw_, sizeof(v));
    return v;
}

void KvValueCell::setInt(int32_t v) {
    std::memcpy(raw_, &v, sizeof(v));
}

void KvValueCell::setFloat(float v) {
    std::memcpy(raw_, &v, sizeof(v));
}

void KvValueCell::setBool(bool v) {
    std::memset(raw_, 0, sizeof(raw_));
    raw_[0] = v ? 1 : 0;
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, int32_t min, int32_t max, int32_t inc,
                     int32_t defaultValue)
    : id(id), access(access) {
    requireTypeCode(id, kFeatureTypeInt);
    setName(name);
    this->min.setInt(min);
    this->max.setInt(max);
    this->inc.setInt(inc);
    value.setInt(defaultValue);
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, float min, float max, float inc,
                     float defaultValue)
    : id(id), access(access) {
    requireTypeCode(id, kFeatureTypeFloat);
    setName(name);
    this->min.setFloat(min);
    this->max.setFloat(max);
    this->inc.setFloat(inc);
    value.setFloat(defaultValue);
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, bool defaultValue)
    : id(id), access(access) {
    requireTypeCode(id, kFeatureTypeBool);
    setName(name);
    value.setBool(defaultValue);
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, std::vector<KV_ENUM_ENTRY_WRAPPER>&& list,
                     int32_t defaultValue)
    : id(id), access(access), entries(std::move(list)) {
    requireTypeCode(id, kFeatureTypeEnum);
    setName(name);
    value.setInt(defaultValue);
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, int32_t maxLength, std::string text)
    : id(id), access(access), stringValue(std::move(text)) {
    requireTypeCode(id, kFeatureTypeString);
    setName(name);
    min.setInt(maxLength);
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, int32_t size, std::vector<uint8_t>&& data)
    : id(id), access(access), bytes(std::move(data)) {
    requireTypeCode(id, kFeatureTypeByteArray);
    setName(name);
    min.setInt(size);
}

KvFeature::KvFeature(int32_t id, const char* name, int32_t access, int32_t size, const uint8_t* data)
    : id(id), access(access) {
    requireTypeCode(id, kFeatureTypeStruct);
    setName(name);
    min.setInt(size);
    // A negative size is a caller bug as well; an empty record is the only safe reading of it.
    bytes.assign(size > 0 ? static_cast<std::size_t>(size) : 0u, 0);
    if (data && !bytes.empty()) std::memcpy(bytes.data(), data, bytes.size());
}

std::string KvFeature::nameString() const {
    return boundedString(name, sizeof(name));
}

bool KvFeature::isValidEnumValue(int32_t v) const {
    for (const KV_ENUM_ENTRY_WRAPPER& entry : entries) {
        if (entry.value == v) return true;
    }
    return false;
}

void KvFeature::copyRangeBlock(void* out16) const {
    unsigned char* out = static_cast<unsigned char*>(out16);
    std::memcpy(out, min.data(), 4);
    std::memcpy(out + 4, max.data(), 4);
    std::memcpy(out + 8, inc.data(), 4);
    std::memcpy(out + 12, value.data(), 4);
}

KvComponent::KvComponent(int32_t id, const char* name) : id(id) {
    setName(name);
}

std::string KvComponent::nameString() const {
    return boundedString(name, sizeof(name));
}

KvFeaturePtr KvComponent::findFeature(int32_t featureId) const {
    for (const KvFeaturePtr& feature : features) {
        if (feature && feature->id == featureId) return feature;
    }
    return nullptr;
}

bool KvComponentManager::insert(KvComponent component) {
    int32_t key = component.id;
    return components_.emplace(key, std::move(component)).second;
}

KvComponent* KvComponentManager::find(int32_t componentId) {
    auto it = components_.find(componentId);
    return it == components_.end() ? nullptr : &it->second;
}

const KvComponent* KvComponentManager::find(int32_t componentId) const {
    auto it = components_.find(componentId);
    return it == components_.end() ? nullptr : &it->second;
}

KvFeaturePtr KvComponentManager::findFeature(int32_t componentId, int32_t featureId) const {
    const KvComponent* component = find(componentId);
    return component ? component->findFeature(featureId) : nullptr;
}

KvFeaturePtr KvComponentManager::resolve(int32_t featureRef) const {
    return findFeature(featureRefComponent(featureRef), featureRefFeature(featureRef));
}

int32_t KvComponentManager::componentMask() const {
    uint32_t mask = 0;
    for (const auto& entry : components_) mask |= static_cast<uint32_t>(entry.first);
    return static_cast<int32_t>(mask);
}

void KvComponentManager::merge(const KvComponentManager& overrides) {
    for (const auto& entry : overrides.components_) {
        KvComponent* target = find(entry.first);
        if (!target) {
            components_.emplace(entry.first, entry.second);
            continue;
        }
        for (const KvFeaturePtr& feature : entry.second.features) {
            if (!feature) continue;
            bool replaced = false;
            for (KvFeaturePtr& existing : target->features) {
                if (existing && existing->id == feature->id) {
                    existing = feature;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) target->features.push_back(feature);
        }
    }
}

}  // namespace orvane
