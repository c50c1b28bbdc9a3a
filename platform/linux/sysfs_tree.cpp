// Symlinks are followed by hand with readlink() rather than realpath(), so
// that the same calls reach an interposed /sys (a test bed) as well.
#include "sysfs_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rt_syscalls.h"

namespace {

const int kMaxLinkSteps = 16;

int CopyString(char* out, size_t cap, const char* text, size_t len) {
    if (len + 1 > cap) return 0;
    memcpy(out, text, len);
    out[len] = 0;
    return 1;
}

// Folds "." and ".." and repeated slashes of an absolute path in place.
void Normalise(char* path) {
    char folded[PDX_SYSFS_PATH_MAX];
    size_t out = 0;  // length of folded, which never ends in '/'
    const char* in = path;
    while (*in) {
        while (*in == '/') in++;
        if (!*in) break;
        const char* end = strchr(in, '/');
        size_t len = end ? (size_t)(end - in) : strlen(in);
        if (len == 2 && in[0] == '.' && in[1] == '.') {
            while (out > 0 && folded[out - 1] != '/') out--;
            if (out > 0) out--;  // the slash before the dropped component
        } else if (!(len == 1 && in[0] == '.') && out + 1 + len < sizeof(folded)) {
            folded[out++] = '/';
            memcpy(folded + out, in, len);
            out += len;
        }
        in += len;
    }
    if (out == 0) folded[out++] = '/';
    folded[out] = 0;
    memcpy(path, folded, out + 1);
}

int JoinPath(const char* dir, const char* name, char* out, size_t cap) {
    size_t dir_len = strlen(dir);
    size_t name_len = strlen(name);
    if (dir_len + 1 + name_len + 1 > cap) return 0;
    memcpy(out, dir, dir_len);
    out[dir_len] = '/';
    memcpy(out + dir_len + 1, name, name_len);
    out[dir_len + 1 + name_len] = 0;
    return 1;
}

}  // namespace

long pdx_sysfs_read(const char* path, void* buf, size_t cap) {
    int fd;
    do {
        fd = RT_SYS(open)(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    size_t total = 0;
    while (total < cap) {
        ssize_t n = RT_SYS(read)(fd, (char*)buf + total, cap - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) break;
        total += (size_t)n;
    }
    close(fd);
    return (long)total;
}

int pdx_sysfs_uevent_value(const char* dir, const char* key, char* out, size_t cap) {
    char path[PDX_SYSFS_PATH_MAX];
    char text[4096];
    if (!JoinPath(dir, "uevent", path, sizeof(path))) return 0;
    long n = pdx_sysfs_read(path, text, sizeof(text) - 1);
    if (n < 0) return 0;
    text[n] = 0;
    size_t key_len = strlen(key);
    for (char* line = text; *line;) {
        char* end = strchr(line, '\n');
        size_t len = end ? (size_t)(end - line) : strlen(line);
        if (len > key_len && strncmp(line, key, key_len) == 0 && line[key_len] == '=')
            return CopyString(out, cap, line + key_len + 1, len - key_len - 1);
        line += len + (end ? 1 : 0);
    }
    return 0;
}

int pdx_sysfs_attribute(const char* dir, const char* name, char* out, size_t cap) {
    char path[PDX_SYSFS_PATH_MAX];
    if (cap == 0 || !JoinPath(dir, name, path, sizeof(path))) return 0;
    long n = pdx_sysfs_read(path, out, cap - 1);
    if (n < 0) return 0;
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == ' ')) n--;
    out[n] = 0;
    return 1;
}

int pdx_sysfs_resolve(const char* path, char* out, size_t cap) {
    char current[PDX_SYSFS_PATH_MAX];
    if (path[0] != '/' || !CopyString(current, sizeof(current), path, strlen(path))) return 0;
    Normalise(current);
    for (int step = 0; step < kMaxLinkSteps; step++) {
        char target[PDX_SYSFS_PATH_MAX];
        ssize_t n = readlink(current, target, sizeof(target) - 1);
        if (n < 0) {
            // Not a link, or missing. errno alone does not tell reliably
            // when /sys is interposed, so ask lstat.
            struct stat st;
            if (lstat(current, &st) != 0 || S_ISLNK(st.st_mode)) return 0;
            return CopyString(out, cap, current, strlen(current));
        }
        target[n] = 0;
        char next[PDX_SYSFS_PATH_MAX];
        if (target[0] == '/') {
            if (!CopyString(next, sizeof(next), target, (size_t)n)) return 0;
        } else {
            char* slash = strrchr(current, '/');
            *slash = 0;
            if (!JoinPath(current[0] ? current : "", target, next, sizeof(next))) return 0;
        }
        Normalise(next);
        memcpy(current, next, strlen(next) + 1);
    }
    return 0;  // a loop of links
}

int pdx_sysfs_is_device(const char* dir) {
    char path[PDX_SYSFS_PATH_MAX];
    return JoinPath(dir, "uevent", path, sizeof(path)) && access(path, F_OK) == 0;
}

int pdx_sysfs_parent_device(const char* dir, char* out, size_t cap) {
    static const char kRoot[] = PDX_SYSFS_ROOT;
    const size_t root_len = sizeof(kRoot) - 1;
    char current[PDX_SYSFS_PATH_MAX];
    if (!CopyString(current, sizeof(current), dir, strlen(dir))) return 0;
    for (;;) {
        char* slash = strrchr(current, '/');
        if (!slash) return 0;
        *slash = 0;
        size_t len = (size_t)(slash - current);
        // Stop at /sys/devices itself: what lies above it is no device.
        if (len <= root_len || strncmp(current, kRoot, root_len) != 0 || current[root_len] != '/') return 0;
        if (pdx_sysfs_is_device(current)) return CopyString(out, cap, current, len);
    }
}
