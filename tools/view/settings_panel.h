// The settings panel of the viewer: one control per writable feature of the camera's descriptor, chosen
// by the feature's type, with its range or entries and the value the camera reports.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <kvdepth.h>

#include "descriptor_model.h"

namespace orvane {
namespace tool {

// {"component", "feature", "name", "type", "control": "slider"|"number"|"select"|"switch", "min", "max",
// "step", "entries": [{"name", "value"}], "value"} for a feature a control can set, null otherwise.
nlohmann::json featureControl(KV_DEV_HANDLE h, int32_t component, int32_t feature);

// The panel: [{"component", "name", "controls": [...]}] for the components with at least one control.
// Features listed from another component are shown once, under their own component.
nlohmann::json settingsPanel(KV_DEV_HANDLE h, const std::vector<DescComponent>& components);

// Writes the text value and reads the control back: {"ok", "error"?, "control"}.
nlohmann::json applySetting(KV_DEV_HANDLE h, const std::vector<DescComponent>& components, int32_t component,
                            int32_t feature, const std::string& value);

}  // namespace tool
}  // namespace orvane
