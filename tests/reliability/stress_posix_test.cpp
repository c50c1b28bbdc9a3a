// Sixteen chips streaming sequence-numbered port reports while several
// threads per device mix every operation: queued and direct reads, immediate
// reads, writes on both pipes, cancels and timeout changes. No report may
// reach two consumers, each consumer sees rising sequence numbers, every call
// returns within its timeout plus a margin (a watchdog names the call that
// does not), and everything comes back at the end.
//
// PDXKIT_STRESS_SECONDS sets the length of the run (`make soak`: 600).
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "call_watchdog.h"
#include "write_cancel.h"
#include "reliability_support.h"

namespace {

constexpr int kChips = 16;
constexpr uint32_t kRateHz = 1000;
constexpr int kWorkersPerChip = 3;
constexpr int kWorkers = kChips * kWorkersPerChip;
constexpr uint32_t kFirstSequence = 1;
// Pin values the workers write on pipe 0, which the chip reports back:
// told apart from the sequence numbers by their top bit.
constexpr uint32_t kWrittenTag = 0x80000000u;
// Sent after the generators stop: once it is read, all before it are gone.
constexpr uint32_t kMarker = 0x7FFFFFFFu;
const uint32_t kTimeouts[] = {0, 1, 5, 20, 50};
constexpr uint32_t kMaxTimeout = 50;
constexpr uint32_t kMaxReportsPerRead = 4;

enum CallKind {
    kQueuedRead,
    kDirectRead,
    kImmediateRead,
    kWritePipe0,
    kWritePipe1,
    kCancel,
    kSetTimeout,
    kSetWriteTimeout,
    kCallKinds
};

std::vector<std::string> CallNames() {
    return {"PdxKitRead(pipe 0)",  "PdxKitRead(pipe 1)", "PdxKitReadImmediate", "PdxKitWrite(pipe 0)",
            "PdxKitWrite(pipe 1)", "PdxKitCancelIo",     "PdxKitSetTimeout",    "PdxKitSetWriteTimeout"};
}

// What one call may take: its own waits at the longest timeout, plus the
// read lock held by the other readers of the device for theirs, plus slack.
int64_t BoundMs(CallKind kind) {
    switch (kind) {
    case kQueuedRead: return kWorkersPerChip * kMaxReportsPerRead * kMaxTimeout + kPromptMs;
    case kDirectRead: return kMaxTimeout + kPromptMs;
    case kWritePipe0:
    case kWritePipe1: return kMaxWriteAttempts * kMaxTimeout + kPromptMs;
    default: return kPromptMs;
    }
}

struct Consumer {
    int device = 0;
    std::vector<uint32_t> sequence;  // sequence numbers taken, in order
};

void Take(Consumer* consumer, uint32_t value) {
    if (value & kWrittenTag) return;  // a pin state written by a worker
    consumer->sequence.push_back(value);
}

class StressTest : public ReliabilityTest {};

// One worker: random operations on its device until told to stop.
void Work(CallWatchdog& dog, int worker, int device, uint32_t seed, const std::atomic<bool>& stop, Consumer* consumer,
          std::atomic<uint32_t>* failures) {
    PdxKitHandle handle = PdxKitGetDeviceHandle(device + 1);
    std::mt19937 random(seed);
    uint8_t buffer[65];
    uint32_t written = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        const int choice = static_cast<int>(random() % 100);
        bool idle = false;
        if (choice < 35) {
            const uint32_t reports = 1 + random() % kMaxReportsPerRead;
            uint32_t bytes;
            {
                WatchedCall call(dog, worker, kQueuedRead, device, BoundMs(kQueuedRead));
                bytes = PdxKitRead(handle, 0, buffer, reports * 5);
            }
            if (bytes % 5 != 0 || bytes > reports * 5) failures->fetch_add(1);
            for (uint32_t at = 0; at + 5 <= bytes; at += 5) Take(consumer, PinValue(buffer + at));
            idle = bytes == 0;
        } else if (choice < 55) {
            uint32_t value = 0;
            PdxKitBool taken;
            {
                WatchedCall call(dog, worker, kImmediateRead, device, BoundMs(kImmediateRead));
                taken = PdxKitReadImmediate(handle, &value);
            }
            if (taken) Take(consumer, value);
            idle = !taken;
        } else if (choice < 65) {
            uint32_t bytes;
            {
                WatchedCall call(dog, worker, kDirectRead, device, BoundMs(kDirectRead));
                bytes = PdxKitRead(handle, 1, buffer, sizeof(buffer));
            }
            // Every pipe-1 report here is the chip's echo of a pipe-1 write.
            if (bytes > sizeof(buffer) || (bytes == sizeof(buffer) && buffer[1] != PDXSIM_CMD_ECHO)) {
                failures->fetch_add(1);
            }
            idle = bytes == 0;
        } else if (choice < 75) {
            const uint32_t value = kWrittenTag | (static_cast<uint32_t>(worker) << 16) | (written++ & 0xFFFF);
            uint8_t report[5];
            PinReport(value, report);
            WatchedCall call(dog, worker, kWritePipe0, device, BoundMs(kWritePipe0));
            PdxKitWrite(handle, 0, report, sizeof(report));  // 0 on a timeout: allowed
        } else if (choice < 85) {
            uint8_t request[65] = {0, PDXSIM_CMD_ECHO, static_cast<uint8_t>(worker)};
            WatchedCall call(dog, worker, kWritePipe1, device, BoundMs(kWritePipe1));
            PdxKitWrite(handle, 1, request, sizeof(request));
        } else if (choice < 90) {
            WatchedCall call(dog, worker, kCancel, device, BoundMs(kCancel));
            if (!PdxKitCancelIo(handle, random() % 2)) failures->fetch_add(1);
        } else if (choice < 95) {
            WatchedCall call(dog, worker, kSetTimeout, device, BoundMs(kSetTimeout));
            if (!PdxKitSetTimeout(handle, kTimeouts[random() % 5])) failures->fetch_add(1);
        } else {
            WatchedCall call(dog, worker, kSetWriteTimeout, device, BoundMs(kSetWriteTimeout));
            if (!PdxKitSetWriteTimeout(handle, kTimeouts[random() % 5])) failures->fetch_add(1);
        }
        // Pacing, not synchronisation: a worker that found nothing lets the
        // readers and the generators have the processors for a moment.
        if (idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Writes the marker on pipe 0, then reads pipe 0 until the chip's echo of it
// comes; what it takes before is one more consumer. False when the marker
// never came. The marker goes the way the workers' writes went: a write that
// timed out in the library may still be on its way to the chip, and its echo
// must come before the marker's, not after. A chip drops a report its host
// has no room for, so a marker whose echo never came is written again.
bool DrainUntilMarker(int device, Consumer* drain) {
    PdxKitHandle handle = PdxKitGetDeviceHandle(device + 1);
    PdxKitSetTimeout(handle, kPromptMs);
    PdxKitSetWriteTimeout(handle, kPromptMs);
    uint8_t marker[5];
    PinReport(kMarker, marker);
    if (PdxKitWrite(handle, 0, marker, sizeof(marker)) != sizeof(marker)) return false;
    uint8_t report[5];
    for (int rewrites = 0;;) {
        if (PdxKitRead(handle, 0, report, sizeof(report)) != sizeof(report)) {
            if (++rewrites > 2 || PdxKitWrite(handle, 0, marker, sizeof(marker)) != sizeof(marker)) return false;
            continue;
        }
        const uint32_t value = PinValue(report);
        if (value == kMarker) return true;
        Take(drain, value);
    }
}

// One run of `seconds`, from open to close, with every check.
void RunStress(double seconds, bool print) {
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    ASSERT_EQ(static_cast<uint32_t>(kChips), PdxKitGetNumDevs());
    for (int d = 0; d < kChips; ++d) {
        PdxKitHandle handle = PdxKitGetDeviceHandle(d + 1);
        ASSERT_EQ(1, PdxKitSetTimeout(handle, kMaxTimeout));
        ASSERT_EQ(1, PdxKitSetWriteTimeout(handle, kMaxTimeout));
    }

    std::vector<Consumer> consumers(kWorkers);
    std::atomic<uint32_t> failures{0};
    std::atomic<bool> stop{false};
    {
        CallWatchdog dog(kWorkers, CallNames());
        for (int d = 0; d < kChips; ++d) ASSERT_EQ(1, pdxsim_chip_start_counter(d, kRateHz, kFirstSequence, 0));
        std::vector<std::thread> workers;
        for (int w = 0; w < kWorkers; ++w) {
            consumers[w].device = w % kChips;
            workers.emplace_back(Work, std::ref(dog), w, w % kChips, 0x5EED0000u + w, std::cref(stop), &consumers[w],
                                 &failures);
        }
        {
            // The run's length is the test's parameter, not a wait for an event.
            std::mutex idle;
            std::unique_lock<std::mutex> hold(idle);
            std::condition_variable never;
            never.wait_for(hold, std::chrono::duration<double>(seconds));
        }
        stop = true;
        for (std::thread& worker : workers) worker.join();

        if (print) printf("%.0f s, %d chips at %u reports/s, %d workers\n", seconds, kChips, kRateHz, kWorkers);
        for (int kind = 0; kind < dog.KindCount() && print; ++kind) {
            printf("  %-22s %10llu calls, longest %7.1f ms (bound %lld ms)\n", dog.KindName(kind).c_str(),
                   static_cast<unsigned long long>(dog.Calls(kind)), dog.MaxMicros(kind) / 1000.0,
                   static_cast<long long>(BoundMs(static_cast<CallKind>(kind))));
            EXPECT_GT(dog.Calls(kind), 0u) << dog.KindName(kind) << " was never called";
        }
    }
    EXPECT_EQ(0u, failures.load()) << "calls that returned what they may not";

    for (int d = 0; d < kChips; ++d) pdxsim_chip_stop(d);
    std::vector<Consumer> drains(kChips);
    for (int d = 0; d < kChips; ++d) {
        drains[d].device = d;
        ASSERT_TRUE(DrainUntilMarker(d, &drains[d])) << "device " << d << ": the marker never came";
        uint32_t pins = 0;
        EXPECT_EQ(0, PdxKitReadImmediate(PdxKitGetDeviceHandle(d + 1), &pins)) << "queue not empty after the marker";
        EXPECT_EQ(kMarker, pins);
    }

    uint64_t generated_total = 0;
    uint64_t seen_total = 0;
    for (int d = 0; d < kChips; ++d) {
        const uint32_t generated = pdxsim_chip_generated(d);
        std::vector<uint32_t> all;
        auto check = [&](const Consumer& consumer, const char* who, int index) {
            if (consumer.device != d) return;
            const std::vector<uint32_t>& s = consumer.sequence;
            for (size_t k = 1; k < s.size(); ++k) {
                EXPECT_LT(s[k - 1], s[k])
                    << "device " << d << ": " << who << " " << index << " took " << s[k - 1] << " before " << s[k];
            }
            all.insert(all.end(), s.begin(), s.end());
        };
        for (int w = 0; w < kWorkers; ++w) check(consumers[w], "worker", w);
        check(drains[d], "drain", d);
        std::sort(all.begin(), all.end());
        const auto twice = std::adjacent_find(all.begin(), all.end());
        EXPECT_TRUE(twice == all.end()) << "device " << d << ": report " << *twice << " reached two consumers";
        ASSERT_FALSE(all.empty()) << "device " << d << " delivered nothing";
        EXPECT_GE(all.front(), kFirstSequence);
        EXPECT_LT(all.back(), kFirstSequence + generated) << "device " << d << ": a report nobody sent";
        generated_total += generated;
        seen_total += all.size();
    }
    if (print)
        printf("  reports generated %llu, taken %llu, dropped %llu (%.2f%%)\n",
               static_cast<unsigned long long>(generated_total), static_cast<unsigned long long>(seen_total),
               static_cast<unsigned long long>(generated_total - seen_total),
               generated_total ? 100.0 * (generated_total - seen_total) / generated_total : 0.0);
    EXPECT_GT(seen_total, 0u);

    PdxKitCloseDevice(nullptr);
}

TEST_F(StressTest, SixteenStreamingChipsUnderMixedCalls) {
    const double seconds = EnvSeconds("PDXKIT_STRESS_SECONDS", kSanitized ? 3 : 4);
    std::unique_ptr<PdxSimWorld> world = MakeWorld(kChips);
    Install(*world);
    // A short first run sets up what stays for the process (this thread's
    // runtime state, allocator arenas of the worker threads).
    RunStress(0.5, false);
    if (HasFatalFailure()) return;
    ASSERT_EQ(1, pdxsim_install(world.get()));
    const Resources start = SettledResources();

    RunStress(seconds, true);
    if (HasFatalFailure()) return;

    // Installing afresh empties the simulator's logs of the run.
    ASSERT_EQ(1, pdxsim_install(world.get()));
    const Resources end = TakeResources();
    printf("  start: %s\n  end:   %s\n", Describe(start).c_str(), Describe(end).c_str());
    EXPECT_TRUE(SameResources(start, 64 * 1024));
}

// A consumer that keeps up loses nothing: the device never runs more than
// eight reports ahead of what the consumers have taken (so the queue can
// never overflow), and then every report reaches exactly one of them.
TEST_F(StressTest, ConsumersThatKeepUpLoseNothing) {
    constexpr uint32_t kReports = kSanitized ? 1000 : 4000;
    constexpr uint32_t kAhead = 7;  // after a send at most 8 are not yet taken
    Install(*MakeWorld(1));
    PdxKitHandle handle = PdxKitOpenDevice();
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(1, PdxKitSetTimeout(handle, 10));

    std::mutex lock;
    std::condition_variable taken_cv;
    uint32_t taken_total = 0;
    std::atomic<bool> done{false};
    std::vector<Consumer> consumers(3);
    auto took = [&](Consumer* consumer, const uint8_t* reports, uint32_t count) {
        std::lock_guard<std::mutex> hold(lock);
        for (uint32_t k = 0; k < count; ++k) consumer->sequence.push_back(PinValue(reports + 5 * k));
        taken_total += count;
        taken_cv.notify_all();
    };
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&, c] {
            uint8_t buffer[10];
            while (!done) {
                const uint32_t bytes = PdxKitRead(handle, 0, buffer, c == 0 ? 5 : 10);
                took(&consumers[c], buffer, bytes / 5);
            }
        });
    }
    threads.emplace_back([&] {
        while (!done) {
            uint32_t value = 0;
            if (PdxKitReadImmediate(handle, &value)) {
                uint8_t report[5];
                PinReport(value, report);
                took(&consumers[2], report, 1);
            } else {
                std::this_thread::yield();
            }
        }
    });

    for (uint32_t k = 1; k <= kReports; ++k) {
        {
            std::unique_lock<std::mutex> hold(lock);
            ASSERT_TRUE(taken_cv.wait_for(hold, std::chrono::milliseconds(kPromptMs),
                                          [&] { return (k - 1) - taken_total <= kAhead; }))
                << "report " << k - 1 << " was never taken";
        }
        ASSERT_EQ(1, SendPins(0, k));
    }
    {
        std::unique_lock<std::mutex> hold(lock);
        EXPECT_TRUE(
            taken_cv.wait_for(hold, std::chrono::milliseconds(kPromptMs), [&] { return taken_total == kReports; }))
            << taken_total << " of " << kReports << " taken";
    }
    done = true;
    for (std::thread& thread : threads) thread.join();

    std::vector<uint32_t> all;
    for (const Consumer& consumer : consumers) {
        EXPECT_TRUE(std::is_sorted(consumer.sequence.begin(), consumer.sequence.end()));
        all.insert(all.end(), consumer.sequence.begin(), consumer.sequence.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(kReports, all.size());
    for (uint32_t k = 0; k < kReports; ++k) ASSERT_EQ(k + 1, all[k]) << "report " << k + 1 << " lost or doubled";
}

}  // namespace
