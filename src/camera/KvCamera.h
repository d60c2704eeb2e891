// The camera object: one per physical device. It brings the device up from its descriptor, owns the
// feature model, the masks, the device information and the queue of the application's frame buffers,
// routes feature access to the hardware driver, runs capture, and keeps the depth-to-world mapper and the
// depth-to-colour aligner in step with the device's calibration.
//
// Threads. Application threads call everything here; the receive thread and the frame-callback thread
// of the video source call back into the application. init, open, close, deinit and destroy must not run
// concurrently with other calls on the same camera (the registry serialises them). Feature calls of one
// camera are issued one after another by the caller; the flags read by other threads are atomic.
//
// Calls allowed inside callbacks:
// - Frame callback (runs on the camera's frame-callback thread): every feature read and write, masks,
//   enqueueBuffer, clearBufferQueue, getBufferQueueSize, start, stop, close, sendTrigger, registers,
//   registerCallback (also null: the callback that is running finishes normally and is not called
//   again) and registerEventCallback. fetchFrame returns -1015 (frames go to the callback).
//   Refused with -1016 (KV_STATUS_BUSY), since they join the calling thread: init, deinit,
//   openInternalReceiver, closeInternalReceiver, loadDeviceConfig, and open when it would have to bring
//   the device up again. destroy called from a callback logs an error and does nothing
//   (isInsideCallback tells the caller beforehand).
// - Event callback (runs on the device's receive thread, which must deliver the replies of device
//   commands): calls that need no device traffic work (enqueue, clear, fetch returns -1018, callback
//   registration, masks, feature reads answered from the model). While the link is still up, calls that
//   would wait for a device reply return -1016. After the device-offline event (the only event) the link
//   is gone: stop and close succeed without traffic, so an application may close from its handler.
//   init, deinit and the receiver controls return -1016 there too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imgproc/depth_world_mapper.h"
#include "imgproc/image_align.h"
#include "kvdepth.h"
#include "model/KvFeature.h"
#include "stream/image_receiver_processor.h"
#include "stream/sub_buffer_info.h"

namespace orvane {

class ITransferStream;
class VOVCamVideoSource;
class KvHwDriver;

// Feature identifiers the camera itself interprets.
constexpr int32_t kFeatureIntrinsicWidth = 0x1003;
constexpr int32_t kFeatureIntrinsicHeight = 0x1004;
constexpr int32_t kFeatureImageWidth = 0x1104;
constexpr int32_t kFeatureImageHeight = 0x1105;
constexpr int32_t kFeatureImageMode = 0x3108;
constexpr int32_t kFeatureTriggerMode = 0x4200;
constexpr int32_t kFeatureSerialNumber = 0x5f00;
constexpr int32_t kFeatureVendor = 0x5f01;
constexpr int32_t kFeatureModel = 0x5f02;
constexpr int32_t kFeatureHardwareVersion = 0x5f03;
constexpr int32_t kFeatureFirmwareVersion = 0x5f04;
constexpr int32_t kFeatureIntrinsic = 0x7000;
constexpr int32_t kFeatureExtrinsic = 0x7001;
constexpr int32_t kFeatureNotImplementedStruct = 0x7005;
constexpr int32_t kFeatureTriggerModeRecord = 0x7523;

// Descriptor files in the working directory.
constexpr const char* kOverrideConfigFile = "override_config.xml";
constexpr const char* kFetchConfigFile = "fetch_config.xml";
constexpr const char* kDeviceOverrideConfigPattern = "override_config_%s.xml";
constexpr const char* kDeviceFetchConfigPattern = "fetch_config_%s.xml";

// The depth-to-world mapper the camera hands out. Its parameters are replaced as one block under a lock
// and every conversion works on one snapshot, so the receive thread computing a point cloud never sees
// a half-written intrinsic while an application thread refreshes it.
class KvCameraDepthWorldMapper final : public KvDepthWorldMapper {
  public:
    KvCameraDepthWorldMapper();
    void setIntrinsic(const KvDepthCameraIntrinsic& intrinsic);
    KvDepthCameraIntrinsic intrinsic() const;

