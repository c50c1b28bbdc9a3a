// Contention in the runtime's lock-free paths: mutex acquire/release between
// competing threads, waiters that give up (timeout, APC) while a release is
// in flight, owners that end holding a mutex, handle lookups racing
// CloseHandle, per-thread call counters, and the two ways a waiting thread
// sleeps (futex for plain waits, ppoll for alertable ones). Every wait that
// could hang is bounded: a hang ends the program with a message naming what
// got stuck, instead of running into the ctest timeout.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pdx_runtime.h"
#include "raw_channel.h"

namespace {

const DWORD kBoundMs = 20000;
const auto kBound = std::chrono::milliseconds(kBoundMs);

[[noreturn]] void Stuck(const char* what) {
    fprintf(stderr, "STUCK: %s (no progress within %u ms)\n", what, (unsigned)kBoundMs);
    fflush(stderr);
    _Exit(3);
}

// A bounded wait on a runtime object; a timeout is a hang.
DWORD WaitOrStuck(HANDLE h, const char* what) {
    DWORD r = WaitForSingleObject(h, kBoundMs);
    if (r == WAIT_TIMEOUT) Stuck(what);
    return r;
}

// Threads whose end is awaited with a bound (std::thread::join has none).
class Crew {
public:
    ~Crew() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    void Run(std::function<void()> fn) {
        threads_.emplace_back([this, fn] {
            fn();
            std::lock_guard<std::mutex> g(lock_);
            finished_++;
            cv_.notify_all();
        });
    }
    void FinishWithin(const char* what) {
        std::unique_lock<std::mutex> g(lock_);
        size_t n = threads_.size();
        if (!cv_.wait_for(g, kBound, [&] { return finished_ == n; })) Stuck(what);
        g.unlock();
        for (auto& t : threads_) t.join();
        threads_.clear();
        finished_ = 0;
    }

private:
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable cv_;
    size_t finished_ = 0;
};

// Waits (without sleeping) until another thread has reached a point.
void SpinUntil(const std::function<bool()>& reached, const char* what) {
    auto until = std::chrono::steady_clock::now() + kBound;
    while (!reached()) {
        if (std::chrono::steady_clock::now() > until) Stuck(what);
        std::this_thread::yield();
    }
}

// State guarded by a runtime mutex. `counter` is deliberately plain: only the
// mutex orders access to it (ThreadSanitizer reports a missing order).
struct Guarded {
    HANDLE mutex = nullptr;
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> bad_results{0};
    std::atomic<int> bad_releases{0};

    void Work() {
        if (inside.fetch_add(1) != 0) overlaps++;
        counter++;
        inside.fetch_sub(1);
    }
    void Release() {
        if (!ReleaseMutex(mutex)) bad_releases++;
    }
};

enum TakeMode { kInfinite, kRecursive, kRetryShortTimeout, kRetryPoll, kAlertable };

// Takes the mutex (how deep: returned), or 0 after an unexpected result.
int Take(Guarded* g, TakeMode mode) {
    DWORD r = WAIT_FAILED;
    switch (mode) {
    case kInfinite: r = WaitForSingleObject(g->mutex, INFINITE); break;
    case kRecursive:
        r = WaitForSingleObject(g->mutex, INFINITE);
        if (r != WAIT_OBJECT_0) break;
        r = WaitForSingleObject(g->mutex, 0);
        if (r != WAIT_OBJECT_0) {
            g->Release();
            break;
        }
        return 2;
    case kRetryShortTimeout:
    case kRetryPoll:
        while ((r = WaitForSingleObject(g->mutex, mode == kRetryPoll ? 0 : 1)) == WAIT_TIMEOUT) {}
        break;
    case kAlertable: r = WaitForSingleObjectEx(g->mutex, INFINITE, TRUE); break;
    }
    if (r != WAIT_OBJECT_0) {
        g->bad_results++;
        return 0;
    }
    return 1;
}

void Hammer(const std::vector<TakeMode>& modes, int rounds) {
    Guarded g;
    g.mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(g.mutex, (HANDLE) nullptr);
    Crew crew;
    for (TakeMode mode : modes) {
        crew.Run([&g, mode, rounds] {
            for (int i = 0; i < rounds; i++) {
                int depth = Take(&g, mode);
                if (depth == 0) return;
                g.Work();
                while (depth-- > 0) g.Release();
            }
        });
    }
    crew.FinishWithin("threads competing for one mutex");
    EXPECT_EQ(g.overlaps.load(), 0) << "two threads inside the mutex at once";
    EXPECT_EQ(g.bad_results.load(), 0);
    EXPECT_EQ(g.bad_releases.load(), 0);
    EXPECT_EQ(g.counter, (long)modes.size() * rounds);
    // Free afterwards, and not abandoned: every owner released it.
    DWORD r = 0;
    std::thread([&] {
        r = WaitForSingleObject(g.mutex, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(g.mutex);
    }).join();
    EXPECT_EQ(r, WAIT_OBJECT_0);
    CloseHandle(g.mutex);
}

TEST(ContentionMutex, InfiniteWaitsExcludeEachOtherAndCountExactly) {
    Hammer({kInfinite, kInfinite, kInfinite, kInfinite}, 20000);
}

TEST(ContentionMutex, RecursiveTakesExcludeEachOtherAndCountExactly) {
    Hammer({kRecursive, kRecursive, kRecursive, kRecursive}, 20000);
}

TEST(ContentionMutex, MixedWaitKindsIncludingGivingUpExcludeEachOther) {
    Hammer({kInfinite, kRecursive, kRetryShortTimeout, kRetryPoll, kAlertable}, 10000);
}

TEST(ContentionMutex, ReleaseByNonOwnerFailsAndLeavesOwnerInPlace) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, (HANDLE) nullptr);
    BOOL ok = TRUE;
    DWORD err = 0, other_wait = 0;
    std::thread([&] {
        ok = ReleaseMutex(m);
        err = GetLastError();
        other_wait = WaitForSingleObject(m, 0);
    }).join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, ERROR_NOT_OWNER);
    EXPECT_EQ(other_wait, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    CloseHandle(m);
}

