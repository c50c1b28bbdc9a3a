#include "child_process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

Child::Child(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);  // Kill() ends whatever the child started too
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid_, pid_);  // both sides, whichever runs first
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    collector_ = std::thread([this, fd = out[0]] { Collect(fd); });
}

Child::~Child() {
    close(in_);
    if (!WaitExit(std::chrono::seconds(30))) Kill();
    collector_.join();
}

void Child::Kill() {
    if (exited_) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
}

bool Child::Send(const std::string& line) {
    std::string l = line + "\n";
    return write(in_, l.data(), l.size()) == (ssize_t)l.size();
}

std::string Child::Expect(const std::string& text, Clock::duration wait) {
    std::unique_lock<std::mutex> lk(lock_);
    auto deadline = Clock::now() + wait;
    for (;;) {
        while (!lines_.empty()) {
            std::string l = lines_.front();
            lines_.pop_front();
            seen_ += l + "\n";
            if (l.find(text) != std::string::npos) return l;
        }
        if (ended_ || changed_.wait_until(lk, deadline) == std::cv_status::timeout) return "";
    }
}

std::string Child::Seen() {
    std::lock_guard<std::mutex> lk(lock_);
    return seen_;
}

bool Child::WaitExit(Clock::duration wait) {
    auto deadline = Clock::now() + wait;
    while (!exited_ && Clock::now() < deadline) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            exited_ = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exited_;
}

int Child::ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

void Child::Collect(int fd) {
    std::string part;
    char b[512];
    ssize_t n;
    while ((n = read(fd, b, sizeof b)) > 0) {
        std::lock_guard<std::mutex> lk(lock_);
        part.append(b, n);
        size_t nl;
        while ((nl = part.find('\n')) != std::string::npos) {
            lines_.push_back(part.substr(0, nl));
            part.erase(0, nl + 1);
        }
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lk(lock_);
    if (!part.empty()) lines_.push_back(part);
    ended_ = true;
    changed_.notify_all();
}

// A node counts once both its sysfs entry and its /dev node exist. The
// kernel makes the sysfs entry first and the /dev node after it, and removes
// them the other way round, so a node half-made or half-gone counts as a
// difference, not as a node: a test that goes on at once would open a
// device the library cannot see yet.
int CountHidraw() {
    int n = 0;
    for (int i = 0; i < 64; i++) {
        bool in_sysfs = access(("/sys/class/hidraw/hidraw" + std::to_string(i)).c_str(), F_OK) == 0;
        bool in_dev = access(("/dev/hidraw" + std::to_string(i)).c_str(), F_OK) == 0;
        if (in_sysfs && in_dev)
            n++;
        else if (in_sysfs || in_dev)
            return -1;
    }
    return n;
}

bool WaitForHidraw(int count) {
    auto deadline = Clock::now() + kEventWait;
    while (CountHidraw() != count) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}
