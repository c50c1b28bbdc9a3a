// libpdxkit_javasim.so: test-only natives that give JUnit tests control of
// the simulated chips (class com.vantelo.pdx.sim.SimulatedChips) and a way to
// call the library's C functions on the same devices (class
// com.vantelo.pdx.sim.CSide). Linux only.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <jni.h>

#include "device_table.h"
#include "pdxkit.h"
#include "pdxsim.h"

namespace {

// libpdxkit.so takes the simulator's HID stack from the provider named in
// PDXKIT_HID_STACK (the tests' environment names the one this library
// links, so both drive the same worlds); without it the tests would see
// the machine's devices instead.
bool ProviderNamed() {
    const char* path = getenv("PDXKIT_HID_STACK");
    return path != nullptr && *path != 0;
}

jintArray ToJava(JNIEnv* env, const uint8_t* bytes, uint32_t count) {
    jintArray array = env->NewIntArray((jsize)count);
    if (array == nullptr) return nullptr;
    jint elements[PDXSIM_MAX_REPORT > 1024 ? PDXSIM_MAX_REPORT : 1024];
    for (uint32_t i = 0; i < count && i < sizeof(elements) / sizeof(elements[0]); i++) elements[i] = bytes[i];
    env->SetIntArrayRegion(array, 0, (jsize)count, elements);
    return array;
}

// Lowest byte of each element; at most `capacity` bytes.
uint32_t FromJava(JNIEnv* env, jintArray array, uint8_t* bytes, uint32_t capacity) {
    jsize n = env->GetArrayLength(array);
    if ((uint32_t)n > capacity) n = (jsize)capacity;
    jint* elements = env->GetIntArrayElements(array, nullptr);
    for (jsize i = 0; i < n; i++) bytes[i] = (uint8_t)elements[i];
    env->ReleaseIntArrayElements(array, elements, JNI_ABORT);
    return (uint32_t)n;
}

DeviceRecord* RecordOf(jint number) { return static_cast<DeviceRecord*>(PdxKitGetDeviceHandle((uint32_t)number)); }

uint64_t NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved) { return ProviderNamed() ? JNI_VERSION_1_8 : JNI_ERR; }

