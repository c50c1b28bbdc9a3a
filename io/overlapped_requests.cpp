#include "overlapped_requests.h"

VOID WINAPI NullCompletion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {}

BOOLEAN CancelPendingIo(HANDLE file) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (!kernel32) return FALSE;
    typedef BOOL(WINAPI * CancelIoFn)(HANDLE);
    CancelIoFn cancel_io = reinterpret_cast<CancelIoFn>(reinterpret_cast<void*>(GetProcAddress(kernel32, "CancelIo")));
    if (!cancel_io) return FALSE;
    cancel_io(file);
    return TRUE;
}

bool RequestPending(const OVERLAPPED* overlapped) {
    return *static_cast<const volatile ULONG_PTR*>(&overlapped->Internal) == static_cast<ULONG_PTR>(STATUS_PENDING);
}

void CancelAndWaitForCompletion(HANDLE file, const OVERLAPPED* overlapped) {
    CancelPendingIo(file);
    // Another routine queued to this thread may end a wait first: only the
    // request's own status says it is over.
    while (RequestPending(overlapped)) SleepEx(INFINITE, TRUE);
    // Its routine may still be queued: run it now, so that it cannot end a
    // later wait of this thread as if that wait's own request had completed.
    while (SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {}
}
