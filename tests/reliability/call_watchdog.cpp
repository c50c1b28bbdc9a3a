#include "call_watchdog.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>

static int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CallWatchdog::CallWatchdog(int workers, std::vector<std::string> kinds)
    : kinds_(std::move(kinds)), slots_(new Slot[workers]), workers_(workers), stats_(new Stats[kinds_.size()]) {
    watcher_ = std::thread([this] { Watch(); });
}

CallWatchdog::~CallWatchdog() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    stop_cv_.notify_all();
    watcher_.join();
}

void CallWatchdog::Begin(int worker, int kind, int device, int64_t bound_ms) {
    Slot& slot = slots_[worker];
    slot.kind.store(kind, std::memory_order_relaxed);
    slot.device.store(device, std::memory_order_relaxed);
    slot.bound_ms.store(bound_ms, std::memory_order_relaxed);
    slot.started_us.store(NowMicros(), std::memory_order_release);
}

void CallWatchdog::End(int worker) {
    Slot& slot = slots_[worker];
    const int64_t took = NowMicros() - slot.started_us.load(std::memory_order_relaxed);
    slot.started_us.store(0, std::memory_order_release);
    Stats& stats = stats_[slot.kind.load(std::memory_order_relaxed)];
    stats.calls.fetch_add(1, std::memory_order_relaxed);
    int64_t seen = stats.max_us.load(std::memory_order_relaxed);
    while (took > seen && !stats.max_us.compare_exchange_weak(seen, took, std::memory_order_relaxed)) {}
}

void CallWatchdog::Watch() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_cv_.wait_for(hold, std::chrono::milliseconds(100), [this] { return stop_; })) {
        const int64_t now = NowMicros();
        for (int w = 0; w < workers_; ++w) {
            const Slot& slot = slots_[w];
            const int64_t started = slot.started_us.load(std::memory_order_acquire);
            if (started == 0) continue;
            const int64_t bound_ms = slot.bound_ms.load(std::memory_order_relaxed);
            if (now - started <= bound_ms * 1000) continue;
            fprintf(stderr, "STUCK: %s on device %d (worker %d) has run %lld ms, bound %lld ms\n",
                    kinds_[slot.kind.load()].c_str(), slot.device.load(), w,
                    static_cast<long long>((now - started) / 1000), static_cast<long long>(bound_ms));
            fflush(stderr);
            abort();
        }
    }
}
