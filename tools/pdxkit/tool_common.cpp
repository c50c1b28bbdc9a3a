#include <chrono>

#include "tool.h"

#ifdef _WIN32
#include <windows.h>
uint32_t ToolLastError() { return GetLastError(); }
#else
uint32_t ToolLastError() { return PdxKitGetLastError(); }
#endif

static const char* ErrorName(uint32_t error) {
    switch (error) {
    case 0: return "success";
    case 55: return "no such device";
    case 87: return "invalid parameter";
    case 1460: return "timeout";
    case 995: return "operation aborted";
    case 1167: return "device not connected";
    case 5: return "access denied";
    case 6: return "invalid handle";
    default: return nullptr;
    }
}

std::string DescribeError(const char* what, uint32_t error) {
    char text[256];
    const char* name = ErrorName(error);
    if (name)
        snprintf(text, sizeof text, "%s (error %u: %s)", what, error, name);
    else
        snprintf(text, sizeof text, "%s (error %u)", what, error);
    return text;
}

int OpenDevices(PdxKitHandle* first) {
    *first = PdxKitOpenDevice();
    if (*first == nullptr) {
        uint32_t error = ToolLastError();
        fprintf(stderr, "pdxkit: %s\n", DescribeError("no device of the family found", error).c_str());
        return kExitNoDevice;
    }
    SimulationDevicesOpened();
    return kExitOk;
}

PdxKitHandle DeviceOrComplain(int n) {
    PdxKitHandle device = PdxKitGetDeviceHandle(static_cast<uint32_t>(n));
    if (device == nullptr) fprintf(stderr, "pdxkit: no device %d (%u found)\n", n, PdxKitGetNumDevs());
    return device;
}

std::string HexBytes(const uint8_t* bytes, uint32_t len) {
    std::string out;
    char cell[4];
    for (uint32_t i = 0; i < len; ++i) {
        snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        out += cell;
    }
    return out;
}

std::string SerialText(PdxKitHandle device) {
    uint16_t serial[9] = {};
    if (!PdxKitGetSerialNumber(device, serial)) return "";
    std::string out;
    for (int i = 0; i < 9 && serial[i]; ++i) out += serial[i] < 0x80 ? static_cast<char>(serial[i]) : '?';
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
