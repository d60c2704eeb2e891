// The frame-buffer layout and the tables it shares with the driver: resolution modes and pixel sizes.
#include <cstdio>
#include <limits>

#include "device/KvHwDriver.h"

namespace orvane {

namespace {

constexpr int32_t kFeatureImageWidth = KV_FEATURE_IMAGE_WIDTH;
constexpr int32_t kFeatureImageHeight = KV_FEATURE_IMAGE_HEIGHT;
constexpr int32_t kFeaturePixelFormat = KV_FEATURE_PIXEL_FORMAT;
constexpr int64_t kDepthBytesPerPixel = 2;
constexpr int64_t kPointBytesPerPixel = 12;
constexpr int64_t kInfraredBytesPerPixel = 1;

// Mode 4 is the sensors' full 2592 x 1944 mode; the device streams it binned to 1280 x 960.
constexpr ResolutionModeInfo kResolutionModes[] = {
    {0, 0xA0078, 160, 120},   {1, 0x1400F0, 320, 240},  {2, 0x2801E0, 640, 480},
    {3, 0x5003C0, 1280, 960}, {4, 0xA20798, 1280, 960},
};

struct PixelFormatSize {
    int32_t format;
    int32_t bytes;
};
constexpr PixelFormatSize kPixelFormatSizes[] = {
    {KV_PIXEL_FORMAT_MONO8, 1},        {KV_PIXEL_FORMAT_COLOR_16_A, 2},    {KV_PIXEL_FORMAT_COLOR_16_B, 2},
    {KV_PIXEL_FORMAT_RGB8, 3},         {KV_PIXEL_FORMAT_COLOR_8_TO_24, 3}, {KV_PIXEL_FORMAT_DEPTH16, 2},
    {KV_PIXEL_FORMAT_POINT3D_F32, 12},
};

// Pixel count of a component from its model, 0 when the model cannot give it (a feature missing or
// volatile), -1 when it gives a non-positive size.
int64_t modelPixelCount(const KvComponent& component) {
    const KvFeaturePtr width = component.findFeature(kFeatureImageWidth);
    const KvFeaturePtr height = component.findFeature(kFeatureImageHeight);
    if (!width || !height || width->isVolatile || height->isVolatile) return 0;
    const int64_t w = width->value.asInt();
    const int64_t h = height->value.asInt();
    if (w <= 0 || h <= 0) return -1;
    return w * h;
}

// Builds one layout; every failure is a status, and the caller drops the partial list.
class LayoutBuilder {
  public:
    LayoutBuilder(std::vector<SubBufferInfo>& out, const KvComponentManager& model,
                  const ResolutionModeQuery& query)
        : out_(out), model_(model), query_(query) {}

    int build(int components) {
        if (components & kComponentPoint3D) components |= kComponentDepth;
        int64_t depthPixels = 0;
        if (components & kComponentDepth) {
            int status = devicePixelCount(kComponentDepth, &depthPixels);
            if (status != 0) return status;
            if ((status = add(kComponentDepth, depthPixels * kDepthBytesPerPixel)) != 0) return status;
        }
        if (components & kComponentPoint3D) {
            if (!model_.contains(kComponentPoint3D)) return KV_STATUS_DEVICE_ERROR;
            int status = add(kComponentPoint3D, depthPixels * kPointBytesPerPixel);
            if (status != 0) return status;
        }
        for (int32_t infrared : {kComponentLeftIR, kComponentRightIR}) {
            if (!(components & infrared)) continue;
            int status = addFromModel(infrared, kInfraredBytesPerPixel);
            if (status != 0) return status;
        }
        if (components & kComponentColor) {
            int status = addColor();
            if (status != 0) return status;
        }
        if (components & kComponentAuxData) {
            int status = add(kComponentAuxData, kAuxDataSubBufferSize);
            if (status != 0) return status;
        }
        if (components & kComponentImageExtra) {
            int32_t bytes = formatBytes(kComponentImageExtra);
            if (bytes <= 0) return KV_STATUS_DEVICE_ERROR;
            int status = addFromModel(kComponentImageExtra, bytes);
            if (status != 0) return status;
        }
        return static_cast<int>(total_);
    }