    KV_VECT_3F getWorld(const KV_VECT_3F& depth) const override;
    KV_VECT_3F getDepth(const KV_VECT_3F& world) const override;
    void depthImage2WorldImage(const uint16_t* depth, int width, int height,
                               KV_VECT_3F* world) const override;

  private:
    mutable std::mutex mutex_;
    KvDepthCameraIntrinsic intrinsic_{};
};

class KvCamera {
  public:
    // ---- lifecycle ----
    // A new camera for the stream (not owned: the registry keeps it alive longer than the camera).
    static KvCamera* instance(ITransferStream* stream);
    // Closes, stops the device threads and frees the camera; null is ignored. From inside one of the
    // camera's callbacks it does nothing (it would end the thread that runs it).
    static void destroy(KvCamera* camera);
    ~KvCamera();
    KvCamera(const KvCamera&) = delete;
    KvCamera& operator=(const KvCamera&) = delete;

    // Brings the device up: handshake, descriptor (local override file, else fetched, else built in),
    // model, driver, device information, per-device override, layout, aligner. 0 or -1005 (also kept in
    // the base info's initStatus); -1016 from inside a callback.
    int init();
    // 0; -1005 when the last init failed; -1016 when already opened. A device whose link went down since
    // init is brought up again first (init), so a device that came back is usable after the next open.
    int open();
    // 0; -1017 when not opened. Stops a running capture (without traffic when the link is down) and drops
    // every queued buffer and undelivered frame.
    int close();
    // Closes and releases the video source, the driver and the model; the camera can be init'ed again.
    // 0; -1016 from inside a callback.
    int deinit();

    // How often keep-alives go out and how long a silent device takes to count as offline; kept for every
    // later init. Keep-alives run only with firmware major 2 or above.
    void setKeepAliveTiming(int intervalMs, int deadMs);

    bool isOpened() const { return opened_.load(); }
    bool isCapturing() const { return capturing_.load(); }
    int32_t initStatus() const { return base_info_.initStatus; }
    bool hasVideoSource() const { return video_source_ != nullptr; }
    // Whether the device's receive thread runs (the link is up).
    bool linkUp() const;
    // Whether the calling thread is running one of this camera's callbacks right now.
    bool isInsideCallback() const;
    ITransferStream* stream() const { return stream_; }

    // ---- information ----
    const KV_DEVICE_BASE_INFO& deviceInfo() const { return base_info_; }
    // The network record is the application's, stored as given; init never changes it.
    void setNetInfo(const KV_DEVICE_NET_INFO& info) { base_info_.netInfo = info; }
    // The device descriptor text, fetched from the device; empty when it does not answer.
    std::string readDescriptor();
    // The firmware build hash of the firmware-version document, or null. The text stays valid until the
    // next call on this camera.
    const char* readFirmwareVer();
    // 0 (firmware major below 2: nothing sent), or the driver's status.
    int enterDeveloperMode();
    // Loads a device-configuration document into the video source and, when the device is up, applies it
    // at once. The path is kept, so every later init applies the document again. 0 (also before init: it
    // is applied by the next init); -1020 for a null path; -1005 when it cannot be loaded or applied;
    // -1016 inside a callback or while capturing.
    int loadDeviceConfig(const char* path);

    // ---- masks ----
    int32_t componentIds() const { return component_ids_; }
    int32_t enabledComponents() const { return enabled_components_.load(); }
    // 0; -1006 for a bit outside componentIds(); -1016 while capturing. Buffers already queued are cut
    // again for the new layout, or dropped when they are too small for it.
    int enableComponents(int32_t mask);
    int disableComponents(int32_t mask);

