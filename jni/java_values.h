// Conversions between Java values and the 32-bit values of the C interface,
// the same in every native.
#ifndef PDX_JNI_JAVA_VALUES_H
#define PDX_JNI_JAVA_VALUES_H

#include <stdint.h>

#include <jni.h>

// Only the low 32 bits of a Java long are meaningful: -1 arrives as
// 0xFFFFFFFF, and 2^32 added to a value changes nothing.
static inline uint32_t JavaLow32(jlong value) { return (uint32_t)(uint64_t)value; }

// Handles come back sign-extended, so that passing them in again restores
// the same 32 bits.
static inline jlong JavaSignExtended(uint32_t value) { return (jlong)(int32_t)value; }

// Counts and numbers are never negative in Java.
static inline jlong JavaZeroExtended(uint32_t value) { return (jlong)value; }

#endif
