// The hid.dll queries on handles of /dev/hidrawN: attributes, capabilities,
// strings and input buffers, answered from sysfs.
#include "hid_stack_fixture.h"
#include "live_objects.h"
#include "report_descriptors.h"

namespace {

class HidQueries : public HidStackTest {
protected:
    // One interface on USB device 1-1; its handle opened for queries.
    HANDLE OneInterface(const std::vector<uint8_t>& descriptor, const std::string& uniq = "SER12345",
                        const std::string& usb_serial = "", uint16_t vendor = 0x1F3A, uint16_t product = 0x2A10,
                        DWORD access = GENERIC_READ | GENERIC_WRITE) {
        hid = {1, 0, 3, vendor, product, 0x0003, descriptor, uniq};
        sysfs.AddUsbDevice({1, vendor, product, 0x0234, usb_serial});
        sysfs.AddHidInterface(hid);
        HANDLE h = OpenForQueries("/dev/hidraw3", access);
        EXPECT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
        return h;
    }

    std::vector<WCHAR> Serial(HANDLE h, ULONG bytes, BOOLEAN* ok) {
        std::vector<WCHAR> buffer(bytes / 2 + 2, 0xAAAA);
        *ok = PdxLinux_HidD_GetSerialNumberString(h, buffer.data(), bytes);
        return buffer;
    }

    FakeHidInterface hid;
};

std::vector<WCHAR> Units(const char16_t* text) {
    return std::vector<WCHAR>(text, text + std::char_traits<char16_t>::length(text));
}

TEST_F(HidQueries, AttributesFromHidIdAndBcdDevice) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "", "", 0x1F3A, 0x2A11);
    HIDD_ATTRIBUTES attributes;
    memset(&attributes, 0xFF, sizeof(attributes));
    attributes.Size = 10;
    ASSERT_TRUE(PdxLinux_HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(sizeof(HIDD_ATTRIBUTES), attributes.Size);
    EXPECT_EQ(0x1F3A, attributes.VendorID);
    EXPECT_EQ(0x2A11, attributes.ProductID);
    EXPECT_EQ(0x0234, attributes.VersionNumber);
    CloseHandle(h);
}

TEST_F(HidQueries, VersionIsZeroOffUsb) {
    hid = {1, 0, 4, 0x1F3A, 0x2A10, 0x0005, PortInterfaceDescriptor(), ""};  // Bluetooth
    sysfs.AddUsbDevice({1, 0x0A12, 0x0001, 0x8891, ""});                     // e.g. the radio's own USB device
    sysfs.AddHidInterface(hid);
    HANDLE h = OpenForQueries("/dev/hidraw4");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HIDD_ATTRIBUTES attributes = {};
    ASSERT_TRUE(PdxLinux_HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(0x2A10, attributes.ProductID);
    EXPECT_EQ(0, attributes.VersionNumber);
    CloseHandle(h);
}

TEST_F(HidQueries, CapabilitiesOfTheReportDescriptor) {
    HANDLE h = OneInterface(SpecialFunctionDescriptor());
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(PdxLinux_HidD_GetPreparsedData(h, &preparsed));
    HIDP_CAPS caps;
    memset(&caps, 0xFF, sizeof(caps));
    EXPECT_EQ(HIDP_STATUS_SUCCESS, PdxLinux_HidP_GetCaps(preparsed, &caps));
    EXPECT_EQ(0xFF00, caps.UsagePage);
    EXPECT_EQ(0x02, caps.Usage);
    EXPECT_EQ(65, caps.InputReportByteLength);
    EXPECT_EQ(65, caps.OutputReportByteLength);
    EXPECT_EQ(0, caps.FeatureReportByteLength);
    EXPECT_EQ(1, caps.NumberLinkCollectionNodes);
    EXPECT_EQ(0, caps.Reserved[0]);
    EXPECT_TRUE(PdxLinux_HidD_FreePreparsedData(preparsed));
    EXPECT_EQ(0, pdx_live_count(PDX_LIVE_PREPARSED_DATA));
    CloseHandle(h);
}

TEST_F(HidQueries, FreedOrForeignPreparsedDataIsRefused) {
    HANDLE h = OneInterface(PortInterfaceDescriptor());
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(PdxLinux_HidD_GetPreparsedData(h, &preparsed));
    ASSERT_TRUE(PdxLinux_HidD_FreePreparsedData(preparsed));
    HIDP_CAPS caps;
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA, PdxLinux_HidP_GetCaps(preparsed, &caps));
    EXPECT_FALSE(PdxLinux_HidD_FreePreparsedData(preparsed));
    int local = 0;
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA, PdxLinux_HidP_GetCaps((PHIDP_PREPARSED_DATA)&local, &caps));
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA, PdxLinux_HidP_GetCaps(nullptr, &caps));
    CloseHandle(h);
}

TEST_F(HidQueries, MalformedDescriptorGivesNoPreparsedData) {
    HANDLE h = OneInterface({0xA1, 0x01, 0x81, 0x02});  // collection never closed
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_HidD_GetPreparsedData(h, &preparsed));
    EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());
    EXPECT_EQ(0, pdx_live_count(PDX_LIVE_PREPARSED_DATA));
    CloseHandle(h);
}

TEST_F(HidQueries, SerialFromHidUniqWithItsTerminatorWhenItFits) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "SER12345", "USBSERIAL");
    BOOLEAN ok;
    std::vector<WCHAR> got = Serial(h, 18, &ok);
    ASSERT_TRUE(ok);
    std::vector<WCHAR> want = Units(u"SER12345");
    want.push_back(0);
    EXPECT_EQ(want, std::vector<WCHAR>(got.begin(), got.begin() + 9));
    CloseHandle(h);
}

