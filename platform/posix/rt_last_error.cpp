// The last-error value (per thread) and small helpers shared by the runtime.
#include <ctype.h>
#include <time.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

static thread_local DWORD t_last_error;

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

void RtSetError(DWORD error) { t_last_error = error; }

int RtClockNs(uint64_t* now) {
    struct timespec ts;
    if (RT_SYS(clock_gettime)(CLOCK_MONOTONIC, &ts) != 0) return 0;
    *now = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
    return 1;
}

int RtStrncasecmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        int ca = tolower((unsigned char)a[i]);
        int cb = tolower((unsigned char)b[i]);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int RtStrcasecmp(const char* a, const char* b) { return RtStrncasecmp(a, b, (size_t)-1); }
