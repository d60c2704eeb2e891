// The library-wide device registry: owns every camera object and its transport stream, keyed by the
// stream identifier, and finds cameras by identifier, by IP address and by handle.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/stream_tap.h"
#include "kvdepth.h"

namespace orvane {

class KvCamera;
class ITransferStream;

class KvContext {
  public:
    // Initialises the USB and the network enumerators; enumerates nothing yet.
    KvContext();
    // Destroys every camera (stopping its threads) before its stream, then releases the enumerators.
    ~KvContext();
    KvContext(const KvContext&) = delete;
    KvContext& operator=(const KvContext&) = delete;

    // Rescans USB and refreshes the network entries. Always 0.
    int updateDeviceList();

    // The handle if it is the address of a registered camera, else null. Safe on any thread at any time
    // while the context lives.
    KvCamera* getCameraByHandle(void* handle) const;

    // What the exported registry functions do once their arguments are checked. Each runs as a whole
    // before any other of them starts (a scan, an open or a bring-up of another thread waits).
    // Rescans, then reports the number of cameras / their base information in identifier order.
    size_t deviceCount();
    std::vector<KV_DEVICE_BASE_INFO> deviceInfos();
    // Copies a network camera's stored network record out (get) or in (set): 0, -1006 no camera with
    // that id, -1010 not a network camera.
    int getNetInfo(const char* id, KV_DEVICE_NET_INFO* out);
    int setNetInfo(const char* id, const KV_DEVICE_NET_INFO& in);
    // Opens the camera with that device id (bringing it up when it never was or its last bring-up
    // failed): 0 and *camera, -1006 no such camera, or the camera's status.
    int openByID(const char* id, KvCamera** camera);
    // The same for a network address; -1006 when it cannot be reached.
    int openByIP(const char* ip, KvCamera** camera);
    // The firmware build text of a camera that has been brought up, else null.
    const char* firmwareVersion(const char* id);
    // Taps one registered camera's byte stream (it stops following the tap for all), or, for a null
    // camera, sets the tap for all: every camera opened from now on and those already following it.
    void setStreamTap(KvCamera* camera, const StreamTapSetting& setting);

  private:
    struct Entry {
        KvCamera* camera = nullptr;
        std::unique_ptr<ITransferStream> stream;  // outlives its camera; a TappedStream
        TappedStream* tapped = nullptr;           // the stream above, as its tap
        bool followsGlobalTap = false;            // guarded by m_tapMutex
        ~Entry();
    };
    using EntryMap = std::map<std::string, std::unique_ptr<Entry>>;

    KvCamera* getCameraByID(const char* id);
    KvCamera* findCameraInListByID(const char* id) const;
    KvCamera* getCameraByIP(const char* ip);
    int openCamera(KvCamera* camera, KvCamera** out);
    // Every registered camera in identifier order (map mutex held by the caller).
    std::map<std::string, KvCamera*> orderedCameras() const;

    void updateUsbDevices();
    void updateNetDevices();
    void updateUsbByOrdinal();
    void updateUsbBySerial(const std::vector<std::string>& serials);
    // Builds a camera on a new stream (taking ownership of both); null when either is missing.
    std::unique_ptr<Entry> makeEntry(ITransferStream* stream);
    Entry* findEntry(const KvCamera* camera) const;
    void followGlobalTap(Entry& entry);
    static void retryFailedInit(Entry& entry);
    KvCamera* tryGetCameraByIP(const char* ip);
    KvCamera* findCameraByIP(const char* ip) const;
    // Moves entries that left the registry aside: another thread may still be inside a call on them, so
    // they are destroyed with the context.
    void retire(EntryMap& entries);

    // Serialises scans, opens and bring-ups; the map mutex below is held only for short lookups and
    // swaps, never while a camera talks to its device, so handle checks never wait for a device.
    std::mutex m_scanMutex;
    mutable std::mutex m_mapMutex;
    EntryMap m_usb;  // USB cameras, by serial or ordinal
    EntryMap m_net;  // network cameras, by address text; never touched by USB rescans
    std::vector<std::unique_ptr<Entry>> m_retired;
    std::map<const KvCamera*, std::set<std::string>> m_firmwareTexts;
    // Guards the tap for all and which entries follow it; taken after the scan mutex and before the map
    // mutex.
    std::mutex m_tapMutex;
    StreamTapSetting m_globalTap;
};

// The one context of the process: null before _KVInitLib and after KVDeinitLib.
extern std::atomic<KvContext*> g_kvContext;

}  // namespace orvane
