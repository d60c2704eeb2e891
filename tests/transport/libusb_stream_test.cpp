// The USB stream against simulated devices: device selection, interface rules, reads and writes.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transport/libusb_stream.h"
#include "usb_fixture.h"

namespace {

using kvsim::usb::ActiveConfig;
using kvsim::usb::AltSettingSetup;
using kvsim::usb::cameraSetup;
using kvsim::usb::DeviceSetup;
using kvsim::usb::EndpointSetup;
using kvsim::usb::InterfaceSetup;
using kvsim::usb::TransferRecord;
using orvane::libusb_stream;
using usbtest::pattern;
using usbtest::UsbFixture;

class UsbStream : public UsbFixture {
  protected:
    // stream_ is closed before the fixture checks that everything was given back.
    void TearDown() override {
        stream_.Close();
        UsbFixture::TearDown();
    }
    // Plugs the camera stream_ names and opens stream_ on it.
    std::shared_ptr<kvsim::usb::Device> plugAndOpen(uint16_t packet_size = 512) {
        auto cam = plugCamera("KV0000000001", packet_size);
        EXPECT_EQ(stream_.Open(), 0);
        return cam;
    }
    static std::string captureOpen(libusb_stream& stream, int* result) {
        testing::internal::CaptureStdout();
        *result = stream.Open();
        return testing::internal::GetCapturedStdout();
    }
    static std::vector<int> requestedLengths(const std::vector<TransferRecord>& records, bool in) {
        std::vector<int> lengths;
        for (const auto& r : records) {
            if (r.in == in) lengths.push_back(r.requested);
        }
        return lengths;
    }
    libusb_stream stream_{"KV0000000001"};
};

AltSettingSetup alt(std::vector<EndpointSetup> endpoints, uint8_t protocol = 0) {
    AltSettingSetup a;
    a.interface_protocol = protocol;
    a.endpoints = std::move(endpoints);
    return a;
}

constexpr uint8_t kBulk = LIBUSB_TRANSFER_TYPE_BULK;
constexpr uint8_t kInterrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;

TEST_F(UsbStream, IdentifierSelectsTheCameraBySerialOrByOrdinalInListOrder) {
    struct Case {
        std::vector<std::string> serials;  // an "XX" serial marks another vendor's device
        std::string id;
        int opened;  // index into serials; -1: the open fails
    };
    const Case cases[] = {
        {{"KV0000000001", "KV0000000002"}, "KV0000000002", 1},
        {{"KV0000000001", "KV0000000002"}, "kv0000000002", -1},  // the comparison is exact
        {{"123456789012", "000000000001"}, "000000000001", 1},   // twelve digits: a serial, not an ordinal
        {{"XX0000000001", "", "KV0000000002"}, "1", 1},          // ordinal 1: the first camera
        {{"KV0000000001"}, "1" + std::string(200, 'x'), 0},      // overlong: bounded, strtol reads the "1"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        std::vector<std::shared_ptr<kvsim::usb::Device>> cams;
        for (const std::string& serial : c.serials) {
            DeviceSetup setup = cameraSetup(serial);
            if (serial.rfind("XX", 0) == 0) setup.vendor_id = 0x0001;
            cams.push_back(plug(setup));
        }
        {
            libusb_stream stream(c.id.c_str());
            int result = -1;
            EXPECT_EQ(captureOpen(stream, &result).find("Invalid device id!"), std::string::npos);
            EXPECT_EQ(result, c.opened < 0 ? 1 : 0);
            EXPECT_EQ(stream.GetStreamID(), c.id);
            // Cameras examined before the chosen one were let go again; later ones were never opened.
            for (int i = 0; i < static_cast<int>(cams.size()); ++i) {
                EXPECT_EQ(cams[i]->openHandles(), i == c.opened ? 1 : 0) << i;
                EXPECT_EQ(cams[i]->claimedInterfaces(), i == c.opened ? 1 : 0) << i;
                EXPECT_TRUE(c.opened < 0 || i <= c.opened || cams[i]->timesOpened() == 0) << i;
            }
        }
        for (auto& cam : cams) cam->unplug();
    }
}

TEST_F(UsbStream, OrdinalsOutOfRangePrintInvalidDeviceId) {
    auto a = plugCamera("KV0000000001");
    auto b = plugCamera("KV0000000002");
    for (const char* id : {"0", "-1", "3", "", "abc", "99999999999999999999999"}) {
        libusb_stream stream(id);
        int result = -1;
        const std::string out = captureOpen(stream, &result);
        EXPECT_EQ(result, 1) << "id '" << id << "'";
        EXPECT_EQ(out, "Invalid device id!\n") << "id '" << id << "'";
    }
    EXPECT_EQ(a->timesOpened(), 0);
    EXPECT_EQ(b->timesOpened(), 0);
}

TEST_F(UsbStream, SerialIsReadThroughTheLanguageList) {
    // The serial exists only in the second language; the first one stalls.
    DeviceSetup setup = cameraSetup("");
    setup.serial_index = 3;
    setup.languages = {0x0407, 0x0409};
    setup.serials[0x0409] = kvsim::usb::utf16("KV0000000042");
    auto cam = plug(setup);
    libusb_stream stream("KV0000000042");
    ASSERT_EQ(stream.Open(), 0);
    EXPECT_EQ(cam->openHandles(), 1);
}

TEST_F(UsbStream, SerialModeReportsWhyADeviceWasRejected) {
    struct Case {
        ActiveConfig config;
        int language_error;
        const char* text;
    };
    const Case cases[] = {
        {ActiveConfig::kNotFound, 0, "check_device(): Device  4b4:1003 is unconfigured\n"},
        {ActiveConfig::kEmpty, 0, "check_device(): Sanity check failed after getting active config\n"},
        {ActiveConfig::kError, 0, ""},
        {ActiveConfig::kPresent, LIBUSB_ERROR_PIPE, "check_device(): Failed to get languages count\n"},
    };
    for (const Case& c : cases) {
        DeviceSetup setup = cameraSetup("KV0000000001");
        setup.faults.active_config = c.config;
        setup.faults.language_error = c.language_error;
        auto cam = plug(setup);
        {
            libusb_stream by_serial("KV0000000001");
            int result = -1;
            EXPECT_EQ(captureOpen(by_serial, &result), c.text);
            EXPECT_EQ(result, 1);
            // Ordinal mode fails the same way, silently.
            libusb_stream by_ordinal("1");
            EXPECT_EQ(captureOpen(by_ordinal, &result), "");
            EXPECT_EQ(result, 1);
        }
        EXPECT_EQ(cam->openHandles(), 0);
        EXPECT_EQ(cam->claimedInterfaces(), 0);
        cam->unplug();
    }
}

TEST_F(UsbStream, OpenFailsCleanlyWhenOpenOrClaimFails) {
    DeviceSetup setup = cameraSetup("KV0000000001");
    setup.faults.open_error = LIBUSB_ERROR_ACCESS;
    auto cam = plug(setup);
    libusb_stream stream("KV0000000001");
    EXPECT_EQ(stream.Open(), 1);

    kvsim::usb::DeviceFaults faults;
    faults.claim_error = LIBUSB_ERROR_BUSY;
    cam->setFaults(faults);
    EXPECT_EQ(stream.Open(), 1);
    EXPECT_EQ(cam->openHandles(), 0);  // the handle opened for the claim was closed again

    cam->setFaults(kvsim::usb::DeviceFaults());
    EXPECT_EQ(stream.Open(), 0);  // a failed stream can be opened later
}

TEST_F(UsbStream, SkipsInterfacesThatAreNotOneBulkInAndOneBulkOut) {
    DeviceSetup setup = cameraSetup("KV0000000001");
    setup.interfaces = {
        InterfaceSetup{},                                                             // no alt setting
        {{alt({{0x81, kBulk, 512}, {0x01, kBulk, 512}, {0x83, kBulk, 512}})}},        // 3 endpoints
        {{alt({{0x81, kInterrupt, 512}, {0x01, kBulk, 512}})}},                       // first not bulk
        {{alt({{0x81, kBulk, 512}, {0x01, kInterrupt, 512}})}},                       // second not bulk
        {{alt({{0x81, kBulk, 512}, {0x83, kBulk, 512}})}},                            // two IN
        {{alt({{0x02, kBulk, 512}, {0x03, kBulk, 512}})}},                            // two OUT
        {{alt({{0x81, kBulk, 0}, {0x01, kBulk, 512}})}},                              // no packet size
        {{alt({{0x81, kBulk, 2048}, {0x01, kBulk, 512}})}},                           // too big to stage
        {{alt({{0x02, kBulk, 512}, {0x82, kBulk, 512}}), alt({{0x84, kBulk, 64}})}},  // the one
        {{alt({{0x85, kBulk, 512}, {0x05, kBulk, 512}})}},                            // later, unused
    };
    auto cam = plug(setup);

    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device_descriptor desc;
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &desc), 0);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(list[0], &config), 0);
    orvane::usb_handle found{};
    EXPECT_EQ(orvane::check_usb_interfaces(config, &desc, &found), 8);
    EXPECT_EQ(found.ep_in, 0x82);
    EXPECT_EQ(found.ep_out, 0x02);
    EXPECT_EQ(found.rx_unit, 512);
    EXPECT_EQ(found.zero_mask, 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(orvane::check_usb_interface(&config->interface[i], &desc, &found), -1) << i;
    desc.idProduct = 0x1004;  // the same interface on another product does not qualify
    EXPECT_EQ(orvane::check_usb_interface(&config->interface[8], &desc, &found), -1);
    libusb_free_config_descriptor(config);
    libusb_free_device_list(list, 1);

    // The stream claims that interface and moves its bytes through its endpoints.
    libusb_stream stream("KV0000000001");
    ASSERT_EQ(stream.Open(), 0);
    const char out[3] = {1, 2, 3};
    EXPECT_EQ(stream.Send(out, 3), 3);
    cam->pipe().feed(pattern(10));
    char in[16];
    EXPECT_EQ(stream.Receive(in, 16), 10);
    const auto records = cam->transfers();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].endpoint, 0x02);
    EXPECT_EQ(records[1].endpoint, 0x82);
}