TEST_F(HidQueries, SerialCutToTheBufferWithoutTerminator) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "ABCDEFGHIJ");
    BOOLEAN ok;
    std::vector<WCHAR> got = Serial(h, 18, &ok);  // 9 units for 10 characters
    ASSERT_TRUE(ok);
    EXPECT_EQ(Units(u"ABCDEFGHI"), std::vector<WCHAR>(got.begin(), got.begin() + 9));
    EXPECT_EQ(0xAAAA, got[9]);
    // An odd length holds only whole units.
    got = Serial(h, 5, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Units(u"AB"), std::vector<WCHAR>(got.begin(), got.begin() + 2));
    EXPECT_EQ(0xAAAA, got[2]);
    SetLastError(0xdeadbeef);
    Serial(h, 1, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    CloseHandle(h);
}

TEST_F(HidQueries, SerialFallsBackToTheUsbDevice) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "", "USB0042");
    BOOLEAN ok;
    std::vector<WCHAR> got = Serial(h, 18, &ok);
    ASSERT_TRUE(ok);
    std::vector<WCHAR> want = Units(u"USB0042");
    want.push_back(0);
    EXPECT_EQ(want, std::vector<WCHAR>(got.begin(), got.begin() + 8));
    CloseHandle(h);
}

TEST_F(HidQueries, SerialIsUtf16) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x98\x80");  // é-€-😀
    BOOLEAN ok;
    std::vector<WCHAR> got = Serial(h, 18, &ok);
    ASSERT_TRUE(ok);
    std::vector<WCHAR> want = {0x00E9, '-', 0x20AC, '-', 0xD83D, 0xDE00, 0};
    EXPECT_EQ(want, std::vector<WCHAR>(got.begin(), got.begin() + 7));
    CloseHandle(h);
}

TEST_F(HidQueries, NoSerialAnywhereFails) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "", "");
    BOOLEAN ok;
    SetLastError(0xdeadbeef);
    std::vector<WCHAR> got = Serial(h, 18, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(0xAAAA, got[0]);
    CloseHandle(h);
}

TEST_F(HidQueries, IndexedStringsAreNotAvailable) {
    HANDLE h = OneInterface(PortInterfaceDescriptor());
    WCHAR buffer[64];
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_HidD_GetIndexedString(h, 0, buffer, sizeof(buffer)));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
    CloseHandle(h);
}

TEST_F(HidQueries, InputBufferCountIsHidrawsFixedRing) {
    HANDLE h = OneInterface(PortInterfaceDescriptor());
    HANDLE other = OpenForQueries("/dev/hidraw3", GENERIC_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    ULONG count = 0;
    ASSERT_TRUE(PdxLinux_HidD_GetNumInputBuffers(h, &count));
    EXPECT_EQ(64u, count);  // hidraw's fixed ring
    EXPECT_TRUE(PdxLinux_HidD_SetNumInputBuffers(h, 128)) << "a count the platform takes is accepted";
    ASSERT_TRUE(PdxLinux_HidD_GetNumInputBuffers(h, &count));
    EXPECT_EQ(64u, count) << "the ring stays as it is";
    ASSERT_TRUE(PdxLinux_HidD_GetNumInputBuffers(other, &count));
    EXPECT_EQ(64u, count);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_HidD_SetNumInputBuffers(h, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(PdxLinux_HidD_SetNumInputBuffers(h, 513));
    EXPECT_FALSE(PdxLinux_HidD_SetNumInputBuffers(nullptr, 64));
    CloseHandle(other);
    CloseHandle(h);
}

TEST_F(HidQueries, AccessZeroHandlesAnswerEveryQuery) {
    HANDLE h = OneInterface(PortInterfaceDescriptor(), "SER1", "", 0x1F3A, 0x2A10, 0);
    HIDD_ATTRIBUTES attributes = {};
    EXPECT_TRUE(PdxLinux_HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(0x2A10, attributes.ProductID);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(PdxLinux_HidD_GetPreparsedData(h, &preparsed));
    HIDP_CAPS caps = {};
    EXPECT_EQ(HIDP_STATUS_SUCCESS, PdxLinux_HidP_GetCaps(preparsed, &caps));
    EXPECT_EQ(5, caps.OutputReportByteLength);
    PdxLinux_HidD_FreePreparsedData(preparsed);
    BOOLEAN ok;
    Serial(h, 18, &ok);
    EXPECT_TRUE(ok);
    CloseHandle(h);
}

TEST_F(HidQueries, HandlesThatAreNoHidrawFilesAreInvalid) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HIDD_ATTRIBUTES attributes = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_HidD_GetAttributes(event, &attributes));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_HidD_GetAttributes(INVALID_HANDLE_VALUE, &attributes));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(event);
}

TEST_F(HidQueries, QueriesOfAnUnpluggedDeviceFail) {
    HANDLE h = OneInterface(PortInterfaceDescriptor());
    sysfs.Unplug(hid);
    HIDD_ATTRIBUTES attributes = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    EXPECT_FALSE(PdxLinux_HidD_GetPreparsedData(h, &preparsed));
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    CloseHandle(h);
}

TEST_F(HidQueries, OpeningAMissingNodeFails) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForQueries("/dev/hidraw9"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

}  // namespace
