// Faults in the runtime's system calls: puts a wrapper in place of one entry
// of the runtime's system-call table (by name) that fails it with an errno,
// or cuts its transfer short, for chosen calls; and counts calls.
#ifndef PDXKIT_TESTS_RELIABILITY_SYSCALL_FAULTS_H
#define PDXKIT_TESTS_RELIABILITY_SYSCALL_FAULTS_H

#include <string>

// How the armed entry misbehaves. kShort transfers at most half of what it
// is asked (read, pread, write, pwrite only).
constexpr int kShort = 0;

struct SyscallFault {
    const char* name;  // entry of the table, e.g. "eventfd"
    int error;         // errno it fails with, or kShort
    unsigned skip;     // calls that go through first
    unsigned count;    // calls that then misbehave; 0: every later one
    int fd = -1;       // only calls on this descriptor (read/write family), -1: any
};

// Arms one fault (replacing any armed before) and zeroes the call count.
void ArmSyscallFault(const SyscallFault& fault);
// Restores every entry of the table.
void ClearSyscallFaults();
// Counts the calls of `name` from now on, without failing any.
void CountSyscall(const char* name);
// Calls of the armed or counted entry since it was armed, and how many of
// them misbehaved.
unsigned SyscallCalls();
unsigned SyscallFaultsHit();
std::string Describe(const SyscallFault& fault);

#endif
