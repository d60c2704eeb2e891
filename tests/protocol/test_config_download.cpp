// Bulk exchanges: configuration segments (synchronous and asynchronous), flash save, descriptor and
// firmware-XML fetch. What lands in the device memory and flash, padding and checksums included, is checked
// against the simulator by the conformance suite; here the waits, retries and reply checks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "protocol_harness.h"

using orvane::DeviceConfigUpdateParam;

namespace kvtest {
namespace {

constexpr uint8_t kId = 0x31;

// The segment a configuration request carries: its byte offset (second payload word) over 256.
uint32_t SegmentIndex(const DeviceRequest& r) {
    return static_cast<uint32_t>(r.payload[5] | r.payload[6] << 8 | r.payload[7] << 16);
}

Bytes Ack(uint32_t status, uint32_t index) {
    Bytes ack = ReplyWords(4, {status, index});
    ack.resize(40, 0xcc);
    return ack;
}

DeviceReply AckReply(uint32_t status, uint32_t index) {
    DeviceReply reply;
    reply.payload = Ack(status, index);
    return reply;
}

std::vector<int8_t> Image(size_t n) {
    std::vector<int8_t> image(n);
    for (size_t i = 0; i < n; ++i) image[i] = static_cast<int8_t>(i * 13 + 1);
    return image;
}

using ConfigDownload = ProtocolHarness;

TEST_F(ConfigDownload, SegmentAcknowledgementIsChecked) {
    std::vector<int8_t> image = Image(256);
    device.OnReply(4, Ack(3, 0));
    EXPECT_EQ(4, param.SetConfigData(0, image.data()));  // refused
    Bytes short_ack = Ack(0, 0);
    short_ack.pop_back();
    device.OnReply(4, short_ack);
    EXPECT_EQ(1, param.SetConfigData(0, image.data()));  // wrong length
    Bytes other = Ack(0, 0);
    other[0] = 5;
    device.OnReply(4, other);
    EXPECT_EQ(1, param.SetConfigData(0, image.data()));  // wrong code
    param.timeout_ms = 20;
    device.Silence(4);
    EXPECT_EQ(2, param.SetConfigData(0, image.data()));
}

TEST_F(ConfigDownload, AsyncDownloadResendsSegmentsUntilTheDeviceAcceptsThem) {
    StartThread();
    std::vector<int8_t> image = Image(4 * 256);
    std::mutex mutex;
    std::map<uint32_t, int> attempts;
    device.On(4, [&](const DeviceRequest& r) {
        const uint32_t index = SegmentIndex(r);
        std::lock_guard<std::mutex> lock(mutex);
        const int attempt = ++attempts[index];
        std::vector<DeviceReply> replies;
        if (index == 1 && attempt == 1) return replies;  // first one lost: never acknowledged
        replies.push_back(AckReply(index == 2 && attempt <= 2 ? 7 : 0, index));  // refused twice
        return replies;
    });
    ASSERT_EQ(0, param.SetConfigDataAsync(image.data(), static_cast<int>(image.size())));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GE(attempts[0], 1);
    EXPECT_GE(attempts[1], 2);
    EXPECT_GE(attempts[2], 3);
    EXPECT_GE(attempts[3], 1);
    EXPECT_EQ((std::vector<int32_t>{0, 0, 0, 0}), param.downloader().SegmentStatuses());
}

TEST_F(ConfigDownload, AsyncDownloadAbortsAfterMoreThanTenSendFailuresInOnePass) {
    StartThread();
    std::vector<int8_t> image = Image(20 * 256);
    device.stream().FailSends(-1);
    EXPECT_EQ(1, param.SetConfigDataAsync(image.data(), static_cast<int>(image.size())));
    EXPECT_EQ(11, device.stream().send_calls());  // one failed block send per segment, 11 segments
    EXPECT_FALSE(param.downloader().finished());
    // Late acknowledgements still count while the download is not finished.
    device.stream().FailSends(0, 0);
    device.Push(0, 200, Ack(0, 3));
    ASSERT_TRUE(WaitUntil([&] { return param.downloader().SegmentStatuses()[3] == 0; }, 5000));
}

TEST_F(ConfigDownload, AcknowledgementForUnknownSegmentChangesNothing) {
    StartThread();
    std::vector<int8_t> image = Image(512);
    std::atomic<bool> accept{false};
    device.On(4, [&](const DeviceRequest& r) {
        std::vector<DeviceReply> replies{AckReply(0, 9)};
        if (accept.load()) replies.push_back(AckReply(0, SegmentIndex(r)));
        return replies;
    });
    param.downloader().download_timeout_ms = 50;
    EXPECT_EQ(1, param.SetConfigDataAsync(image.data(), 512));  // only bogus acks: times out
    EXPECT_TRUE(param.downloader().finished());
    EXPECT_EQ((std::vector<int32_t>{1, 1}), param.downloader().SegmentStatuses());
    accept = true;
    param.downloader().download_timeout_ms = 90000;
    EXPECT_EQ(0, param.SetConfigDataAsync(image.data(), 512));
}

TEST_F(ConfigDownload, FlashSaveNeverTakesAnEarlierReplyAndWaitsWithoutLimitOnNegativeTimeout) {
    StartThread();
    DeviceConfigUpdateParam update{};
    device.OnReply(5, ReplyWords(5, {0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(0, param.SaveConfigToFlash(&update, 1000));
    device.Silence(5);
    EXPECT_EQ(2, param.SaveConfigToFlash(&update, 50));

    device.OnReply(5, ReplyWords(5, {0, 0, 0, 0, 0, 0, 0, 0, 0}), 150);
    EXPECT_EQ(2, param.SaveConfigToFlash(&update, 40));  // a limit shorter than the device needs
    EXPECT_EQ(0, param.SaveConfigToFlash(&update, -1));
}

TEST_F(ConfigDownload, FlashSaveEndsOnAReplyArrivingWhileDisarmedBetweenPasses) {
    // The device answers with another packet id: only the reply-buffer check of each pass can see it.
    DeviceConfigUpdateParam update{};
    device.On(5, [](const DeviceRequest& r) {
        DeviceReply reply;
        reply.payload = ReplyWords(5, {0, 0, 0, 0, 0, 0, 0, 0, 0});
        reply.packet_id = r.packet_id + 3;
        reply.delay_ms = 25;
        return std::vector<DeviceReply>{reply};
    });
    StartThread();
    EXPECT_EQ(0, param.SaveConfigToFlash(&update, 2000));
}

// A descriptor reply: code, a word holding the byte sum of the text in its third byte, the text.
Bytes DescriptorReply(const std::string& text, uint32_t code = 0x8000000C) {
    uint8_t sum = 0;
    for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return Concat({Le32(code), Bytes{0, 0, sum, 0}, Bytes(text.begin(), text.end())});
}

TEST_F(ConfigDownload, DescriptorFromEmptyToLargestFitsAndShorterLargerOrForeignRepliesFail) {
    std::vector<uint8_t> out{1, 2, 3};
    device.OnReply(0x8000000C, Hex("0c 00 00 80 00 00 00 00"));
    EXPECT_EQ(0, param.GetDeviceDescriptor(out));
    EXPECT_TRUE(out.empty());
    device.OnReply(0x8000000C, Hex("0c 00 00 80 00 00 00"));
    EXPECT_EQ(1, param.GetDeviceDescriptor(out));
    device.OnReply(0x8000000C, Hex("0c 00"));
    EXPECT_EQ(1, param.GetDeviceDescriptor(out));
    // The code is compared without the query bit; another command's code is a foreign reply.
    const std::string xml = "<Device><Component id=\"0x80000000\"/></Device>";
    device.OnReply(0x8000000C, DescriptorReply(xml, 0x0000000C));
    ASSERT_EQ(0, param.GetDeviceDescriptor(out));
    EXPECT_EQ(xml.size() + 1, out.size());
    device.OnReply(0x8000000C, DescriptorReply(xml, 0x8000000D));
    EXPECT_EQ(5, param.GetDeviceDescriptor(out));
    EXPECT_TRUE(out.empty());

    param.timeout_ms = 100;
    device.OnReply(0x8000000C, DescriptorReply(std::string(51191, 'x')));
    ASSERT_EQ(0, param.GetDeviceDescriptor(out));
    EXPECT_EQ(51192u, out.size());
    device.OnReply(0x8000000C, DescriptorReply(std::string(51192, 'x')));
    EXPECT_EQ(2, param.GetDeviceDescriptor(out));  // 51200-byte payload: nobody claims it
}

TEST_F(ConfigDownload, FirmwareXmlLengthIsReportedInFullWhenTheCopyIsCut) {
    const std::string xml = "<Firmware><Build>2024.1</Build></Firmware>";
    device.OnReply(0x8000000D, Concat({Hex("0d 00 00 80 00 00 00 00"), Bytes(xml.begin(), xml.end())}));
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    int length = 0;
    NextIdWillBe(kId);
    ASSERT_EQ(0, param.GetFirmwareVersionXML(buffer, 10, &length));
    EXPECT_EQ(RequestBlockHex(kId, 12) + " 0d 00 00 80 00 00 00 00 00 00 00 00",
              ToHex(device.requests().back().raw));
    EXPECT_EQ(static_cast<int>(xml.size()), length);
    EXPECT_EQ(xml.substr(0, 10), std::string(buffer, 10));
    EXPECT_EQ('#', buffer[10]);  // nothing written past the given size

    device.OnReply(0x8000000D, Concat({Hex("0c 00 00 80 00 00 00 00"), Bytes(xml.begin(), xml.end())}));
    EXPECT_EQ(5, param.GetFirmwareVersionXML(buffer, 16, &length));
    device.OnReply(0x8000000D, Hex("0d 00 00 80 00"));
    EXPECT_EQ(1, param.GetFirmwareVersionXML(buffer, 16, &length));
}

}  // namespace
}  // namespace kvtest
