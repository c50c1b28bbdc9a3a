// The library on a real kernel's USB and HID stack (run inside the test VM
// by guest.sh): two chips are USB gadgets on dummy_hcd driven by the chip
// firmware, and two foreign HID devices (uhid) sit beside them. The chips
// live for the whole run; the unplugging tests come last and replug.
#include "child_process.h"
#include "pdxkit.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint32_t kErrorTimeout = 1460;
const uint32_t kErrorInvalidParameter = 87;
const uint32_t kErrorDeviceNotConnected = 1167;

// A HID device of no USB controller, through /dev/uhid; present while open.
int CreateUhidDevice(uint16_t vendor, uint16_t product) {
    int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    const uint8_t rd[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF,
                          0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
    uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf((char*)ev.u.create2.name, sizeof ev.u.create2.name, "foreign %04x:%04x", vendor, product);
    ev.u.create2.rd_size = sizeof rd;
    ev.u.create2.bus = 0x03;  // BUS_USB
    ev.u.create2.vendor = vendor;
    ev.u.create2.product = product;
    memcpy(ev.u.create2.rd_data, rd, sizeof rd);
    if (write(fd, &ev, sizeof ev) != (ssize_t)sizeof ev) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string g_build;  // the build tree: bin/ holds the library's programs
std::string g_cache;  // a writable directory that outlives the VM

struct Chips {
    Child* a = nullptr;  // 0x2A10, serial A1B2C3D4, revision 0x0102
    Child* b = nullptr;  // 0x2A11, no serial, revision 0x0201
    int foreign[2] = {-1, -1};
};
Chips g_chips;

std::string ChipFirmware() { return g_build + "/bin/pdxchip"; }

class ChipEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // One chip binds its controller after the other: the kernel's HID
        // gadget function fills descriptor templates shared by every gadget
        // when it binds, so two binding at once can each get the other's
        // endpoint addresses, and the host then fails to configure one
        // ("config_ep_by_speed FAILED!", "can't set config #1").
        g_chips.a = new Child({ChipFirmware(), "--udc", "dummy_udc.0", "--name", "a", "--product", "0x2A10",
                               "--revision", "0x0102", "--serial", "A1B2C3D4"});
        ASSERT_EQ(g_chips.a->Expect("ready"), "ready") << g_chips.a->Seen();
        g_chips.b = new Child(
            {ChipFirmware(), "--udc", "dummy_udc.1", "--name", "b", "--product", "0x2A11", "--revision", "0x0201"});
        ASSERT_EQ(g_chips.b->Expect("ready"), "ready") << g_chips.b->Seen();
        g_chips.foreign[0] = CreateUhidDevice(0x1F3A, 0x2A12);  // the vendor's, not the family's
        g_chips.foreign[1] = CreateUhidDevice(0x046D, 0xC077);
        ASSERT_GE(g_chips.foreign[0], 0);
        ASSERT_GE(g_chips.foreign[1], 0);
        ASSERT_TRUE(WaitForHidraw(6)) << CountHidraw() << " hidraw nodes";
    }
    void TearDown() override {
        delete g_chips.a;
        delete g_chips.b;
        for (int fd : g_chips.foreign) close(fd);
    }
};

// Opens the chips and finds each by its product ID.
class RealStack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(PdxKitOpenDevice(), nullptr) << "error " << PdxKitGetLastError();
        ASSERT_EQ(PdxKitGetNumDevs(), 2u);
        for (uint32_t n = 1; n <= 2; n++) {
            PdxKitHandle h = PdxKitGetDeviceHandle(n);
            (PdxKitGetProductId(h) == 0x2A10 ? a_ : b_) = h;
        }
        ASSERT_NE(a_, nullptr);
        ASSERT_NE(b_, nullptr);
    }
    void TearDown() override { PdxKitCloseDevice(a_); }

    static uint32_t Pins(const uint8_t* r) { return r[1] | r[2] << 8 | r[3] << 16 | (uint32_t)r[4] << 24; }

    PdxKitHandle a_ = nullptr, b_ = nullptr;
};

TEST_F(RealStack, FindsTwoChipsWithTheirIdsSerialsAndRevisionsAmongForeignDevices) {
    uint16_t serial[9] = {0};
    EXPECT_EQ(PdxKitGetRevision(a_), 0x0102);
    EXPECT_EQ(PdxKitGetRevision(b_), 0x0201);
    ASSERT_TRUE(PdxKitGetSerialNumber(a_, serial));
    EXPECT_EQ(std::u16string((const char16_t*)serial), u"A1B2C3D4");
    EXPECT_FALSE(PdxKitGetSerialNumber(b_, serial));
    // Each device got both of its chip's interfaces: pipe 1 answers identify.
    for (PdxKitHandle h : {a_, b_}) {
        uint8_t ask[9] = {0, 0x02}, got[9] = {0};
        ASSERT_EQ(PdxKitWrite(h, 1, ask, sizeof ask), sizeof ask);
        ASSERT_EQ(PdxKitRead(h, 1, got, sizeof got), sizeof got);
        EXPECT_EQ(got[1], 0x02);
        EXPECT_EQ(got[4] | got[5] << 8, PdxKitGetProductId(h));
    }
    EXPECT_EQ(g_chips.a->Expect("out1"), "out1 0200000000000000");
    EXPECT_EQ(g_chips.b->Expect("out1"), "out1 0200000000000000");
}

