// Objects handed out to callers as opaque pointers (device information
// sets, preparsed data). Only pointers registered here are ever
// dereferenced, so a stale or made-up value fails cleanly instead of
// touching memory that is not ours.
#ifndef PDX_LINUX_LIVE_OBJECTS_H
#define PDX_LINUX_LIVE_OBJECTS_H

#define PDX_LIVE_OBJECTS_MAX 256

enum PdxLiveKind { PDX_LIVE_DEVICE_INFO_SET = 1, PDX_LIVE_PREPARSED_DATA = 2 };

// 0 when the table is full.
int pdx_live_add(int kind, const void* object);
// Whether `object` is registered as `kind`.
int pdx_live_has(int kind, const void* object);
// Unregisters it; 0 when it was not registered as `kind`.
int pdx_live_remove(int kind, const void* object);
// Number registered of `kind` (resources still held by callers).
int pdx_live_count(int kind);

#endif
