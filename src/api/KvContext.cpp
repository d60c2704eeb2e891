#include "api/KvContext.h"

#include <cstring>

#include "camera/KvCamera.h"
#include "transport/ITransferStream.h"
#include "transport/tcp_stream.h"
#include "transport/usbcluster_libusb.h"

namespace orvane {

std::atomic<KvContext*> g_kvContext{nullptr};

namespace {

// The id field is not terminated when it is 32 characters long.
bool sameText(const char* field, size_t fieldSize, const char* text) {
    const size_t length = strnlen(field, fieldSize);
    return strlen(text) == length && memcmp(field, text, length) == 0;
}

bool hasDeviceId(const KvCamera& camera, const char* id) {
    const KV_DEVICE_BASE_INFO& info = camera.deviceInfo();
    return sameText(info.id, sizeof(info.id), id);
}

bool hasNetAddress(const KvCamera& camera, const char* ip) {
    const KV_DEVICE_NET_INFO& net = camera.deviceInfo().netInfo;
    return net.ip[0] != '\0' && sameText(net.ip, sizeof(net.ip), ip);
}

}  // namespace

KvContext::Entry::~Entry() {
    // The camera stops the threads that read the stream before the stream goes.
    KvCamera::destroy(camera);
    if (stream) stream->Close();
}

KvContext::KvContext() {
    UsbCluster::InitUsbLib();
    TcpCluster::InitTcpLib();
}

KvContext::~KvContext() {
    std::vector<std::unique_ptr<Entry>> entries;
    {
        std::lock_guard<std::mutex> scan(m_scanMutex);
        std::lock_guard<std::mutex> guard(m_mapMutex);
        retire(m_usb);
        retire(m_net);
        entries.swap(m_retired);
    }
    // Destroyed without the map lock: a frame callback still running may be inside a handle check, and
    // destroying its camera waits for it.
    entries.clear();
    // Only now that no stream holds a device may libusb go.
    UsbCluster::DeinitUsbLib();
    TcpCluster::DeinitTcpLib();
}

int KvContext::updateDeviceList() {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    updateUsbDevices();
    updateNetDevices();
    return 0;
}

std::unique_ptr<KvContext::Entry> KvContext::makeEntry(ITransferStream* stream) {
    if (!stream) return nullptr;
    auto entry = std::make_unique<Entry>();
    auto tapped = std::make_unique<TappedStream>(std::unique_ptr<ITransferStream>(stream));
    entry->tapped = tapped.get();
    entry->stream = std::move(tapped);
    // Tapped before the camera first talks to the device, so a recording starts with the handshake.
    followGlobalTap(*entry);
    stream = entry->stream.get();
    entry->camera = KvCamera::instance(stream);
    if (entry->camera == nullptr) return nullptr;
    return entry;
}

void KvContext::retryFailedInit(Entry& entry) {
    if (entry.camera->initStatus() != 0) entry.camera->init();
}

void KvContext::retire(EntryMap& entries) {
    for (auto& item : entries) m_retired.push_back(std::move(item.second));
    entries.clear();
}

void KvContext::updateUsbDevices() {
    const std::vector<std::string> serials = UsbCluster::GetDeviceList();
    if (serials.empty()) {
        updateUsbByOrdinal();
    } else {
        updateUsbBySerial(serials);
    }
}

void KvContext::updateUsbByOrdinal() {
    const std::vector<std::string> ids = UsbCluster::GetStreamIDs();
    if (ids.empty()) {
        std::lock_guard<std::mutex> guard(m_mapMutex);
        retire(m_usb);
        return;
    }
    for (const std::string& id : ids) {
        Entry* existing = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_mapMutex);
            auto found = m_usb.find(id);
            if (found != m_usb.end()) existing = found->second.get();
        }
        if (existing != nullptr) {
            retryFailedInit(*existing);
            continue;
        }
        std::unique_ptr<Entry> entry = makeEntry(UsbCluster::GetStream(id.c_str()));
        if (!entry) continue;
        // Without a serial the ordinal is all there is to tell cameras apart; the device's own id comes
        // from bringing it up.
        entry->camera->init();
        std::lock_guard<std::mutex> guard(m_mapMutex);
        m_usb.emplace(id, std::move(entry));
    }
}

