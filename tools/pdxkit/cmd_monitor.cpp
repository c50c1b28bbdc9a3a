// pdxkit monitor: the live pin state of one or all devices.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "tool.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

const uint32_t kPollMs = 100;  // read timeout per attempt, so stopping is prompt

struct DeviceView {
    int number = 0;
    PdxKitHandle handle = nullptr;
    uint32_t pins = 0xFFFFFFFF;
    uint32_t changed = 0;  // bits that changed with the latest report
    uint64_t reports = 0;
    uint64_t dropped = 0;  // sequence gaps (only with --sequence)
    bool have_sequence = false;
    uint32_t last_sequence = 0;
    uint64_t reports_at_last_draw = 0;
    double rate = 0;
};

struct Monitor {
    std::mutex lock;
    std::vector<DeviceView> views;
    std::atomic<bool> stop{false};
    std::atomic<long> total{0};
    long limit = -1;
    uint32_t timeout_ms = 0xFFFFFFFF;  // give up after this long without a report
    bool line_mode = true;
    bool json = false;
    bool sequence = false;
    double start = 0;
    std::atomic<bool> timed_out{false};
};

std::string PinRow(uint32_t pins, uint32_t changed, bool colour) {
    std::string row;
    for (int bit = 31; bit >= 0; --bit) {
        bool on = (pins >> bit) & 1;
        bool hot = (changed >> bit) & 1;
        if (hot && colour) row += "\x1b[7m";
        row += on ? '1' : '0';
        if (hot && colour) row += "\x1b[0m";
        if (bit % 8 == 0 && bit) row += ' ';
    }
    return row;
}

void Record(Monitor& m, DeviceView& view, const uint8_t* report, uint32_t len) {
    uint32_t pins = 0;
    for (uint32_t i = 1; i < len && i < 5; ++i) pins |= static_cast<uint32_t>(report[i]) << (8 * (i - 1));
    std::lock_guard<std::mutex> hold(m.lock);
    view.changed = view.reports ? (pins ^ view.pins) : 0;
    view.pins = pins;
    view.reports++;
    if (m.sequence) {
        if (view.have_sequence && pins != view.last_sequence + 1) view.dropped += pins - view.last_sequence - 1;
        view.have_sequence = true;
        view.last_sequence = pins;
    }
    if (m.line_mode) {
        double t = NowSeconds() - m.start;
        if (m.json)
            printf("{\"time\": %.6f, \"device\": %d, \"pins\": \"0x%08X\", \"report\": \"%s\"}\n", t, view.number, pins,
                   HexBytes(report, len).c_str());
        else
            printf("%10.6f  device %d  pins 0x%08X  %s\n", t, view.number, pins, PinRow(pins, 0, false).c_str());
        fflush(stdout);
    }
}

void ReadLoop(Monitor& m, DeviceView& view) {
    PdxKitSetTimeout(view.handle, kPollMs);
    double last_report = NowSeconds();
    uint8_t report[5];
    while (!m.stop.load()) {
        uint32_t got = PdxKitRead(view.handle, 0, report, sizeof report);
        double now = NowSeconds();
        if (got == 0) {
            if (m.timeout_ms != 0xFFFFFFFF && (now - last_report) * 1000.0 >= m.timeout_ms) {
                m.timed_out = true;
                m.stop = true;
            }
            continue;
        }
        last_report = now;
        long seen = ++m.total;
        if (m.limit >= 0 && seen > m.limit) break;  // another device took the last one
        Record(m, view, report, got);
        if (m.limit >= 0 && seen >= m.limit) m.stop = true;
    }
}

void Draw(Monitor& m, bool first) {
    std::lock_guard<std::mutex> hold(m.lock);
    if (!first) printf("\x1b[%zuA", m.views.size() + 1);
    printf("\x1b[2Kdevice  pins 31..0                             reports   per s   dropped\n");
    for (DeviceView& view : m.views) {
        printf("\x1b[2K%-6d  %s  %8llu  %6.0f  %s\n", view.number, PinRow(view.pins, view.changed, true).c_str(),
               static_cast<unsigned long long>(view.reports), view.rate,
               m.sequence ? std::to_string(view.dropped).c_str() : "-");
    }
    fflush(stdout);
}

}  // namespace

int CommandMonitor(const ToolOptions& options) {
    PdxKitHandle first;
    int status = OpenDevices(&first);
    if (status != kExitOk) return status;

    Monitor m;
    m.limit = options.count;
    m.timeout_ms = options.timeout_ms < 0 ? 0xFFFFFFFF : static_cast<uint32_t>(options.timeout_ms);
    m.json = options.json;
    m.sequence = options.sequence;
    m.line_mode = options.json || !isatty(fileno(stdout));
    m.start = NowSeconds();
    uint32_t count = PdxKitGetNumDevs();
    for (uint32_t n = 1; n <= count; ++n) {
        if (options.device && static_cast<int>(n) != options.device) continue;
        DeviceView view;
        view.number = static_cast<int>(n);
        view.handle = PdxKitGetDeviceHandle(n);
        m.views.push_back(view);
    }
    if (m.views.empty()) {
        fprintf(stderr, "pdxkit: no device %d (%u found)\n", options.device, count);
        PdxKitCloseDevice(first);
        return kExitNoDevice;
    }

    std::vector<std::thread> readers;
    for (DeviceView& view : m.views) readers.emplace_back(ReadLoop, std::ref(m), std::ref(view));
    if (!m.line_mode) {
        bool first_draw = true;
        double last = NowSeconds();
        while (!m.stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));  // screen refresh pace
            double now = NowSeconds();
            {
                std::lock_guard<std::mutex> hold(m.lock);
                for (DeviceView& view : m.views) {
                    view.rate = (view.reports - view.reports_at_last_draw) / (now - last);
                    view.reports_at_last_draw = view.reports;
                }
            }
            last = now;
            Draw(m, first_draw);
            first_draw = false;
        }
    }
    for (std::thread& t : readers) t.join();
    if (!m.line_mode) Draw(m, false);
    PdxKitCloseDevice(first);
    if (m.timed_out && m.total == 0) {
        fprintf(stderr, "pdxkit: no report within %u ms\n", m.timeout_ms);
        return kExitTimeout;
    }
    return kExitOk;
}
