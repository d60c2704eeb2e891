// Client side of the device's request/reply parameter protocol (type-0 packets), with the bulk exchanges:
// segmented configuration download, flash save, descriptor and firmware-XML fetch.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kvdepth.h"
#include "protocol/device_receive_controller.h"

namespace orvane {

// Internal results of every command (not library status codes).
enum ParamResult {
    kParamOk = 0,
    kParamBadReply = 1,       // send failed, or wrong reply length / code
    kParamNoReply = 2,        // nothing within timeout_ms
    kParamDeviceFailure = 4,  // the device reported failure, or a null output pointer was passed
    kParamWrongCode = 5,      // the reply answers another command (or a corrupt descriptor)
};

// Work mode bit set: 1 infrared, 2 depth, 4 colour, 8 auxiliary data; 0 stops streaming.
typedef int32_t DeviceWorkModes;
typedef int32_t ResolutionModes;

// The 104-byte device information record.
struct DeviceInfo {
    uint32_t reserved;
    uint16_t hardware_major;
    uint16_t hardware_minor;
    char serial_number[32];  // NUL-terminated
    char model_name[64];     // NUL-terminated when shorter than 64 bytes
};
static_assert(sizeof(DeviceInfo) == 104, "DeviceInfo is 104 bytes");

// The depth camera's calibration record, passed through uninterpreted.
struct CamIntrinsic {
    uint8_t bytes[44];
};

// Flash-save parameters; they travel to the device unchanged.
struct DeviceConfigUpdateParam {
    uint8_t bytes[20];
};

class DeviceParamProcessor;

// Streams a configuration image as 256-byte segments and lets the device's acknowledgements retire them.
class ConfigDownloader {
  public:
    static constexpr int32_t kSegmentSize = 256;

    explicit ConfigDownloader(DeviceParamProcessor* owner);

    // Sends one segment request and returns at once: 0, or the failing SendData result. Only the first
    // length bytes (at most 256) are read from data; the rest of the segment is zero.
    int SetConfigDataNoWait(int offset, const int8_t* data, int length = kSegmentSize);
    // Sends every unacknowledged segment in each pass until all were accepted: 0; 1 after more than
    // max_send_failures failed sends in one pass or after download_timeout_ms.
    int SetConfigDataAsync(const int8_t* data, int length);
    // Offered every processed parameter reply.
    void HandleAcknowledgement(const uint8_t* reply, int length);

    bool finished() const { return finished_.load(); }
    // Status of every segment of the running or last download (1 = not acknowledged yet).
    std::vector<int32_t> SegmentStatuses();

    std::atomic<int32_t> max_send_failures{10};
    const int32_t segment_size = kSegmentSize;
    std::atomic<int32_t> download_timeout_ms{90000};
    std::atomic<int32_t> progress_interval_ms{2000};

  private:
    struct DownloadSegment {
        int32_t offset = 0;
        const int8_t* data = nullptr;
        int32_t length = 0;
        std::atomic<int32_t> status{1};
    };

    DeviceParamProcessor* owner_;
    std::mutex segments_mutex_;  // guards the vector itself against a rebuild while acks are matched
    std::vector<DownloadSegment> segments_;
    std::atomic<bool> finished_{true};
    std::atomic<uint32_t> last_progress_time_{0};
};

class DeviceParamProcessor : public IPacketProcessor {
  public:
    // Largest reply payload this processor accepts.
    static constexpr uint32_t kMaxReplyLength = 51199;

    DeviceParamProcessor();
    ~DeviceParamProcessor() override;

    bool AcceptPacket(const DataPacketHeader* header, const DataPacketImageHeader* image_header,
                      char** buffer, int* size) override;
    void ProcessPacketOverride(const DataPacketHeader* header, const PacketData& data) override;
    // Flash-save replies are taken whatever their packet id.
    void UnawaitedPacket(const DataPacketHeader* header, const PacketData& data) override;

