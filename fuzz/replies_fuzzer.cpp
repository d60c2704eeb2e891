// Device replies to every parameter command and to a register read: the command sends its request, then
// pumps the receive path itself (no receive thread) until its reply came or the device bytes ran out.
// Requests carry the packet id kRequestId, so a corpus file can answer them.
//
// Input: [command] [16-bit seed of read sizes] [device bytes...]
#include <cstring>
#include <vector>

#include "diag/KvException.h"
#include "fuzz_support.h"
#include "protocol/cam_control_processor.h"
#include "protocol/device_param_processor.h"
#include "protocol/device_receive_controller.h"

namespace {

using orvane::DeviceParamProcessor;

constexpr uint8_t kRequestId = 0x40;

// A text field the record promises to terminate within its size.
void CheckTerminated(const char* text, size_t size) {
    FUZZ_CHECK(std::memchr(text, '\0', size) != nullptr);
}

// Everything a command hands back besides its result.
struct Outputs {
    int a = 0, b = 0;
    int gains[3] = {0, 0, 0};
    bool flag = false;
    orvane::DeviceInfo info;
    orvane::CamIntrinsic intrinsic;
    std::vector<uint8_t> descriptor;
    char xml[64];
    int length = -1;

    Outputs() {
        std::memset(&info, 0x7f, sizeof(info));
        std::memset(&intrinsic, 0, sizeof(intrinsic));
        std::memset(xml, 0, sizeof(xml));
    }
    void AddTo(kvfuzz::Digest& digest) const {
        digest.AddValue(a);
        digest.AddValue(b);
        digest.AddValue(gains);
        digest.AddValue(flag);
        digest.AddValue(info);
        digest.AddValue(intrinsic);
        digest.Add(descriptor.data(), descriptor.size());
        digest.AddValue(xml);
        digest.AddValue(length);
    }
};

int RunCommand(uint8_t command, DeviceParamProcessor& params, orvane::CamControlProcessor& registers,
               Outputs& out) {
    int& a = out.a;
    int& b = out.b;
    int* gains = out.gains;
    bool& flag = out.flag;
    switch (command % 24) {
        case 0:
            return params.Ping(-1);
        case 1:
            return params.GetFirmwareVersion(&a, &b);
        case 2: {
            const int result = params.QueryInfo(&out.info);
            if (result == orvane::kParamOk) {
                CheckTerminated(out.info.serial_number, sizeof(out.info.serial_number));
            }
            return result;
        }
        case 3:
            return params.GetLaserPow(&a);
        case 4:
            return params.GetDeviceMode(&a);
        case 5:
            return params.QueryIntrinsic(&out.intrinsic);
        case 6:
            return params.GetDeviceDepthResolution(&a);
        case 7:
            return params.GetUndistortIRStatus(flag);
        case 8:
            return params.GetCaptureTriggerMode(&flag);
        case 9:
            return params.SetCamGain(1, 16);
        case 10:
            return params.GetCamGain(1, &a);
        case 11:
            return params.GetRgbGain(2, gains);
        case 12:
            return params.GetRgbExpo(2, &a);
        case 13:
            return params.GetRgbAWB(2, &flag);
        case 14:
            return params.GetRgbResolution(&a);
        case 15:
            return params.GetFramePerTrigger(&a);
        case 16:
            return params.GetLaserAutoCtrl(&flag);
        case 17: {
            const std::vector<int8_t> segment(orvane::ConfigDownloader::kSegmentSize, 3);
            return params.SetConfigData(0, segment.data());
        }
        case 18: {
            const int result = params.GetDeviceDescriptor(out.descriptor);
            if (result == orvane::kParamOk && !out.descriptor.empty()) FUZZ_CHECK(out.descriptor.back() == 0);
            return result;
        }
        case 19: {
            const int result = params.GetFirmwareVersionXML(out.xml, sizeof(out.xml), &out.length);
            if (result == orvane::kParamOk) FUZZ_CHECK(out.length >= 0);
            return result;
        }
        case 20: {
            orvane::DeviceConfigUpdateParam save;
            std::memset(&save, 0, sizeof(save));
            // A limit far beyond the run: the outcome must not depend on the clock.
            return params.SaveConfigToFlash(&save, 600000);
        }
        case 21:
            return params.TriggerOnce();
        case 22: {
            KV_TRIGGER_MODE mode;
            std::memset(&mode, 0, sizeof(mode));
            return params.SetCaptureStructTriggerMode(mode);
        }
        default:
            return registers.ReadRegister(1, 0x3000, &a);
    }
}

// One command against the device bytes; the digest of its result and outputs.
uint64_t Run(const uint8_t* data, size_t size, bool whole_reads) {
    kvfuzz::InputReader in(data, size);
    const uint8_t command = in.Byte();
    const uint16_t seed = in.U16();
    kvfuzz::ChunkedStream stream(in.rest(), in.rest_size(), seed, whole_reads);

    DeviceParamProcessor params;
    orvane::CamControlProcessor registers;
    orvane::DeviceReceiveController controller;
    controller.set_underlay_stream(&stream);
    controller.AddProcessor(&params);
    controller.AddProcessor(&registers);

    orvane::kPacketIdCounter.store(kRequestId);
    Outputs out;
    int result = -1;
    try {
        result = RunCommand(command, params, registers, out);
    } catch (const orvane::Exception&) {
        // The device bytes ran out before a reply: the receive path reports the failed transport.
    }
    kvfuzz::Digest digest;
    digest.AddValue(result);
    out.AddTo(digest);
    return digest.value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::QuietLogs();
    // How the transport cuts the reply bytes must not change the answer.
    FUZZ_CHECK(Run(data, size, false) == Run(data, size, true));
    return 0;
}