// While the mutex is held, finite waiters time out and infinite ones stay
// blocked; once released, every infinite waiter gets it in turn. Repeated on
// one mutex so leftovers of earlier rounds (a stale "has waiters" flag, a
// waiter left in the list) show up.
TEST(ContentionMutex, HeldMutexTimesOutFiniteWaitersAndServesInfiniteOnesAfterRelease) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(m, (HANDLE) nullptr);
    for (int round = 0; round < 20; round++) {
        ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        std::atomic<int> timed_out{0}, wrong{0}, served{0}, inside{0}, overlaps{0}, waiting{0};
        Crew finite, infinite;
        for (int i = 0; i < 3; i++) {
            finite.Run([&, i] {
                DWORD r = WaitForSingleObject(m, 5 + 10 * i);
                if (r == WAIT_TIMEOUT)
                    timed_out++;
                else
                    wrong++;
            });
        }
        for (int i = 0; i < 3; i++) {
            infinite.Run([&] {
                waiting++;
                DWORD r = WaitForSingleObject(m, INFINITE);
                if (r != WAIT_OBJECT_0) {
                    wrong++;
                    return;
                }
                if (inside.fetch_add(1) != 0) overlaps++;
                served++;
                inside.fetch_sub(1);
                if (!ReleaseMutex(m)) wrong++;
            });
        }
        finite.FinishWithin("finite waiters on a held mutex");
        EXPECT_EQ(timed_out.load(), 3) << "round " << round;
        SpinUntil([&] { return waiting.load() == 3; }, "infinite waiters starting");
        EXPECT_EQ(served.load(), 0) << "a waiter got a mutex that is still held";
        ASSERT_TRUE(ReleaseMutex(m));
        infinite.FinishWithin("infinite waiters after the release");
        EXPECT_EQ(served.load(), 3) << "round " << round;
        EXPECT_EQ(wrong.load(), 0) << "round " << round;
        EXPECT_EQ(overlaps.load(), 0);
    }
    CloseHandle(m);
}

