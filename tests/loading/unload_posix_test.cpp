// An application (or a JVM collecting a class loader) may unload the library
// while threads that called into it live on. Those threads must still end
// cleanly: nothing of the library may run from unmapped code when they do.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "pdxkit.h"

namespace {

typedef PdxKitHandle (*OpenFn)(void);
typedef void (*CloseFn)(PdxKitHandle);

TEST(UnloadTest, ThreadsThatCalledTheLibraryEndCleanlyAfterItIsUnloaded) {
    void* library = dlopen(PDXKIT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    OpenFn open = reinterpret_cast<OpenFn>(dlsym(library, "PdxKitOpenDevice"));
    CloseFn close = reinterpret_cast<CloseFn>(dlsym(library, "PdxKitCloseDevice"));
    ASSERT_NE(nullptr, open);
    ASSERT_NE(nullptr, close);

    std::mutex lock;
    std::condition_variable changed;
    bool called = false;
    bool unloaded = false;
    std::thread worker([&] {
        // Whether or not a chip is attached, the calls leave per-thread
        // state behind in this thread.
        close(open());
        std::unique_lock<std::mutex> hold(lock);
        called = true;
        changed.notify_all();
        changed.wait(hold, [&] { return unloaded; });
    });
    {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return called; });
    }
    EXPECT_EQ(0, dlclose(library));
    {
        std::lock_guard<std::mutex> hold(lock);
        unloaded = true;
    }
    changed.notify_all();
    // The worker ends here; a crash in its exit fails the test.
    worker.join();
}

}  // namespace
