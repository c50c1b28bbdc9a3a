#include "open_close.h"

#include "discovery.h"
#include "hid_binding.h"
#include "pdxkit.h"
#include "reader_thread.h"

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