// Waiters that time out just as the mutex is released (the woken one must
// not take the wake-up with it) while others wait without limit: nobody is
// stranded and the mutex ends free.
TEST(ContentionMutex, WaitersGivingUpDuringReleasesStrandNobody) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(m, (HANDLE) nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    Crew quitters, steady;
    for (int i = 0; i < 3; i++) {
        quitters.Run([&, i] {
            while (!stop.load()) {
                DWORD r = WaitForSingleObject(m, (DWORD)i);
                if (r == WAIT_OBJECT_0) {
                    if (!ReleaseMutex(m)) wrong++;
                } else if (r != WAIT_TIMEOUT) {
                    wrong++;
                }
            }
        });
    }
    for (int i = 0; i < 2; i++) {
        steady.Run([&, i] {
            for (int n = 0; n < 3000; n++) {
                DWORD r = i == 0 ? WaitForSingleObject(m, INFINITE) : WaitForSingleObjectEx(m, INFINITE, TRUE);
                if (r != WAIT_OBJECT_0 || !ReleaseMutex(m)) {
                    wrong++;
                    return;
                }
            }
        });
    }
    for (int n = 0; n < 3000; n++) {
        ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
        ASSERT_TRUE(ReleaseMutex(m));
    }
    steady.FinishWithin("infinite waiters among waiters that give up");
    stop = true;
    quitters.FinishWithin("waiters with short timeouts");
    EXPECT_EQ(wrong.load(), 0);
    DWORD r = 0;
    std::thread([&] {
        r = WaitForSingleObject(m, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(m);
    }).join();
    EXPECT_EQ(r, WAIT_OBJECT_0) << "the mutex should be free and not abandoned";
    CloseHandle(m);
}

struct OwnerArgs {
    HANDLE mutex;
    HANDLE holding;
    HANDLE go;
};

// Takes the mutex (twice: the recursion must not survive the owner either)
// and ends while holding it.
DWORD WINAPI OwnAndExit(LPVOID p) {
    OwnerArgs* a = (OwnerArgs*)p;
    if (WaitForSingleObject(a->mutex, INFINITE) != WAIT_OBJECT_0 || WaitForSingleObject(a->mutex, 0) != WAIT_OBJECT_0)
        return 1;
    SetEvent(a->holding);
    WaitForSingleObject(a->go, kBoundMs);
    ExitThread(7);
    return 2;
}

// A runtime thread that takes a new mutex and holds it until `go`.
HANDLE StartOwner(OwnerArgs* a) {
    a->mutex = CreateMutexA(nullptr, FALSE, nullptr);
    a->holding = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    a->go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return CreateThread(nullptr, 0, OwnAndExit, a, 0, nullptr);
}

TEST(ContentionMutex, OwnerEndingWhileHoldingAbandonsToExactlyOneWaiter) {
    for (int round = 0; round < 30; round++) {
        OwnerArgs a;
        HANDLE owner = StartOwner(&a);
        ASSERT_NE(owner, (HANDLE) nullptr);
        ASSERT_EQ(WaitOrStuck(a.holding, "owner taking the mutex"), WAIT_OBJECT_0);
        std::atomic<int> abandoned{0}, normal{0}, wrong{0}, waiting{0}, inside{0}, overlaps{0};
        Crew waiters;
        for (int i = 0; i < 4; i++) {
            waiters.Run([&, i] {
                waiting++;
                DWORD r =
                    i % 2 ? WaitForSingleObject(a.mutex, INFINITE) : WaitForSingleObjectEx(a.mutex, INFINITE, TRUE);
                if (r == WAIT_ABANDONED)
                    abandoned++;
                else if (r == WAIT_OBJECT_0)
                    normal++;
                else {
                    wrong++;
                    return;
                }
                if (inside.fetch_add(1) != 0) overlaps++;
                inside.fetch_sub(1);
                if (!ReleaseMutex(a.mutex)) wrong++;
            });
        }
        SpinUntil([&] { return waiting.load() == 4; }, "waiters starting");
        SetEvent(a.go);
        ASSERT_EQ(WaitOrStuck(owner, "owner ending"), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeThread(owner, &code);
        EXPECT_EQ(code, 7u);
        waiters.FinishWithin("waiters of an abandoned mutex");
        EXPECT_EQ(abandoned.load(), 1) << "round " << round;
        EXPECT_EQ(normal.load(), 3) << "round " << round;
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_EQ(WaitForSingleObject(a.mutex, 0), WAIT_OBJECT_0) << "abandonment is reported once";
        EXPECT_TRUE(ReleaseMutex(a.mutex));
        CloseHandle(owner);
        CloseHandle(a.mutex);
        CloseHandle(a.holding);
        CloseHandle(a.go);
    }
}

TEST(ContentionMutex, AbandonmentWithoutWaitersGoesToTheNextAcquirerOnly) {
    OwnerArgs a;
    a.mutex = CreateMutexA(nullptr, FALSE, nullptr);
    a.holding = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    a.go = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE owner = CreateThread(nullptr, 0, OwnAndExit, &a, 0, nullptr);
    ASSERT_NE(owner, (HANDLE) nullptr);
    ASSERT_EQ(WaitOrStuck(owner, "owner ending"), WAIT_OBJECT_0);
    DWORD first = 0, second = 0;
    std::thread([&] {
        first = WaitForSingleObject(a.mutex, 0);
        ReleaseMutex(a.mutex);
        second = WaitForSingleObject(a.mutex, 0);
        ReleaseMutex(a.mutex);
    }).join();
    EXPECT_EQ(first, WAIT_ABANDONED);
    EXPECT_EQ(second, WAIT_OBJECT_0);
    CloseHandle(owner);
    CloseHandle(a.mutex);
    CloseHandle(a.holding);
    CloseHandle(a.go);
}

// The handle of a held mutex is closed from another thread: the owner's end
// still finds it (and abandons it), and only then is it gone.
TEST(ContentionMutex, MutexClosedWhileHeldGoesWhenItsOwnerEnds) {
    PdxRtCounters before, closed, after;
    pdxrt_get_counters(&before);
    OwnerArgs a;
    HANDLE owner = StartOwner(&a);
    ASSERT_NE(owner, (HANDLE) nullptr);
    ASSERT_EQ(WaitOrStuck(a.holding, "owner taking the mutex"), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(a.mutex));
    pdxrt_get_counters(&closed);
    EXPECT_EQ(closed.mutexes, before.mutexes + 1) << "the owner still holds it";
    SetEvent(a.go);
    ASSERT_EQ(WaitOrStuck(owner, "owner ending"), WAIT_OBJECT_0);
    CloseHandle(owner);
    CloseHandle(a.holding);
    CloseHandle(a.go);
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.mutexes, before.mutexes);
    EXPECT_EQ(after.handles, before.handles);
}

// ---- APCs ending a wait on a contended mutex

VOID CALLBACK CountApc(ULONG_PTR p) { ((std::atomic<int>*)p)->fetch_add(1); }

// A runtime thread that waits on one object once a round, when told to, and
// records how each wait ended: the harness of the APC and wake-up tests.
struct RoundWaiter {
    HANDLE object;
    BOOL alertable;
    DWORD timeout;
    bool is_mutex;  // given back whenever a wait took it
    HANDLE go;
    HANDLE done;
    HANDLE thread;
    std::atomic<int> about_to_wait{0};
    std::atomic<bool> quit{false};
    std::atomic<DWORD> result{0};
    std::atomic<int> apcs{0};
    std::atomic<int> apcs_at_return{0};
};

DWORD WINAPI WaitEachRound(LPVOID p) {
    RoundWaiter* w = (RoundWaiter*)p;
    for (;;) {
        if (WaitForSingleObject(w->go, kBoundMs) != WAIT_OBJECT_0) return 1;
        if (w->quit.load()) return 0;
        w->about_to_wait = 1;
        DWORD r = WaitForSingleObjectEx(w->object, w->timeout, w->alertable);
        w->apcs_at_return = w->apcs.load();
        if (w->is_mutex && (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)) ReleaseMutex(w->object);
        w->result = r;
        SleepEx(0, TRUE);  // an APC that did not end the wait runs here
        SetEvent(w->done);
    }
}

void StartRoundWaiter(RoundWaiter* w, HANDLE object, bool is_mutex, BOOL alertable, DWORD timeout) {
    w->object = object;
    w->is_mutex = is_mutex;
    w->alertable = alertable;
    w->timeout = timeout;
    w->go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->thread = CreateThread(nullptr, 0, WaitEachRound, w, 0, nullptr);
    ASSERT_NE(w->thread, (HANDLE) nullptr);
}

// Lets the waiter start its next wait and returns once it is about to.
void NextRound(RoundWaiter* w, const char* what) {
    w->about_to_wait = 0;
    SetEvent(w->go);
    SpinUntil([&] { return w->about_to_wait.load() == 1; }, what);
}

void StopRoundWaiter(RoundWaiter* w, const char* what) {
    w->quit = true;
    SetEvent(w->go);
    EXPECT_EQ(WaitOrStuck(w->thread, what), WAIT_OBJECT_0);
    CloseHandle(w->thread);
    CloseHandle(w->object);
    CloseHandle(w->go);
    CloseHandle(w->done);
}

// kHoldThrough: the APC alone must end the wait (the mutex stays held until
// the waiter returned). kRaceRelease: the release follows the APC at once,
// so the woken waiter may take the mutex or leave; either way another
// thread waiting for it must get it.
enum ApcRace { kHoldThrough, kRaceRelease };

void ApcEndsContendedWait(ApcRace race, int rounds) {
    RoundWaiter w;
    StartRoundWaiter(&w, CreateMutexA(nullptr, FALSE, nullptr), true, TRUE, INFINITE);
    HANDLE t = w.thread;
    for (int round = 0; round < rounds; round++) {
        ASSERT_EQ(WaitForSingleObject(w.object, 0), WAIT_OBJECT_0);
        NextRound(&w, "alertable waiter starting");
        std::atomic<int> other_started{0};
        std::atomic<DWORD> other_result{0};
        Crew other;
        other.Run([&] {
            other_started = 1;
            DWORD r = WaitForSingleObject(w.object, INFINITE);
            other_result = r;
            if (r == WAIT_OBJECT_0) ReleaseMutex(w.object);
        });
        SpinUntil([&] { return other_started.load() == 1; }, "second waiter starting");
        ASSERT_NE(QueueUserAPC(CountApc, t, (ULONG_PTR)&w.apcs), 0u);
        if (race == kRaceRelease) {
            ASSERT_TRUE(ReleaseMutex(w.object));
        }
        ASSERT_EQ(WaitOrStuck(w.done, "alertable waiter returning after an APC"), WAIT_OBJECT_0);
        DWORD r = w.result.load();
        if (race == kHoldThrough) {
            EXPECT_EQ(r, WAIT_IO_COMPLETION) << "round " << round;
            EXPECT_EQ(w.apcs_at_return.load(), round + 1) << "the APC runs before the wait returns";
            ASSERT_TRUE(ReleaseMutex(w.object));
        } else {
            EXPECT_TRUE(r == WAIT_IO_COMPLETION || r == WAIT_OBJECT_0) << "round " << round << ": " << r;
        }
        other.FinishWithin("another thread taking the mutex after the APC (lost wake-up)");
        EXPECT_EQ(other_result.load(), WAIT_OBJECT_0) << "round " << round;
        EXPECT_EQ(w.apcs.load(), round + 1);
        if (::testing::Test::HasFailure()) break;
    }
    StopRoundWaiter(&w, "alertable waiter ending");
}

TEST(ContentionMutexApc, ApcEndsAlertableWaitOnHeldMutexAndOthersStillGetIt) {
    ApcEndsContendedWait(kHoldThrough, 300);
}

TEST(ContentionMutexApc, ApcRacingTheReleaseLosesNoWakeUp) { ApcEndsContendedWait(kRaceRelease, 1000); }

// ---- Handles

// Calls through a handle that another thread closes: before the close they
// work, after it they fail cleanly, and the object is neither leaked nor
// used after it is freed (AddressSanitizer build).
TEST(ContentionHandles, CallsRacingCloseFailCleanlyAfterIt) {
    PdxRtCounters before;
    pdxrt_get_counters(&before);
    for (int round = 0; round < 300; round++) {
        HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(e, (HANDLE) nullptr);
        std::atomic<bool> closed{false};
        std::atomic<int> calls{0}, wrong{0};
        Crew users;
        for (int i = 0; i < 3; i++) {
            users.Run([&] {
                for (;;) {
                    bool after = closed.load();
                    BOOL set = SetEvent(e);
                    DWORD set_err = set ? 0 : GetLastError();
                    DWORD w = WaitForSingleObject(e, 0);
                    DWORD wait_err = w == WAIT_FAILED ? GetLastError() : 0;
                    if (after) {
                        if (set || set_err != ERROR_INVALID_HANDLE) wrong++;
                        if (w != WAIT_FAILED || wait_err != ERROR_INVALID_HANDLE) wrong++;
                        return;
                    }
                    if (!set && set_err != ERROR_INVALID_HANDLE) wrong++;
                    if (w == WAIT_FAILED ? wait_err != ERROR_INVALID_HANDLE : (w != WAIT_OBJECT_0 && w != WAIT_TIMEOUT))
                        wrong++;
                    calls++;
                }
            });
        }
        int target = 3 * (round % 7);
        SpinUntil([&] { return calls.load() >= target; }, "users calling through the handle");
        ASSERT_TRUE(CloseHandle(e));
        closed = true;
        users.FinishWithin("users of a closed handle");
        EXPECT_EQ(wrong.load(), 0) << "round " << round;
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(e));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        if (::testing::Test::HasFailure()) break;
    }
    PdxRtCounters after;
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.events, before.events) << "events leaked or freed twice";
    EXPECT_EQ(after.handles, before.handles);
}

