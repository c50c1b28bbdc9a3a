#include "reliability_support.h"

#include <dirent.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

// The heap in use is compared across threads that come and go. With an
// arena per thread, glibc keeps some of an ended thread's arena in use for
// the next thread that picks it up, which shows as noise of one arena's
// bookkeeping; one arena for the whole test process makes the count exact.
static const int g_one_arena = mallopt(M_ARENA_MAX, 1);

std::unique_ptr<PdxSimWorld> MakeWorld(int devices) {
    std::unique_ptr<PdxSimWorld> world(new PdxSimWorld);
    pdxsim_world_default(world.get(), devices);
    return world;
}

void ReliabilityTest::TearDown() {
    pdxrt_clear_faults();
    PdxKitCloseDevice(nullptr);
    pdxsim_uninstall();
}

void ReliabilityTest::Install(const PdxSimWorld& world) { ASSERT_EQ(1, pdxsim_install(&world)); }

// Entries of a /proc directory; `own` is subtracted for the descriptor that
// reading /proc/self/fd itself holds.
static int CountEntries(const char* dir, int own) {
    DIR* d = opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - own;
}

Resources TakeResources() {
    Resources r;
    pdxrt_get_counters(&r.runtime);
    r.fds = CountEntries("/proc/self/fd", 1);
    r.tasks = CountEntries("/proc/self/task", 0);
    PdxSimCounters sim;
    pdxsim_get_counters(&sim);
    r.live_sets = sim.live_sets;
    r.live_preparsed = sim.live_preparsed;
    r.sim_handles = 0;
    PdxSimWorld* world = new PdxSimWorld;
    if (pdxsim_get_world(world)) {
        for (int d = 0; d < world->device_count; ++d) {
            for (int i = 0; i < world->device[d].interface_count; ++i) r.sim_handles += pdxsim_open_handles(d, i);
        }
    }
    delete world;
    r.modules = pdxrt_module_refcount("hid.dll") + pdxrt_module_refcount("cfgmgr32.dll") +
                pdxrt_module_refcount("setupapi.dll");
    r.heap_in_use = kAddressSanitized ? 0 : mallinfo2().uordblks;
    return r;
}

Resources SettledResources() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPromptMs);
    Resources last = TakeResources();
    int steady = 0;
    // Nothing signals that a task has left /proc: sample until the counts
    // have held still for a while.
    while (steady < 5 && std::chrono::steady_clock::now() < deadline) {
        usleep(5000);
        Resources now = TakeResources();
        steady = (now.tasks == last.tasks && now.fds == last.fds) ? steady + 1 : 0;
        last = now;
    }
    return last;
}

std::string Describe(const Resources& r) {
    std::ostringstream out;
    out << "handles " << r.runtime.handles << ", events " << r.runtime.events << ", mutexes " << r.runtime.mutexes
        << ", threads " << r.runtime.threads << " (running " << r.runtime.running_threads << "), files "
        << r.runtime.files << ", heaps " << r.runtime.heaps << " (blocks " << r.runtime.heap_blocks << "), pending io "
        << r.runtime.pending_io << ", queued apcs " << r.runtime.queued_apcs << "; fds " << r.fds << ", tasks "
        << r.tasks << "; simulator sets " << r.live_sets << ", preparsed " << r.live_preparsed << ", handles "
        << r.sim_handles << ", module refs " << r.modules << "; heap in use " << r.heap_in_use;
    return out.str();
}

static bool Same(const Resources& a, const Resources& b, size_t heap_slack) {
    const PdxRtCounters& x = a.runtime;
    const PdxRtCounters& y = b.runtime;
    const bool heap_ok = b.heap_in_use <= a.heap_in_use + heap_slack;
    return x.handles == y.handles && x.events == y.events && x.mutexes == y.mutexes && x.threads == y.threads &&
           x.running_threads == y.running_threads && x.files == y.files && x.heaps == y.heaps &&
           x.heap_blocks == y.heap_blocks && x.pending_io == y.pending_io && x.queued_apcs == y.queued_apcs &&
           a.fds == b.fds && a.tasks == b.tasks && a.live_sets == b.live_sets && a.live_preparsed == b.live_preparsed &&
           a.sim_handles == b.sim_handles && a.modules == b.modules && heap_ok;
}

::testing::AssertionResult SameResources(const Resources& before, size_t heap_slack) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPromptMs);
    Resources now = TakeResources();
    // An ended thread's task and descriptors leave /proc a little after the
    // thread's handle is signalled; nothing can be waited on for that.
    while (!Same(before, now, heap_slack) && std::chrono::steady_clock::now() < deadline) {
        usleep(2000);
        now = TakeResources();
    }
    if (Same(before, now, heap_slack)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\n  before: " << Describe(before) << "\n  after:  " << Describe(now);
}

struct Deadline::State {
    std::mutex lock;
    std::condition_variable disarmed_cv;
    bool disarmed = false;
};

Deadline::Deadline(std::string what, DWORD bound_ms) : state_(std::make_shared<State>()) {
    std::shared_ptr<State> state = state_;
    watcher_ = std::thread([state, what, bound_ms] {
        std::unique_lock<std::mutex> hold(state->lock);
        if (!state->disarmed_cv.wait_for(hold, std::chrono::milliseconds(bound_ms), [&] { return state->disarmed; })) {
            fprintf(stderr, "HUNG: %s did not return within %lu ms\n", what.c_str(), (unsigned long)bound_ms);
            fflush(stderr);
            abort();
        }
    });
}

Deadline::~Deadline() {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->disarmed = true;
    }
    state_->disarmed_cv.notify_all();
    watcher_.join();
}

int64_t ProcessCpuMicros() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (int64_t)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

int SendPins(int device, uint32_t value) {
    uint8_t report[5];
    PinReport(value, report);
    return pdxsim_send_report(device, 0, report, sizeof(report));
}

void PinReport(uint32_t value, uint8_t report[5]) {
    report[0] = 0;
    for (int k = 0; k < 4; ++k) report[1 + k] = static_cast<uint8_t>(value >> (8 * k));
}

uint32_t PinValue(const uint8_t* report) {
    return report[1] | report[2] << 8 | report[3] << 16 | static_cast<uint32_t>(report[4]) << 24;
}

double EnvSeconds(const char* name, double fallback) {
    const char* text = getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const double value = strtod(text, &end);
    return (end && *end == 0 && value > 0) ? value : fallback;
}
