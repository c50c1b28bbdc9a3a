// The firmware of one emulated chip in the test VM: a configfs USB gadget
// with two HID functions on one of dummy_hcd's controllers, behaving like
// the simulator's chip model through /dev/hidgN.
//
//   pdxchip --udc dummy_udc.0 --name a --product 0x2A10 --revision 0x0102
//           [--serial A1B2C3D4]
//
// Pipe 0 (interface 0): 4-byte input and output reports, the 32 pins; an
// output report sets the latches and the chip answers with its pin report.
// Pipe 1 (interface 1): 8-byte reports; echo (0x01), identify (0x02) and
// pins (0x03) are answered on its input report.
//
// Commands on standard input, one a line; events on standard output:
//   pins V               send pin report V            -> "sent 1"
//   count START N RATE   N reports START.., RATE/s     -> "sent N"
//   burst START N        N reports back to back       -> "sent N"
//   stamped N RATE       N reports, RATE/s, each the low 32 bits of the
//                        monotonic clock in microseconds at its write -> "sent N"
//   unplug / replug      unbind / bind the controller  -> "unplugged" / "replugged"
//   mute / unmute        stop / resume answering output reports -> "muted" / "unmuted"
//   quit
//   (at any time)        "out0 HEX" / "out1 HEX": an output report received
// It starts with "ready".
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char kGadgets[] = "/sys/kernel/config/usb_gadget";
const uint16_t kVendor = 0x1F3A;

// Vendor-defined collection with one input and one output report of
// `len` bytes, no report id.
std::string report_descriptor(uint8_t len) {
    const uint8_t d[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26,
                         0xFF, 0x00, 0x75, 0x08, 0x95, len,  0x81, 0x02, 0x09, 0x03, 0x15, 0x00,
                         0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, len,  0x91, 0x02, 0xC0};
    return std::string((const char*)d, sizeof d);
}

struct Chip {
    std::string udc, dir;
    uint16_t product = 0, revision = 0;
    std::string serial;
    int minor[2] = {-1, -1};
    int fd[2] = {-1, -1};
    int wake[2] = {-1, -1};
    std::thread reader[2];
    std::atomic<uint32_t> pins{0};
    std::atomic<bool> muted{false};
    std::mutex out_lock;
};

Chip g_chip;

void say(const char* fmt, ...) {
    std::lock_guard<std::mutex> lk(g_chip.out_lock);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

[[noreturn]] void die(const char* what) {
    say("error %s: %s", what, strerror(errno));
    exit(1);
}

void put(const std::string& path, const std::string& value) {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, value.data(), value.size()) != (ssize_t)value.size()) die(path.c_str());
    close(fd);
}

void make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die(path.c_str());
}

std::string hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "0x%04x", v);
    return b;
}

void create_gadget(Chip& c) {
    make_dir(c.dir);
    put(c.dir + "/idVendor", hex(kVendor));
    put(c.dir + "/idProduct", hex(c.product));
    put(c.dir + "/bcdDevice", hex(c.revision));
    put(c.dir + "/bcdUSB", "0x0200");
    if (!c.serial.empty()) {
        make_dir(c.dir + "/strings/0x409");
        put(c.dir + "/strings/0x409/manufacturer", "pdx");
        put(c.dir + "/strings/0x409/product", "pdx test chip");
        put(c.dir + "/strings/0x409/serialnumber", c.serial);
    }
    make_dir(c.dir + "/configs/c.1");
    for (int p = 0; p < 2; p++) {
        std::string f = c.dir + "/functions/hid.p" + std::to_string(p);
        make_dir(f);
        uint8_t len = p == 0 ? 4 : 8;
        put(f + "/protocol", "0");
        put(f + "/subclass", "0");
        put(f + "/report_length", std::to_string(len));
        put(f + "/report_desc", report_descriptor(len));
        if (symlink(f.c_str(), (c.dir + "/configs/c.1/hid.p" + std::to_string(p)).c_str()) != 0 && errno != EEXIST)
            die("link function");
        char dev[32] = {0};
        int fd = open((f + "/dev").c_str(), O_RDONLY);
        if (fd < 0 || read(fd, dev, sizeof dev - 1) <= 0) die("function dev");
        close(fd);
        const char* colon = strchr(dev, ':');
        if (!colon) die("function dev format");
        c.minor[p] = atoi(colon + 1);
    }
}