// Many threads creating and closing handles: a value is never given out
// while it is still live, and each value names its own object.
TEST(ContentionHandles, ConcurrentCreateAndCloseNeverHandOutALiveValueTwice) {
    const size_t kValues = 1u << 18;
    std::unique_ptr<std::atomic<int>[]> live(new std::atomic<int>[kValues]());
    PdxRtCounters before;
    pdxrt_get_counters(&before);
    std::atomic<int> duplicates{0}, wrong_object{0}, failures{0}, out_of_range{0};
    Crew crew;
    for (int t = 0; t < 4; t++) {
        crew.Run([&, t] {
            struct Held {
                HANDLE h;
                int kind;  // 0: unsignalled event, 1: signalled event, 2: owned mutex
            };
            std::vector<Held> ring;
            for (int i = 0; i < 20000; i++) {
                if (ring.size() == 8 || (ring.size() > 0 && (i + t) % 3 == 0)) {
                    Held held = ring[(size_t)(i * 7 + t) % ring.size()];
                    for (size_t k = 0; k < ring.size(); k++) {
                        if (ring[k].h == held.h) {
                            ring.erase(ring.begin() + (long)k);
                            break;
                        }
                    }
                    DWORD expect = held.kind == 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
                    if (WaitForSingleObject(held.h, 0) != expect) wrong_object++;
                    if (held.kind == 2 && (!ReleaseMutex(held.h) || !ReleaseMutex(held.h))) wrong_object++;
                    // Unmark before closing: after the close the value may be reused.
                    live[(uintptr_t)held.h / 4].store(0);
                    if (!CloseHandle(held.h)) failures++;
                    continue;
                }
                int kind = (i + t) % 3;
                HANDLE h =
                    kind == 2 ? CreateMutexA(nullptr, TRUE, nullptr) : CreateEventA(nullptr, TRUE, kind == 1, nullptr);
                if (!h) {
                    failures++;
                    continue;
                }
                uintptr_t v = (uintptr_t)h;
                if (v % 4 != 0 || v / 4 >= kValues) {
                    out_of_range++;
                    CloseHandle(h);
                    continue;
                }
                if (live[v / 4].exchange(1) != 0) duplicates++;
                ring.push_back({h, kind});
            }
            for (const Held& held : ring) {
                live[(uintptr_t)held.h / 4].store(0);
                if (held.kind == 2) {
                    ReleaseMutex(held.h);
                }
                CloseHandle(held.h);
            }
        });
    }
    crew.FinishWithin("threads creating and closing handles");
    EXPECT_EQ(duplicates.load(), 0) << "a live handle value was handed out again";
    EXPECT_EQ(wrong_object.load(), 0) << "a handle named another thread's object";
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(out_of_range.load(), 0);
    PdxRtCounters after;
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.events, before.events);
    EXPECT_EQ(after.mutexes, before.mutexes);
}

