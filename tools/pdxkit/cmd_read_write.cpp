// pdxkit read, pdxkit write.
#include <stdlib.h>

#include "tool.h"

#ifdef _WIN32
#include <windows.h>
static void ClearLastError() { SetLastError(0); }
#else
static void ClearLastError() { PdxKitSetLastError(0); }
#endif

static const uint32_t kDefaultTimeoutMs = 1000;
static const uint32_t kMaxReport = 4096;

static bool ParseBytes(const std::vector<std::string>& args, std::vector<uint8_t>* out) {
    for (const std::string& arg : args) {
        char* end = nullptr;
        unsigned long value = strtoul(arg.c_str(), &end, 16);
        if (arg.empty() || *end != '\0' || value > 0xFF) {
            fprintf(stderr, "pdxkit: \"%s\" is not a byte in hex (00 to FF)\n", arg.c_str());
            return false;
        }
        out->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

// One read with the device's read timeout set to timeout_ms; prints the bytes.
static int ReadAndPrint(PdxKitHandle device, int pipe, uint32_t length, uint32_t timeout_ms, bool json) {
    std::vector<uint8_t> buffer(length);
    PdxKitSetTimeout(device, timeout_ms);
    ClearLastError();
    uint32_t got = PdxKitRead(device, static_cast<uint32_t>(pipe), buffer.data(), length);
    uint32_t error = ToolLastError();
    if (got == 0) {
        if (error == 0 || error == PDXKIT_ERROR_TIMEOUT) {
            fprintf(stderr, "pdxkit: nothing arrived on pipe %d within %u ms\n", pipe, timeout_ms);
            return kExitTimeout;
        }
        fprintf(stderr, "pdxkit: %s\n", DescribeError("read failed", error).c_str());
        return kExitFailed;
    }
    if (json)
        printf("{\"pipe\": %d, \"bytes\": \"%s\"}\n", pipe, HexBytes(buffer.data(), got).c_str());
    else
        printf("pipe %d: %s\n", pipe, HexBytes(buffer.data(), got).c_str());
    return kExitOk;
}

int CommandRead(const ToolOptions& options) {
    if (options.length <= 0 || options.length > static_cast<long>(kMaxReport)) {
        fprintf(stderr, "pdxkit read: -n LEN (1 to %u bytes) is required\n", kMaxReport);
        return kExitUsage;
    }
    PdxKitHandle first;
    int status = OpenDevices(&first);
    if (status != kExitOk) return status;
    PdxKitHandle device = DeviceOrComplain(options.device ? options.device : 1);
    if (device) {
        uint32_t timeout = options.timeout_ms < 0 ? kDefaultTimeoutMs : static_cast<uint32_t>(options.timeout_ms);
        status = ReadAndPrint(device, options.pipe, static_cast<uint32_t>(options.length), timeout, options.json);
    } else {
        status = kExitNoDevice;
    }
    PdxKitCloseDevice(first);
    return status;
}

int CommandWrite(const ToolOptions& options) {
    std::vector<uint8_t> bytes;
    if (!ParseBytes(options.args, &bytes)) return kExitUsage;
    if (bytes.empty()) {
        fprintf(stderr, "pdxkit write: give the report's bytes in hex, report id first (e.g. 00 AA 55 00 FF)\n");
        return kExitUsage;
    }
    PdxKitHandle first;
    int status = OpenDevices(&first);
    if (status != kExitOk) return status;
    PdxKitHandle device = DeviceOrComplain(options.device ? options.device : 1);
    if (!device) {
        PdxKitCloseDevice(first);
        return kExitNoDevice;
    }
    uint32_t timeout = options.timeout_ms < 0 ? kDefaultTimeoutMs : static_cast<uint32_t>(options.timeout_ms);
    PdxKitSetWriteTimeout(device, timeout);
    ClearLastError();
    uint32_t written =
        PdxKitWrite(device, static_cast<uint32_t>(options.pipe), bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (written == 0) {
        uint32_t error = ToolLastError();
        fprintf(stderr, "pdxkit: %s\n", DescribeError("write failed", error).c_str());
        status = error == PDXKIT_ERROR_TIMEOUT ? kExitTimeout : kExitFailed;
    } else {
        if (!options.json)
            printf("wrote %u bytes to pipe %d: %s\n", written, options.pipe, HexBytes(bytes.data(), written).c_str());
        if (options.read_back_ms >= 0) {
            // Pipe 0 answers arrive as port reports (5 bytes); pipe 1 answers
            // are read directly with a buffer for the largest report.
            uint32_t length = options.length > 0 ? static_cast<uint32_t>(options.length) : options.pipe == 0 ? 5 : 65;
            status =
                ReadAndPrint(device, options.pipe, length, static_cast<uint32_t>(options.read_back_ms), options.json);
        } else if (options.json) {
            printf("{\"pipe\": %d, \"written\": %u}\n", options.pipe, written);
        }
    }
    PdxKitCloseDevice(first);
    return status;
}
