// pdxkit info, pdxkit list.
#include "tool.h"

#include <inttypes.h>

int CommandInfo(const ToolOptions& options) {
    if (options.json)
        printf("{\"version\": \"%s\"}\n", PdxKitVersion());
    else
        printf("%s\n", PdxKitVersion());
    return kExitOk;
}

// All of the address: unsigned long is 32 bits on x64 Windows.
static uintptr_t HandleBits(PdxKitHandle device) { return reinterpret_cast<uintptr_t>(device); }

static const char* PipesText(PdxKitHandle device) {
    // The library offers no pipe count; a pipe exists when cancelling on it
    // is accepted (it checks both of the pipe's handles and cancels nothing
    // of other threads).
    bool pipe0 = PdxKitCancelIo(device, 0) != 0;
    bool pipe1 = PdxKitCancelIo(device, 1) != 0;
    if (pipe0 && pipe1) return "0,1";
    if (pipe0) return "0";
    if (pipe1) return "1";
    return "-";
}

int CommandList(const ToolOptions& options) {
    PdxKitHandle first;
    int status = OpenDevices(&first);
    if (status != kExitOk) {
        if (options.json) printf("[]\n");
        return status;
    }
    uint32_t count = PdxKitGetNumDevs();
    if (options.json)
        printf("[\n");
    else
        printf("%-3s %-18s %-8s %-8s %-10s %s\n", "#", "handle", "product", "revision", "serial", "pipes");
    for (uint32_t n = 1; n <= count; ++n) {
        PdxKitHandle device = PdxKitGetDeviceHandle(n);
        std::string serial = SerialText(device);
        if (options.json) {
            printf("  {\"number\": %u, \"handle\": \"0x%" PRIxPTR
                   "\", \"product_id\": \"0x%04X\", \"revision\": \"0x%04X\", "
                   "\"serial\": %s, \"pipes\": \"%s\"}%s\n",
                   n, HandleBits(device), PdxKitGetProductId(device), PdxKitGetRevision(device),
                   serial.empty() ? "null" : JsonString(serial).c_str(), PipesText(device), n < count ? "," : "");
        } else {
            printf("%-3u 0x%-16" PRIxPTR " 0x%04X   0x%04X   %-10s %s\n", n, HandleBits(device),
                   PdxKitGetProductId(device), PdxKitGetRevision(device), serial.empty() ? "(none)" : serial.c_str(),
                   PipesText(device));
        }
    }
    if (options.json) printf("]\n");
    PdxKitCloseDevice(first);
    return kExitOk;
}