TEST_F(UsbStream, DeviceWithoutUsableInterfaceIsNeverOpened) {
    DeviceSetup setup = cameraSetup("KV0000000001");
    setup.interfaces = {{{alt({{0x81, kBulk, 512}, {0x83, kBulk, 512}})}}};
    auto cam = plug(setup);
    libusb_stream stream("KV0000000001");
    EXPECT_EQ(stream.Open(), 1);
    EXPECT_EQ(cam->timesOpened(), 0);
}

TEST_F(UsbStream, OnlyProtocolOneWithTwoBytePacketsEndsEvenWritesWithAZeroLengthPacket) {
    struct Case {
        uint16_t packet;
        std::vector<int> sends;
        std::vector<int> requested;
    };
    const Case cases[] = {{2, {4, 5}, {4, 0, 5}}, {512, {1024}, {1024}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packet);
        DeviceSetup setup = cameraSetup("KV0000000001");
        setup.interfaces = {{{alt({{0x81, kBulk, c.packet}, {0x01, kBulk, c.packet}}, 1)}}};
        auto cam = plug(setup);
        {
            libusb_stream stream("KV0000000001");
            ASSERT_EQ(stream.Open(), 0);
            const std::vector<uint8_t> data = pattern(1024);
            for (int n : c.sends) EXPECT_EQ(stream.Send(reinterpret_cast<const char*>(data.data()), n), n);
            EXPECT_EQ(requestedLengths(cam->transfers(), false), c.requested);
        }
        cam->unplug();
    }
}

