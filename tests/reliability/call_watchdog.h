// Watches the calls of many worker threads: each worker announces a call
// (name, device, bound) before making it and clears it afterwards; a call
// still running past its bound is named on stderr and the process aborts,
// so a hang fails with the call that hung rather than a bare timeout.
// Also keeps per-call counts and the longest time each kind of call took.
#ifndef PDXKIT_TESTS_RELIABILITY_CALL_WATCHDOG_H
#define PDXKIT_TESTS_RELIABILITY_CALL_WATCHDOG_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CallWatchdog {
public:
    // `kinds`: the names of the kinds of call, indexed by kind.
    CallWatchdog(int workers, std::vector<std::string> kinds);
    ~CallWatchdog();

    void Begin(int worker, int kind, int device, int64_t bound_ms);
    void End(int worker);

    uint64_t Calls(int kind) const { return stats_[kind].calls.load(); }
    int64_t MaxMicros(int kind) const { return stats_[kind].max_us.load(); }
    const std::string& KindName(int kind) const { return kinds_[kind]; }
    int KindCount() const { return static_cast<int>(kinds_.size()); }

private:
    struct Slot {
        std::atomic<int64_t> started_us{0};  // 0: no call running
        std::atomic<int> kind{0};
        std::atomic<int> device{0};
        std::atomic<int64_t> bound_ms{0};
    };
    struct Stats {
        std::atomic<uint64_t> calls{0};
        std::atomic<int64_t> max_us{0};
    };
    void Watch();

    std::vector<std::string> kinds_;
    std::unique_ptr<Slot[]> slots_;
    int workers_;
    std::unique_ptr<Stats[]> stats_;
    std::mutex lock_;
    std::condition_variable stop_cv_;
    bool stop_ = false;
    std::thread watcher_;
};

// Announces one call for its scope.
class WatchedCall {
public:
    WatchedCall(CallWatchdog& dog, int worker, int kind, int device, int64_t bound_ms) : dog_(dog), worker_(worker) {
        dog_.Begin(worker, kind, device, bound_ms);
    }
    ~WatchedCall() { dog_.End(worker_); }

private:
    CallWatchdog& dog_;
    int worker_;
};

#endif