void KvContext::updateUsbBySerial(const std::vector<std::string>& serials) {
    // Entries are only added and removed by scans, which run one at a time: the pointers taken here stay
    // valid, and the registered cameras stay visible to handle checks until the new map is swapped in.
    std::map<std::string, Entry*> known;
    {
        std::lock_guard<std::mutex> guard(m_mapMutex);
        for (auto& item : m_usb) known.emplace(item.first, item.second.get());
    }
    EntryMap fresh;
    for (const std::string& serial : serials) {
        auto found = known.find(serial);
        if (found != known.end()) {
            retryFailedInit(*found->second);
        } else if (fresh.count(serial) == 0) {
            // Initialised when it is opened.
            std::unique_ptr<Entry> entry = makeEntry(UsbCluster::GetStream(serial.c_str()));
            if (entry) fresh.emplace(serial, std::move(entry));
        }
    }
    std::lock_guard<std::mutex> guard(m_mapMutex);
    EntryMap next = std::move(fresh);
    for (const std::string& serial : serials) {
        auto found = m_usb.find(serial);
        if (found != m_usb.end()) {
            next.emplace(serial, std::move(found->second));
            m_usb.erase(found);
        }
    }
    retire(m_usb);
    m_usb.swap(next);
}

void KvContext::updateNetDevices() {
    for (const std::string& id : TcpCluster::GetStreamIDs()) {
        Entry* existing = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_mapMutex);
            auto found = m_net.find(id);
            if (found != m_net.end()) existing = found->second.get();
        }
        if (existing != nullptr) retryFailedInit(*existing);
        // The network enumerator makes no stream from an address alone: nothing new is added here.
    }
}