// ---- SimulatedChips ---------------------------------------------------------

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_install(JNIEnv* env, jclass, jint devices,
                                                                           jboolean chip_model) {
    static PdxSimWorld world;
    pdxsim_world_default(&world, devices);
    for (int i = 0; i < devices; i++) world.device[i].chip_model = chip_model ? 1 : 0;
    return pdxsim_install(&world) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jstring JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_installWorld(JNIEnv* env, jclass, jstring text) {
    static PdxSimWorld world;
    char error[256] = "";
    const char* chars = env->GetStringUTFChars(text, nullptr);
    int parsed = pdxsim_parse_world(chars, &world, error, sizeof(error));
    env->ReleaseStringUTFChars(text, chars);
    if (!parsed) return env->NewStringUTF(error);
    if (!pdxsim_install(&world)) return env->NewStringUTF("pdxsim_install failed");
    return nullptr;
}

JNIEXPORT void JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_uninstall(JNIEnv*, jclass) { pdxsim_uninstall(); }

JNIEXPORT jint JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_sendReport(JNIEnv* env, jclass, jint device, jint iface,
                                                                          jintArray report) {
    uint8_t bytes[PDXSIM_MAX_REPORT];
    uint32_t n = FromJava(env, report, bytes, sizeof(bytes));
    return pdxsim_send_report(device, iface, bytes, n);
}

JNIEXPORT jint JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_setPins(JNIEnv*, jclass, jint device, jint value) {
    return pdxsim_chip_set_pins(device, (uint32_t)value);
}

JNIEXPORT jint JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_writeCount(JNIEnv*, jclass, jint device, jint iface) {
    return (jint)pdxsim_write_count(device, iface);
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_waitWrites(JNIEnv*, jclass, jint device, jint iface,
                                                                              jint count, jint timeout_ms) {
    return pdxsim_wait_writes(device, iface, (uint32_t)count, (uint32_t)timeout_ms) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jintArray JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_getWrite(JNIEnv* env, jclass, jint device,
                                                                             jint iface, jint index) {
    static thread_local PdxSimWrite write;
    if (!pdxsim_get_write(device, iface, (uint32_t)index, &write)) return nullptr;
    return ToJava(env, write.bytes, write.len);
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_holdWrites(JNIEnv*, jclass, jint device, jint iface,
                                                                              jboolean hold) {
    return pdxsim_hold_writes(device, iface, hold ? 1 : 0) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_releaseWrites(JNIEnv*, jclass, jint device, jint iface,
                                                                             jint count) {
    return (jint)pdxsim_release_writes(device, iface, (uint32_t)count);
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_failWrites(JNIEnv*, jclass, jint device, jint iface,
                                                                              jint count, jint error) {
    return pdxsim_fail_writes(device, iface, (uint32_t)count, (uint32_t)error) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_unplug(JNIEnv*, jclass, jint device, jint iface) {
    pdxsim_unplug(device, iface);
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_startCounter(JNIEnv*, jclass, jint device,
                                                                                jint rate_hz, jint start, jint count) {
    return pdxsim_chip_start_counter(device, (uint32_t)rate_hz, (uint32_t)start, (uint32_t)count) ? JNI_TRUE
                                                                                                  : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_SimulatedChips_waitGenerated(JNIEnv*, jclass, jint device,
                                                                                 jint timeout_ms) {
    return pdxsim_chip_wait_done(device, (uint32_t)timeout_ms) ? JNI_TRUE : JNI_FALSE;
}

// ---- CSide: the library's C functions on the same device table ----------

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_openDevice(JNIEnv*, jclass) {
    return (jlong)(uintptr_t)PdxKitOpenDevice();
}

JNIEXPORT void JNICALL Java_com_vantelo_pdx_sim_CSide_closeDevice(JNIEnv*, jclass) { PdxKitCloseDevice(nullptr); }

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_numDevs(JNIEnv*, jclass) { return (jlong)PdxKitGetNumDevs(); }

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_deviceHandle(JNIEnv*, jclass, jint number) {
    return (jlong)(uintptr_t)PdxKitGetDeviceHandle((uint32_t)number);
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_productId(JNIEnv*, jclass, jint number) {
    return (jlong)PdxKitGetProductId(PdxKitGetDeviceHandle((uint32_t)number));
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_threadHandle(JNIEnv*, jclass, jint number) {
    return (jlong)PdxKitGetThreadHandle(PdxKitGetDeviceHandle((uint32_t)number));
}

JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_CSide_setTimeout(JNIEnv*, jclass, jint number, jint ms) {
    return PdxKitSetTimeout(PdxKitGetDeviceHandle((uint32_t)number), (uint32_t)ms) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_readTimeout(JNIEnv*, jclass, jint number) {
    DeviceRecord* record = RecordOf(number);
    return record == nullptr ? -1 : (jlong)LoadRelaxed(&record->read_timeout);
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_writeTimeout(JNIEnv*, jclass, jint number) {
    DeviceRecord* record = RecordOf(number);
    return record == nullptr ? -1 : (jlong)LoadRelaxed(&record->write_timeout);
}

JNIEXPORT jintArray JNICALL Java_com_vantelo_pdx_sim_CSide_read(JNIEnv* env, jclass, jint number, jint pipe,
                                                                jint length) {
    uint8_t bytes[1024];
    if (length < 0 || (size_t)length > sizeof(bytes)) return nullptr;
    uint32_t count = PdxKitRead(PdxKitGetDeviceHandle((uint32_t)number), (uint32_t)pipe, bytes, (uint32_t)length);
    return ToJava(env, bytes, count);
}

JNIEXPORT jlong JNICALL Java_com_vantelo_pdx_sim_CSide_write(JNIEnv* env, jclass, jint number, jint pipe,
                                                             jintArray data) {
    uint8_t bytes[1024];
    uint32_t n = FromJava(env, data, bytes, sizeof(bytes));
    return (jlong)PdxKitWrite(PdxKitGetDeviceHandle((uint32_t)number), (uint32_t)pipe, bytes, n);
}

JNIEXPORT jint JNICALL Java_com_vantelo_pdx_sim_CSide_lastError(JNIEnv*, jclass) { return (jint)PdxKitGetLastError(); }

JNIEXPORT void JNICALL Java_com_vantelo_pdx_sim_CSide_setLastError(JNIEnv*, jclass, jint error) {
    PdxKitSetLastError((uint32_t)error);
}

// The library offers no way to wait for its reader thread to have queued a
// report without taking it; the queue count in the record is polled instead,
// a fraction of a millisecond apart, up to the deadline.
JNIEXPORT jboolean JNICALL Java_com_vantelo_pdx_sim_CSide_waitQueued(JNIEnv*, jclass, jint number, jint count,
                                                                     jint timeout_ms) {
    DeviceRecord* record = RecordOf(number);
    if (record == nullptr) return JNI_FALSE;
    uint64_t deadline = NowMs() + (uint64_t)timeout_ms;
    while (LoadRelaxed(&record->queue.count) < (uint32_t)count) {
        if (NowMs() >= deadline) return JNI_FALSE;
        timespec pause = {0, 200 * 1000};
        nanosleep(&pause, nullptr);
    }
    return JNI_TRUE;
}

}  // extern "C"
