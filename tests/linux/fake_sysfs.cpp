#include "fake_sysfs.h"

#include "report_descriptors.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// ---- Starting under umockdev-wrapper ---------------------------------------

const char kPreloadName[] = "libumockdev-preload";
const char kWrappedMark[] = "PDX_TESTS_UNDER_UMOCKDEV";

bool PreloadActive() {
    const char* preload = getenv("LD_PRELOAD");
    return preload && strstr(preload, kPreloadName);
}

// glibc passes argc, argv and envp to constructors. Runs before main (and so
// before GoogleTest lists or runs anything): a program started without the
// preload library replaces itself with umockdev-wrapper running it again.
__attribute__((constructor)) void StartUnderUmockdev(int argc, char** argv, char** envp) {
    (void)envp;
    if (PreloadActive() || getenv(kWrappedMark)) return;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return;
    self[n] = 0;
    setenv(kWrappedMark, "1", 1);
    // A sanitizer runtime would object to a library preloaded ahead of it,
    // and ThreadSanitizer to umockdev's own threads.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
    std::string here = __FILE__;
    std::string tsan = "suppressions=" + here.substr(0, here.rfind('/')) + "/umockdev.tsan.supp";
    setenv("TSAN_OPTIONS", tsan.c_str(), 0);
    char** args = (char**)calloc((size_t)argc + 2, sizeof(char*));
    if (!args) return;
    args[0] = (char*)"umockdev-wrapper";
    args[1] = self;
    for (int i = 1; i < argc; i++) args[i + 1] = argv[i];
    execvp(args[0], args);
    free(args);  // not installed: go on without; FakeSysfs reports why
}

// ---- libumockdev, loaded at run time -----------------------------------------

struct GErrorLayout {
    uint32_t domain;
    int code;
    char* message;
};

struct Umockdev {
    void* (*testbed_new)(void);
    int (*add_from_string)(void*, const char*, GErrorLayout**);
    int (*get_dev_fd)(void*, const char*);
    void (*remove_device)(void*, const char*);
    void (*object_unref)(void*);
    void (*error_free)(GErrorLayout*);
};

const Umockdev* LoadUmockdev(std::string* error) {
    static Umockdev api;
    static bool loaded = false;
    if (loaded) return &api;
    void* lib = dlopen("libumockdev.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (!lib) {
        *error = std::string("libumockdev.so.0 cannot be loaded (install umockdev and libumockdev-dev): ") + dlerror();
        return nullptr;
    }
    api.testbed_new = (void* (*)(void))dlsym(lib, "umockdev_testbed_new");
    api.add_from_string = (int (*)(void*, const char*, GErrorLayout**))dlsym(lib, "umockdev_testbed_add_from_string");
    api.get_dev_fd = (int (*)(void*, const char*))dlsym(lib, "umockdev_testbed_get_dev_fd");
    api.remove_device = (void (*)(void*, const char*))dlsym(lib, "umockdev_testbed_remove_device");
    api.object_unref = (void (*)(void*))dlsym(lib, "g_object_unref");
    api.error_free = (void (*)(GErrorLayout*))dlsym(lib, "g_error_free");
    if (!api.testbed_new || !api.add_from_string || !api.get_dev_fd || !api.remove_device || !api.object_unref ||
        !api.error_free) {
        *error = "libumockdev lacks an expected function";
        return nullptr;
    }
    loaded = true;
    return &api;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string Format(const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
    char buf[128];
    snprintf(buf, sizeof(buf), fmt, a, b, c, d);
    return buf;
}

}  // namespace

FakeSysfs::FakeSysfs() {
    if (!PreloadActive()) {
        error_ = "not running under umockdev-wrapper (is the umockdev package installed?)";
        return;
    }
    const Umockdev* api = LoadUmockdev(&error_);
    if (!api) return;
    testbed_ = api->testbed_new();
    if (!testbed_) error_ = "umockdev_testbed_new failed";
}

FakeSysfs::~FakeSysfs() {
    std::string ignored;
    if (testbed_) LoadUmockdev(&ignored)->object_unref(testbed_);
}

std::string FakeSysfs::UsbDevicePath(int port) {
    return Format("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%u", port);
}

std::string FakeSysfs::InterfacePath(int port, int number) {
    return UsbDevicePath(port) + Format("/1-%u:1.%u", port, number);
}

