// Camera lifecycle: creation, bring-up from the descriptor, open/close, device information, masks and the
// descriptor files of the working directory.
#include "camera/KvCamera.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "camera/KvCamera_internal.h"
#include "device/KvHwDriver.h"
#include "device/vov_cam_video_source.h"
#include "diag/logger.h"
#include "model/KvDeviceDescriptorParser.h"
#include "model/KvDeviceDescriptors.h"
#include "transport/ITransferStream.h"

namespace orvane {

namespace {

constexpr size_t kDescriptorBufferSize = 10240;
// Local descriptor files larger than this are not descriptors; refuse them instead of allocating.
constexpr long kMaxLocalFileSize = 16L * 1024 * 1024;
constexpr size_t kDeviceIdSize = sizeof(KV_DEVICE_BASE_INFO::id);

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

enum class FileRead { kRead, kAbsent, kFailed };

// Reads the whole file; the content is taken by its length, never as a terminated string.
FileRead readWholeFile(const std::string& name, std::vector<char>& out) {
    FilePtr file(std::fopen(name.c_str(), "rb"));
    if (!file) return FileRead::kAbsent;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return FileRead::kFailed;
    const long size = std::ftell(file.get());
    if (size < 0 || size > kMaxLocalFileSize || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        return FileRead::kFailed;
    }
    out.assign(static_cast<size_t>(size), 0);
    if (size > 0 && std::fread(out.data(), 1, out.size(), file.get()) != out.size()) return FileRead::kFailed;
    return FileRead::kRead;
}

// Record files are only written when the user created them, as a request to record.
void rewriteIfExists(const std::string& name, const char* data, size_t length) {
    if (!FilePtr(std::fopen(name.c_str(), "rb"))) return;
    FilePtr file(std::fopen(name.c_str(), "wb"));
    if (!file || (length > 0 && std::fwrite(data, 1, length, file.get()) != length)) {
        KV_LOG(kLogWarning, "could not write %s", name.c_str());
    }
}

// "%d.%d.%d"; the numbers read before a mismatch are kept. False when fewer than three were read.
bool parseVersion(const std::string& text, KV_VERSION_INFO& version) {
    int parts[3] = {version.major, version.minor, version.patch};
    const int n = std::sscanf(text.c_str(), "%d.%d.%d", &parts[0], &parts[1], &parts[2]);
    version.major = parts[0];
    version.minor = parts[1];
    version.patch = parts[2];
    return n == 3;
}

std::string textUpToZero(const std::vector<char>& buffer, size_t length) {
    const size_t n = std::min(length, buffer.size());
    return std::string(buffer.data(), strnlen(buffer.data(), n));
}

}  // namespace

thread_local const KvCamera* tls_callback_camera = nullptr;

// ---------------------------------------------------------------- mapper

KvCameraDepthWorldMapper::KvCameraDepthWorldMapper() {
    // Identity-like defaults so that an unset mapper never divides by zero.
    const float identity[11] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1};
    std::memcpy(intrinsic_.data, identity, sizeof(identity));
}

void KvCameraDepthWorldMapper::setIntrinsic(const KvDepthCameraIntrinsic& intrinsic) {
    std::lock_guard<std::mutex> lock(mutex_);
    intrinsic_ = intrinsic;
}

KvDepthCameraIntrinsic KvCameraDepthWorldMapper::intrinsic() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return intrinsic_;
}

KV_VECT_3F KvCameraDepthWorldMapper::getWorld(const KV_VECT_3F& depth) const {
    const KvDepthCameraIntrinsic snapshot = intrinsic();
    return KvDepthCameraIntrinsic::DepthWorldMapper(&snapshot).getWorld(depth);
}

KV_VECT_3F KvCameraDepthWorldMapper::getDepth(const KV_VECT_3F& world) const {
    const KvDepthCameraIntrinsic snapshot = intrinsic();
    return KvDepthCameraIntrinsic::DepthWorldMapper(&snapshot).getDepth(world);
}

