// One opened device: the receive controller with its three packet processors, the device handshake, frame
// delivery (fetch and callback thread), the frame hooks (speckle filter, point cloud) and the device's
// settings as property accessors.
//
// Accessor results: the number of bytes handled on success (some return 0, see each), kPropDeviceFailure
// when the device command failed, kPropBadArgument for a null value or a wrong size, kPropUnknown for a
// property number without that accessor, kPropNotRunning when the receive thread does not run.
//
// Threads: every accessor and every multi-command sequence holds the source's command lock, so the
// commands of one device never interleave. The frame hooks run on the receive thread; the frame callback
// runs on the source's callback thread only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <tinyxml2.h>

#include "imgproc/depth_world_mapper.h"
#include "kvdepth.h"
#include "protocol/cam_control_processor.h"
#include "protocol/device_param_processor.h"
#include "protocol/device_receive_controller.h"
#include "stream/image_receiver_processor.h"

namespace orvane {

class ITransferStream;

// One row of the property table.
struct DeviceProperty {
    int32_t id;
    const char* name;
    int32_t type;
};

// Property numbers of the generic interface.
enum DevicePropertyId : int {
    kPropDeviceInfo = 0,
    kPropDeviceAddress = 1,
    kPropCmosRegister = 2,
    kPropLaserPower = 3,
    kPropWorkMode = 4,
    kPropDepthResolution = 5,
    kPropDepthIntrinsics = 6,
    kPropPointCloudOutput = 7,
    kPropFrameReadyCallback = 8,
    kPropCallbackUserData = 9,
    kPropSpeckleFilter = 11,
    kPropIrUndistort = 12,
    kPropCoordinateMapper = 13,
    kPropTriggerMode = 14,
    kPropGainControl = 15,
    kPropDeviceDescriptor = 16,
    kPropDeviceConfigAsync = 0x80000,
    kPropDeviceSaveConfig = 0x80001,
    kPropFirmwareVersion = 0x80002,
    kPropFirmwareVersionXml = 0x80003,
};

// Accessor failures.
enum PropertyResult : int {
    kPropDeviceFailure = -1,
    kPropBadArgument = -2,
    kPropUnknown = -4,
    kPropNotRunning = -5,
};

// Register record (property 2): register number, value, sensor number; passed with size 12.
struct CmosRegisterRecord {
    int32_t reg;
    int32_t value;
    uint8_t camid;
};
static_assert(sizeof(CmosRegisterRecord) == 12, "register record is 12 bytes");

// Gain-control record (property 15): sensor number, gain (-1 = automatic).
struct GainControlRecord {
    int32_t camid;
    int32_t gain;
};
static_assert(sizeof(GainControlRecord) == 8, "gain record is 8 bytes");

// Speckle-filter record (property 11).
struct SpeckleFilterRecord {
    int32_t max_size;
    int32_t max_diff;
};
static_assert(sizeof(SpeckleFilterRecord) == 8, "speckle record is 8 bytes");

// Configuration-image record: the image and its length in bytes.
struct DeviceConfigRecord {
    const int8_t* data;
    int32_t length;
};
static_assert(sizeof(DeviceConfigRecord) == 16, "configuration-image record is 16 bytes");

// Flash-save record.
struct DeviceSaveConfigRecord {
    DeviceConfigUpdateParam param;
    int32_t timeout_ms;
};
static_assert(sizeof(DeviceSaveConfigRecord) == 24, "flash-save record is 24 bytes");

class VOVCamVideoSource {
  public:
    static constexpr int kPropertyCount = 15;
    // Longest single transport read: it bounds an idle receive step on USB, and with it the keep-alive
    // period (3000 ms) and how long a close waits for the receive thread.
    static constexpr int kStreamTimeoutMs = 500;
    static constexpr int kHandshakeTries = 8;
    static constexpr int kPingTimeoutMs = 1000;
    static constexpr int kDepthComponent = 0x00010000;
    static constexpr int kPoint3dComponent = 0x00020000;

    // The queue of the application's empty buffers belongs to the camera and must outlive the source.
    explicit VOVCamVideoSource(KvFrameBufferQueue& empty_queue);
    ~VOVCamVideoSource();
    VOVCamVideoSource(const VOVCamVideoSource&) = delete;
    VOVCamVideoSource& operator=(const VOVCamVideoSource&) = delete;

    // ------------------------------------------------------------------------------------ lifecycle
    // Gives the source its transport (not owned) and hands it to the receive controller. Only while closed.
    void SetStream(ITransferStream* transport);
    // Handshake: 0; -1 transport, receive thread, ping or firmware-version failure; -2 when the loaded
    // device-configuration document could not be applied.
    int OpenDevice();
    // Stops streaming, the callback thread and the receive thread, and closes the transport. Safe to call
    // twice, after the device went offline, and from the frame or event callback.
    void CloseDevice();
    // Restarts only the receive thread (and the callback thread), without the handshake: 0 or -1.
    int OpenReceiver();
    // CloseDevice, then opens the transport raw again for pass-through use: 0, or -1 when it cannot be
    // reopened.
    int CloseReceiver();
    bool ReceiverRunning() const;
    void EnableKeepAlive();
    // The event callback runs on the receive thread when the device goes offline.
    int SetEventCallback(KV_EVENT_CALLBACK callback, void* user_data);
    // One trigger command followed by a short ping: 0 or -1.
    int TriggerOnce();

