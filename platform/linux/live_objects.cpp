#include "live_objects.h"

#include <pthread.h>

namespace {

struct LiveEntry {
    int kind;
    const void* object;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
LiveEntry g_live[PDX_LIVE_OBJECTS_MAX];

}  // namespace

int pdx_live_add(int kind, const void* object) {
    int added = 0;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < PDX_LIVE_OBJECTS_MAX && !added; i++) {
        if (!g_live[i].object) {
            g_live[i].kind = kind;
            g_live[i].object = object;
            added = 1;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return added;
}

int pdx_live_has(int kind, const void* object) {
    int found = 0;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < PDX_LIVE_OBJECTS_MAX && !found; i++)
        found = object && g_live[i].object == object && g_live[i].kind == kind;
    pthread_mutex_unlock(&g_lock);
    return found;
}

int pdx_live_remove(int kind, const void* object) {
    int removed = 0;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < PDX_LIVE_OBJECTS_MAX && !removed; i++) {
        if (object && g_live[i].object == object && g_live[i].kind == kind) {
            g_live[i].object = 0;
            g_live[i].kind = 0;
            removed = 1;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return removed;
}

int pdx_live_count(int kind) {
    int count = 0;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < PDX_LIVE_OBJECTS_MAX; i++)
        if (g_live[i].object && g_live[i].kind == kind) count++;
    pthread_mutex_unlock(&g_lock);
    return count;
}