void KvCameraDepthWorldMapper::depthImage2WorldImage(const uint16_t* depth, int width, int height,
                                                     KV_VECT_3F* world) const {
    const KvDepthCameraIntrinsic snapshot = intrinsic();
    KvDepthCameraIntrinsic::DepthWorldMapper(&snapshot).depthImage2WorldImage(depth, width, height, world);
}

// ---------------------------------------------------------------- creation and destruction

KvCamera::KvCamera(ITransferStream* stream) : stream_(stream) {
    if (stream_) {
        base_info_.iface = stream_->GetInterface();
        copyBoundedName(base_info_.id, kDeviceIdSize, stream_->GetStreamID());
    }
}

KvCamera* KvCamera::instance(ITransferStream* stream) {
    return new KvCamera(stream);
}

void KvCamera::destroy(KvCamera* camera) {
    if (!camera) return;
    if (camera->isInsideCallback()) {
        // Freeing the camera would end the very thread that runs this call.
        KV_LOG(kLogError, "camera not destroyed: called from its own callback");
        return;
    }
    camera->deinit();
    delete camera;
}

KvCamera::~KvCamera() {
    releaseDevice();
}

// The driver points at the video source: it goes first, then the source (which stops its threads before
// anything they use is released), then the model the driver was attached to.
void KvCamera::releaseDevice() {
    if (video_source_) video_source_->CloseDevice();
    driver_.reset();
    delete video_source_;
    video_source_ = nullptr;
    components_.reset();
}

bool KvCamera::linkUp() const {
    return video_source_ && video_source_->ReceiverRunning() && !offline_.load();
}

bool KvCamera::onReceiveThread() const {
    return video_source_ && video_source_->receive_controller.IsReceiveThread();
}

bool KvCamera::isInsideCallback() const {
    return tls_callback_camera == this || onReceiveThread();
}

// A device command issued on the receive thread would wait for a reply that only this thread can read.
bool KvCamera::refuseWhileLinkNeedsThisThread() const {
    return onReceiveThread() && linkUp();
}

void KvCamera::setKeepAliveTiming(int intervalMs, int deadMs) {
    keepalive_interval_ms_ = intervalMs;
    keepalive_dead_ms_ = deadMs;
    if (video_source_ && intervalMs > 0)
        video_source_->receive_controller.SetKeepAliveTiming(intervalMs, deadMs);
}

// ---------------------------------------------------------------- init

int KvCamera::init() {
    if (isInsideCallback()) return KV_STATUS_BUSY;
    if (capturing_.load() && opened_.load()) close();

    releaseDevice();
    video_source_ = new VOVCamVideoSource(queue_);
    video_source_->SetStream(stream_);
    component_ids_ = 0;
    enabled_components_ = 0;
    capturing_ = false;
    opened_ = false;
    offline_ = false;
    attachCallbacks();
    if (keepalive_interval_ms_ > 0) {
        video_source_->receive_controller.SetKeepAliveTiming(keepalive_interval_ms_, keepalive_dead_ms_);
    }
    if (!device_config_path_.empty() && video_source_->LoadConfigFile(device_config_path_.c_str()) != 0) {
        KV_LOG(kLogWarning, "device configuration %s not applied", device_config_path_.c_str());
    }

    int status = video_source_->OpenDevice() == 0 ? setupHwConfigure() : KV_STATUS_DEVICE_ERROR;
    if (status != 0) {
        // Nothing half-built stays behind: the driver and the model go, the device is closed.
        driver_.reset();
        components_.reset();
        video_source_->CloseDevice();
        renewLayout();
        base_info_.initStatus = KV_STATUS_DEVICE_ERROR;
        return KV_STATUS_DEVICE_ERROR;
    }

    component_ids_ = components_->componentMask();
    const int enabled = driver_->getCurrentEnabledComponents();
    if (enabled < 0) KV_LOG(kLogWarning, "enabled components unknown (%d), none enabled", enabled);
    enabled_components_ = enabled < 0 ? 0 : (enabled & component_ids_);
    renewLayout();
    recutQueuedBuffers();
    aligner_status_ = setupImageAligner();
    base_info_.initStatus = 0;
    return 0;
}