void send_pins(uint32_t v) {
    uint8_t r[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    g_chip.pins = v;
    if (write(g_chip.fd[0], r, sizeof r) != (ssize_t)sizeof r) say("error write pipe 0: %s", strerror(errno));
}

void answer_pipe1(const uint8_t* w) {
    uint8_t r[8] = {0};
    uint32_t pins = g_chip.pins;
    switch (w[0]) {
    case 0x01: memcpy(r, w, 8); break;
    case 0x02: {
        uint16_t ids[3] = {kVendor, g_chip.product, g_chip.revision};
        r[0] = 0x02;
        for (int k = 0; k < 3; k++) {
            r[1 + 2 * k] = (uint8_t)ids[k];
            r[2 + 2 * k] = (uint8_t)(ids[k] >> 8);
        }
        r[7] = 'P';
        break;
    }
    case 0x03:
        r[0] = 0x03;
        for (int k = 0; k < 4; k++) r[1 + k] = (uint8_t)(pins >> (8 * k));
        break;
    default: r[0] = 0xFF; r[1] = w[0];
    }
    if (write(g_chip.fd[1], r, sizeof r) != (ssize_t)sizeof r) say("error write pipe 1: %s", strerror(errno));
}

void read_pipe(int p) {
    pollfd f[2] = {{g_chip.fd[p], POLLIN, 0}, {g_chip.wake[0], POLLIN, 0}};
    for (;;) {
        if (poll(f, 2, -1) < 0 && errno != EINTR) return;
        if (f[1].revents) return;
        if (!(f[0].revents & POLLIN)) continue;
        uint8_t b[64];
        ssize_t n = read(g_chip.fd[p], b, sizeof b);
        if (n <= 0) continue;
        std::string text;
        for (ssize_t k = 0; k < n; k++) text += hex(b[k]).substr(4);
        say("out%d %s", p, text.c_str());
        if (g_chip.muted) continue;
        if (p == 0) {
            uint32_t v = 0;
            for (ssize_t k = 0; k < n && k < 4; k++) v |= (uint32_t)b[k] << (8 * k);
            send_pins(v);
        } else if (n >= 8) {
            answer_pipe1(b);
        }
    }
}

// Binds the controller, then opens both device nodes (they come and go
// with the binding) and starts their readers.
void plug(Chip& c) {
    put(c.dir + "/UDC", c.udc);
    for (int p = 0; p < 2; p++) {
        std::string node = "/dev/hidg" + std::to_string(c.minor[p]);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((c.fd[p] = open(node.c_str(), O_RDWR)) < 0) {
            if (std::chrono::steady_clock::now() > deadline) die(node.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (pipe(c.wake) != 0) die("pipe");
    for (int p = 0; p < 2; p++) c.reader[p] = std::thread(read_pipe, p);
}

void unplug(Chip& c) {
    if (write(c.wake[1], "x", 1) != 1) die("wake");
    for (auto& t : c.reader) t.join();
    for (int& fd : c.fd) close(fd), fd = -1;
    close(c.wake[0]);
    close(c.wake[1]);
    put(c.dir + "/UDC", "\n");
}

// Stamped reports carry the time of their write instead of a sequence
// number: a reader in the same system (same monotonic clock) subtracts it
// from the time its read returned.
void send_paced(uint32_t start, uint32_t count, uint32_t rate, bool stamped) {
    auto next = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < count; i++) {
        if (rate) {
            std::this_thread::sleep_until(next);
            next += std::chrono::nanoseconds(1000000000ull / rate);
        }
        if (stamped) {
            auto now = std::chrono::steady_clock::now().time_since_epoch();
            send_pins((uint32_t)std::chrono::duration_cast<std::chrono::microseconds>(now).count());
        } else {
            send_pins(start + i);
        }
    }
    say("sent %u", count);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "chip";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--udc")
            g_chip.udc = v;
        else if (k == "--name")
            name = v;
        else if (k == "--product")
            g_chip.product = (uint16_t)strtoul(v.c_str(), nullptr, 0);
        else if (k == "--revision")
            g_chip.revision = (uint16_t)strtoul(v.c_str(), nullptr, 0);
        else if (k == "--serial")
            g_chip.serial = v;
    }
    if (g_chip.udc.empty() || !g_chip.product) {
        fprintf(stderr, "usage: pdxchip --udc UDC --name N --product P --revision R [--serial S]\n");
        return 2;
    }
    g_chip.dir = std::string(kGadgets) + "/pdx_" + name;
    create_gadget(g_chip);
    plug(g_chip);
    say("ready");
    char line[256];
    bool plugged = true;
    while (fgets(line, sizeof line, stdin)) {
        char word[16] = {0};
        unsigned long long a = 0, b = 0, c = 0;
        int n = sscanf(line, "%15s %lli %llu %llu", word, &a, &b, &c);
        std::string w = word;
        if (w == "pins" && n == 2) {
            send_pins((uint32_t)a);
            say("sent 1");
        } else if (w == "count" && n == 4) {
            send_paced((uint32_t)a, (uint32_t)b, (uint32_t)c, false);
        } else if (w == "burst" && n == 3) {
            send_paced((uint32_t)a, (uint32_t)b, 0, false);
        } else if (w == "stamped" && n == 3) {
            send_paced(0, (uint32_t)a, (uint32_t)b, true);
        } else if (w == "unplug" && plugged) {
            unplug(g_chip);
            plugged = false;
            say("unplugged");
        } else if (w == "replug" && !plugged) {
            plug(g_chip);
            plugged = true;
            say("replugged");
        } else if (w == "mute" || w == "unmute") {
            g_chip.muted = w == "mute";
            say("%sd", word);
        } else if (w == "quit") {
            break;
        } else {
            say("error unknown command: %s", word);
        }
    }
    if (plugged) unplug(g_chip);
    return 0;
}
