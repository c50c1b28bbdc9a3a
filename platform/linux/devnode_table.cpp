// Paths are kept while their device exists: a DEVINST that a caller keeps
// goes on naming the same node. Every replug makes new device directories,
// so once the table is full the entry of a device that has gone is given to
// the new one (as Windows reuses the numbers of removed nodes) rather than
// leaving new devices without a handle.
#include "devnode_table.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sysfs_tree.h"
#include "rt_syscalls.h"

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
char* g_paths[PDX_DEVNODE_MAX];  // handle n names g_paths[n - 1]
uint32_t g_count;

}  // namespace

uint32_t pdx_devnode_for_path(const char* path) {
    size_t len = strlen(path);
    if (len == 0 || len >= PDX_SYSFS_PATH_MAX) return 0;
    uint32_t result = 0;
    pthread_mutex_lock(&g_lock);
    for (uint32_t i = 0; i < g_count; i++) {
        if (strcmp(g_paths[i], path) == 0) {
            result = i + 1;
            break;
        }
    }
    if (!result) {
        char* copy = (char*)RT_SYS(malloc)(len + 1);
        if (copy) {
            memcpy(copy, path, len + 1);
            if (g_count < PDX_DEVNODE_MAX) {
                g_paths[g_count++] = copy;
                result = g_count;
            } else {
                for (uint32_t i = 0; i < g_count && !result; i++) {
                    if (access(g_paths[i], F_OK) != 0) {
                        free(g_paths[i]);
                        g_paths[i] = copy;
                        result = i + 1;
                    }
                }
                if (!result) free(copy);
            }
        }
    }
    pthread_mutex_unlock(&g_lock);
    return result;
}

int pdx_devnode_path(uint32_t devnode, char* out, size_t cap) {
    int found = 0;
    pthread_mutex_lock(&g_lock);
    if (devnode >= 1 && devnode <= g_count) {
        size_t len = strlen(g_paths[devnode - 1]);
        if (len < cap) {
            memcpy(out, g_paths[devnode - 1], len + 1);
            found = 1;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return found;
}
