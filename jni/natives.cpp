// The native methods of com.vantelo.pdx.PdxKit. Each is a thin adapter: it
// narrows its Java arguments, calls the exported function of the same name in
// this library, and turns the result into a Java value. The natives keep no
// state, take no lock, raise no Java exception of their own and leave the
// last-error value to the function they call.
//
// Of the JNI environment only GetArrayLength, GetIntArrayElements,
// ReleaseIntArrayElements, NewIntArray, SetIntArrayRegion, NewString and
// NewStringUTF are used, always on the calling thread.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <jni.h>

#include "java_handle.h"
#include "java_values.h"
#include "pdxkit.h"

static_assert(sizeof(jint) == 4, "Java int arrays carry 32-bit elements");
static_assert(sizeof(jchar) == sizeof(uint16_t), "the serial number is UTF-16 on both sides");

enum {
    kJavaSerialUnits = 8,    // code units handed to Java
    kSerialBufferUnits = 9,  // code units PdxKitGetSerialNumber writes
    kPinBytes = 4
};

// A Java array holds at most this many elements (jsize is a signed 32-bit
// count), so a read longer than that could never be handed back.
static const uint32_t kMaxJavaArrayLength = 0x7FFFFFFFu;

static PdxKitHandle HandleArg(jlong value) { return DeviceHandleFromJava(JavaLow32(value)); }

static jlong HandleResult(PdxKitHandle handle) { return JavaSignExtended(JavaHandleFromDevice(handle)); }

// A new int array holding `count` elements of `elements`. When the VM cannot
// create the array it has an exception pending; null goes back with it.
static jintArray NewFilledIntArray(JNIEnv* env, const jint* elements, jsize count) {
    jintArray array = env->NewIntArray(count);
    if (array != nullptr) {
        env->SetIntArrayRegion(array, 0, count, elements);
    }
    return array;
}

// Element buffer of a read of n bytes: n ints. Its size is checked before it
// is computed, so that no n wraps around to a small allocation.
static jint* AllocateElements(uint32_t n) {
    if (n > kMaxJavaArrayLength || (size_t)n > (size_t)-1 / sizeof(jint)) {
        return nullptr;
    }
    return (jint*)malloc((size_t)n * sizeof(jint));
}

