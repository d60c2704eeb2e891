// Device descriptors into the feature model, and a per-device override merged into it.
//
// Input: descriptor text; after the first NUL byte, if any, an override descriptor.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "model/KvDeviceDescriptorParser.h"

namespace {

using orvane::KvComponentManager;

// Reads everything an application can reach through the model.
void WalkModel(const KvComponentManager& manager) {
    int32_t mask = 0;
    for (const auto& entry : manager) {
        const orvane::KvComponent& component = entry.second;
        FUZZ_CHECK(component.id == entry.first);
        FUZZ_CHECK(component.nameString().size() <= orvane::kComponentNameSize);
        mask |= component.id;
        for (const orvane::KvFeaturePtr& feature : component.features) {
            FUZZ_CHECK(feature != nullptr);
            FUZZ_CHECK(feature->nameString().size() <= orvane::kFeatureNameSize);
            for (const orvane::KV_ENUM_ENTRY_WRAPPER& e : feature->entries) {
                FUZZ_CHECK(e.descriptionString().size() <= orvane::kEnumDescriptionSize);
                feature->isValidEnumValue(e.value);
            }
            uint8_t range[16];
            feature->copyRangeBlock(range);
            if (feature->isBound()) manager.resolve(feature->bindId);
            FUZZ_CHECK(manager.findFeature(component.id, feature->id) != nullptr);
        }
    }
    FUZZ_CHECK(manager.componentMask() == mask);
}

std::unique_ptr<KvComponentManager> BuildModel(orvane::KvDeviceDescriptorParser& parser, const uint8_t* data,
                                               size_t size) {
    if (parser.parse(reinterpret_cast<const char*>(data), size) != orvane::kDescriptorStatusOk)
        return nullptr;
    FUZZ_CHECK(parser.isReady() && parser.rootName() != nullptr);
    static std::FILE* const sink = std::fopen("/dev/null", "w");
    if (sink != nullptr) parser.dump(sink);
    return parser.generateComponentManager();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::QuietLogs();
    const uint8_t* nul = size > 0 ? static_cast<const uint8_t*>(std::memchr(data, 0, size)) : nullptr;
    const size_t descriptor_size = nul != nullptr ? static_cast<size_t>(nul - data) : size;

    orvane::KvDeviceDescriptorParser parser;
    std::unique_ptr<KvComponentManager> model = BuildModel(parser, data, descriptor_size);
    if (!model) return 0;
    WalkModel(*model);
    if (nul == nullptr) return 0;

    orvane::KvDeviceDescriptorParser override_parser;
    std::unique_ptr<KvComponentManager> overrides =
        BuildModel(override_parser, nul + 1, size - descriptor_size - 1);
    if (!overrides) return 0;
    model->merge(*overrides);
    WalkModel(*model);
    return 0;
}