TEST_F(UsbStream, ShortReadStagesOnePacketLongReadAsksForWholePacketsStraightIntoTheBuffer) {
    auto cam = plugAndOpen();
    const auto data = pattern(512 + 100);
    cam->pipe().feed(data);

    char byte = 0;
    ASSERT_EQ(stream_.Receive(&byte, 1), 1);
    EXPECT_EQ(static_cast<uint8_t>(byte), data[0]);
    EXPECT_EQ(requestedLengths(cam->transfers(), true), (std::vector<int>{512}));

    std::vector<char> rest(12);
    ASSERT_EQ(stream_.Receive(rest.data(), 12), 12);
    EXPECT_EQ(0, memcmp(rest.data(), data.data() + 1, 12));
    rest.resize(2000);  // asks for more than is staged: gets exactly the staged remainder
    ASSERT_EQ(stream_.Receive(rest.data(), 2000), 512 - 13);
    EXPECT_EQ(0, memcmp(rest.data(), data.data() + 13, 512 - 13));
    EXPECT_EQ(cam->bulkInCount(), 1);

    // Staging used up: the next short read fetches the next packet.
    ASSERT_EQ(stream_.Receive(rest.data(), 200), 100);
    EXPECT_EQ(0, memcmp(rest.data(), data.data() + 512, 100));
    EXPECT_EQ(requestedLengths(cam->transfers(), true), (std::vector<int>{512, 512}));

    // A long read asks for whole packets straight into the buffer.
    cam->clearTransfers();
    const auto more = pattern(3 * 512 + 5, 3);
    cam->pipe().feed(more);
    std::vector<char> buf(3 * 512 + 5);
    ASSERT_EQ(stream_.Receive(buf.data(), 3 * 512 + 5), 3 * 512);
    EXPECT_EQ(0, memcmp(buf.data(), more.data(), 3 * 512));
    ASSERT_EQ(stream_.Receive(buf.data(), 5), 5);
    EXPECT_EQ(0, memcmp(buf.data(), more.data() + 3 * 512, 5));
    EXPECT_EQ(requestedLengths(cam->transfers(), true), (std::vector<int>{3 * 512, 512}));
}

