// A fake /sys and /dev for the Linux HID stack, made with umockdev: the
// provider runs unchanged on the same paths as on a real machine, and
// umockdev's preload library redirects them into a test bed.
//
// Every program of this test area runs under umockdev-wrapper: when it is
// started without the preload library, it starts itself again through
// umockdev-wrapper before main (see fake_sysfs.cpp), so ctest and a plain
// command line both work. umockdev and libumockdev0 come from Debian's
// packages (umockdev, libumockdev-dev); libumockdev is loaded at run time.
//
// Each hidraw node is a pseudo-terminal in the test bed: what the test writes
// to DeviceFd() the provider reads from /dev/hidrawN, and the other way
// round. A stream has no report boundaries, so tests send one report at a
// time, of the length the reader asks for.
#ifndef PDX_TESTS_LINUX_FAKE_SYSFS_H
#define PDX_TESTS_LINUX_FAKE_SYSFS_H

#include <stdint.h>

#include <string>
#include <vector>

struct FakeHidInterface {
    int usb_port;     // USB device 1-<port>
    int number;       // interface 1-<port>:1.<number>
    unsigned hidraw;  // /dev/hidraw<hidraw>
    uint16_t vendor;
    uint16_t product;
    uint16_t bus = 0x0003;
    std::vector<uint8_t> descriptor;
    std::string uniq;  // HID_UNIQ; empty for none
};

struct FakeUsbDevice {
    int port;
    uint16_t vendor;
    uint16_t product;
    uint16_t bcd_device;
    std::string serial;  // the serial attribute; empty for none
};

class FakeSysfs {
public:
    FakeSysfs();
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    // Empty when the test bed works; else why not.
    const std::string& error() const { return error_; }

    void AddUsbDevice(const FakeUsbDevice& device);
    // Adds the interface, its HID device and its hidraw node.
    void AddHidInterface(const FakeHidInterface& hid);
    // A chip of the family: USB device 1-<port> with a port interface
    // (pipe 0, /dev/hidraw<port_node>) and a special-function interface
    // (pipe 1, /dev/hidraw<special_node>); the serial is both HID_UNIQ and
    // the USB device's serial.
    void AddChip(int port, uint16_t product, uint16_t bcd_device, const std::string& serial, unsigned port_node,
                 unsigned special_node);
    // A device record in umockdev's text form (P:, E:, A:, H:, N: lines).
    void AddRecord(const std::string& record);

    // The test's end of /dev/hidraw<n>.
    int DeviceFd(unsigned hidraw);
    // The device goes away: the node hangs up (reads and writes of the
    // provider fail from now on) and its sysfs directories disappear.
    void Unplug(const FakeHidInterface& hid);

    static std::string UsbDevicePath(int port);
    static std::string InterfacePath(int port, int number);
    static std::string HidDevicePath(const FakeHidInterface& hid);

private:
    void* testbed_ = nullptr;
    std::string error_;
};

// Sends `bytes` as one report of the device: writes them in one go.
bool SendReport(int device_fd, const std::vector<uint8_t>& bytes);
// Receives `length` bytes the provider wrote to the device, waiting up to
// `timeout_ms`; fewer when they do not come.
std::vector<uint8_t> ReceiveWrite(int device_fd, size_t length, int timeout_ms);

#endif