int KvCamera::setupHwConfigure() {
    std::vector<char> buffer;
    size_t length = 0;
    int status = obtainDescriptor(buffer, length);
    if (status != 0) return status;

    KvDeviceDescriptorParser parser;
    bool builtIn = length == 0;
    if (!builtIn) {
        rewriteIfExists(kFetchConfigFile, buffer.data(), length);
        status = parser.parse(buffer.data(), length);
        if (status != 0) return status;
        builtIn = parser.rootName() && std::strcmp(parser.rootName(), "device") == 0;
    }
    if (builtIn) {
        status = parser.parse(DefaultDeviceDescriptor);
        if (status != 0) return status;
    }

    std::shared_ptr<KvHwDriver> driver;
    status = CreateHwDriver(video_source_, parser.comprotocol(), driver);
    if (status != 0) return status;
    std::unique_ptr<KvComponentManager> model = parser.generateComponentManager();
    if (!model) return KV_STATUS_ERROR;
    components_ = std::move(model);
    driver_ = std::move(driver);
    driver_->attachModel(components_.get());

    updateComponents();
    updateDeviceInfo();
    updateDeivceSpecifiedConfig();
    // The device may stream another mode than its descriptor states.
    if (driver_->refreshImageSizes(components_.get()) != 0) KV_LOG(kLogWarning, "image sizes not refreshed");
    syncTriggerStateFromDevice();
    if (base_info_.firmwareVersion.major > 1) video_source_->EnableKeepAlive();

    const std::string tag = deviceFileTag(base_info_.id, kDeviceIdSize);
    if (!tag.empty()) {
        rewriteIfExists("fetch_config_" + tag + ".xml", buffer.data(), length);
    }
    return 0;
}

// Local override first, then the device; length 0 asks for the built-in descriptor.
int KvCamera::obtainDescriptor(std::vector<char>& buffer, size_t& length) {
    switch (readWholeFile(kOverrideConfigFile, buffer)) {
        case FileRead::kRead:
            std::printf("config overrided\n");
            std::fflush(stdout);
            length = buffer.size();
            return 0;
        case FileRead::kFailed:
            return KV_STATUS_NOT_PERMITTED;
        case FileRead::kAbsent:
            break;
    }
    return fetchDescriptorFromDevice(buffer, length);
}

int KvCamera::fetchDescriptorFromDevice(std::vector<char>& buffer, size_t& length) {
    length = 0;
    buffer.assign(kDescriptorBufferSize, 0);
    int full = video_source_->GetDeviceDescriptor(buffer.data(), static_cast<int>(buffer.size()));
    if (full < 0) full = video_source_->GetDeviceDescriptor(buffer.data(), static_cast<int>(buffer.size()));
    if (full < 0) {
        if (!linkUp()) return KV_STATUS_NO_DATA;
        // A device that answers but whose descriptor is unusable (bad checksum) still works with the
        // built-in description.
        KV_LOG(kLogWarning, "device descriptor unreadable, using the built-in one");
        return 0;
    }
    if (static_cast<size_t>(full) > buffer.size()) {
        buffer.assign(static_cast<size_t>(full), 0);
        const int again = video_source_->GetDeviceDescriptor(buffer.data(), full);
        if (again < 0 || again > full) return KV_STATUS_WRONG_SIZE;
        full = again;
    }
    length = strnlen(buffer.data(), static_cast<size_t>(full));
    return 0;
}