// ---- Call counts

DWORD WINAPI ResetManyTimes(LPVOID p) {
    for (int i = 0; i < 500; i++) ResetEvent((HANDLE)p);
    return 0;
}

TEST(ContentionCallCounts, CallsOfEndedThreadsStillCount) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, (HANDLE) nullptr);
    pdxrt_reset_call_counts();
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 0u);
    Crew crew;
    for (int i = 0; i < 4; i++) {
        crew.Run([e] {
            for (int n = 0; n < 1000; n++) SetEvent(e);
        });
    }
    crew.FinishWithin("threads calling SetEvent");
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 4000u);

    HANDLE threads[3];
    for (HANDLE& t : threads) {
        t = CreateThread(nullptr, 0, ResetManyTimes, e, 0, nullptr);
        ASSERT_NE(t, (HANDLE) nullptr);
    }
    for (HANDLE t : threads) {
        ASSERT_EQ(WaitOrStuck(t, "runtime threads calling ResetEvent"), WAIT_OBJECT_0);
        CloseHandle(t);
    }
    EXPECT_EQ(pdxrt_call_count(PDXRT_ResetEvent), 1500u);
    EXPECT_EQ(pdxrt_call_count(PDXRT_CreateThread), 3u);
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 4000u);
    CloseHandle(e);
}

