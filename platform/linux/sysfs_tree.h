// Reading the kernel's device tree under /sys: attributes, uevent keys,
// symlinks resolved to /sys/devices/... paths, and the parent device of a
// device. Every path handled here is absolute and at most PDX_SYSFS_PATH_MAX
// bytes with its terminating zero; longer ones count as missing.
#ifndef PDX_LINUX_SYSFS_TREE_H
#define PDX_LINUX_SYSFS_TREE_H

#include <stddef.h>

#define PDX_SYSFS_PATH_MAX 512
#define PDX_SYSFS_ROOT "/sys/devices"

// Reads at most `cap` bytes of a file; the number read, or -1 when it cannot
// be opened or read.
long pdx_sysfs_read(const char* path, void* buf, size_t cap);

// The value of `key` in the uevent file of device directory `dir`
// ("KEY=value" lines), zero-terminated. 0 when absent or too long.
int pdx_sysfs_uevent_value(const char* dir, const char* key, char* out, size_t cap);

// A text attribute of `dir` without its trailing newline. 0 when absent.
int pdx_sysfs_attribute(const char* dir, const char* name, char* out, size_t cap);

// `path` with every symlink of its last component followed and "." and ".."
// folded away. 0 when it cannot be resolved.
int pdx_sysfs_resolve(const char* path, char* out, size_t cap);

// Whether `dir` is a device directory (it has a uevent file).
int pdx_sysfs_is_device(const char* dir);

// The nearest ancestor of device directory `dir` that is itself a device,
// skipping the class directories between them (".../hidraw/hidraw0" has the
// HID device two levels up). 0 when there is none below /sys/devices.
int pdx_sysfs_parent_device(const char* dir, char* out, size_t cap);

#endif
