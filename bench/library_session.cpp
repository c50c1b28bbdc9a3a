#include "library_session.h"

#include <stdio.h>
#include <string.h>

#include "pdxsim.h"

static PdxSimWorld g_world;

bool SimulateDevices(int devices) {
    pdxsim_world_default(&g_world, devices);
    return pdxsim_install(&g_world) != 0;
}

void StopSimulating() { pdxsim_uninstall(); }

// Default serials are the device's index + 1 in 8 hex digits.
static int SimDeviceOf(PdxKitHandle handle) {
    uint16_t serial[16] = {0};
    if (!PdxKitGetSerialNumber(handle, serial)) return -1;
    char text[9];
    for (int k = 0; k < 8; k++) text[k] = (char)serial[k];
    text[8] = 0;
    unsigned value = 0;
    if (sscanf(text, "%8x", &value) != 1 || value == 0) return -1;
    return (int)value - 1;
}

bool OpenAll(int devices, LibrarySession* session) {
    memset(session, 0, sizeof(*session));
    if (!PdxKitOpenDevice()) return false;
    if ((int)PdxKitGetNumDevs() != devices) {
        PdxKitCloseDevice(PdxKitGetDeviceHandle(1));
        return false;
    }
    session->devices = devices;
    for (int k = 0; k < devices; k++) {
        session->handles[k] = PdxKitGetDeviceHandle((uint32_t)k + 1);
        session->sim_device[k] = SimDeviceOf(session->handles[k]);
    }
    return true;
}

void CloseAll(LibrarySession* session) {
    if (session->devices) PdxKitCloseDevice(session->handles[0]);
    session->devices = 0;
}

bool LibraryOpen(int devices, LibrarySession* session) {
    if (!SimulateDevices(devices)) return false;
    if (OpenAll(devices, session)) return true;
    StopSimulating();
    return false;
}

void LibraryClose(LibrarySession* session) {
    CloseAll(session);
    StopSimulating();
}
