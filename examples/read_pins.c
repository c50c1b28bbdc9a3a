/* A short tour of the C interface: list the chips, read the pins of the
 * first one with a timeout, set its output latches, close.
 * Build: cc read_pins.c $(pkg-config --cflags --libs pdxkit)  (Linux)
 *        or with CMake: find_package(PdxKit) and link PdxKit::pdxkit. */
#include <stdio.h>
#include <string.h>

#include "pdxkit.h"

#ifdef _WIN32
#include <windows.h>
#define LAST_ERROR() GetLastError()
#else
#define LAST_ERROR() PdxKitGetLastError()
#endif

int main(void) {
    PdxKitHandle first = PdxKitOpenDevice();
    if (first == NULL) {
        printf("no device of the family found (error %u)\n", (unsigned)LAST_ERROR());
        return 3;
    }

    uint32_t count = PdxKitGetNumDevs();
    for (uint32_t n = 1; n <= count; ++n) {
        PdxKitHandle device = PdxKitGetDeviceHandle(n);
        uint16_t serial[9];
        char text[10] = "(none)";
        if (PdxKitGetSerialNumber(device, serial)) {
            for (int i = 0; i < 9; ++i) text[i] = (char)serial[i];
            text[9] = '\0';
        }
        printf("device %u: product 0x%04X, revision 0x%04X, serial %s\n", (unsigned)n,
               (unsigned)PdxKitGetProductId(device), (unsigned)PdxKitGetRevision(device), text);
    }

    /* Port reports are 5 bytes: report id, then the 32 pins lowest byte first. */
    uint8_t report[5];
    PdxKitSetTimeout(first, 500);
    uint32_t got = PdxKitRead(first, 0, report, sizeof report);
    if (got == 5)
        printf("pins: 0x%02X%02X%02X%02X\n", report[4], report[3], report[2], report[1]);
    else
        printf("no port report within 500 ms (error %u)\n", (unsigned)LAST_ERROR());

    /* Without waiting: the oldest unread report, else the latest known state. */
    uint32_t pins = 0;
    int fresh = PdxKitReadImmediate(first, &pins);
    printf("immediate: 0x%08X (%s)\n", (unsigned)pins, fresh ? "queued report" : "latest known state");

    /* Set the output latches: report id 0, then the 4 bytes. */
    const uint8_t latches[5] = {0x00, 0x0F, 0x00, 0x00, 0x80};
    PdxKitSetWriteTimeout(first, 1000);
    if (PdxKitWrite(first, 0, latches, sizeof latches) != sizeof latches)
        printf("write failed (error %u)\n", (unsigned)LAST_ERROR());

    PdxKitCloseDevice(first);
    return 0;
}
