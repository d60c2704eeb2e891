// Typed feature access: the checks of the exported feature functions, the refresh of volatile values and
// the writes that go through the hardware driver.
#include <cmath>
#include <cstring>

#include "camera/KvCamera.h"
#include "device/KvHwDriver.h"

namespace orvane {

int KvCamera::lookup(int32_t componentId, int32_t featureId, KvComponent*& comp, KvFeaturePtr& feature) {
    comp = component(componentId);
    if (!comp) return KV_STATUS_INVALID_COMPONENT;
    feature = comp->findFeature(featureId);
    return feature ? 0 : KV_STATUS_INVALID_FEATURE;
}

int KvCamera::readFeature(int32_t componentId, int32_t featureId, KvFeature* feature) {
    if (!feature) return KV_STATUS_NULL_POINTER;
    if (!driver_) return KV_STATUS_DEVICE_ERROR;
    if (refuseWhileLinkNeedsThisThread()) return KV_STATUS_BUSY;
    if (feature->isBound()) {
        return driver_->readFeature(feature->bindComponentId(), feature->bindFeatureId(), feature);
    }
    return driver_->readFeature(componentId, featureId, feature);
}

// Volatile values are read from the device before they are reported; the rest come from the model.
int KvCamera::refresh(int32_t componentId, KvFeature* feature) {
    return feature->isVolatile ? readFeature(componentId, feature->id, feature) : 0;
}

int KvCamera::commitWrite(int32_t componentId, KvFeature* feature, const void* bytes, int32_t size) {
    if (!feature) return KV_STATUS_NULL_POINTER;
    if (!driver_) return KV_STATUS_DEVICE_ERROR;
    if (refuseWhileLinkNeedsThisThread()) return KV_STATUS_BUSY;
    // Like reads, a bound feature is written through its defining component: the driver knows the
    // device command only there (the 3D-point image mode is the depth image mode).
    if (feature->isBound()) {
        return driver_->writeFeature(feature->bindComponentId(), feature->bindFeatureId(), bytes, size);
    }
    return driver_->writeFeature(componentId, feature->id, bytes, size);
}

// ---------------------------------------------------------------- typed writes

int KvCamera::writeIntFeature(int32_t componentId, KvFeature* feature, int32_t value) {
    const int status = commitWrite(componentId, feature, &value, sizeof(value));
    if (status == 0) feature->value.setInt(value);
    return status;
}

int KvCamera::writeFloatFeature(int32_t componentId, KvFeature* feature, float value) {
    const int status = commitWrite(componentId, feature, &value, sizeof(value));
    if (status == 0) feature->value.setFloat(value);
    return status;
}

int KvCamera::writeEnumFeature(int32_t componentId, KvFeature* feature, int32_t value) {
    const int status = commitWrite(componentId, feature, &value, sizeof(value));
    if (status == 0) feature->value.setInt(value);
    if (feature && feature->id == kFeatureImageMode) {
        // Frames of the new size need a new layout; buffers cut for the old one are all dropped.
        renewLayout();
        dropAllBuffers();
    }
    return status;
}

int KvCamera::writeBoolFeature(int32_t componentId, KvFeature* feature, bool value) {
    const uint8_t byte = value ? 1 : 0;
    const int status = commitWrite(componentId, feature, &byte, 1);
    if (status == 0) feature->value.setBool(value);
    return status;
}

int KvCamera::writeStringFeature(int32_t componentId, KvFeature* feature, const char* text) {
    if (!text) return KV_STATUS_NULL_POINTER;
    const int32_t size = static_cast<int32_t>(std::strlen(text) + 1);
    const int status = commitWrite(componentId, feature, text, size);
    if (status == 0) feature->stringValue = text;
    return status;
}

int KvCamera::writeByteArrayFeature(int32_t componentId, KvFeature* feature, const uint8_t* bytes,
                                    int32_t size) {
    if (!bytes && size > 0) return KV_STATUS_NULL_POINTER;
    if (size < 0) return KV_STATUS_WRONG_SIZE;
    const int status = commitWrite(componentId, feature, bytes, size);
    if (status == 0) feature->bytes.assign(bytes, bytes + size);
    return status;
}

int KvCamera::writeStructFeature(int32_t componentId, KvFeature* feature, const void* bytes, int32_t size) {
    if (!bytes && size > 0) return KV_STATUS_NULL_POINTER;
    if (size < 0) return KV_STATUS_WRONG_SIZE;
    const int status = commitWrite(componentId, feature, bytes, size);
    if (status == 0) {
        const uint8_t* begin = static_cast<const uint8_t*>(bytes);
        feature->bytes.assign(begin, begin + size);
    }
    return status;
}

// ---------------------------------------------------------------- checked operations

namespace {

bool refusedDuringCapture(bool capturing, const KvFeature& feature) {
    return capturing && !feature.writableAtRun;
}

}  // namespace

int KvCamera::getFeatureInfo(int32_t componentId, int32_t featureId, KV_FEATURE_INFO* info) {
    KvComponent* comp = component(componentId);
    if (!comp) return KV_STATUS_INVALID_COMPONENT;
    if (!info) return KV_STATUS_NULL_POINTER;
    info->componentID = componentId;
    info->featureID = featureId;
    const KvFeaturePtr feature = comp->findFeature(featureId);
    if (!feature) {
        info->isValid = 0;
        return 0;
    }
    info->isValid = 1;
    copyBoundedName(info->name, sizeof(info->name), feature->nameString().c_str());
    info->accessMode = static_cast<uint8_t>(feature->access);
    info->writableAtRun = feature->writableAtRun ? 1 : 0;
    info->bindComponentID = feature->isBound() ? feature->bindComponentId() : 0;
    info->bindFeatureID = feature->isBound() ? feature->bindFeatureId() : 0;
    return 0;
}

int KvCamera::getIntRange(int32_t componentId, int32_t featureId, KV_INT_RANGE* range) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeInt)) return KV_STATUS_WRONG_TYPE;
    if (!range) return KV_STATUS_NULL_POINTER;
    if (!f->isWritable()) return KV_STATUS_READONLY_FEATURE;
    f->copyRangeBlock(range);
    return 0;
}