KvCamera* KvContext::getCameraByHandle(void* handle) const {
    if (handle == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(m_mapMutex);
    for (const EntryMap* map : {&m_usb, &m_net}) {
        for (const auto& item : *map) {
            if (static_cast<void*>(item.second->camera) == handle) return item.second->camera;
        }
    }
    return nullptr;
}

std::map<std::string, KvCamera*> KvContext::orderedCameras() const {
    std::map<std::string, KvCamera*> ordered;
    for (const EntryMap* map : {&m_usb, &m_net}) {
        for (const auto& item : *map) ordered.emplace(item.first, item.second->camera);
    }
    return ordered;
}

KvCamera* KvContext::findCameraInListByID(const char* id) const {
    std::lock_guard<std::mutex> guard(m_mapMutex);
    for (const auto& item : orderedCameras()) {
        if (hasDeviceId(*item.second, id)) return item.second;
    }
    return nullptr;
}

KvCamera* KvContext::getCameraByID(const char* id) {
    if (KvCamera* camera = findCameraInListByID(id)) return camera;
    updateUsbDevices();
    updateNetDevices();
    return findCameraInListByID(id);
}

KvCamera* KvContext::findCameraByIP(const char* ip) const {
    std::lock_guard<std::mutex> guard(m_mapMutex);
    auto found = m_net.find(ip);
    if (found != m_net.end()) return found->second->camera;
    for (const auto& item : orderedCameras()) {
        if (hasNetAddress(*item.second, ip)) return item.second;
    }
    return nullptr;
}

KvCamera* KvContext::getCameraByIP(const char* ip) {
    // A second connection to a camera that serves one client at a time would only take the first one's
    // place: an address already registered always gives its camera.
    if (KvCamera* camera = findCameraByIP(ip)) return camera;
    return tryGetCameraByIP(ip);
}

KvCamera* KvContext::tryGetCameraByIP(const char* ip) {
    std::unique_ptr<Entry> entry = makeEntry(TcpCluster::GetStreamByIP(ip));
    if (!entry) return nullptr;
    // Its result shows in initStatus; opening reports it.
    entry->camera->init();
    KvCamera* camera = entry->camera;
    std::lock_guard<std::mutex> guard(m_mapMutex);
    m_net.emplace(entry->stream->GetStreamID(), std::move(entry));
    return camera;
}

void KvContext::followGlobalTap(Entry& entry) {
    std::lock_guard<std::mutex> tapLock(m_tapMutex);
    if (m_globalTap.callback == nullptr) return;
    entry.followsGlobalTap = true;
    entry.tapped->setTap(m_globalTap);
}

KvContext::Entry* KvContext::findEntry(const KvCamera* camera) const {
    std::lock_guard<std::mutex> guard(m_mapMutex);
    for (const EntryMap* map : {&m_usb, &m_net}) {
        for (const auto& item : *map) {
            if (item.second->camera == camera) return item.second.get();
        }
    }
    return nullptr;
}

void KvContext::setStreamTap(KvCamera* camera, const StreamTapSetting& setting) {
    // Entries that leave the registry are retired, not destroyed, so the pointers stay valid here.
    if (camera != nullptr) {
        std::lock_guard<std::mutex> tapLock(m_tapMutex);
        if (Entry* entry = findEntry(camera)) {
            entry->followsGlobalTap = false;
            entry->tapped->setTap(setting);
        }
        return;
    }
    // Not during a scan or an open: an entry made there but not yet registered would miss the change.
    std::lock_guard<std::mutex> scan(m_scanMutex);
    std::lock_guard<std::mutex> tapLock(m_tapMutex);
    m_globalTap = setting;
    std::vector<Entry*> followers;
    {
        std::lock_guard<std::mutex> guard(m_mapMutex);
        for (EntryMap* map : {&m_usb, &m_net}) {
            for (auto& item : *map) {
                if (item.second->followsGlobalTap) followers.push_back(item.second.get());
            }
        }
        for (auto& entry : m_retired) {
            if (entry->followsGlobalTap) followers.push_back(entry.get());
        }
    }
    for (Entry* entry : followers) {
        entry->followsGlobalTap = setting.callback != nullptr;
        entry->tapped->setTap(setting);
    }
}

int KvContext::openCamera(KvCamera* camera, KvCamera** out) {
    if (Entry* entry = findEntry(camera)) {
        std::lock_guard<std::mutex> tapLock(m_tapMutex);
        if (!entry->followsGlobalTap && entry->tapped->tap().callback == nullptr &&
            m_globalTap.callback != nullptr) {
            entry->followsGlobalTap = true;
            entry->tapped->setTap(m_globalTap);
        }
    }
    // A camera that was never brought up, or whose last bring-up failed (device busy or away then), is
    // brought up now rather than refused until the next device-list call.
    if (!camera->hasVideoSource() || camera->initStatus() != 0) camera->init();
    const int status = camera->open();
    *out = status == 0 ? camera : nullptr;
    return status;
}

size_t KvContext::deviceCount() {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    updateUsbDevices();
    updateNetDevices();
    std::lock_guard<std::mutex> guard(m_mapMutex);
    return m_usb.size() + m_net.size();
}

std::vector<KV_DEVICE_BASE_INFO> KvContext::deviceInfos() {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    updateUsbDevices();
    updateNetDevices();
    std::lock_guard<std::mutex> guard(m_mapMutex);
    std::vector<KV_DEVICE_BASE_INFO> infos;
    for (const auto& item : orderedCameras()) infos.push_back(item.second->deviceInfo());
    return infos;
}

int KvContext::getNetInfo(const char* id, KV_DEVICE_NET_INFO* out) {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    KvCamera* camera = getCameraByID(id);
    if (camera == nullptr) return KV_STATUS_INVALID_PARAMETER;
    if (camera->deviceInfo().iface != KV_INTERFACE_ETHERNET) return KV_STATUS_WRONG_TYPE;
    *out = camera->deviceInfo().netInfo;
    return KV_STATUS_OK;
}

int KvContext::setNetInfo(const char* id, const KV_DEVICE_NET_INFO& in) {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    KvCamera* camera = getCameraByID(id);
    if (camera == nullptr) return KV_STATUS_INVALID_PARAMETER;
    if (camera->deviceInfo().iface != KV_INTERFACE_ETHERNET) return KV_STATUS_WRONG_TYPE;
    camera->setNetInfo(in);  // kept in the camera only; nothing is sent to the device
    return KV_STATUS_OK;
}

int KvContext::openByID(const char* id, KvCamera** camera) {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    *camera = nullptr;
    KvCamera* found = getCameraByID(id);
    if (found == nullptr) return KV_STATUS_INVALID_PARAMETER;
    return openCamera(found, camera);
}

int KvContext::openByIP(const char* ip, KvCamera** camera) {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    *camera = nullptr;
    KvCamera* found = getCameraByIP(ip);
    if (found == nullptr) return KV_STATUS_INVALID_PARAMETER;
    return openCamera(found, camera);
}

const char* KvContext::firmwareVersion(const char* id) {
    std::lock_guard<std::mutex> scan(m_scanMutex);
    KvCamera* camera = getCameraByID(id);
    // A camera that was never brought up has no firmware document to read.
    if (camera == nullptr || !camera->hasVideoSource() || camera->initStatus() != 0) return nullptr;
    const char* text = camera->readFirmwareVer();
    if (text == nullptr) return nullptr;
    // Callers keep the text: every text handed out lives as long as the registry, so a later call (which
    // may fetch a different text) never pulls it from under them.
    return m_firmwareTexts[camera].insert(text).first->c_str();
}

}  // namespace orvane
