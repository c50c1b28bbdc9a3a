/* pdxsim: a simulated family of USB I/O-controller chips, for tests, the demo
 * tool and the benchmarks.
 *
 * The simulator has two sides.
 *
 * HID-stack side: the fourteen entry points of "hid.dll", "cfgmgr32.dll" and
 * "setupapi.dll" that pdxkit binds at run time, answering from a world (a
 * description of the attached devices) as the platform's libraries do, with
 * fault knobs and records of what callers passed.
 *   Linux: installing a world registers the three modules with the POSIX
 *   runtime (pdxrt_register_module) and a path handler for the device paths.
 *   Windows: pdxsim.dll holds the world; hid.dll, cfgmgr32.dll and
 *   setupapi.dll beside the test programs export the entry points by their
 *   platform names and forward to pdxsim.dll.
 *
 * Device side: each interface is a channel with HID semantics. Every input
 * report goes to every handle of the interface opened with read access; every
 * output report (write) is captured; pipe-1 requests can be answered; write
 * completions can be held, failed or made to transfer 0 bytes; interfaces and
 * chips can be unplugged.
 *   Linux: every CreateFileA on a device path gets one end of a
 *   socketpair(AF_UNIX, SOCK_SEQPACKET) speaking the runtime's channel
 *   protocol; one service thread per world answers host writes and runs the
 *   chip model.
 *   Windows: device paths are message-mode named pipes
 *   (\\.\pipe\pdxsim-<pid>-<world>-<device>-<interface>) whose server ends
 *   pdxsim.dll services with a completion port.
 *
 * All functions may be called from any thread. Devices and interfaces are
 * named by their index in the installed world (device 0.., interface 0..).
 * Functions taking a device or interface index ignore indices outside the
 * world (results 0 / FALSE).
 */
#ifndef PDXSIM_H
#define PDXSIM_H

#include <stddef.h>
#include <stdint.h>

#include "hid_entry_points.h"

#if defined(_WIN32)
#if defined(PDXSIM_BUILDING)
#define PDXSIM_API __declspec(dllexport)
#else
#define PDXSIM_API __declspec(dllimport)
#endif
#else
#define PDXSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Limits and defaults --------------------------------------------------- */

#define PDXSIM_MAX_DEVICES 40
#define PDXSIM_MAX_INTERFACES 4 /* per device */
#define PDXSIM_MAX_STRING 64    /* UTF-16 code units of a string descriptor */
#define PDXSIM_MAX_REPORT 256   /* bytes of one report or write */

#define PDXSIM_VENDOR_ID 0x1F3Au
#define PDXSIM_PRODUCT_A 0x2A10u
#define PDXSIM_PRODUCT_B 0x2A11u
#define PDXSIM_DEFAULT_VERSION 0x0100u
#define PDXSIM_LANGID_EN_US 0x0409u /* default string at index 0 */

/* Default report lengths (report id byte included). */
#define PDXSIM_PIPE0_INPUT_LEN 5
#define PDXSIM_PIPE0_OUTPUT_LEN 5
#define PDXSIM_PIPE1_INPUT_LEN 65
#define PDXSIM_PIPE1_OUTPUT_LEN 65

/* The libraries and entry points, in pdxkit's binding order. */
typedef enum PdxSimLibrary {
    PDXSIM_LIB_HID = 0,      /* "hid.dll" */
    PDXSIM_LIB_CFGMGR32 = 1, /* "cfgmgr32.dll" */
    PDXSIM_LIB_SETUPAPI = 2, /* "setupapi.dll" */
    PDXSIM_LIB_COUNT = 3
} PdxSimLibrary;

/* PDXSIM_HidD_GetAttributes, ...: one per entry point of
   hid_entry_points.h, in its order. */
#define PDXSIM_ENTRY_ENUMERATOR(library, result, name, parameters, arguments) PDXSIM_##name,
typedef enum PdxSimEntry { PDX_HID_ENTRY_POINTS(PDXSIM_ENTRY_ENUMERATOR) PDXSIM_ENTRY_COUNT } PdxSimEntry;
#undef PDXSIM_ENTRY_ENUMERATOR