int KvCamera::updateComponents() {
    if (!components_ || !driver_) return KV_STATUS_DEVICE_ERROR;
    for (auto& entry : *components_) {
        KvComponent& comp = entry.second;
        for (const KvFeaturePtr& feature : comp.features) {
            if (!feature->isVolatile) continue;
            // A bound feature is read once, through its defining component.
            if (feature->isBound() && (feature->bindComponentId() & comp.id) == 0) continue;
            if (driver_->readFeature(comp.id, feature->id, feature.get()) != 0) {
                std::printf("Error: readFeature failed: %x, %s\n",
                            static_cast<unsigned>(feature->id | comp.id), feature->nameString().c_str());
            }
        }
    }
    return 0;
}

int KvCamera::updateDeviceInfo() {
    const KvComponent* device = components_ ? components_->find(kComponentDevice) : nullptr;
    if (!device) return 0;
    // An empty text (a read that failed) never wipes what is known, above all the id the registry uses.
    const auto copyText = [device](int32_t id, char* field) {
        const KvFeaturePtr f = device->findFeature(id);
        if (f && !f->stringValue.empty()) copyBoundedName(field, kDeviceIdSize, f->stringValue.c_str());
    };
    copyText(kFeatureSerialNumber, base_info_.id);
    copyText(kFeatureVendor, base_info_.vendorName);
    copyText(kFeatureModel, base_info_.modelName);
    if (KvFeaturePtr f = device->findFeature(kFeatureHardwareVersion)) {
        if (!parseVersion(f->stringValue, base_info_.hardwareVersion)) {
            std::printf("Error: read hardware version failed!\n");
        }
    }
    if (KvFeaturePtr f = device->findFeature(kFeatureFirmwareVersion)) {
        if (!parseVersion(f->stringValue, base_info_.firmwareVersion)) {
            std::printf("Error: read firmware version failed!\n");
        }
    }
    return 0;
}

int KvCamera::updateDeivceSpecifiedConfig() {
    const std::string tag = deviceFileTag(base_info_.id, kDeviceIdSize);
    if (tag.empty() || !components_) return 0;
    std::vector<char> text;
    switch (readWholeFile("override_config_" + tag + ".xml", text)) {
        case FileRead::kAbsent:
            return 0;
        case FileRead::kFailed:
            return KV_STATUS_NOT_PERMITTED;
        case FileRead::kRead:
            break;
    }
    KvDeviceDescriptorParser parser;
    if (parser.parse(text.data(), text.size()) != 0) return KV_STATUS_ERROR;
    std::unique_ptr<KvComponentManager> overrides = parser.generateComponentManager();
    if (!overrides) return KV_STATUS_ERROR;
    components_->merge(*overrides);
    return updateComponents();
}

std::string KvCamera::deviceFileTag(const char* id, size_t idSize) {
    if (!id) return std::string();
    const std::string tag(id, strnlen(id, std::min(idSize, kDeviceIdSize)));
    if (tag.empty() || tag.find("..") != std::string::npos) return std::string();
    for (char c : tag) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || c == '.';
        if (!safe) return std::string();
    }
    return tag;
}

void KvCamera::syncTriggerStateFromDevice() {
    // The driver answers trigger-mode reads from its own record; start it from the device's state.
    if (driver_->syncTriggerMode() != 0) {
        KV_LOG(kLogWarning, "trigger mode of the device unknown");
        return;
    }
    if (KvComponent* device = components_->find(kComponentDevice)) {
        if (KvFeaturePtr f = device->findFeature(kFeatureTriggerMode)) {
            driver_->readFeature(kComponentDevice, kFeatureTriggerMode, f.get());
        }
    }
}

// ---------------------------------------------------------------- open, close, deinit

int KvCamera::open() {
    if (base_info_.initStatus != 0) return base_info_.initStatus;
    if (opened_.load()) return KV_STATUS_BUSY;
    if (!linkUp()) {
        // Never brought up, or the link went down since: bring the device up again.
        if (isInsideCallback()) return KV_STATUS_BUSY;
        const int status = init();
        if (status != 0) return status;
    }
    opened_ = true;
    return 0;
}

