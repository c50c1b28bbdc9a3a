// Fixture of the tests that run the Linux HID stack on a fake sysfs: a test
// bed per test (each test is a process of its own) and the provider
// installed as the runtime's default.
#ifndef PDX_TESTS_LINUX_HID_STACK_FIXTURE_H
#define PDX_TESTS_LINUX_HID_STACK_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "linux_hid_stack.h"

struct EnumeratedInterface {
    std::string path;
    DEVINST devinst;
};

class HidStackTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Every interface of a fresh device information set, in order.
    std::vector<EnumeratedInterface> Enumerate();
    // CreateFileA on a device path as discovery opens it for queries.
    HANDLE OpenForQueries(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE);

    FakeSysfs sysfs;
};

#endif