    // Commands. timeout -1 means timeout_ms; below 1 otherwise means no limit.
    int Ping(int timeout);
    int GetFirmwareVersion(int* major, int* minor);
    int QueryInfo(DeviceInfo* info);
    int SetLaserPow(uint8_t power);
    int GetLaserPow(int* power);
    int ChangeDeviceMode(DeviceWorkModes mode);
    int GetDeviceMode(DeviceWorkModes* mode);
    int QueryIntrinsic(CamIntrinsic* intrinsic);
    int SetDepthResolution(ResolutionModes mode);
    int GetDeviceDepthResolution(ResolutionModes* mode);
    int SetUndistortIRStatus(bool enable);
    int GetUndistortIRStatus(bool& enabled);
    int SetCaptureTriggerMode(bool triggered);
    int GetCaptureTriggerMode(bool* triggered);
    int TriggerOnce();
    int SetCamGain(int camid, int gain);
    int GetCamGain(int camid, int* gain);
    int SetRgbGain(int camid, const int gains[3]);
    int GetRgbGain(int camid, int gains[3]);
    int SetRgbResolution(ResolutionModes mode);
    int GetRgbResolution(ResolutionModes* mode);
    int SetRgbAutoExpo(int camid, bool on);
    int GetRgbAutoExpo(int camid, bool* on);
    int SetRgbExpo(int camid, int value);
    int GetRgbExpo(int camid, int* value);
    int SetRgbAWB(int camid, bool on);
    int GetRgbAWB(int camid, bool* on);
    int SetBrightHistoStatus(bool enable);
    int SetFramePerTrigger(int count);
    int GetFramePerTrigger(int* count);
    int SetLaserAutoCtrl(bool on);
    int GetLaserAutoCtrl(bool* on);
    int SetCaptureStructTriggerMode(const KV_TRIGGER_MODE& mode);
    int enterDeveloperMode();

    // Bulk exchanges. data holds length bytes (at most 256); a shorter segment is completed with zeros.
    int SetConfigData(int offset, const int8_t* data, int length = ConfigDownloader::kSegmentSize);
    int SetConfigDataAsync(const int8_t* data, int length);
    int SaveConfigToFlash(const DeviceConfigUpdateParam* param, int timeout_ms);
    // The descriptor text followed by one zero byte (empty for an empty descriptor).
    int GetDeviceDescriptor(std::vector<uint8_t>& out);
    // Copies at most buffer_size bytes (no terminator added); *length receives the full XML length.
    int GetFirmwareVersionXML(char* buffer, int buffer_size, int* length);

    ConfigDownloader& downloader() { return *downloader_; }
    // Payload of the last processed reply.
    std::vector<uint8_t> reply_buffer();
    int32_t reply_length();

  private:
    friend class ConfigDownloader;

    // How a command logs a missing reply.
    struct TimeoutNote {
        bool silent;
        const char* text;  // null: the standard "send data failed(2)" error line
    };

    // Builds the 16-byte block with a fresh packet_id and sends it with the payload under the stream
    // lock; arms the wait first when a reply is awaited. split > 0 sends the payload in two pieces.
    int SendRequest(const uint8_t* payload, int length, bool await_reply, int split = 0,
                    uint8_t* packet_id = nullptr);
    // Waits for the armed reply, copies it and disarms; 0 or kParamNoReply (logged per note).
    int AwaitReply(int32_t timeout, TimeoutNote note, std::vector<uint8_t>* reply);
    // SendRequest + AwaitReply + a copy of the reply.
    int Transact(const uint8_t* payload, int length, TimeoutNote note, std::vector<uint8_t>* reply,
                 int32_t timeout = -1, int split = 0);
    int SendOnly(const uint8_t* payload, int length);
    // Colour-sensor commands answer {code, int32 status, values...} in a reply as long as the request:
    // a setter only checks the status; a query returns the reply for its values once the status is good.
    int ColourSet(const uint8_t* payload, int length);
    int ColourQuery(const uint8_t* payload, int length, std::vector<uint8_t>* reply);
    void ClearReply();
    void KeepFlashReply(const DataPacketHeader* header, const PacketData& data);

    static const TimeoutNote kStdNote;
    static const TimeoutNote kSilentNote;

    std::vector<char> rx_buffer_;  // written by the receive path only
    std::mutex reply_mutex_;       // guards the fields below, read by the commanding thread
    std::vector<uint8_t> reply_buffer_;
    std::vector<uint8_t> flash_reply_;  // the last flash-save reply, whatever its packet id
    uint8_t reply_header_[8] = {0};
    int32_t reply_length_ = 0;
    std::unique_ptr<ConfigDownloader> downloader_;
};

}  // namespace orvane