/* Entry-point name ("HidD_GetAttributes", ...) and its library. */
PDXSIM_API const char* pdxsim_entry_name(PdxSimEntry entry);
PDXSIM_API PdxSimLibrary pdxsim_entry_library(PdxSimEntry entry);
/* "hid.dll", "cfgmgr32.dll", "setupapi.dll". */
PDXSIM_API const char* pdxsim_library_name(PdxSimLibrary lib);

/* ---- World description ------------------------------------------------------ */

/* Faults of one interface's HID-stack answers. All zero: no fault. */
typedef struct PdxSimInterfaceFaults {
    int detail_size_zero;   /* the detail size query reports 0 bytes */
    int open_rw_refused;    /* CreateFileA with GENERIC_READ or GENERIC_WRITE fails
                               (ERROR_ACCESS_DENIED); access 0 still opens.
                               Windows: applies to paths handed out by the detail
                               query while set (an inbound-only pipe: GENERIC_READ
                               is refused, GENERIC_WRITE alone and 0 open) */
    int open_refused;       /* every CreateFileA fails (Linux: ERROR_ACCESS_DENIED;
                               Windows: ERROR_FILE_NOT_FOUND for paths handed out by
                               the detail query while set, no server listens) */
    int attributes_fail;    /* HidD_GetAttributes FALSE */
    int preparsed_fail;     /* HidD_GetPreparsedData FALSE */
    int caps_fail;          /* HidP_GetCaps HIDP_STATUS_INVALID_PREPARSED_DATA */
    int parent_fail_step;   /* 1: CM_Get_Parent of the interface node fails;
                               2: CM_Get_Parent of its parent fails
                               (CR_NO_SUCH_DEVNODE, result left untouched) */
    int serial_fail;        /* HidD_GetSerialNumberString FALSE, even with a serial */
    int string0_fail;       /* HidD_GetIndexedString(0) FALSE */
    int detail_fill_fail;   /* the size query answers, the detail query with a
                               buffer fails (ERROR_INVALID_PARAMETER) and writes
                               nothing into it */
    int input_buffers_fail; /* HidD_SetNumInputBuffers FALSE (ERROR_GEN_FAILURE),
                               the count unchanged */
} PdxSimInterfaceFaults;

typedef struct PdxSimInterfaceDesc {
    uint16_t input_len;   /* HIDP_CAPS.InputReportByteLength */
    uint16_t output_len;  /* HIDP_CAPS.OutputReportByteLength */
    uint16_t feature_len; /* HIDP_CAPS.FeatureReportByteLength */
    uint16_t usage_page;
    uint16_t usage;
    PdxSimInterfaceFaults faults;
} PdxSimInterfaceDesc;

/* Serial-number kinds. */
typedef enum PdxSimSerialKind {
    PDXSIM_SERIAL_STRING = 0, /* `serial` holds the string */
    PDXSIM_SERIAL_NONE = 1,   /* the device has no serial string: the query fails
                                 (ERROR_INVALID_PARAMETER, as for a device without
                                 iSerialNumber) */
    PDXSIM_SERIAL_STRING0 = 2 /* the serial equals the string at index 0 */
} PdxSimSerialKind;

typedef struct PdxSimDeviceDesc {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t version;
    int serial_kind;                    /* PdxSimSerialKind */
    uint16_t serial[PDXSIM_MAX_STRING]; /* UTF-16, serial_len units, no terminator needed */
    int serial_len;
    uint16_t string0[PDXSIM_MAX_STRING]; /* string at index 0 (language IDs) */
    int string0_len;                     /* default 1: {0x0409} */
    int interface_count;                 /* default 2 */
    PdxSimInterfaceDesc iface[PDXSIM_MAX_INTERFACES];
    int chip_model; /* non-zero (default): the chip model answers
                       writes (see Chip model) */
} PdxSimDeviceDesc;

typedef struct PdxSimIfaceRef {
    int device;
    int iface;
} PdxSimIfaceRef;