// Threads parked between phases (on a condition variable, which the runtime
// does not count) keep their counters live while the test reads and resets.
TEST(ContentionCallCounts, LiveThreadsAddUpAndResetZeroesTheView) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, (HANDLE) nullptr);
    pdxrt_reset_call_counts();
    std::mutex lock;
    std::condition_variable cv;
    int phase = 0, reached = 0;
    auto await_phase = [&](int p) {
        std::unique_lock<std::mutex> g(lock);
        reached++;
        cv.notify_all();
        if (!cv.wait_for(g, kBound, [&] { return phase >= p; })) Stuck("counting thread waiting for the next phase");
    };
    auto all_reached = [&](int n) {
        std::unique_lock<std::mutex> g(lock);
        if (!cv.wait_for(g, kBound, [&] { return reached >= n; })) Stuck("counting threads reaching a phase");
    };
    auto advance = [&] {
        std::lock_guard<std::mutex> g(lock);
        phase++;
        cv.notify_all();
    };
    Crew crew;
    for (int i = 0; i < 4; i++) {
        crew.Run([&, i] {
            for (int n = 0; n < (i + 1) * 100; n++) SetEvent(e);
            await_phase(1);
            for (int n = 0; n < 50; n++) SetEvent(e);
            await_phase(2);
        });
    }
    all_reached(4);
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 1000u) << "live threads' counts add up";
    pdxrt_reset_call_counts();
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 0u) << "reset while the counting threads live";
    advance();
    all_reached(8);
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 200u);
    pdxrt_reset_call_counts();
    advance();
    crew.FinishWithin("counting threads ending");
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 0u) << "counts folded in at a thread's end reappeared";
    for (int n = 0; n < 7; n++) SetEvent(e);
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 7u);
    CloseHandle(e);
}

