/* pdxkit: access to the USB I/O-controller chips of vendor 0x1F3A, products
 * 0x2A10 and 0x2A11, which present themselves as two HID interfaces (pipes):
 * pipe 0, the port interface, whose input reports carry the pin state, and
 * pipe 1, the special-function interface.
 *
 * Failures are reported by the result (null handle, 0 bytes, false) together
 * with the calling thread's last-error value (GetLastError on Windows,
 * PdxKitGetLastError elsewhere).
 *
 * Threads: every function may be called from any thread, except that
 * PdxKitOpenDevice and PdxKitCloseDevice must run alone (no other call of the
 * library may overlap them). PdxKitOpenDevice while devices are open first
 * closes them, exactly as PdxKitCloseDevice does, and then discovers the
 * devices afresh; handles obtained before stay valid only for devices that
 * are found again at the same place in the table.
 */
#ifndef PDXKIT_H
#define PDXKIT_H

#include <stdint.h>

/* Calling convention: __stdcall in the 32-bit pdxkit.dll (x86); the x64
 * pdxkit.dll and libpdxkit.so use their platform's only convention. Both
 * DLLs export the same undecorated names at the same ordinals. */
#if defined(_WIN32) && !defined(_WIN64)
#define PDXKIT_CALL __stdcall
#else
#define PDXKIT_CALL
#endif

#if defined(_WIN32)
#if defined(PDXKIT_BUILDING)
#define PDXKIT_API
#else
#define PDXKIT_API __declspec(dllimport)
#endif
#else
#define PDXKIT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A device handle; null means none. */
typedef void* PdxKitHandle;

/* Boolean results are one byte: 1 true, 0 false. */
typedef uint8_t PdxKitBool;

/* Last-error values the library sets. */
#define PDXKIT_ERROR_SUCCESS 0u
#define PDXKIT_ERROR_DEV_NOT_EXIST 55u
#define PDXKIT_ERROR_INVALID_PARAMETER 87u
#define PDXKIT_ERROR_TIMEOUT 1460u
/* Passed on from the system: the device is gone (unplugged). */
#define PDXKIT_ERROR_DEVICE_NOT_CONNECTED 1167u

/* Timeout value that waits without limit. */
#define PDXKIT_INFINITE 0xFFFFFFFFu

#define PDXKIT_VENDOR_ID 0x1F3Au
#define PDXKIT_PRODUCT_ID_A 0x2A10u
#define PDXKIT_PRODUCT_ID_B 0x2A11u

/* Opening and closing (all devices at once). */
PDXKIT_API PdxKitHandle PDXKIT_CALL PdxKitOpenDevice(void);
PDXKIT_API void PDXKIT_CALL PdxKitCloseDevice(PdxKitHandle handle);

/* Reading, writing, cancelling. Pipe 0 reads come from the 8-report queue
 * that the device's reader thread fills, whole reports each with its own
 * length (one that does not fit in the rest of the buffer stays queued);
 * pipe 1 reads go to the device. Once the device is gone, a pipe 0 read
 * that finds the queue empty returns at once, with the bytes it has or 0,
 * and the system's error (PDXKIT_ERROR_DEVICE_NOT_CONNECTED for an
 * unplugged chip), whatever the read timeout. */
PDXKIT_API uint32_t PDXKIT_CALL PdxKitRead(PdxKitHandle handle, uint32_t pipe, uint8_t* buffer, uint32_t length);
PDXKIT_API uint32_t PDXKIT_CALL PdxKitWrite(PdxKitHandle handle, uint32_t pipe, const uint8_t* buffer, uint32_t length);
PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitReadImmediate(PdxKitHandle handle, uint32_t* value);
PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitCancelIo(PdxKitHandle handle, uint32_t pipe);

/* Accessors. */
PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetNumDevs(void);
PDXKIT_API PdxKitHandle PDXKIT_CALL PdxKitGetDeviceHandle(uint32_t number);
PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitSetLegacyOpenMode(uint32_t mode);
PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetProductId(PdxKitHandle handle);
/* buffer: at least 9 UTF-16 code units. */
PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitGetSerialNumber(PdxKitHandle handle, uint16_t* buffer);
PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitSetTimeout(PdxKitHandle handle, uint32_t milliseconds);
PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitSetWriteTimeout(PdxKitHandle handle, uint32_t milliseconds);
PDXKIT_API const char* PDXKIT_CALL PdxKitVersion(void);
PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetRevision(PdxKitHandle handle);
PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetThreadHandle(PdxKitHandle handle);

#if !defined(_WIN32)
/* The calling thread's last-error value, as GetLastError gives it on Windows. */
PDXKIT_API uint32_t PdxKitGetLastError(void);
PDXKIT_API void PdxKitSetLastError(uint32_t error);
#endif

#ifdef __cplusplus
}
#endif

#endif