/* World-level faults. */
typedef struct PdxSimWorldFaults {
    int class_devs_fail;                   /* SetupDiGetClassDevsA returns INVALID_HANDLE_VALUE */
    uint32_t class_devs_error;             /* its last error (default ERROR_INVALID_PARAMETER when 0) */
    int enum_fail_index;                   /* >= 0: SetupDiEnumDeviceInterfaces returns FALSE at this
                                              member index (and after); -1 (default): no fault */
    uint32_t enum_fail_error;              /* the error of that FALSE (0: ERROR_NO_MORE_ITEMS) */
    int missing_library[PDXSIM_LIB_COUNT]; /* the library cannot be loaded
                                 (Linux: not registered; Windows: its DllMain refuses) */
    int missing_entry[PDXSIM_ENTRY_COUNT]; /* the library does not export this entry
                                 point (Linux: left out of the module; Windows: the
                                 export's name is altered in place when the DLL loads) */
} PdxSimWorldFaults;

typedef struct PdxSimWorld {
    int device_count;
    PdxSimDeviceDesc device[PDXSIM_MAX_DEVICES];
    /* Global enumeration order of all present interfaces. order_count 0: device
       by device, interfaces in index order. Otherwise exactly these interfaces
       in this order (interfaces left out are not enumerated at all). */
    int order_count;
    PdxSimIfaceRef order[PDXSIM_MAX_DEVICES * PDXSIM_MAX_INTERFACES];
    PdxSimWorldFaults faults;
} PdxSimWorld;

/* Fills a device with the defaults: family vendor, product 0x2A11, version
   0x0100, serial "SIM00001"-style from `n` (8 hex digits of n+1, e.g. n=0 ->
   "00000001"), string 0 {0x0409}, two interfaces: interface 0 pipe 0
   (input 5, output 5, feature 0, usage page 0xFF00, usage 1), interface 1
   pipe 1 (input 65, output 65, feature 0, usage page 0xFF00, usage 2), chip
   model on. */
PDXSIM_API void pdxsim_device_default(PdxSimDeviceDesc* dev, int n);
/* Fills a world of `devices` default devices (n = 0..devices-1), default
   order, no faults. */
PDXSIM_API void pdxsim_world_default(PdxSimWorld* world, int devices);
/* Sets a device's serial from ASCII (kind PDXSIM_SERIAL_STRING); NULL sets
   PDXSIM_SERIAL_NONE. */
PDXSIM_API void pdxsim_set_serial(PdxSimDeviceDesc* dev, const char* ascii);

/* Order presets, written into world->order. */
typedef enum PdxSimOrder {
    PDXSIM_ORDER_DEVICE_BY_DEVICE = 0,    /* d0i0 d0i1 d1i0 d1i1 ... */
    PDXSIM_ORDER_INTERLEAVED = 1,         /* d0i0 d1i0 ... d0i1 d1i1 ... */
    PDXSIM_ORDER_REVERSED_INTERFACES = 2, /* per device, highest interface first
                                          (pipe-1 interface first) */
    PDXSIM_ORDER_REVERSED = 3             /* the default order backwards */
} PdxSimOrder;
PDXSIM_API void pdxsim_world_set_order(PdxSimWorld* world, PdxSimOrder order);

/* Text form of a world, for tools. Clauses separated by commas, words by
   blanks; case does not matter; numbers decimal or 0x-hex.
     N device[s]                N family devices with defaults (first clause)
     product P [and P ...]      product ID of each family device (the last one
                                given repeats for the rest)
     version V [and V ...]      version number, same rule
     serial[s] S [and S ...]    S: an ASCII serial, "none" (no serial string),
                                "fail" (query fails) or "string0" (equal to
                                the string at index 0); same rule
     N foreign [device[s]] [vendor V] [product P]
                                N more devices appended, default vendor 0x1F3A
                                with product 0x2A12 (another product)
     order device|interleaved|reversed-interfaces|reversed
   Example: "2 devices, product 0x2A11, serials A1B2C3D4 and none, 1 foreign
   vendor 0x046D product 0xC52B, order interleaved".
   Returns 1 on success; on failure 0 and a message in `error` (may be NULL). */
PDXSIM_API int pdxsim_parse_world(const char* text, PdxSimWorld* world, char* error, size_t error_size);

/* ---- Installing ------------------------------------------------------------- */

/* Installs a world, replacing the previous one (whose open handles then see
   their device gone) and resetting counters, records, captures and faults to
   the world's. Starts the service thread. Returns 1 on success. */
PDXSIM_API int pdxsim_install(const PdxSimWorld* world);
/* Removes the world: every device is unplugged, the service thread stops,
   the modules/path handler stay registered but answer an empty world. */