  private:
    // Pixel count of depth or colour: the model's when it has one, else the device's resolution mode.
    int devicePixelCount(int32_t componentId, int64_t* pixels) {
        const KvComponent* component = model_.find(componentId);
        if (!component) return KV_STATUS_DEVICE_ERROR;
        *pixels = modelPixelCount(*component);
        if (*pixels < 0) return KV_STATUS_DEVICE_ERROR;
        if (*pixels > 0) return 0;
        int32_t mode = -1;
        if (!query_ || query_(componentId, &mode) != 0) return KV_STATUS_DEVICE_ERROR;
        const bool known =
            componentId == kComponentDepth ? isDepthResolutionMode(mode) : isColorResolutionMode(mode);
        if (!known) {
            std::fputs("resolution mode error.\n", stdout);
            return kLayoutUnknownResolution;
        }
        const ResolutionModeInfo* info = resolutionModeInfo(mode);
        *pixels = static_cast<int64_t>(info->width) * info->height;
        return 0;
    }

    int addColor() {
        const int32_t bytes = formatBytes(kComponentColor);
        if (bytes <= 0) return KV_STATUS_DEVICE_ERROR;
        int64_t pixels = 0;
        int status = devicePixelCount(kComponentColor, &pixels);
        if (status != 0) return status;
        return add(kComponentColor, pixels * bytes);
    }

    // Components without a device fallback: the model must give the size.
    int addFromModel(int32_t componentId, int64_t bytesPerPixel) {
        const KvComponent* component = model_.find(componentId);
        if (!component) return KV_STATUS_DEVICE_ERROR;
        const int64_t pixels = modelPixelCount(*component);
        if (pixels <= 0) return KV_STATUS_DEVICE_ERROR;
        return add(componentId, pixels * bytesPerPixel);
    }

    int32_t formatBytes(int32_t componentId) const {
        const KvFeaturePtr format = model_.findFeature(componentId, kFeaturePixelFormat);
        return format ? bytesPerPixelOfFormat(format->value.asInt()) : 0;
    }

    int add(int32_t componentId, int64_t size) {
        constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
        if (size <= 0 || size > kMax || total_ + size > kMax) return KV_STATUS_DEVICE_ERROR;
        out_.push_back(SubBufferInfo{componentId, static_cast<int32_t>(size)});
        total_ += size;
        return 0;
    }

    std::vector<SubBufferInfo>& out_;
    const KvComponentManager& model_;
    const ResolutionModeQuery& query_;
    int64_t total_ = 0;
};

}  // namespace

const ResolutionModeInfo* resolutionModeInfo(int32_t mode) {
    for (const ResolutionModeInfo& info : kResolutionModes)
        if (info.mode == mode) return &info;
    return nullptr;
}

const ResolutionModeInfo* resolutionModeOfImageMode(int32_t imageMode) {
    for (const ResolutionModeInfo& info : kResolutionModes)
        if (info.imageMode == imageMode) return &info;
    return nullptr;
}

bool isDepthResolutionMode(int32_t mode) {
    return mode >= 0 && mode <= 4;
}

bool isColorResolutionMode(int32_t mode) {
    return mode >= 1 && mode <= 4;
}

int32_t bytesPerPixelOfFormat(int32_t pixelFormat) {
    for (const PixelFormatSize& entry : kPixelFormatSizes)
        if (entry.format == pixelFormat) return entry.bytes;
    return 0;
}

int getFramebufferLayout(int components, std::vector<SubBufferInfo>& out, const KvComponentManager* model,
                         const ResolutionModeQuery& query) {
    out.clear();
    if (!model) return KV_STATUS_DEVICE_ERROR;
    const int result = LayoutBuilder(out, *model, query).build(components);
    if (result < 0) out.clear();
    return result;
}

}  // namespace orvane
