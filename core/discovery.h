// Discovery: walks the present HID interfaces, keeps those of the family and
// groups them, by the USB device that owns them, into device records.
#ifndef PDXKIT_CORE_DISCOVERY_H
#define PDXKIT_CORE_DISCOVERY_H

#include "device_table.h"

enum : uint32_t {
    kVendorId = 0x1F3Au,
    kProductIdA = 0x2A10u,
    kProductIdB = 0x2A11u,
    kPipeOneOutputLength = 8,  // output reports this long or longer: pipe 1
    kDeviceSetFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
    kSerialBytes = 18,
    kIndexZeroBytes = 128
};

// True when at least one interface carried the family's IDs. Needs a reset
// table, a bound HID binding and the private heap.
BOOLEAN DiscoverDevices(void);

// A new interface detail from the private heap, or null; fills *devinfo.
SP_DEVICE_INTERFACE_DETAIL_DATA_A* GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                                      SP_DEVINFO_DATA* devinfo);

// True when the open interface belongs to the family; fills *attributes.
BOOLEAN MatchDeviceAttributes(HANDLE file, HIDD_ATTRIBUTES* attributes);

// The record of the USB device above this interface node (added when new),
// or null when it is new and the table is full. `file` is the interface
// opened for queries and `attributes` its IDs, for when the tree cannot be
// walked.
DeviceRecord* FindOrAddDevice(DEVINST interface_node, HANDLE file, const HIDD_ATTRIBUTES* attributes);

#endif