PDXSIM_API void pdxsim_uninstall(void);
/* Copy of the installed world description (faults as currently set). */
PDXSIM_API int pdxsim_get_world(PdxSimWorld* out);

/* Changes faults of an installed world at run time. */
PDXSIM_API void pdxsim_set_interface_faults(int device, int iface, const PdxSimInterfaceFaults* faults);
PDXSIM_API void pdxsim_set_world_faults(const PdxSimWorldFaults* faults);

/* DevInst of an interface's own node, of its parent node and of the USB
   device node (CM_Get_Parent twice from the interface node). */
PDXSIM_API uint32_t pdxsim_interface_devinst(int device, int iface);
PDXSIM_API uint32_t pdxsim_interface_parent_devinst(int device, int iface);
PDXSIM_API uint32_t pdxsim_device_devinst(int device);
/* The device path of an interface ("" when out of range). The pointer stays
   valid until the next install. */
PDXSIM_API const char* pdxsim_device_path(int device, int iface);

/* ---- Counters and records --------------------------------------------------- */

typedef struct PdxSimCounters {
    uint32_t loads[PDXSIM_LIB_COUNT]; /* successful loads (reference 0 -> 1) */
    uint32_t frees[PDXSIM_LIB_COUNT]; /* unloads (reference 1 -> 0) */
    uint32_t refused_loads[PDXSIM_LIB_COUNT];
    uint32_t calls[PDXSIM_ENTRY_COUNT]; /* calls per entry point */
    int32_t live_sets;                  /* device-information sets not destroyed */
    int32_t live_preparsed;             /* preparsed data not freed */
    uint32_t opens;                     /* successful CreateFileA on device paths */
    uint32_t refused_opens;             /* CreateFileA on device paths refused (Linux) */
} PdxSimCounters;

PDXSIM_API void pdxsim_get_counters(PdxSimCounters* out);
/* Zeroes counters and records (not the live_* balances, not open handles). */
PDXSIM_API void pdxsim_reset_counters(void);

/* What callers passed (the latest value seen; 0 before any call). */
typedef struct PdxSimRecord {
    uint32_t class_devs_flags;      /* Flags of SetupDiGetClassDevsA */
    int class_devs_guid_is_hid;     /* the GUID passed was the HID class GUID */
    int class_devs_enumerator_null; /* Enumerator argument was NULL */
    uint32_t interface_data_cbsize; /* SP_DEVICE_INTERFACE_DATA.cbSize at enumeration */
    uint32_t detail_cbsize;         /* SP_DEVICE_INTERFACE_DETAIL_DATA_A.cbSize at fill */
    uint32_t devinfo_cbsize;        /* SP_DEVINFO_DATA.cbSize at the detail query */
    uint32_t attributes_size;       /* HIDD_ATTRIBUTES.Size at HidD_GetAttributes */
    uint32_t serial_buffer_len;     /* length argument of HidD_GetSerialNumberString */
    uint32_t indexed_buffer_len;    /* length argument of HidD_GetIndexedString */
    uint32_t indexed_string_index;  /* index argument of HidD_GetIndexedString */
    uint32_t cm_parent_flags;       /* flags of CM_Get_Parent */
} PdxSimRecord;
PDXSIM_API void pdxsim_get_record(PdxSimRecord* out);

/* One CreateFileA on a device path (successful or refused), in call order. */
typedef struct PdxSimOpen {
    int device;
    int iface;
    uint32_t access; /* desired access (Windows: PDXSIM_ACCESS_UNKNOWN unless
                        the handle reached a hid.dll call, see below) */
    uint32_t share;  /* Windows: PDXSIM_ACCESS_UNKNOWN */
    uint32_t flags;  /* flags and attributes (Windows: PDXSIM_ACCESS_UNKNOWN) */
    int succeeded;
    int still_open;         /* the handle has not been closed yet */
    uint32_t input_buffers; /* last HidD_SetNumInputBuffers accepted on it; 0 never */
} PdxSimOpen;
#define PDXSIM_ACCESS_UNKNOWN 0xFFFFFFFFu
/* Copies up to `max` opens starting at `first` into out; returns how many
   opens have been recorded in total (the log keeps the latest 1024). */
PDXSIM_API uint32_t pdxsim_get_opens(uint32_t first, PdxSimOpen* out, uint32_t max);

