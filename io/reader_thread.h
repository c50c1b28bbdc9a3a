// The reader thread of pipe 0: starting it with the record's events and
// locks, its thread routine, and stopping it again.
#ifndef PDXKIT_IO_READER_THREAD_H
#define PDXKIT_IO_READER_THREAD_H

#include "device_table.h"

enum : DWORD {
    kReaderWaitStep = 250,
    // Failed reads in a row after which the reader pauses one wait step
    // before each further read.
    kFailuresBeforePause = 16
};

// Creates the record's events, locks and suspended reader; resumes it when
// all exist. False (and nothing left behind) when any cannot be created.
BOOLEAN StartReader(DeviceRecord* record);

// Stops the reader, if any, with the stop handshake and releases the six
// synchronisation objects.
void StopReader(DeviceRecord* record);

// Thread routine; parameter: the device record. Ends through ExitThread(0).
DWORD WINAPI ReaderThread(LPVOID device);

#endif
