// How a device handle travels through a Java long.
//
// Where pointers are 32 bits wide (the Windows DLL) the Java value's low 32
// bits are the handle's address itself. Where they are wider, an address does
// not fit in 32 bits, so a handle travels as a token naming its record:
// 0x50440000 | record number (1..16). Either way 0 means no handle.
#ifndef PDX_JNI_JAVA_HANDLE_H
#define PDX_JNI_JAVA_HANDLE_H

#include <stdint.h>

#include "pdxkit.h"

#define PDX_JAVA_HANDLE_TOKEN_BASE 0x50440000u
#define PDX_JAVA_HANDLE_TOKEN_MASK 0xFFFF0000u

// The 32-bit value that stands for the handle in Java (before sign
// extension); 0 for null (and, where handles travel as tokens, for an
// address outside the device table).
uint32_t JavaHandleFromDevice(PdxKitHandle handle);

// The handle that the low 32 bits of a Java value stand for. A value that
// names no record maps to null, which every handle check rejects.
PdxKitHandle DeviceHandleFromJava(uint32_t value);

#endif
