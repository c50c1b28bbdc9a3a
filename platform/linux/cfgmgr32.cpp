// CM_Get_Parent over the sysfs device tree: the parent of a device node is
// the nearest directory above it that is itself a device.
#include "devnode_table.h"
#include "linux_hid_stack.h"
#include "sysfs_tree.h"

namespace {

const CONFIGRET kCrOutOfMemoryValue = 0x00000002u;

}  // namespace

extern "C" CONFIGRET WINAPI PdxLinux_CM_Get_Parent(PDEVINST parent, DEVINST devinst, ULONG flags) {
    if (!parent) return CR_INVALID_POINTER;
    *parent = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    char path[PDX_SYSFS_PATH_MAX];
    if (!pdx_devnode_path(devinst, path, sizeof(path))) return CR_INVALID_DEVNODE;
    // A node whose device has gone, and the top of the tree, have no parent.
    char above[PDX_SYSFS_PATH_MAX];
    if (!pdx_sysfs_is_device(path) || !pdx_sysfs_parent_device(path, above, sizeof(above))) return CR_NO_SUCH_DEVNODE;
    DEVINST found = pdx_devnode_for_path(above);
    if (!found) return kCrOutOfMemoryValue;
    *parent = found;
    return CR_SUCCESS;
}