int KvCamera::getInt(int32_t componentId, int32_t featureId, int32_t* value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeInt)) return KV_STATUS_WRONG_TYPE;
    if (!value) return KV_STATUS_NULL_POINTER;
    if (const int status = refresh(componentId, f.get())) return status;
    *value = f->value.asInt();
    return 0;
}

int KvCamera::setInt(int32_t componentId, int32_t featureId, int32_t value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeInt)) return KV_STATUS_WRONG_TYPE;
    if (value < f->min.asInt() || value > f->max.asInt()) return KV_STATUS_OUT_OF_RANGE;
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    return writeIntFeature(componentId, f.get(), value);
}

int KvCamera::getFloatRange(int32_t componentId, int32_t featureId, KV_FLOAT_RANGE* range) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeFloat)) return KV_STATUS_WRONG_TYPE;
    if (!range) return KV_STATUS_NULL_POINTER;
    f->copyRangeBlock(range);
    return 0;
}

int KvCamera::getFloat(int32_t componentId, int32_t featureId, float* value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeFloat)) return KV_STATUS_WRONG_TYPE;
    if (!value) return KV_STATUS_NULL_POINTER;
    if (const int status = refresh(componentId, f.get())) return status;
    *value = f->value.asFloat();
    return 0;
}

int KvCamera::setFloat(int32_t componentId, int32_t featureId, float value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeFloat)) return KV_STATUS_WRONG_TYPE;
    // NaN passes neither bound.
    if (std::isnan(value) || value > f->max.asFloat() || value < f->min.asFloat())
        return KV_STATUS_OUT_OF_RANGE;
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    return writeFloatFeature(componentId, f.get(), value);
}

int KvCamera::getEnumEntryCount(int32_t componentId, int32_t featureId, uint32_t* count) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeEnum)) return KV_STATUS_WRONG_TYPE;
    if (!count) return KV_STATUS_NULL_POINTER;
    *count = static_cast<uint32_t>(f->entries.size());
    return 0;
}

int KvCamera::getEnumEntryInfo(int32_t componentId, int32_t featureId, KV_ENUM_ENTRY* entries, int32_t count,
                               uint32_t* filled) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeEnum)) return KV_STATUS_WRONG_TYPE;
    if (!entries || !filled) return KV_STATUS_NULL_POINTER;
    const size_t n = count < 1 ? 0 : std::min(static_cast<size_t>(count), f->entries.size());
    if (n > 0) std::memcpy(entries, f->entries.data(), n * sizeof(KV_ENUM_ENTRY));
    *filled = static_cast<uint32_t>(n);
    return 0;
}

int KvCamera::getEnum(int32_t componentId, int32_t featureId, int32_t* value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeEnum)) return KV_STATUS_WRONG_TYPE;
    if (!value) return KV_STATUS_NULL_POINTER;
    if (const int status = refresh(componentId, f.get())) return status;
    *value = f->value.asInt();
    return 0;
}

int KvCamera::setEnum(int32_t componentId, int32_t featureId, int32_t value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeEnum)) return KV_STATUS_WRONG_TYPE;
    if (!f->isValidEnumValue(value)) return KV_STATUS_INVALID_PARAMETER;
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    return writeEnumFeature(componentId, f.get(), value);
}

int KvCamera::getBool(int32_t componentId, int32_t featureId, bool* value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeBool)) return KV_STATUS_WRONG_TYPE;
    if (!value) return KV_STATUS_NULL_POINTER;
    if (const int status = refresh(componentId, f.get())) return status;
    *value = f->value.asBool();
    return 0;
}

int KvCamera::setBool(int32_t componentId, int32_t featureId, bool value) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeBool)) return KV_STATUS_WRONG_TYPE;
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    return writeBoolFeature(componentId, f.get(), value);
}