/* Per-handle records, by the handle value the caller holds: the count of
   input buffers last accepted by HidD_SetNumInputBuffers (0: never set; the
   handle then has the default of 32), and the handle's granted access as the
   simulator saw it (Windows: from the handle itself; Linux: the access passed
   to CreateFileA), PDXSIM_ACCESS_UNKNOWN when the handle is not a device
   handle of the simulator. */
PDXSIM_API uint32_t pdxsim_handle_input_buffers(void* handle);
PDXSIM_API uint32_t pdxsim_handle_access(void* handle);

/* Open handles of an interface right now (any access / with read access).
   Linux: exact at the time of the call (a closed host handle is seen at
   once). Windows: connected pipe clients, read access unknown (both counts
   equal). */
PDXSIM_API uint32_t pdxsim_open_handles(int device, int iface);
PDXSIM_API uint32_t pdxsim_open_read_handles(int device, int iface);
/* Waits until the interface has exactly `count` open handles (read_only:
   counting only those with read access). Returns 1, or 0 on timeout. */
PDXSIM_API int pdxsim_wait_open_handles(int device, int iface, uint32_t count, int read_only, uint32_t timeout_ms);

/* ---- Device side ------------------------------------------------------------ */

/* Delivers one input report to every handle of the interface opened with read
   access, synchronously in the caller's thread. Each handle has its own
   bounded buffer; a report that does not fit is dropped for that handle (the
   newest is dropped, as hidraw does). Returns the number of handles reached
   (0 when the interface is unplugged or nobody reads). Linux: the buffer is
   the channel's socket buffer, sized for at least 128 reports of 65 bytes.
   Windows: the pipe's buffer (128 reports of 65 bytes); a handle whose buffer
   is full gets none. The server end cannot see a handle's access, so every
   connected handle counts as reading, write-only ones included. */
PDXSIM_API int pdxsim_send_report(int device, int iface, const void* bytes, uint32_t len);
/* Completes the oldest pending read of every read handle with `error` and 0
   bytes (Linux only; Windows: returns 0, impossible with pipes). */
PDXSIM_API int pdxsim_send_read_error(int device, int iface, uint32_t error);

/* Captured writes (output reports), numbered from 0 since install or the last
   clear. The log keeps the latest 4096. */
typedef struct PdxSimWrite {
    uint8_t bytes[PDXSIM_MAX_REPORT];
    uint32_t len; /* bytes received (cut to PDXSIM_MAX_REPORT) */
    uint32_t index;
} PdxSimWrite;
PDXSIM_API uint32_t pdxsim_write_count(int device, int iface);
/* Waits until at least `count` writes have been captured. 1, or 0 on timeout. */
PDXSIM_API int pdxsim_wait_writes(int device, int iface, uint32_t count, uint32_t timeout_ms);
PDXSIM_API int pdxsim_get_write(int device, int iface, uint32_t index, PdxSimWrite* out);
PDXSIM_API void pdxsim_clear_writes(int device, int iface);

/* Answering writes. A responder runs in the service thread for every captured
   write of the interface, before the chip model; it returns the length of a
   reply written to `reply` (0: no reply, and the chip model may answer). A
   reply is delivered like pdxsim_send_report. */
typedef uint32_t (*PdxSimResponder)(void* ctx, int device, int iface, const uint8_t* write, uint32_t len,
                                    uint8_t* reply, uint32_t reply_capacity);
PDXSIM_API void pdxsim_set_responder(int device, int iface, PdxSimResponder fn, void* ctx);
/* A canned reply sent for every write (len 0 removes it). */
PDXSIM_API void pdxsim_set_canned_reply(int device, int iface, const void* bytes, uint32_t len);

/* Write-completion faults, for the next `count` writes of the interface
   (count 0 removes the fault). Linux only (the acknowledgement is the
   simulator's); on Windows the functions return 0 and change nothing. The
   write is captured in every case. */
PDXSIM_API int pdxsim_fail_writes(int device, int iface, uint32_t count, uint32_t error);
PDXSIM_API int pdxsim_zero_writes(int device, int iface, uint32_t count);
/* Successful completions that report one byte fewer than was written (at
   least 1). */
