// Simulated chips opened through the library: installs a world of default
// devices, opens them, and maps each device handle to its simulated device.
#ifndef PDXKIT_BENCH_LIBRARY_SESSION_H
#define PDXKIT_BENCH_LIBRARY_SESSION_H

#include "pdxkit.h"

enum { kBenchMaxDevices = 16 };

struct LibrarySession {
    int devices;
    PdxKitHandle handles[kBenchMaxDevices];
    int sim_device[kBenchMaxDevices];  // the simulator's index of each handle's device
};

// Installs `devices` simulated chips (and nothing else).
bool SimulateDevices(int devices);
void StopSimulating();
// Opens the installed devices; false unless every one was found.
bool OpenAll(int devices, LibrarySession* session);
void CloseAll(LibrarySession* session);

// Both of the above.
bool LibraryOpen(int devices, LibrarySession* session);
void LibraryClose(LibrarySession* session);

#endif
