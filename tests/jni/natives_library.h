// The built library (libpdxkit.so or pdxkit.dll) loaded at run time, with its
// natives and C functions looked up by their exported names, as a JVM and a
// C application would find them.
#ifndef PDX_TESTS_NATIVES_LIBRARY_H
#define PDX_TESTS_NATIVES_LIBRARY_H

#include <stdint.h>

#include <string>

#include <jni.h>

#include "pdxkit.h"

struct NativesLibrary {
    jlong(JNICALL* openDevice)(JNIEnv*, jclass);
    void(JNICALL* closeDevice)(JNIEnv*, jclass, jlong);
    jintArray(JNICALL* read)(JNIEnv*, jclass, jlong, jlong, jlong);
    jlong(JNICALL* write)(JNIEnv*, jclass, jlong, jlong, jintArray);
    jintArray(JNICALL* readImmediate)(JNIEnv*, jclass, jlong);
    jlong(JNICALL* getNumDevs)(JNIEnv*, jclass);
    jlong(JNICALL* getDeviceHandle)(JNIEnv*, jclass, jlong);
    jlong(JNICALL* getProductId)(JNIEnv*, jclass, jlong);
    jstring(JNICALL* getSerialNumber)(JNIEnv*, jclass, jlong);
    jboolean(JNICALL* setTimeout)(JNIEnv*, jclass, jlong, jlong);
    jboolean(JNICALL* cancelIo)(JNIEnv*, jclass, jlong, jlong);
    jboolean(JNICALL* setWriteTimeout)(JNIEnv*, jclass, jlong, jlong);
    jstring(JNICALL* version)(JNIEnv*, jclass);
    jlong(JNICALL* getRevision)(JNIEnv*, jclass, jlong);
    jlong(JNICALL* getThreadHandle)(JNIEnv*, jclass, jlong);

    PdxKitHandle(PDXKIT_CALL* PdxKitOpenDevice)(void);
    void(PDXKIT_CALL* PdxKitCloseDevice)(PdxKitHandle);
    uint32_t(PDXKIT_CALL* PdxKitGetNumDevs)(void);
    PdxKitHandle(PDXKIT_CALL* PdxKitGetDeviceHandle)(uint32_t);
    uint32_t(PDXKIT_CALL* PdxKitGetThreadHandle)(PdxKitHandle);
    PdxKitBool(PDXKIT_CALL* PdxKitSetTimeout)(PdxKitHandle, uint32_t);
    PdxKitBool(PDXKIT_CALL* PdxKitSetWriteTimeout)(PdxKitHandle, uint32_t);
    uint32_t(PDXKIT_CALL* PdxKitRead)(PdxKitHandle, uint32_t, uint8_t*, uint32_t);
    uint32_t(PDXKIT_CALL* PdxKitWrite)(PdxKitHandle, uint32_t, const uint8_t*, uint32_t);
    PdxKitBool(PDXKIT_CALL* PdxKitReadImmediate)(PdxKitHandle, uint32_t*);

    // The calling thread's last-error value, as the library sets it.
    uint32_t (*GetLastError)(void);
    void (*SetLastError)(uint32_t);
};

// Loads the library once per process and resolves every name; on failure
// returns null and says why in *error.
const NativesLibrary* LoadNativesLibrary(std::string* error);

#endif
