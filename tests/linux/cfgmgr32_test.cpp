// CM_Get_Parent over the sysfs tree: an interface's node, two levels up, is
// the USB device that both interfaces of a chip share.
#include "hid_stack_fixture.h"
#include "report_descriptors.h"

namespace {

class ParentWalk : public HidStackTest {
protected:
    DEVINST Parent(DEVINST node) {
        DEVINST parent = 0xdeadbeef;
        EXPECT_EQ(CR_SUCCESS, PdxLinux_CM_Get_Parent(&parent, node, 0));
        return parent;
    }
};

TEST_F(ParentWalk, TwoLevelsUpIsTheSharedUsbDevice) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    sysfs.AddChip(2, 0x2A10, 0x0100, "B", 2, 3);
    std::vector<EnumeratedInterface> found = Enumerate();
    ASSERT_EQ(4u, found.size());
    DEVINST parents[4], keys[4];
    for (int i = 0; i < 4; i++) {
        parents[i] = Parent(found[i].devinst);
        keys[i] = Parent(parents[i]);
    }
    // Each interface has its own USB interface node ...
    EXPECT_NE(parents[0], parents[1]);
    EXPECT_NE(found[0].devinst, parents[0]);
    // ... and the two of one chip meet at its USB device.
    EXPECT_EQ(keys[0], keys[1]);
    EXPECT_EQ(keys[2], keys[3]);
    EXPECT_NE(keys[0], keys[2]);
}

TEST_F(ParentWalk, TheTopOfTheTreeHasNoParent) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    std::vector<EnumeratedInterface> found = Enumerate();
    ASSERT_EQ(2u, found.size());
    DEVINST usb_device = Parent(Parent(found[0].devinst));
    // Above the USB device the test bed has only directories without a
    // uevent (a real tree has the root hub and the controller): no device.
    DEVINST parent = 0xdeadbeef;
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, PdxLinux_CM_Get_Parent(&parent, usb_device, 0));
    EXPECT_EQ(0u, parent);
}

TEST_F(ParentWalk, ANodeWhoseDeviceWentAwayHasNoParent) {
    FakeHidInterface hid = {1, 0, 0, 0x1F3A, 0x2A10, 0x0003, {}, "A"};
    hid.descriptor = PortInterfaceDescriptor();
    sysfs.AddUsbDevice({1, 0x1F3A, 0x2A10, 0x0100, "A"});
    sysfs.AddHidInterface(hid);
    std::vector<EnumeratedInterface> found = Enumerate();
    ASSERT_EQ(1u, found.size());
    sysfs.Unplug(hid);
    DEVINST parent = 0xdeadbeef;
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, PdxLinux_CM_Get_Parent(&parent, found[0].devinst, 0));
    EXPECT_EQ(0u, parent);
}

TEST_F(ParentWalk, BadArguments) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    std::vector<EnumeratedInterface> found = Enumerate();
    ASSERT_EQ(2u, found.size());
    DEVINST parent = 0xdeadbeef;
    EXPECT_EQ(CR_INVALID_POINTER, PdxLinux_CM_Get_Parent(nullptr, found[0].devinst, 0));
    EXPECT_EQ(CR_INVALID_FLAG, PdxLinux_CM_Get_Parent(&parent, found[0].devinst, 1));
    EXPECT_EQ(0u, parent);
    EXPECT_EQ(CR_INVALID_DEVNODE, PdxLinux_CM_Get_Parent(&parent, 0, 0));
    EXPECT_EQ(CR_INVALID_DEVNODE, PdxLinux_CM_Get_Parent(&parent, 0x7FFFFFFF, 0));
}

}  // namespace