// ---- Wake-ups of the two kinds of sleep

enum SleepKind { kPlainWait, kAlertableWait, kAlternating };

DWORD WaitKind(HANDLE h, SleepKind kind, int i) {
    bool alertable = kind == kAlertableWait || (kind == kAlternating && i % 2);
    return alertable ? WaitForSingleObjectEx(h, kBoundMs, TRUE) : WaitForSingleObject(h, kBoundMs);
}

// Auto-reset ping-pong: each SetEvent often lands just before the other side
// goes to sleep; a lost wake-up shows as a timeout.
void PingPong(SleepKind mine, SleepKind partner, int rounds) {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(ping && pong);
    std::atomic<int> partner_bad_round{-1};
    Crew crew;
    crew.Run([&] {
        for (int i = 0; i < rounds; i++) {
            DWORD r = WaitKind(ping, partner, i);
            if (r != WAIT_OBJECT_0) {
                partner_bad_round = i;
                return;
            }
            SetEvent(pong);
        }
    });
    int bad_round = -1;
    DWORD bad_result = 0;
    for (int i = 0; i < rounds; i++) {
        SetEvent(ping);
        DWORD r = WaitKind(pong, mine, i);
        if (r != WAIT_OBJECT_0) {
            bad_round = i;
            bad_result = r;
            break;
        }
    }
    if (bad_result == WAIT_TIMEOUT)
        fprintf(stderr, "ping-pong wake-up lost at round %d (partner: %d)\n", bad_round, partner_bad_round.load());
    EXPECT_EQ(bad_round, -1) << "result " << bad_result;
    crew.FinishWithin("ping-pong partner");
    EXPECT_EQ(partner_bad_round.load(), -1);
    CloseHandle(ping);
    CloseHandle(pong);
}

TEST(ContentionWake, PlainWaitsPingPongWithoutLostWakeUps) { PingPong(kPlainWait, kPlainWait, 10000); }

TEST(ContentionWake, AlertableWaitsPingPongWithoutLostWakeUps) { PingPong(kAlertableWait, kAlertableWait, 10000); }

TEST(ContentionWake, PlainAndAlertableWaitsPingPongWithoutLostWakeUps) { PingPong(kPlainWait, kAlertableWait, 10000); }

