#include "open_close.h"

#include "discovery.h"
#include "hid_binding.h"
#include "pdxkit.h"
#include "reader_thread.h"

static void CloseIfPresent(HANDLE* handle) {
    // A pipe handle that failed to open holds INVALID_HANDLE_VALUE: nothing
    // to close there either.
    if (*handle && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
    *handle = nullptr;
}

static void ReleaseSyncObjects(DeviceRecord* record) {
    CloseIfPresent(&record->report_event);
    CloseIfPresent(&record->stop_event);
    CloseIfPresent(&record->stopped_event);
    CloseIfPresent(&record->queue_lock);
    CloseIfPresent(&record->read_lock);
    CloseIfPresent(&record->cancel_lock);
}

// A reader that has never run can take part in no stop handshake: it is
// ended where it stands.
static void DisposeUnstartedReader(DeviceRecord* record) {
    if (!record->reader_thread) return;
    TerminateThread(record->reader_thread, 0);
    WaitForSingleObject(record->reader_thread, INFINITE);
    CloseHandle(record->reader_thread);
    record->reader_thread = nullptr;
}

BOOLEAN StartReader(DeviceRecord* record) {
    record->report_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    record->stop_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    record->stopped_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    record->queue_lock = CreateMutexA(nullptr, FALSE, nullptr);
    record->read_lock = CreateMutexA(nullptr, FALSE, nullptr);
    record->cancel_lock = CreateMutexA(nullptr, FALSE, nullptr);
    record->reader_thread = CreateThread(nullptr, 0, ReaderThread, record, CREATE_SUSPENDED, nullptr);

    if (!record->report_event || !record->stop_event || !record->stopped_event || !record->queue_lock ||
        !record->read_lock || !record->cancel_lock || !record->reader_thread) {
        DisposeUnstartedReader(record);
        ReleaseSyncObjects(record);
        return FALSE;
    }

    for (uint32_t i = 1; i < kReportSize; ++i) record->last_report[i] = 0xFF;
    // A reader left suspended would never answer the stop handshake, and
    // closing would wait for it forever: treat it as one that never started.
    if (ResumeThread(record->reader_thread) == static_cast<DWORD>(-1)) {
        DisposeUnstartedReader(record);
        ReleaseSyncObjects(record);
        return FALSE;
    }
    return TRUE;
}

void StopReader(DeviceRecord* record) {
    if (record->reader_thread) {
        SetEvent(record->stop_event);
        WaitForSingleObject(record->stopped_event, INFINITE);
        WaitForSingleObject(record->reader_thread, INFINITE);
        CloseHandle(record->reader_thread);
        record->reader_thread = nullptr;
    }
    ReleaseSyncObjects(record);
}

void CloseDeviceRecord(DeviceRecord* record) {
    StopReader(record);
    for (uint32_t pipe = 0; pipe < kPipesPerDevice; ++pipe) {
        CloseIfPresent(&record->read_handles[pipe]);
        CloseIfPresent(&record->write_handles[pipe]);
        if (record->pipes[pipe].detail) {
            HeapFree(g_private_heap, 0, record->pipes[pipe].detail);
            record->pipes[pipe].detail = nullptr;
        }
    }
    record->magic = kClosedMagic;
}

static void OpenPipes(DeviceRecord* record) {
    for (uint32_t pipe = 0; pipe < kPipesPerDevice; ++pipe) {
        const SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = record->pipes[pipe].detail;
        if (!detail) continue;
        // Failures show when the pipe is used: the handle then holds
        // INVALID_HANDLE_VALUE, which the pipe lookups hand back.
        record->read_handles[pipe] = CreateFileA(detail->DevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        record->write_handles[pipe] = CreateFileA(detail->DevicePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        g_hid.HidD_SetNumInputBuffers(record->read_handles[pipe], kInputBuffers);
    }
}

PDXKIT_API PdxKitHandle PDXKIT_CALL PdxKitOpenDevice(void) {
    // Opening over open devices would drop live threads, handles and the
    // heap with the table: close them first, then discover afresh.
    if (g_device_count > 0 || g_private_heap) PdxKitCloseDevice(nullptr);

    ResetTable();
    if (!BindHidLibraries()) {
        SetLastError(ERROR_DEV_NOT_EXIST);
        return nullptr;
    }
    g_private_heap = HeapCreate(HEAP_NO_SERIALIZE, kHeapInitialSize, 0);
    if (!g_private_heap) {
        UnbindHidLibraries();
        SetLastError(ERROR_DEV_NOT_EXIST);
        return nullptr;
    }
    // Discovery can see the family yet attach nothing (every matching
    // interface without readable capabilities): there is no device to hand
    // out then, so that is a failure too, not a handle to an empty record.
    if (!DiscoverDevices() || g_device_count == 0) {
        HeapDestroy(g_private_heap);
        g_private_heap = nullptr;
        UnbindHidLibraries();
        SetLastError(ERROR_DEV_NOT_EXIST);
        return nullptr;
    }

    for (uint32_t i = 0; i < g_device_count; ++i) {
        DeviceRecord* record = &g_device_table[i];
        // The reader finds its pipe through the handle check: magic first.
        record->magic = kOpenMagic;
        OpenPipes(record);
        if (!StartReader(record)) {
            PdxKitCloseDevice(nullptr);
            UnbindHidLibraries();
            SetLastError(ERROR_DEV_NOT_EXIST);
            return nullptr;
        }
    }

    UnbindHidLibraries();
    SetLastError(ERROR_SUCCESS);
    return &g_device_table[0];
}

PDXKIT_API void PDXKIT_CALL PdxKitCloseDevice(PdxKitHandle handle) {
    for (uint32_t i = 0; i < g_device_count; ++i) CloseDeviceRecord(&g_device_table[i]);
    ResetTable();
    if (g_private_heap) {
        HeapDestroy(g_private_heap);
        g_private_heap = nullptr;
    }
    SetLastError(ERROR_SUCCESS);
}