    // ---- model and typed feature access ----
    // The component with exactly that identifier (enabled or not), or null.
    KvComponent* component(int32_t id);
    // Fresh value from the device into `feature` (bound features through their defining component).
    int readFeature(int32_t componentId, int32_t featureId, KvFeature* feature);
    // Each sends the value through the driver and stores it in the feature only on success; the driver's
    // status is returned. writeEnumFeature of the image mode also renews the layout and drops every
    // queued buffer and undelivered frame.
    int writeIntFeature(int32_t componentId, KvFeature* feature, int32_t value);
    int writeFloatFeature(int32_t componentId, KvFeature* feature, float value);
    int writeEnumFeature(int32_t componentId, KvFeature* feature, int32_t value);
    int writeBoolFeature(int32_t componentId, KvFeature* feature, bool value);
    int writeStringFeature(int32_t componentId, KvFeature* feature, const char* text);
    int writeByteArrayFeature(int32_t componentId, KvFeature* feature, const uint8_t* bytes, int32_t size);
    int writeStructFeature(int32_t componentId, KvFeature* feature, const void* bytes, int32_t size);

    // The checked feature operations behind the exported feature functions. Each makes the checks after
    // the handle check in the exported order (component -1008, feature -1009, type -1010, null -1020,
    // sizes -1011, ranges -1013, capture state -1016) and returns the first failing code, else the result.
    // Negative buffer sizes are refused with -1011.
    int getFeatureInfo(int32_t componentId, int32_t featureId, KV_FEATURE_INFO* info);
    int getIntRange(int32_t componentId, int32_t featureId, KV_INT_RANGE* range);
    int getInt(int32_t componentId, int32_t featureId, int32_t* value);
    int setInt(int32_t componentId, int32_t featureId, int32_t value);
    int getFloatRange(int32_t componentId, int32_t featureId, KV_FLOAT_RANGE* range);
    int getFloat(int32_t componentId, int32_t featureId, float* value);
    int setFloat(int32_t componentId, int32_t featureId, float value);
    int getEnumEntryCount(int32_t componentId, int32_t featureId, uint32_t* count);
    int getEnumEntryInfo(int32_t componentId, int32_t featureId, KV_ENUM_ENTRY* entries, int32_t count,
                         uint32_t* filled);
    int getEnum(int32_t componentId, int32_t featureId, int32_t* value);
    int setEnum(int32_t componentId, int32_t featureId, int32_t value);
    int getBool(int32_t componentId, int32_t featureId, bool* value);
    int setBool(int32_t componentId, int32_t featureId, bool value);
    int getStringBufferSize(int32_t componentId, int32_t featureId, uint32_t* size);
    int getString(int32_t componentId, int32_t featureId, char* buffer, int32_t size);
    int setString(int32_t componentId, int32_t featureId, const char* text);
    int getByteArraySize(int32_t componentId, int32_t featureId, uint32_t* size);
    int getByteArray(int32_t componentId, int32_t featureId, uint8_t* buffer, int32_t size, uint32_t* filled);
    int setByteArray(int32_t componentId, int32_t featureId, const uint8_t* buffer, int32_t size);
    // 0x7000 answers the intrinsic scaled to the current image size; 0x7523 (trigger mode) is the only
    // struct sent to the device and takes the caller's size (at most the stored size is copied out).
    int getStruct(int32_t componentId, int32_t featureId, void* buffer, int32_t size);
    int setStruct(int32_t componentId, int32_t featureId, const void* buffer, int32_t size);