extern "C" {

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_openDevice(JNIEnv* env, jclass cls) {
    return HandleResult(PdxKitOpenDevice());
}

JNIEXPORT void JNICALL Java_com_vantelo_pdx_PdxKit_closeDevice(JNIEnv* env, jclass cls, jlong handle) {
    PdxKitCloseDevice(HandleArg(handle));
}

JNIEXPORT jintArray JNICALL Java_com_vantelo_pdx_PdxKit_read(JNIEnv* env, jclass cls, jlong handle, jlong pipe,
                                                             jlong length) {
    uint32_t n = JavaLow32(length);
    jint* elements = AllocateElements(n);
    // No byte buffer is asked for once the elements are refused: the read
    // cannot happen, and a length near 4 GiB would only tie up memory.
    uint8_t* bytes = elements != nullptr ? (uint8_t*)malloc(n) : nullptr;
    jintArray result;
    if (elements == nullptr || bytes == nullptr) {
        result = env->NewIntArray(0);
    } else {
        memset(bytes, 0, n);
        uint32_t count = PdxKitRead(HandleArg(handle), JavaLow32(pipe), bytes, n);
        // The library never reports more than it was given room for; the
        // clamp keeps a broken count from reaching past the buffers.
        if (count > n) {
            count = n;
        }
        for (uint32_t i = 0; i < count; i++) {
            elements[i] = bytes[i];
        }
        result = NewFilledIntArray(env, elements, (jsize)count);
    }
    free(elements);
    free(bytes);
    return result;
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_write(JNIEnv* env, jclass cls, jlong handle, jlong pipe,
                                                          jintArray data) {
    // A null array, elements the VM cannot hand out, or no memory for the
    // bytes: nothing is sent, and 0 says so as for any failed write.
    if (data == nullptr) {
        return 0;
    }
    jsize n = env->GetArrayLength(data);
    jint* elements = env->GetIntArrayElements(data, nullptr);
    if (elements == nullptr) {
        return 0;
    }
    uint8_t* bytes = (uint8_t*)malloc((size_t)n);
    uint32_t written = 0;
    if (bytes != nullptr) {
        for (jsize i = 0; i < n; i++) {
            bytes[i] = (uint8_t)(elements[i] & 0xFF);
        }
        written = PdxKitWrite(HandleArg(handle), JavaLow32(pipe), bytes, (uint32_t)n);
    }
    env->ReleaseIntArrayElements(data, elements, 0);
    free(bytes);
    return JavaZeroExtended(written);
}

JNIEXPORT jintArray JNICALL Java_com_vantelo_pdx_PdxKit_readImmediate(JNIEnv* env, jclass cls, jlong handle) {
    uint32_t value = 0;
    if (!PdxKitReadImmediate(HandleArg(handle), &value)) {
        // Only a queued report counts; the last known pin state that the
        // call may have stored is not handed to Java.
        return env->NewIntArray(0);
    }
    jint pins[kPinBytes];
    for (int k = 0; k < kPinBytes; k++) {
        pins[k] = (jint)((value >> (8 * k)) & 0xFF);
    }
    return NewFilledIntArray(env, pins, kPinBytes);
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_getNumDevs(JNIEnv* env, jclass cls) {
    return JavaZeroExtended(PdxKitGetNumDevs());
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_getDeviceHandle(JNIEnv* env, jclass cls, jlong number) {
    return HandleResult(PdxKitGetDeviceHandle(JavaLow32(number)));
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_getProductId(JNIEnv* env, jclass cls, jlong handle) {
    return JavaZeroExtended(PdxKitGetProductId(HandleArg(handle)));
}

JNIEXPORT jstring JNICALL Java_com_vantelo_pdx_PdxKit_getSerialNumber(JNIEnv* env, jclass cls, jlong handle) {
    uint16_t serial[kSerialBufferUnits];
    if (!PdxKitGetSerialNumber(HandleArg(handle), serial)) {
        for (int i = 0; i < kJavaSerialUnits; i++) {
            serial[i] = '0';
        }
        serial[kJavaSerialUnits] = 0;
    }
    // Always 8 code units: a shorter serial number keeps the zero units that
    // follow it in the buffer.
    return env->NewString((const jchar*)serial, kJavaSerialUnits);
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_PdxKit_setTimeout(JNIEnv* env, jclass cls, jlong handle,
                                                                  jlong milliseconds) {
    return (jboolean)PdxKitSetTimeout(HandleArg(handle), JavaLow32(milliseconds));
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_PdxKit_cancelIo(JNIEnv* env, jclass cls, jlong handle, jlong pipe) {
    return (jboolean)PdxKitCancelIo(HandleArg(handle), JavaLow32(pipe));
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_PdxKit_setWriteTimeout(JNIEnv* env, jclass cls, jlong handle,
                                                                       jlong milliseconds) {
    return (jboolean)PdxKitSetWriteTimeout(HandleArg(handle), JavaLow32(milliseconds));
}

JNIEXPORT jstring JNICALL Java_com_vantelo_pdx_PdxKit_version(JNIEnv* env, jclass cls) {
    return env->NewStringUTF(PdxKitVersion());
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_getRevision(JNIEnv* env, jclass cls, jlong handle) {
    return JavaZeroExtended(PdxKitGetRevision(HandleArg(handle)));
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_PdxKit_getThreadHandle(JNIEnv* env, jclass cls, jlong handle) {
    // Thread handles are small values on every platform we run on, so their
    // 32-bit form goes to Java as it is, sign-extended like device handles.
    return JavaSignExtended(PdxKitGetThreadHandle(HandleArg(handle)));
}

}  // extern "C"