TEST_F(UsbStream, TimeOutReadsAsZeroKeepingWhatArrivedAndOtherErrorsAreNegativeCodes) {
    auto cam = plugAndOpen();
    EXPECT_EQ(stream_.get_timeout(), 0);
    stream_.set_timeout(20);

    char buf[1024];
    EXPECT_EQ(stream_.Receive(buf, 1), 0);  // nothing fed: the device's own wait runs out
    cam->queueInResult(LIBUSB_ERROR_TIMEOUT);
    cam->pipe().feed(pattern(512));
    EXPECT_EQ(stream_.Receive(buf, 1024), 0);
    cam->pipe().clearIn();

    // A transfer that times out after one of two packets still hands that packet over.
    const auto data = pattern(1024);
    cam->pipe().feed(data.data(), 512);
    cam->queueInResult(LIBUSB_ERROR_TIMEOUT, 512);
    ASSERT_EQ(stream_.Receive(buf, 1024), 512);
    EXPECT_EQ(0, memcmp(buf, data.data(), 512));

    // Other transfer errors come back as negative libusb codes.
    cam->queueInResult(LIBUSB_ERROR_IO);
    EXPECT_EQ(stream_.Receive(buf, 1024), LIBUSB_ERROR_IO);
    cam->queueInResult(LIBUSB_ERROR_PIPE);
    EXPECT_EQ(stream_.Receive(buf, 1), LIBUSB_ERROR_PIPE);
    // A failed short read stages nothing.
    cam->pipe().feed(pattern(3));
    EXPECT_EQ(stream_.Receive(buf, 8), 3);
}