    // ---- capture and frame buffers ----
    int32_t calcFrameBufferSize() const { return frame_buffer_size_.load(); }
    std::vector<SubBufferInfo> frameBufferLayout() const;
    // 0; -1020 null buffer; -1011 smaller than the frame size; -1001 when the layout does not fit; -1005
    // when the layout of the enabled components could not be computed.
    int enqueueBuffer(void* buffer, int32_t size);
    int getBufferQueueSize() const;
    // 0. Drops every queued buffer, the frame being filled and the undelivered frames.
    int clearBufferQueue();
    // 0; -1008 no enabled component; -1016 already capturing; -1019 no buffer queued; -1005 no link;
    // or the driver's status.
    int start();
    // 0; -1017 not capturing; the driver's status. With the link down it only clears the state.
    int stop();
    // 0 with a frame; -1017 not capturing; -1015 in callback mode; -1014 timeout; -1018 no frame.
    // timeout in milliseconds, negative: no limit.
    int fetchFrame(KV_FRAME_DATA* frame, int timeout);
    // The callback and its user data are stored as one pair. When registerCallback returns, the previous
    // callback is not running (unless the caller is that callback) and is never called again. A frame
    // taken for a callback that was unregistered meanwhile gives its buffer back to the queue.
    int registerCallback(KV_FRAME_CALLBACK callback, void* userData);
    int registerEventCallback(KV_EVENT_CALLBACK callback, void* userData);
    int registerIMUCallback(KV_IMU_CALLBACK callback, void* userData);  // always -1003
    bool frameCallbackRegistered() const { return frame_callback_registered_.load(); }
    // 0; -1017 not capturing; -1015 device not in trigger mode; -1005 trigger command failed.
    int sendTrigger();

    // ---- registers and raw access ----
    int readRegister(int32_t componentId, int32_t reg, int32_t* value);
    int writeRegister(int32_t componentId, int32_t reg, int32_t value);
    // 0 or -1001; -1016 when already running or inside a callback.
    int openInternalReceiver();
    // 0 or -1001; -1017 when not running; -1016 inside a callback.
    int closeInternalReceiver();
    bool internalReceiverOpenning() const;
    // 0; -1001 after 5 failed attempts; -1020 null data; -1016 while capturing or while the receive
    // thread owns the stream. A length below 1 sends nothing.
    int sendThrough(const void* data, int32_t length);
    // The transport's Receive result (bytes, or its negative failure value); -1016 as sendThrough.
    int receivedThrough(void* data, int32_t length);

    // ---- intrinsics, mapper and registration ----
    bool calcCamCurIntrinsic(KvComponent* component, const KvFeature* intrinsicFeature,
                             KV_CAMERA_INTRINSIC* out);
    // 0 or -1001 (the intrinsic cannot be scaled or the stored record is too short).
    int getCurIntrinsic(KvComponent* component, const KvFeature* intrinsicFeature, KV_CAMERA_INTRINSIC* out);
    // The camera's own mapper, refreshed for the current depth image size: 0; -1008 no depth component;
    // -1009 no intrinsic feature; -1001 intrinsic not usable. The mapper belongs to the camera.
    int getDepthToWorldMapper(KvDepthWorldMapper*& out);
    // Loads the colour calibration into the aligner: 0; -1008 no colour component; -1003 incomplete
    // calibration (missing feature or a record too short).
    int setupImageAligner();
    int alignerStatus() const { return aligner_status_; }
    // The exported conversions after their argument checks: padding in bytes (a multiple of 4), the world
    // points stepped 12 + padding bytes apart. 0 or the mapper's status.
    int depthToWorld(const KV_VECT_3F* depth, KV_VECT_3F* world, int32_t paddingBytes, int32_t count);
    int worldToDepth(const KV_VECT_3F* world, KV_VECT_3F* depth, int32_t paddingBytes, int32_t count);
    // Depth image of the current colour size rendered from world points; padding in floats. 0, the
    // aligner status, -1009 when the colour size features are missing, -1012 when out is too small.
    int registerWorld2Color(const KV_VECT_3F* world, int paddingFloats, int count, uint16_t* out,
                            int64_t outBytes);
    // Bytes registerWorld2Color writes for the current colour size (refreshes volatile sizes); 0 when
    // unknown.
    int64_t colorImageBytes();