TEST_F(RealStack, WritesArriveAsTheChipSeesThemOnBothPipes) {
    uint8_t latches[5] = {0, 0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(PdxKitWrite(a_, 0, latches, sizeof latches), sizeof latches);
    EXPECT_EQ(g_chips.a->Expect("out0"), "out0 11223344");
    uint8_t report[5] = {0};
    ASSERT_EQ(PdxKitRead(a_, 0, report, sizeof report), 5u);  // the chip's answer
    EXPECT_EQ(Pins(report), 0x44332211u);

    uint8_t echo[9] = {0, 0x01, 0xA0, 0x0A, 0x00, 0xFF, 0x0D, 0x0A, 0x55};
    ASSERT_EQ(PdxKitWrite(b_, 1, echo, sizeof echo), sizeof echo);
    EXPECT_EQ(g_chips.b->Expect("out1"), "out1 01a00a00ff0d0a55");
    uint8_t answer[9] = {0};
    ASSERT_EQ(PdxKitRead(b_, 1, answer, sizeof answer), sizeof answer);
    EXPECT_EQ(memcmp(answer, echo, sizeof echo), 0);
}

TEST_F(RealStack, PortReportsArriveInOrderEachOnce) {
    PdxKitSetTimeout(a_, 30000);
    ASSERT_TRUE(g_chips.a->Send("count 0x1000 60 100"));
    std::vector<uint32_t> got;
    uint8_t r[5];
    while (got.empty() || got.back() < 0x1000 + 59) {
        ASSERT_EQ(PdxKitRead(a_, 0, r, sizeof r), 5u) << "error " << PdxKitGetLastError();
        got.push_back(Pins(r));
    }
    ASSERT_EQ(g_chips.a->Expect("sent"), "sent 60");
    for (size_t i = 1; i < got.size(); i++) ASSERT_LT(got[i - 1], got[i]) << "at " << i;

    // A burst read back with the immediate read only: still in order, and
    // the last report is among them (the queue drops the oldest).
    ASSERT_TRUE(g_chips.b->Send("burst 0x2000 40"));
    ASSERT_EQ(g_chips.b->Expect("sent"), "sent 40");
    std::vector<uint32_t> taken;
    uint32_t v = 0;
    auto deadline = Clock::now() + kEventWait;
    while ((taken.empty() || taken.back() != 0x2000 + 39) && Clock::now() < deadline) {
        if (PdxKitReadImmediate(b_, &v))
            taken.push_back(v);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.back(), 0x2000u + 39);
    for (size_t i = 1; i < taken.size(); i++) ASSERT_LT(taken[i - 1], taken[i]) << "at " << i;
}

TEST_F(RealStack, ReadsTimeOutWhenTheChipSendsNothing) {
    ASSERT_TRUE(PdxKitSetTimeout(a_, 200));
    uint8_t r[9];
    PdxKitSetLastError(0xBEEF);
    EXPECT_EQ(PdxKitRead(a_, 0, r, 5), 0u);
    EXPECT_EQ(PdxKitGetLastError(), kErrorTimeout);
    PdxKitSetLastError(0xBEEF);
    EXPECT_EQ(PdxKitRead(a_, 1, r, 9), 0u);
    EXPECT_EQ(PdxKitGetLastError(), 0xBEEFu);
}

TEST_F(RealStack, WritesOfAnotherLengthThanTheReportAreRefused) {
    uint8_t bytes[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    for (uint32_t len : {3u, 4u, 6u}) {
        PdxKitSetLastError(0);
        EXPECT_EQ(PdxKitWrite(a_, 0, bytes, len), 0u) << len;
        EXPECT_EQ(PdxKitGetLastError(), kErrorInvalidParameter) << len;
    }
    EXPECT_EQ(PdxKitWrite(a_, 1, bytes, 8), 0u);
    EXPECT_EQ(PdxKitGetLastError(), kErrorInvalidParameter);
    // Nothing of them reached the chip: the next report it sees is this one.
    uint8_t latches[5] = {0, 0xC3, 0, 0, 0};
    ASSERT_EQ(PdxKitWrite(a_, 0, latches, 5), 5u);
    EXPECT_EQ(g_chips.a->Expect("out"), "out0 c3000000");
}

TEST_F(RealStack, ToolListsAndWritesTheChips) {
    Child list({g_build + "/bin/pdxkit", "list", "--json"});
    std::string out;
    for (std::string l; !(l = list.Expect("", std::chrono::seconds(30))).empty();) out += l + "\n";
    ASSERT_TRUE(list.WaitExit(kEventWait));
    EXPECT_EQ(list.ExitCode(), 0) << out;
    EXPECT_NE(out.find("\"0x2A10\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"0x2A11\""), std::string::npos) << out;
    EXPECT_NE(out.find("A1B2C3D4"), std::string::npos) << out;

    Child write({g_build + "/bin/pdxkit", "write", "-p", "1", "00", "03", "00", "00", "00", "00", "00", "00", "00",
                 "--read-back", "5000", "-n", "9", "--json"});
    ASSERT_TRUE(write.WaitExit(kEventWait));
    EXPECT_EQ(write.ExitCode(), 0) << write.Seen();
    // Device 1 is either chip: the request reached one of them.
    std::string seen;
    for (auto deadline = Clock::now() + kEventWait; seen.empty() && Clock::now() < deadline;)
        for (Child* chip : {g_chips.a, g_chips.b})
            if (seen.empty()) seen = chip->Expect("out1 03", std::chrono::milliseconds(200));
    EXPECT_EQ(seen, "out1 0300000000000000");
}

TEST_F(RealStack, JavaExampleListsAndWatchesTheChips) {
    Child java({"/usr/lib/jvm/java-17-openjdk-amd64/bin/java", "-Djava.library.path=" + g_build + "/bin", "-cp",
                g_build + "/java/pdxkit.jar:" + g_build + "/java/examples", "ListAndWatch", "120"});
    ASSERT_FALSE(java.Expect("device 2:", std::chrono::seconds(180)).empty()) << java.Seen();
    std::string seen = java.Seen();
    EXPECT_NE(seen.find("product 0x2A10, revision 0x0102, serial \"A1B2C3D4\""), std::string::npos) << seen;
    EXPECT_NE(seen.find("product 0x2A11, revision 0x0201, serial \"\""), std::string::npos) << seen;
    ASSERT_TRUE(g_chips.b->Send("count 0x5A5A0001 3 20"));
    EXPECT_NE(java.Expect("-> 0x5A5A0003"), "") << java.Seen();
    java.Kill();
}

// Unplugging, last: each test replugs its chip before it ends.
class Unplugging : public RealStack {
protected:
    void Unplug(Child* chip) {
        ASSERT_TRUE(chip->Send("unplug"));
        ASSERT_EQ(chip->Expect("unplugged"), "unplugged") << chip->Seen();
        ASSERT_TRUE(WaitForHidraw(4)) << CountHidraw() << " hidraw nodes";
    }
    void Replug(Child* chip) {
        ASSERT_TRUE(chip->Send("replug"));
        ASSERT_EQ(chip->Expect("replugged"), "replugged") << chip->Seen();
        ASSERT_TRUE(WaitForHidraw(6)) << CountHidraw() << " hidraw nodes";
    }
    // Opening afresh finds `count` devices, chip A among them.
    void ExpectReopenFinds(uint32_t count) {
        PdxKitCloseDevice(nullptr);
        ASSERT_NE(PdxKitOpenDevice(), nullptr) << "error " << PdxKitGetLastError();
        ASSERT_EQ(PdxKitGetNumDevs(), count);
        bool found_a = false;
        for (uint32_t n = 1; n <= count; n++) found_a |= PdxKitGetProductId(PdxKitGetDeviceHandle(n)) == 0x2A10;
        EXPECT_TRUE(found_a);
    }
    void UnplugUnderLoad(uint32_t timeout);
};

TEST_F(Unplugging, AnIdleChipGoesAndComesBack) {
    Unplug(g_chips.b);
    uint8_t latches[5] = {0, 1, 2, 3, 4};
    EXPECT_EQ(PdxKitWrite(b_, 0, latches, sizeof latches), 0u);
    ExpectReopenFinds(1);
    Replug(g_chips.b);
    ExpectReopenFinds(2);
}

// Readers blocked on both pipes and a writer while the chip goes (the chip
// answers nothing meanwhile, so the readers stay blocked): every call
// returns, later reads return at once, chip A is untouched.
void Unplugging::UnplugUnderLoad(uint32_t timeout) {
    ASSERT_TRUE(PdxKitSetTimeout(b_, timeout));
    ASSERT_TRUE(g_chips.b->Send("mute"));
    ASSERT_EQ(g_chips.b->Expect("muted"), "muted");
    struct Call {
        std::thread thread;
        std::atomic<bool> done{false};
        uint32_t result = 0xFFFF, error = 0;
    } port, special, writer;
    PdxKitHandle b = b_;
    port.thread = std::thread([&] {
        uint8_t r[5];
        port.result = PdxKitRead(b, 0, r, sizeof r);
        port.error = PdxKitGetLastError();
        port.done = true;
    });
    special.thread = std::thread([&] {
        uint8_t r[9];
        special.result = PdxKitRead(b, 1, r, sizeof r);
        special.done = true;
    });
    writer.thread = std::thread([&] {
        uint8_t echo[9] = {0, 0x01};
        while ((writer.result = PdxKitWrite(b, 1, echo, sizeof echo)) == sizeof echo) {}
        writer.error = PdxKitGetLastError();
        writer.done = true;
    });
    ASSERT_NE(g_chips.b->Expect("out1 01"), "");  // the writer is under way
    Unplug(g_chips.b);
    auto deadline = Clock::now() + kEventWait;
    while (!(port.done && special.done && writer.done) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!(port.done && special.done && writer.done)) {
        // Left blocked: the process cannot go on sanely.
        printf("a call stayed blocked after the unplug: port %d, pipe 1 %d, writer %d\n", (int)port.done,
               (int)special.done, (int)writer.done);
        fflush(stdout);
        _exit(1);
    }
    for (Call* c : {&port, &special, &writer}) c->thread.join();
    EXPECT_EQ(port.result, 0u);
    EXPECT_EQ(port.error, kErrorDeviceNotConnected);
    EXPECT_EQ(special.result, 0u);
    EXPECT_EQ(writer.result, 0u);
    EXPECT_EQ(writer.error, kErrorDeviceNotConnected);
    uint8_t r[5];
    PdxKitSetLastError(0);
    EXPECT_EQ(PdxKitRead(b_, 0, r, sizeof r), 0u);
    EXPECT_EQ(PdxKitGetLastError(), kErrorDeviceNotConnected);
    uint8_t latches[5] = {0, 0xA5, 0, 0, 0};
    EXPECT_EQ(PdxKitWrite(a_, 0, latches, sizeof latches), 5u);
    EXPECT_EQ(g_chips.a->Expect("out0"), "out0 a5000000");
    ExpectReopenFinds(1);
    ASSERT_TRUE(g_chips.b->Send("unmute"));
    ASSERT_EQ(g_chips.b->Expect("unmuted"), "unmuted");
    Replug(g_chips.b);
    ExpectReopenFinds(2);
}

TEST_F(Unplugging, BlockedCallsWithInfiniteTimeoutsReturnWhenTheChipGoes) { UnplugUnderLoad(PDXKIT_INFINITE); }

// Longer than the wait for the event: only the unplug can end the calls.
TEST_F(Unplugging, BlockedCallsWithFiniteTimeoutsReturnWhenTheChipGoes) { UnplugUnderLoad(300000); }

// The Windows DLL through Wine's own HID stack (winebus over hidraw), whose
// configuration manager cannot walk up to the USB device: the chip with a
// serial is still one device with both pipes. Chip B, without a serial,
// is unplugged meanwhile: nothing could group its interfaces there.
TEST_F(Unplugging, WineStackSeesTheChipAsOneDeviceWithBothPipes) {
    std::string tool = PDX_WINDOWS_BUILD_DIR "/bin/pdxkit.exe";
    ASSERT_EQ(access(tool.c_str(), R_OK), 0) << tool << " missing: build the Windows target (make build-win)";
    Unplug(g_chips.b);
    std::string wine = PDX_WINE_RUN;
    Child list({wine, g_cache, tool, "list", "--json"});
    std::string out;
    for (std::string l; !(l = list.Expect("", std::chrono::seconds(240))).empty();) out += l + "\n";
    ASSERT_TRUE(list.WaitExit(kEventWait));
    EXPECT_EQ(list.ExitCode(), 0) << out;
    EXPECT_NE(out.find("\"product_id\": \"0x2A10\""), std::string::npos) << out;
    EXPECT_NE(out.find("A1B2C3D4"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"number\": 2"), std::string::npos) << "one chip, one device:\n" << out;

    Child identify({wine, g_cache, tool, "write", "-p", "1", "00", "02", "00", "00", "00", "00", "00", "00", "00",
                    "--read-back", "10000", "-n", "9"});
    EXPECT_EQ(g_chips.a->Expect("out1 02", std::chrono::seconds(300)), "out1 0200000000000000");
    ASSERT_TRUE(identify.WaitExit(std::chrono::seconds(120)));
    EXPECT_EQ(identify.ExitCode(), 0) << identify.Seen();
    Replug(g_chips.b);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: pdx_real_stack <build dir> <cache dir>\n");
        return 2;
    }
    g_build = argv[1];
    g_cache = argv[2];
    ::testing::AddGlobalTestEnvironment(new ChipEnvironment);
    return RUN_ALL_TESTS();
}