    // ------------------------------------------------------------------------------- frame delivery
    // 0 with the oldest finished frame; KV_STATUS_IDLE when not receiving (also when the device goes
    // offline or the source closes during the wait); KV_STATUS_NO_DATA without a frame (at once on the
    // receive thread); KV_STATUS_TIMEOUT when timeout_ms (> 0) passed; KV_STATUS_NULL_POINTER.
    // timeout_ms < 0 waits without limit, 0 does not wait.
    int fetchFrame(KV_FRAME_DATA* frame, int timeout_ms);
    // Sets callback and user data as one pair (null callback: polling). Once this returns, the previous
    // callback is not running and is never called again, except when called from inside that callback.
    void SetFrameCallback(KV_FRAME_CALLBACK callback, void* user_data);
    KV_FRAME_CALLBACK frame_callback() const;
    void* callback_user_data() const;
    // Changes only the user data of the pair (property 9).
    void SetCallbackUserData(void* user_data);
    // Body of the callback thread.
    void UserFrameCallbackWorkThreadLoop();

    // Frame hooks, run by the image receiver on the receive thread under its frame_lock.
    void OnFrameArrived(KV_FRAME_DATA* frame);
    void OnFrameReady(KV_FRAME_DATA* frame);
    void FilteSpeckle(KV_IMAGE_DATA* image);
    void GeneratePointCloud(KV_FRAME_DATA* frame, KV_IMAGE_DATA* depth);

    // Point-cloud mapper (not owned; null switches point clouds off). The mapper and anything it reads
    // must only change under LockFrameHooks, so that the receive thread never sees half an update.
    void SetDepthWorldMapper(const KvDepthWorldMapper* mapper);
    const KvDepthWorldMapper* depth_world_mapper();
    std::unique_lock<std::mutex> LockFrameHooks();

    // -------------------------------------------------------------------------- generic properties
    static int GetPropertyNum();
    // Copies the table into out (room for GetPropertyNum() records): 0; kPropBadArgument for null.
    static int GetPropertyList(DeviceProperty* out);
    int GetProperty(int id, void* value, int size);
    int SetProperty(int id, const void* value, int size);

    // ----------------------------------------------------------------------------------- accessors
    int GetDeviceInfo(void* value, int size);                   // DeviceInfo, 104
    int GetCmosReg(void* value, int size);                      // CmosRegisterRecord, 12
    int SetCmosReg(const void* value, int size);                // CmosRegisterRecord, 12; -1 if not sent
    int GetLaserPow(void* value, int size);                     // int32, 4
    int SetLaserPower(const void* value, int size);             // int32 (low byte sent), 4
    int GetWorkMode(void* value, int size);                     // int32, 4
    int SetWorkMode(const void* value, int size);               // int32, 4
    int GetDeivceDepthResolution(void* value, int size);        // int32, 4
    int SetDeivceDepthResolution(const void* value, int size);  // int32, 4; 0 on success
    int GetDepthIntrinsic(void* value, int size);               // CamIntrinsic, 44
    int SetOutputPoint3D(const void* value, int size);          // first byte, size >= 1; returns size
    int SetSpeckleFilter(const void* value, int size);          // SpeckleFilterRecord, 8; 0 on success
    int GetSpeckleFilter(void* value, int size);                // SpeckleFilterRecord, 8; 0 on success
    int GetUndistortIRStatus(void* value, int size);            // first byte, size >= 1; returns size
    int SetUndistortIR(const void* value, int size);            // uint8, 1
    int GetTriggerMode(void* value, int size);                  // uint8, 1
    int SetTriggerMode(const void* value, int size);            // uint8, 1
    int SetStructTriggerMode(const void* value, int size);      // KV_TRIGGER_MODE, 4
    int GetGainControl(void* value, int size);                  // GainControlRecord, 8
    int SetGainControl(const void* value, int size);            // GainControlRecord, 8
    int GetFramePerTrigger(void* value, int size);              // int32, 4
    int SetFramePerTrigger(const void* value, int size);        // int32, 4
    int GetRgbGain(void* value, int size);                      // int32[3], 12
    int SetRgbGain(const void* value, int size);                // int32[3], 12
    // Replaces one of the three colour gains (index 0..2) in one locked read-modify-write: 4.
    int SetRgbGainComponent(int index, int32_t gain);
    int GetRgbAutoExpo(void* value, int size);          // uint8, 1
    int SetRgbAutoExpo(const void* value, int size);    // uint8, 1
    int GetRgbExpo(void* value, int size);              // int32, 4
    int SetRgbExpo(const void* value, int size);        // int32, 4
    int GetRgbAWB(void* value, int size);               // uint8, 1
    int SetRgbAWB(const void* value, int size);         // uint8, 1
    int GetRgbResolution(void* value, int size);        // int32, 4
    int SetRgbResolution(const void* value, int size);  // int32, 4; 0 on success
    int GetLaserAutoCtrl(void* value, int size);        // uint8, 1
    int SetLaserAutoCtrl(const void* value, int size);  // uint8, 1
    int SetBrightHisto(const void* value, int size);    // uint8, 1
    int GetFirmwareVersion(void* value, int size);      // int32[2], 8
    int enterDeveloperMode();                           // 0 or KV_STATUS_ERROR
    // Configuration image and flash.
    int SetDeviceConfig(const void* value, int size);       // DeviceConfigRecord, 16; returns length
    int SetDeviceConfigAsync(const void* value, int size);  // DeviceConfigRecord, 16; 0 on success
    int SetDeviceSaveConfig(const void* value, int size);   // DeviceSaveConfigRecord, 24
    int GetDeviceDescriptor(void* buffer, int size);        // returns descriptor length + 1
    int GetFirmwareVersionXML(void* buffer, int size);      // returns the full XML length
    int TrySetConfigDataSegment(int offset, const int8_t* data, int length);