PDXSIM_API int pdxsim_short_writes(int device, int iface, uint32_t count);
/* Holding: acknowledgements of writes are withheld until released. Linux:
   exact, per write. Windows: the pipe is not read while held (a host write
   completes only when read), so writes stay pending; releasing is possible
   only by ending the hold, which releases all, and pdxsim_held_writes counts
   handles with a write waiting. */
PDXSIM_API int pdxsim_hold_writes(int device, int iface, int hold);
/* Releases the held acknowledgements (all when count is 0), oldest first,
   with success; returns how many were released. */
PDXSIM_API uint32_t pdxsim_release_writes(int device, int iface, uint32_t count);
/* Writes captured but whose acknowledgement is held. */
PDXSIM_API uint32_t pdxsim_held_writes(int device, int iface);

/* Unplugging. iface -1: every interface of the device. Open handles see the
   device gone: Linux: pending and later reads and writes fail with
   ERROR_DEVICE_NOT_CONNECTED; Windows: the pipe is disconnected, so reads
   and writes fail with ERROR_PIPE_NOT_CONNECTED (233) or ERROR_BROKEN_PIPE
   (109) as Wine reports them. Unplugged interfaces are not enumerated and
   cannot be opened (ERROR_FILE_NOT_FOUND). Plugging back makes them present
   again (new handles only). */
PDXSIM_API void pdxsim_unplug(int device, int iface);
PDXSIM_API void pdxsim_plug(int device, int iface);

/* ---- Chip model ------------------------------------------------------------- */
/* A chip (device with chip_model set) has 32 I/O pins. Its pipe-0 interface
   is the one with output_len < 8, its pipe-1 interface the one with
   output_len >= 8.
   - A write on pipe 0 (report id 0 + 4 bytes, little-endian) sets the output
     latches: the pin state becomes that value and the chip answers with an
     input report of the new state (report id 0 + 4 bytes).
   - Whenever the pin state changes by input, the chip sends a 5-byte input
     report on pipe 0.
   - A write on pipe 1 (report id 0, command byte, arguments) is answered with
     one input report of the interface's input length:
       0x01 echo:     the written bytes, zero-padded
       0x02 identify: {0, 0x02, vid lo, vid hi, pid lo, pid hi, ver lo, ver hi,
                       'P','D','X','S','I','M', serial as ASCII...}
       0x03 pins:     {0, 0x03, pin state LE (4 bytes)}
       other:         {0, 0xFF, command}
*/
#define PDXSIM_CMD_ECHO 0x01
#define PDXSIM_CMD_IDENTIFY 0x02
#define PDXSIM_CMD_PINS 0x03
#define PDXSIM_CMD_UNKNOWN_REPLY 0xFF

PDXSIM_API uint32_t pdxsim_chip_pins(int device);
/* Drives the inputs: sets the pin state and, if it changed, sends the report.
   Returns the number of handles reached (0 when unchanged). */
PDXSIM_API int pdxsim_chip_set_pins(int device, uint32_t value);

/* Generators, paced by absolute deadlines in the service thread (rate up to
   tens of thousands of reports per second). At most one runs per device;
   starting one stops the previous. `count` 0 runs until stopped. */
typedef struct PdxSimScriptStep {
    uint32_t delay_us; /* after the previous step */
    uint32_t value;    /* pin state to set */
} PdxSimScriptStep;
/* Counter: the pin value of report k is start + k (sequence numbers, for loss
   checks); a report is sent for every value even if equal. */
PDXSIM_API int pdxsim_chip_start_counter(int device, uint32_t rate_hz, uint32_t start, uint32_t count);
/* Random walk: every tick one random pin flips. */
PDXSIM_API int pdxsim_chip_start_random(int device, uint32_t rate_hz, uint32_t seed, uint32_t count);
/* Script: the steps once, in order (copied). */
PDXSIM_API int pdxsim_chip_run_script(int device, const PdxSimScriptStep* steps, uint32_t step_count);
PDXSIM_API void pdxsim_chip_stop(int device);
/* Reports the generator has sent (reaching any handle or not), and whether it
   is still running. */
PDXSIM_API uint32_t pdxsim_chip_generated(int device);
PDXSIM_API int pdxsim_chip_running(int device);
/* Waits until the generator has finished (count reached or script done). */
PDXSIM_API int pdxsim_chip_wait_done(int device, uint32_t timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