    // Pieces of init, public for the registry and tests.
    int setupHwConfigure();
    int updateComponents();
    int updateDeviceInfo();
    int updateDeivceSpecifiedConfig();

    // A file-name-safe form of the device id for the per-device files: letters, digits, '-', '_' and
    // '.' only, no "..", at most 32 characters; empty when the id is unusable.
    static std::string deviceFileTag(const char* id, size_t idSize);

  private:
    explicit KvCamera(ITransferStream* stream);

    // Argument checks shared by the two conversions, then the intrinsic they use for the whole call.
    int conversionIntrinsic(const void* in, const void* out, int32_t paddingBytes,
                            KvDepthCameraIntrinsic& snapshot);

    struct FrameCallbackPair {
        KV_FRAME_CALLBACK callback = nullptr;
        void* userData = nullptr;
    };
    struct EventCallbackPair {
        KV_EVENT_CALLBACK callback = nullptr;
        void* userData = nullptr;
    };

    static void frameTrampoline(KV_FRAME_DATA* frame, void* self);
    static void eventTrampoline(KV_EVENT_INFO* event, void* self);
    void dispatchFrame(KV_FRAME_DATA* frame);
    void dispatchEvent(KV_EVENT_INFO* event);
    void attachCallbacks();

    void releaseDevice();
    int obtainDescriptor(std::vector<char>& buffer, size_t& length);
    int fetchDescriptorFromDevice(std::vector<char>& buffer, size_t& length);
    int renewLayout();
    void recutQueuedBuffers();
    void dropAllBuffers();
    bool onReceiveThread() const;
    bool refuseWhileLinkNeedsThisThread() const;
    void syncTriggerStateFromDevice();

    // Checked lookup shared by the typed feature operations: 0 and the component and feature, or -1008
    // or -1009.
    int lookup(int32_t componentId, int32_t featureId, KvComponent*& comp, KvFeaturePtr& feature);
    int refresh(int32_t componentId, KvFeature* feature);
    int commitWrite(int32_t componentId, KvFeature* feature, const void* bytes, int32_t size);

    VOVCamVideoSource* video_source_ = nullptr;
    ITransferStream* stream_ = nullptr;
    KV_DEVICE_BASE_INFO base_info_{};
    int32_t component_ids_ = 0;
    std::atomic<int32_t> enabled_components_{0};
    std::atomic<int32_t> frame_buffer_size_{0};
    std::atomic<int32_t> layout_status_{0};  // negative when the layout of the enabled set failed
    mutable std::mutex layout_mutex_;        // the layout is read by enqueueBuffer on any thread
    std::vector<SubBufferInfo> layout_;
    std::atomic<bool> capturing_{false};
    std::atomic<bool> frame_callback_registered_{false};
    std::atomic<bool> opened_{false};
    std::atomic<bool> offline_{false};  // the device-offline event arrived since the last init

    KvCameraDepthWorldMapper conversion_mapper_;  // handed to the application's conversions
    KvCameraDepthWorldMapper capture_mapper_;     // read by the receive thread for point clouds
    std::mutex aligner_mutex_;                    // the aligner's scratch tables serve one call at a time
    ImageAligner aligner_;
    int aligner_status_ = KV_STATUS_INVALID_COMPONENT;

    std::unique_ptr<KvComponentManager> components_;
    std::shared_ptr<KvHwDriver> driver_;
    KvFrameBufferQueue queue_;

    std::mutex callback_mutex_;       // guards the two pairs below
    std::mutex callback_call_mutex_;  // held while the application's frame callback runs
    FrameCallbackPair frame_callback_;
    EventCallbackPair event_callback_;

    std::string firmware_hash_;
    std::string device_config_path_;
    int keepalive_interval_ms_ = 0;  // 0: the receive controller's defaults
    int keepalive_dead_ms_ = 0;
};

}  // namespace orvane