int KvCamera::getStringBufferSize(int32_t componentId, int32_t featureId, uint32_t* size) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeString)) return KV_STATUS_WRONG_TYPE;
    if (!size) return KV_STATUS_NULL_POINTER;
    *size = static_cast<uint32_t>(f->min.asInt());
    return 0;
}

int KvCamera::getString(int32_t componentId, int32_t featureId, char* buffer, int32_t size) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeString)) return KV_STATUS_WRONG_TYPE;
    if (!buffer) return KV_STATUS_NULL_POINTER;
    if (size < 0) return KV_STATUS_WRONG_SIZE;
    if (const int status = refresh(componentId, f.get())) return status;
    // Zero-padded; a text as long as the buffer is not terminated.
    const size_t n = std::min(static_cast<size_t>(size), f->stringValue.size());
    std::memcpy(buffer, f->stringValue.data(), n);
    std::memset(buffer + n, 0, static_cast<size_t>(size) - n);
    return 0;
}

int KvCamera::setString(int32_t componentId, int32_t featureId, const char* text) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeString)) return KV_STATUS_WRONG_TYPE;
    if (!text) return KV_STATUS_NULL_POINTER;
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    return writeStringFeature(componentId, f.get(), text);
}

int KvCamera::getByteArraySize(int32_t componentId, int32_t featureId, uint32_t* size) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeByteArray)) return KV_STATUS_WRONG_TYPE;
    if (!size) return KV_STATUS_NULL_POINTER;
    *size = static_cast<uint32_t>(f->bytes.size());
    return 0;
}

int KvCamera::getByteArray(int32_t componentId, int32_t featureId, uint8_t* buffer, int32_t size,
                           uint32_t* filled) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeByteArray)) return KV_STATUS_WRONG_TYPE;
    if (!buffer || !filled) return KV_STATUS_NULL_POINTER;
    if (size < 0) return KV_STATUS_WRONG_SIZE;
    if (const int status = refresh(componentId, f.get())) return status;
    const size_t n = std::min(static_cast<size_t>(size), f->bytes.size());
    if (n > 0) std::memcpy(buffer, f->bytes.data(), n);
    *filled = static_cast<uint32_t>(n);
    return 0;
}

int KvCamera::setByteArray(int32_t componentId, int32_t featureId, const uint8_t* buffer, int32_t size) {
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeByteArray)) return KV_STATUS_WRONG_TYPE;
    if (!buffer) return KV_STATUS_NULL_POINTER;
    if (size < 0 || size > f->min.asInt()) return KV_STATUS_WRONG_SIZE;
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    return writeByteArrayFeature(componentId, f.get(), buffer, size);
}

int KvCamera::getStruct(int32_t componentId, int32_t featureId, void* buffer, int32_t size) {
    if (featureId == kFeatureNotImplementedStruct) return KV_STATUS_NOT_IMPLEMENTED;
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isType(kFeatureTypeStruct)) return KV_STATUS_WRONG_TYPE;
    if (!buffer) return KV_STATUS_NULL_POINTER;
    const bool triggerRecord = featureId == kFeatureTriggerModeRecord;
    if (size < 0 || (!triggerRecord && static_cast<size_t>(size) != f->bytes.size())) {
        return KV_STATUS_WRONG_SIZE;
    }
    if (featureId == kFeatureIntrinsic) {
        if (static_cast<size_t>(size) < sizeof(KV_CAMERA_INTRINSIC)) return KV_STATUS_WRONG_SIZE;
        return getCurIntrinsic(comp, f.get(), static_cast<KV_CAMERA_INTRINSIC*>(buffer));
    }
    if (const int status = refresh(componentId, f.get())) return status;
    // The trigger record takes any caller size: never copy more than either side holds.
    const size_t n = std::min(static_cast<size_t>(size), f->bytes.size());
    if (n > 0) std::memcpy(buffer, f->bytes.data(), n);
    return 0;
}

int KvCamera::setStruct(int32_t componentId, int32_t featureId, const void* buffer, int32_t size) {
    if (featureId == kFeatureNotImplementedStruct) return KV_STATUS_NOT_IMPLEMENTED;
    KvComponent* comp;
    KvFeaturePtr f;
    if (const int status = lookup(componentId, featureId, comp, f)) return status;
    if (!f->isWritable()) return KV_STATUS_NOT_PERMITTED;
    if (!f->isType(kFeatureTypeStruct)) return KV_STATUS_WRONG_TYPE;
    if (!buffer) return KV_STATUS_NULL_POINTER;
    const bool triggerRecord = featureId == kFeatureTriggerModeRecord;
    if (size < 0 || (!triggerRecord && static_cast<size_t>(size) != f->bytes.size())) {
        return KV_STATUS_WRONG_SIZE;
    }
    if (refusedDuringCapture(capturing_.load(), *f)) return KV_STATUS_BUSY;
    // Only the trigger record reaches the device, and the model takes it only when the device did.
    if (triggerRecord) return writeStructFeature(componentId, f.get(), buffer, size);
    const uint8_t* begin = static_cast<const uint8_t*>(buffer);
    f->bytes.assign(begin, begin + size);
    return 0;
}

}  // namespace orvane
