/* A runtime thread that ends by ExitThread while no descriptor is free, in a
 * plain C program: as in a JVM, glibc's unwinder (libgcc_s) is not loaded,
 * and a thread end that unwinds would have to load it, which then aborts
 * the process. Exit status 0: the thread ended with its code and nothing was
 * loaded; 77: libgcc_s was loaded already (a sanitizer runtime), nothing to
 * probe. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include "pdx_win32.h"

static HANDLE g_go;

static DWORD WINAPI EndsByExitThread(LPVOID arg) {
    (void)arg;
    WaitForSingleObject(g_go, INFINITE);
    ExitThread(42);
    return 0;
}

int main(void) {
    if (dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD)) {
        puts("libgcc_s is loaded already: nothing to probe");
        return 77;
    }
    g_go = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = g_go ? CreateThread(NULL, 0, EndsByExitThread, NULL, 0, NULL) : NULL;
    if (!thread) {
        fprintf(stderr, "set-up failed with %u\n", (unsigned)GetLastError());
        return 1;
    }
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &limit);
    while (open("/dev/null", O_RDONLY) >= 0) {}
    if (errno != EMFILE) {
        perror("filling the descriptor table");
        return 1;
    }
    SetEvent(g_go);
    DWORD wait = WaitForSingleObject(thread, 20000);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    if (wait != WAIT_OBJECT_0 || code != 42) {
        fprintf(stderr, "wait returned %u, exit code %u\n", (unsigned)wait, (unsigned)code);
        return 1;
    }
    if (dlopen("libgcc_s.so.1", RTLD_LAZY | RTLD_NOLOAD)) {
        fputs("the thread's end loaded libgcc_s\n", stderr);
        return 1;
    }
    return 0;
}
