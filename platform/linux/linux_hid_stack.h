// The Linux stand-ins for "hid.dll", "cfgmgr32.dll" and "setupapi.dll":
// the fourteen entry points that pdxkit binds, answered from /sys and
// /dev/hidrawN with the platform's signatures, results and last-error
// values. The runtime's module registry reaches them through
// pdx_linux_hid_module; the names carry a prefix so that they never clash
// with another provider (the simulator) linked into the same program.
//
// What maps to what:
//   device interface  one hidraw node; its path is "/dev/hidrawN"
//   DevInst of it     the HID device (.../0003:1F3A:2A10.0001); its parent
//                     is the USB interface, whose parent is the USB device
//                     that all interfaces of one chip share
//   attributes        HID_ID of the HID device, bcdDevice of the USB device
//   capabilities      the HID device's report descriptor, first top-level
//                     collection (Windows makes one interface per top-level
//                     collection; hidraw has one node for all of them)
//   serial number     HID_UNIQ, else the USB device's serial attribute
#ifndef PDX_LINUX_HID_STACK_H
#define PDX_LINUX_HID_STACK_H

#include "hid_entry_points.h"
#include "pdx_runtime.h"

#ifdef __cplusplus
extern "C" {
#endif

// The HID device-interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
extern const GUID kPdxLinuxHidInterfaceGuid;
// The "HIDClass" device setup class that HID device nodes belong to.
extern const GUID kPdxLinuxHidSetupClassGuid;

// The entry points, each as PdxLinux_<name> with the platform's signature.
#define PDX_LINUX_DECLARE(library, result, name, parameters, arguments) result WINAPI PdxLinux_##name parameters;
PDX_HID_ENTRY_POINTS(PDX_LINUX_DECLARE)
#undef PDX_LINUX_DECLARE

// Module definition for "hid.dll", "cfgmgr32.dll" or "setupapi.dll" (as the
// runtime normalises names: lower case with ".dll"); nullptr for any other
// name. A PdxRtModuleLookupFn. Its first call also registers the
// "/dev/hidraw" path handler, so that the device paths it reports open as
// hidraw files.
const PdxRtModuleDef* pdx_linux_hid_module(const char* name);

// Makes this backend the runtime's default provider of the three modules
// and registers its path handler. Idempotent.
void pdx_linux_hid_install(void);

#ifdef __cplusplus
}
#endif

#endif
