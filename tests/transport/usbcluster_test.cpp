// USB enumeration: which devices count, how they are named, and the serial-number reader. Cameras without a
// readable serial (counted, unlisted, reachable by ordinal) are covered by the USB conformance suite.
#include <cstring>
#include <memory>

#include "transport/libusb_stream.h"
#include "transport/usbcluster_libusb.h"
#include "usb_fixture.h"

namespace {

using kvsim::usb::Bus;
using kvsim::usb::cameraSetup;
using kvsim::usb::DeviceSetup;
using orvane::UsbCluster;
using testing::ElementsAre;
using testing::IsEmpty;
using usbtest::UsbFixture;

class UsbEnumeration : public UsbFixture {};

TEST_F(UsbEnumeration, CountsListsAndOpensOnlyCamerasInListOrder) {
    auto first = plugCamera("KV0000000001");
    DeviceSetup other_vendor = cameraSetup("XX0000000001");
    other_vendor.vendor_id = 0x1234;
    auto foreign_vendor = plug(other_vendor);
    DeviceSetup other_product = cameraSetup("XX0000000002");
    other_product.product_id = 0x1004;
    auto foreign_product = plug(other_product);
    auto second = plugCamera("KV0000000002");

    EXPECT_EQ(UsbCluster::GetNum(), 2);
    EXPECT_THAT(UsbCluster::GetStreamIDs(), ElementsAre("1", "2"));
    EXPECT_THAT(UsbCluster::GetDeviceList(), ElementsAre("KV0000000001", "KV0000000002"));

    // Ordinal 2 skips the foreign devices between the two cameras.
    std::unique_ptr<orvane::ITransferStream> stream(UsbCluster::GetStream("2"));
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(second->openHandles(), 0);  // made, not yet opened
    ASSERT_EQ(stream->Open(), 0);
    EXPECT_EQ(second->openHandles(), 1);
    EXPECT_EQ(first->openHandles(), 0);
    stream->Close();

    // Not even by its serial.
    EXPECT_EQ(orvane::libusb_stream("XX0000000001").Open(), 1);
    EXPECT_EQ(foreign_vendor->timesOpened(), 0);
    EXPECT_EQ(foreign_product->timesOpened(), 0);
    EXPECT_EQ(foreign_vendor->controlTransferCount(), 0);
    EXPECT_EQ(foreign_product->controlTransferCount(), 0);
    EXPECT_EQ(UsbCluster::GetStream(nullptr), nullptr);
}

TEST_F(UsbEnumeration, ReportsAnUnreadableDeviceListAsMinusOne) {
    plugCamera("KV0000000001");
    Bus::setDeviceListError(LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(UsbCluster::GetNum(), -1);
    EXPECT_THAT(UsbCluster::GetStreamIDs(), IsEmpty());
    EXPECT_THAT(UsbCluster::GetDeviceList(), IsEmpty());
    orvane::libusb_stream stream("KV0000000001");
    EXPECT_EQ(stream.Open(), 1);
}

TEST_F(UsbEnumeration, SkipsDevicesWhoseDescriptorCannotBeRead) {
    DeviceSetup broken = cameraSetup("KV0000000001");
    broken.faults.descriptor_error = LIBUSB_ERROR_IO;
    plug(broken);
    plugCamera("KV0000000002");
    EXPECT_EQ(UsbCluster::GetNum(), 1);
    EXPECT_THAT(UsbCluster::GetDeviceList(), ElementsAre("KV0000000002"));
}

TEST_F(UsbEnumeration, CameraThatCannotBeOpenedIsReportedAndLeftOutOfTheList) {
    DeviceSetup locked = cameraSetup("KV0000000001");
    locked.faults.open_error = LIBUSB_ERROR_ACCESS;
    plug(locked);
    plugCamera("KV0000000002");

    testing::internal::CaptureStdout();
    const auto serials = UsbCluster::GetDeviceList();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(serials, ElementsAre("KV0000000002"));
    EXPECT_EQ(out, "check_device(): Couldn't open device, some information will be missing, ret: -3\n");
    EXPECT_EQ(UsbCluster::GetNum(), 2);
}

TEST_F(UsbEnumeration, GetSnReadsTheSerialAndRejectsOtherDevices) {
    plugCamera("KV0000000007");
    DeviceSetup other = cameraSetup("KV0000000008");
    other.product_id = 0x2000;
    plug(other);

    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 2);
    char serial[orvane::kUsbSerialTextSize];
    memset(serial, 'x', sizeof(serial));
    EXPECT_EQ(orvane::get_sn(list[0], serial), 1);
    EXPECT_STREQ(serial, "KV0000000007");
    EXPECT_EQ(orvane::get_sn(list[1], serial), -1);
    EXPECT_EQ(orvane::check_device_num(list[0]), 1);
    EXPECT_EQ(orvane::check_device_num(list[1]), -1);
    libusb_free_device_list(list, 1);
}

TEST_F(UsbEnumeration, OversizedSerialDescriptorIsCutToTheBuffer) {
    // A lying device: bLength 255 and far more bytes than any request asks for.
    DeviceSetup setup = cameraSetup("KV0000000001");
    setup.raw_serial_descriptor.assign(600, 'A');
    setup.raw_serial_descriptor[0] = 0xFF;
    setup.raw_serial_descriptor[1] = LIBUSB_DT_STRING;
    for (size_t i = 3; i < setup.raw_serial_descriptor.size(); i += 2) setup.raw_serial_descriptor[i] = 0;
    plug(setup);

    const auto serials = UsbCluster::GetDeviceList();
    ASSERT_EQ(serials.size(), 1u);
    EXPECT_LT(serials[0].size(), orvane::kUsbSerialTextSize);
    EXPECT_EQ(serials[0], std::string(serials[0].size(), 'A'));

    // The stream's own serial read (256-byte request) must stay inside its 130-byte field too.
    orvane::libusb_stream stream("1");
    EXPECT_EQ(stream.Open(), 0);
}

TEST_F(UsbEnumeration, GetDevStringAsciiHonoursTheBufferSizeAndNeedsAHandle) {
    EXPECT_EQ(orvane::get_dev_string(nullptr, 3), "(error)");
    EXPECT_EQ(orvane::get_dev_string_ascii(nullptr, 10, 3), "(error)");
    plugCamera("KV0000000001");
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(list[0], &handle), 0);
    EXPECT_EQ(orvane::get_dev_string(handle, 3), "KV0000000001");
    EXPECT_EQ(orvane::get_dev_string_ascii(handle, 5, 3), "KV00");  // 4 characters and the terminator
    EXPECT_EQ(orvane::get_dev_string(handle, 9), "(error)");        // no such string
    libusb_close(handle);
    libusb_free_device_list(list, 1);
}

}  // namespace
