#include "settings_panel.h"

#include <cmath>
#include <cstring>

#include "camera_session.h"
#include "feature_values.h"

namespace orvane {
namespace tool {
namespace {

using nlohmann::json;

const char* controlFor(int type, bool ranged) {
    switch (type) {
        case KV_FEATURE_TYPE_INT:
        case KV_FEATURE_TYPE_FLOAT:
            return ranged ? "slider" : "number";
        case KV_FEATURE_TYPE_ENUM:
            return "select";
        case KV_FEATURE_TYPE_BOOL:
            return "switch";
        default:
            return nullptr;  // strings, byte arrays and records have no control on the page
    }
}

// The feature's value as a JSON number or boolean; null when the camera does not report it.
json currentValue(KV_DEV_HANDLE h, int32_t component, int32_t feature, int type) {
    int32_t i = 0;
    float f = 0;
    bool b = false;
    switch (type) {
        case KV_FEATURE_TYPE_INT:
            return KVGetInt(h, component, feature, &i) == KV_STATUS_OK ? json(i) : json();
        case KV_FEATURE_TYPE_ENUM:
            return KVGetEnum(h, component, feature, &i) == KV_STATUS_OK ? json(i) : json();
        case KV_FEATURE_TYPE_FLOAT:
            return KVGetFloat(h, component, feature, &f) == KV_STATUS_OK && std::isfinite(f) ? json(f)
                                                                                             : json();
        case KV_FEATURE_TYPE_BOOL:
            return KVGetBool(h, component, feature, &b) == KV_STATUS_OK ? json(b) : json();
        default:
            return json();
    }
}

// Adds "min", "max" and "step"; false when the feature has no usable range.
bool addRange(KV_DEV_HANDLE h, int32_t component, int32_t feature, int type, json& control) {
    if (type == KV_FEATURE_TYPE_INT) {
        KV_INT_RANGE r{};
        if (KVGetIntRange(h, component, feature, &r) != KV_STATUS_OK || r.max <= r.min) return false;
        control["min"] = r.min;
        control["max"] = r.max;
        control["step"] = r.inc > 0 ? r.inc : 1;
        return true;
    }
    if (type == KV_FEATURE_TYPE_FLOAT) {
        KV_FLOAT_RANGE r{};
        if (KVGetFloatRange(h, component, feature, &r) != KV_STATUS_OK || !std::isfinite(r.min) ||
            !std::isfinite(r.max) || r.max <= r.min)
            return false;
        control["min"] = r.min;
        control["max"] = r.max;
        control["step"] = r.inc > 0 && std::isfinite(r.inc) ? r.inc : (r.max - r.min) / 100;
        return true;
    }
    return false;
}

const DescFeature* findFeature(const std::vector<DescComponent>& components, int32_t component,
                               int32_t feature) {
    for (const DescComponent& c : components)
        if (c.id == component)
            for (const DescFeature& f : c.features)
                if (f.id == feature) return &f;
    return nullptr;
}

}  // namespace

json featureControl(KV_DEV_HANDLE h, int32_t component, int32_t feature) {
    KV_FEATURE_INFO info{};
    if (KVGetFeatureInfo(h, component, feature, &info) != KV_STATUS_OK || !info.isValid ||
        !(info.accessMode & KV_ACCESS_WRITE))
        return json();
    const int type = feature & KV_FEATURE_TYPE_MASK;
    json control = {{"component", component},
                    {"feature", feature},
                    {"name", std::string(info.name, strnlen(info.name, sizeof info.name))},
                    {"type", typeName(feature)}};
    const bool ranged = addRange(h, component, feature, type, control);
    const char* kind = controlFor(type, ranged);
    if (!kind) return json();
    control["control"] = kind;
    if (type == KV_FEATURE_TYPE_ENUM) {
        control["entries"] = json::array();
        for (const KV_ENUM_ENTRY& e : enumEntries(h, component, feature))
            control["entries"].push_back({{"name", entryName(e)}, {"value", e.value}});
    }
    control["value"] = currentValue(h, component, feature, type);
    return control;
}

json settingsPanel(KV_DEV_HANDLE h, const std::vector<DescComponent>& components) {
    json panel = json::array();
    for (const DescComponent& c : components) {
        json controls = json::array();
        for (const DescFeature& f : c.features) {
            if (f.bind != 0) continue;
            json control = featureControl(h, c.id, f.id);
            if (!control.is_null()) controls.push_back(std::move(control));
        }
        if (!controls.empty())
            panel.push_back({{"component", c.id}, {"name", c.name}, {"controls", std::move(controls)}});
    }
    return panel;
}

json applySetting(KV_DEV_HANDLE h, const std::vector<DescComponent>& components, int32_t component,
                  int32_t feature, const std::string& value) {
    json result = {{"ok", false}};
    const DescFeature* f = findFeature(components, component, feature);
    json control = f ? featureControl(h, component, feature) : json();
    if (control.is_null()) {
        result["error"] = "no such setting";
        return result;
    }
    std::string error;
    const std::string label = control["name"].get<std::string>();
    result["ok"] = writeValueText(h, component, feature, label, value, &error);
    if (!error.empty()) result["error"] = error;
    result["control"] = featureControl(h, component, feature);  // what the camera holds now
    return result;
}

}  // namespace tool
}  // namespace orvane