std::string FakeSysfs::HidDevicePath(const FakeHidInterface& hid) {
    // The kernel numbers HID devices in the order they appear; the hidraw
    // number serves as well here.
    return InterfacePath(hid.usb_port, hid.number) +
           Format("/%04X:%04X:%04X.%04X", hid.bus, hid.vendor, hid.product, hid.hidraw + 1);
}

void FakeSysfs::AddRecord(const std::string& record) {
    if (!testbed_) return;
    std::string ignored;
    const Umockdev* api = LoadUmockdev(&ignored);
    GErrorLayout* err = nullptr;
    if (!api->add_from_string(testbed_, record.c_str(), &err)) {
        if (error_.empty()) error_ = std::string("umockdev refused a record: ") + (err ? err->message : "?");
        if (err) api->error_free(err);
    }
}

void FakeSysfs::AddUsbDevice(const FakeUsbDevice& device) {
    std::string r = "P: " + UsbDevicePath(device.port).substr(4) + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    r += Format("A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n", device.vendor, device.product,
                device.bcd_device);
    if (!device.serial.empty()) r += "A: serial=" + device.serial + "\n";
    AddRecord(r);
}

void FakeSysfs::AddHidInterface(const FakeHidInterface& hid) {
    std::string iface = InterfacePath(hid.usb_port, hid.number);
    AddRecord("P: " + iface.substr(4) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" +
              Format("A: bInterfaceNumber=%02x\nA: bInterfaceClass=03\n", hid.number));
    std::string hid_dir = HidDevicePath(hid);
    std::string r = "P: " + hid_dir.substr(4) + "\nE: SUBSYSTEM=hid\n";
    r += Format("E: HID_ID=%04X:%08X:%08X\n", hid.bus, hid.vendor, hid.product);
    r += "E: HID_UNIQ=" + hid.uniq + "\n";
    r += "H: report_descriptor=" + Hex(hid.descriptor) + "\n";
    AddRecord(r);
    std::string node = Format("hidraw%u", hid.hidraw);
    AddRecord("P: " + hid_dir.substr(4) + "/hidraw/" + node + "\nN: " + node +
              "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + node + "\n");
}

void FakeSysfs::AddChip(int port, uint16_t product, uint16_t bcd_device, const std::string& serial, unsigned port_node,
                        unsigned special_node) {
    AddUsbDevice({port, 0x1F3A, product, bcd_device, serial});
    AddHidInterface({port, 0, port_node, 0x1F3A, product, 0x0003, PortInterfaceDescriptor(), serial});
    AddHidInterface({port, 1, special_node, 0x1F3A, product, 0x0003, SpecialFunctionDescriptor(), serial});
}

int FakeSysfs::DeviceFd(unsigned hidraw) {
    if (!testbed_) return -1;
    std::string ignored;
    return LoadUmockdev(&ignored)->get_dev_fd(testbed_, Format("/dev/hidraw%u", hidraw).c_str());
}

void FakeSysfs::Unplug(const FakeHidInterface& hid) {
    if (!testbed_) return;
    // The test bed owns its end of the pseudo-terminal; putting /dev/null in
    // its place closes the terminal (the provider's end hangs up, as a
    // hidraw node of an unplugged device does) and leaves the test bed a
    // descriptor to close.
    int fd = DeviceFd(hid.hidraw);
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0 && null_fd >= 0) dup2(null_fd, fd);
    if (null_fd >= 0) close(null_fd);
    std::string ignored;
    const Umockdev* api = LoadUmockdev(&ignored);
    api->remove_device(testbed_, (HidDevicePath(hid) + Format("/hidraw/hidraw%u", hid.hidraw)).c_str());
    api->remove_device(testbed_, HidDevicePath(hid).c_str());
}

bool SendReport(int device_fd, const std::vector<uint8_t>& bytes) {
    return write(device_fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
}

std::vector<uint8_t> ReceiveWrite(int device_fd, size_t length, int timeout_ms) {
    std::vector<uint8_t> got;
    while (got.size() < length) {
        struct pollfd p = {device_fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) break;
        uint8_t buf[512];
        size_t want = length - got.size() < sizeof(buf) ? length - got.size() : sizeof(buf);
        ssize_t n = read(device_fd, buf, want);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}