TEST_F(UsbStream, SendGoesOutIn4096ByteChunksAndAShortOrFailedWriteFailsItWhole) {
    auto cam = plugAndOpen();
    const auto data = pattern(10000);
    const char* bytes = reinterpret_cast<const char*>(data.data());
    EXPECT_EQ(stream_.Send(bytes, 10000), 10000);
    EXPECT_EQ(requestedLengths(cam->transfers(), false), (std::vector<int>{4096, 4096, 1808}));
    EXPECT_EQ(cam->pipe().written(), data);
    EXPECT_EQ(stream_.Send(bytes, 0), 0);
    EXPECT_EQ(cam->transfers().size(), 3u);

    // A short or failed write fails the whole send.
    cam->clearTransfers();
    cam->queueShortOut(100);
    testing::internal::CaptureStdout();
    EXPECT_EQ(stream_.Send(bytes, 5000), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>>>>>>>> usb_write ret -1\n");
    EXPECT_EQ(requestedLengths(cam->transfers(), false), (std::vector<int>{4096}));  // stopped at once

    cam->clearTransfers();
    cam->queueOutResult(LIBUSB_SUCCESS);  // first chunk goes through
    cam->queueOutResult(LIBUSB_ERROR_IO);
    testing::internal::CaptureStdout();
    EXPECT_EQ(stream_.Send(bytes, 5000), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>>>>>>>> usb_write ret -1\n");
    EXPECT_EQ(requestedLengths(cam->transfers(), false), (std::vector<int>{4096, 904}));
}

TEST_F(UsbStream, UnopenedStreamFailsAndCloseOrDestructionReleasesEverythingAndTheStreamReopens) {
    auto cam = plugCamera("KV0000000001");
    libusb_stream stream("KV0000000001");
    EXPECT_EQ(stream.Close(), 0);  // closing a closed stream is harmless
    char buf[16] = {};
    EXPECT_LT(stream.Receive(buf, 16), 0);  // unopened: reads and writes fail without touching the device
    testing::internal::CaptureStdout();
    EXPECT_EQ(stream.Send(buf, 16), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>>>>>>>> usb_write ret -1\n");
    EXPECT_EQ(cam->timesOpened(), 0);
    ASSERT_EQ(stream.Open(), 0);
    EXPECT_EQ(stream.Open(), 0);  // an open stream keeps its connection
    EXPECT_EQ(cam->timesOpened(), 1);
    EXPECT_EQ(cam->hostReferences(), 2);  // the handle's and the stream's own
    cam->pipe().feed(pattern(512));
    char byte;
    ASSERT_EQ(stream.Receive(&byte, 1), 1);  // 511 bytes stay staged

    EXPECT_EQ(stream.Close(), 0);
    EXPECT_EQ(stream.Close(), 0);
    EXPECT_EQ(cam->openHandles(), 0);
    EXPECT_EQ(cam->claimedInterfaces(), 0);
    EXPECT_EQ(cam->hostReferences(), 0);

    ASSERT_EQ(stream.Open(), 0);
    // Nothing staged from the old connection is served after the reopen.
    const auto fresh = pattern(4, 9);
    cam->pipe().feed(fresh);
    ASSERT_EQ(stream.Receive(buf, 8), 4);
    EXPECT_EQ(0, memcmp(buf, fresh.data(), 4));
    EXPECT_EQ(stream.GetInterface(), 2);
    // Left open: destroying it must give everything back (the fixture checks).
}

TEST_F(UsbStream, CloseWaitsForASendInProgressOnAnotherThread) {
    // The receive thread closes a failed stream while an application thread may be sending.
    auto cam = plugAndOpen();
    const auto data = pattern(20000);
    std::atomic<int> last{0};
    std::thread sender([&] {
        while ((last = stream_.Send(reinterpret_cast<const char*>(data.data()), 20000)) > 0) {
        }
    });
    ASSERT_TRUE(cam->pipe().waitWritten(3 * 20000, std::chrono::seconds(10)));
    EXPECT_EQ(stream_.Close(), 0);
    sender.join();
    EXPECT_EQ(last.load(), -1);  // the first Send after the close fails
    // The close came between two sends, never in the middle of one.
    EXPECT_EQ(cam->pipe().written().size() % 20000, 0u);
}

}  // namespace
