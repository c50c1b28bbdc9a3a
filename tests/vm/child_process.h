// What the programs that run inside the test VM share: a child process
// (the chip firmware, the tool, a JVM) driven through its standard input
// and output, and the wait for the kernel's hidraw nodes.
#ifndef PDXKIT_TESTS_VM_CHILD_PROCESS_H
#define PDXKIT_TESTS_VM_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
// Generous: the VM runs under emulation on a shared machine.
const auto kEventWait = std::chrono::seconds(60);

// A child process with its standard input and output on pipes; a thread
// collects its output lines.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv);
    // Standard input closes (the chips unplug and end); a child still
    // running after that is killed.
    ~Child();
    void Kill();
    // False when the line could not be written whole.
    bool Send(const std::string& line);
    // Takes lines up to the first that contains `text`; "" when none came
    // in time or the output ended.
    std::string Expect(const std::string& text, Clock::duration wait = kEventWait);
    std::string Seen();
    bool WaitExit(Clock::duration wait);
    int ExitCode() const;

private:
    void Collect(int fd);

    pid_t pid_ = -1;
    int in_ = -1;
    int status_ = 0;
    bool exited_ = false;
    std::thread collector_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::string seen_;
    bool ended_ = false;
};

// The hidraw nodes the kernel shows in full, or -1 while one is half-made
// or half-gone.
int CountHidraw();
// Waits until the kernel shows `count` hidraw nodes (USB enumeration and
// driver binding run after the gadget is bound).
bool WaitForHidraw(int count);

#endif