TEST(ContentionWake, AlternatingSleepKindsPingPongWithoutLostWakeUps) { PingPong(kAlternating, kAlternating, 10000); }

enum Waker { kBySetEvent, kByApc, kByApcThenSetEvent };

// Wakes a runtime thread waiting on an auto-reset event, many times.
void WakeWaiter(BOOL alertable, Waker waker, int rounds) {
    RoundWaiter w;
    StartRoundWaiter(&w, CreateEventA(nullptr, FALSE, FALSE, nullptr), false, alertable, kBoundMs);
    HANDLE t = w.thread;
    int apcs_sent = 0;
    for (int round = 0; round < rounds; round++) {
        NextRound(&w, "event waiter starting");
        if (waker != kBySetEvent) {
            ASSERT_NE(QueueUserAPC(CountApc, t, (ULONG_PTR)&w.apcs), 0u);
            apcs_sent++;
        }
        if (waker != kByApc) SetEvent(w.object);
        ASSERT_EQ(WaitOrStuck(w.done, "event waiter returning"), WAIT_OBJECT_0);
        DWORD r = w.result.load();
        if (waker == kByApc) {
            EXPECT_EQ(r, WAIT_IO_COMPLETION) << "round " << round;
            EXPECT_EQ(w.apcs_at_return.load(), apcs_sent);
        } else if (waker == kByApcThenSetEvent && !alertable) {
            EXPECT_EQ(r, WAIT_OBJECT_0) << "round " << round << ": a plain wait ignores APCs";
            EXPECT_EQ(w.apcs_at_return.load(), apcs_sent - 1) << "an APC ran inside a plain wait";
        } else if (waker == kBySetEvent) {
            EXPECT_EQ(r, WAIT_OBJECT_0) << "round " << round;
        }
        if (r == WAIT_IO_COMPLETION && waker == kByApcThenSetEvent) {
            // The APC ended the wait first; the signal is kept for the next wait.
            EXPECT_EQ(WaitForSingleObject(w.object, 0), WAIT_OBJECT_0);
        }
        EXPECT_EQ(w.apcs.load(), apcs_sent);
        if (::testing::Test::HasFailure()) break;
    }
    StopRoundWaiter(&w, "event waiter ending");
}

TEST(ContentionWake, PlainWaitWokenBySetEvent) { WakeWaiter(FALSE, kBySetEvent, 2000); }

TEST(ContentionWake, AlertableWaitWokenBySetEvent) { WakeWaiter(TRUE, kBySetEvent, 2000); }

TEST(ContentionWake, AlertableWaitWokenByApc) { WakeWaiter(TRUE, kByApc, 2000); }

TEST(ContentionWake, PlainWaitNotEndedByApcButBySetEvent) { WakeWaiter(FALSE, kByApcThenSetEvent, 2000); }

// A request completing on another thread's request wakes the alertable wait
// that issued it (the descriptor side of the ppoll sleep).
TEST(ContentionWake, AlertableWaitWokenByCompletion) {
    RawChannel ch;
    ASSERT_TRUE(OpenRawChannel(&ch));
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE issued = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE next = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const int kRounds = 300;
    std::atomic<int> wrong{0};
    Crew crew;
    crew.Run([&] {
        char buf[8];
        OVERLAPPED ov = {};
        for (int i = 0; i < kRounds; i++) {
            if (WaitForSingleObject(next, kBoundMs) != WAIT_OBJECT_0 ||
                !ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion)) {
                wrong++;
                return;
            }
            SetEvent(issued);
            DWORD r = WaitForSingleObjectEx(never, kBoundMs, TRUE);
            if (r != WAIT_IO_COMPLETION || CompletionLog().size() != (size_t)i + 1) {
                wrong++;
                return;
            }
        }
    });
    for (int i = 0; i < kRounds && wrong.load() == 0; i++) {
        SetEvent(next);
        ASSERT_EQ(WaitOrStuck(issued, "reader issuing its request"), WAIT_OBJECT_0);
        if (wrong.load() != 0) break;
        ASSERT_TRUE(SendReport(&ch, "hi", 2));
    }
    crew.FinishWithin("reader woken by completions");
    EXPECT_EQ(wrong.load(), 0);
    CloseHandle(never);
    CloseHandle(issued);
    CloseHandle(next);
    CloseRawChannel(&ch);
}

}  // namespace