int KvCamera::close() {
    if (!opened_.load()) return KV_STATUS_IDLE;
    if (capturing_.load()) {
        const int status = stop();
        if (status == KV_STATUS_BUSY) return status;  // refused on the receive thread: nothing changed
        if (status != 0 && status != KV_STATUS_IDLE) {
            dropAllBuffers();
            return status;
        }
    }
    // The application may free its buffers after close: none may be written any more.
    dropAllBuffers();
    opened_ = false;
    return 0;
}

int KvCamera::deinit() {
    if (isInsideCallback()) return KV_STATUS_BUSY;
    if (opened_.load()) close();
    dropAllBuffers();
    releaseDevice();
    component_ids_ = 0;
    enabled_components_ = 0;
    capturing_ = false;
    opened_ = false;
    renewLayout();
    return 0;
}

// ---------------------------------------------------------------- information

std::string KvCamera::readDescriptor() {
    if (!video_source_ || refuseWhileLinkNeedsThisThread()) return std::string();
    std::vector<char> buffer(kDescriptorBufferSize, 0);
    int full = video_source_->GetDeviceDescriptor(buffer.data(), static_cast<int>(buffer.size()));
    if (full < 0) full = video_source_->GetDeviceDescriptor(buffer.data(), static_cast<int>(buffer.size()));
    if (full < 0) return std::string();
    if (static_cast<size_t>(full) > buffer.size()) {
        buffer.assign(static_cast<size_t>(full), 0);
        full = video_source_->GetDeviceDescriptor(buffer.data(), full);
        if (full < 0) return std::string();
    }
    return textUpToZero(buffer, static_cast<size_t>(full));
}

const char* KvCamera::readFirmwareVer() {
    const std::string descriptor = readDescriptor();
    if (descriptor.empty()) return nullptr;
    KvDeviceDescriptorParser parser;
    const char* hash = parser.getFirmwareVer(descriptor.c_str());
    if (!hash) return nullptr;
    firmware_hash_ = hash;  // outlives the parser
    return firmware_hash_.c_str();
}

int KvCamera::enterDeveloperMode() {
    if (base_info_.firmwareVersion.major < 2) return 0;
    if (!driver_) return KV_STATUS_DEVICE_ERROR;
    if (refuseWhileLinkNeedsThisThread()) return KV_STATUS_BUSY;
    return driver_->enterDeveloperMode();
}

int KvCamera::loadDeviceConfig(const char* path) {
    if (!path) return KV_STATUS_NULL_POINTER;
    if (isInsideCallback() || capturing_.load()) return KV_STATUS_BUSY;
    tinyxml2::XMLDocument probe;
    if (probe.LoadFile(path) != tinyxml2::XML_SUCCESS) {
        KV_LOG(kLogError, "load device param file :%s failed", path);
        return KV_STATUS_DEVICE_ERROR;
    }
    device_config_path_ = path;
    if (!video_source_) return 0;
    if (video_source_->LoadConfigFile(path) != 0) return KV_STATUS_DEVICE_ERROR;
    if (linkUp() && video_source_->ParseConfigFile() != 0) return KV_STATUS_DEVICE_ERROR;
    return 0;
}

// ---------------------------------------------------------------- masks

KvComponent* KvCamera::component(int32_t id) {
    return components_ ? components_->find(id) : nullptr;
}

int KvCamera::enableComponents(int32_t mask) {
    if ((mask & ~component_ids_) != 0) return KV_STATUS_INVALID_PARAMETER;
    if (capturing_.load()) return KV_STATUS_BUSY;
    enabled_components_ = enabled_components_.load() | mask;
    renewLayout();
    recutQueuedBuffers();
    return 0;
}

int KvCamera::disableComponents(int32_t mask) {
    if ((mask & ~component_ids_) != 0) return KV_STATUS_INVALID_PARAMETER;
    if (capturing_.load()) return KV_STATUS_BUSY;
    enabled_components_ = enabled_components_.load() & ~mask;
    renewLayout();
    recutQueuedBuffers();
    return 0;
}

}  // namespace orvane