    // ------------------------------------------------------------ device-configuration document
    // The document is kept and applied by every later OpenDevice; both may be called on an open device.
    int Config(const char* text);
    int LoadConfigFile(const char* path);
    // Applies the loaded document to the device now: 0 (also with no document); -1 when a register write
    // failed (the writes before it stay on the device).
    int ParseConfigFile();
    int InitCmosReg(const tinyxml2::XMLElement* element);

    // How long each of the handshake's pings waits for its answer.
    std::atomic<int> ping_timeout_ms{kPingTimeoutMs};

    int firmware_major() const { return firmware_major_.load(); }
    int firmware_minor() const { return firmware_minor_.load(); }

    // Embedded protocol machinery; the camera and the driver may use them directly.
    DeviceReceiveController receive_controller;
    CamControlProcessor cam_control;
    ImageReceiverProcessor image_receiver;
    DeviceParamProcessor param_processor;

    ITransferStream* stream() const { return stream_; }

    // Serialises the commands of this device; hold it around a sequence of accessor calls that must not
    // interleave with another thread's commands. Never held while threads are joined.
    std::recursive_mutex& command_mutex() { return command_mutex_; }

  private:
    using CommandLock = std::lock_guard<std::recursive_mutex>;

    bool Running() const { return receive_controller.IsRunning(); }
    // Runs one device command under the command lock; an exception of the receive path becomes
    // kParamBadReply.
    template <typename F>
    int Command(F&& command);
    int StartCallbackThread();
    void StopCallbackThread();
    void WakeFrameWaiters();
    bool FetchShouldStop() const;
    // 0 once a finished frame waits (not taken); KV_STATUS_IDLE on stop; KV_STATUS_TIMEOUT.
    int WaitForFrame(int timeout_ms);
    int Handshake();
    void JoinEndedReceiveThread();
    int SetTriggerModeAndRestart(bool trigger_on, const std::function<int()>& send_mode, int result_size);
    static void OnReceiverEvent(KV_EVENT_INFO* event, void* user_data);

    ITransferStream* stream_ = nullptr;
    tinyxml2::XMLDocument config_doc_;
    std::mutex config_mutex_;  // guards config_doc_
    std::atomic<int> firmware_major_{0};
    std::atomic<int> firmware_minor_{0};

    // Frame hook settings, read by the receive thread under hook_mutex_.
    std::mutex hook_mutex_;
    const KvDepthWorldMapper* depth_world_mapper_ = nullptr;
    int32_t speckle_new_value_ = 0;
    int32_t speckle_max_size_ = 150;
    int32_t speckle_max_diff_ = 64;
    std::vector<uint8_t> speckle_buffer_;

    // Frame callback pair and the state of its call.
    mutable std::mutex callback_mutex_;
    std::condition_variable callback_cond_;
    KV_FRAME_CALLBACK frame_callback_ = nullptr;
    void* callback_user_data_ = nullptr;
    bool callback_running_ = false;
    bool callback_done_ = true;
    std::thread callback_thread_;
    std::atomic<bool> stop_callback_{false};
    std::thread::id callback_thread_id_;  // guarded by callback_mutex_

    // Event callback of the application; the controller calls OnReceiverEvent, which wakes waiters first.
    std::atomic<KV_EVENT_CALLBACK> event_callback_{nullptr};
    std::atomic<void*> event_user_data_{nullptr};

    std::recursive_mutex command_mutex_;
    std::mutex close_mutex_;  // one closer at a time stops the receive thread and closes the transport
};

}  // namespace orvane
