// Device-instance handles (DEVINST) for sysfs device directories. A handle is
// a small number naming one /sys/devices/... path while it exists, as a
// DEVINST names one device node on Windows; the same path always gets the
// same handle. 0 is never a handle.
#ifndef PDX_LINUX_DEVNODE_TABLE_H
#define PDX_LINUX_DEVNODE_TABLE_H

#include <stddef.h>
#include <stdint.h>

#define PDX_DEVNODE_MAX 4096

// The handle of a device directory (a resolved /sys/devices/... path), made
// on first use; 0 when the path is unusable or the table is full of devices
// that all still exist.
uint32_t pdx_devnode_for_path(const char* path);

// The path of a handle; 0 for a value that names no node.
int pdx_devnode_path(uint32_t devnode, char* out, size_t cap);

#endif
