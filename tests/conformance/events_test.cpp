// Events and handle basics: manual and auto reset, initial state, waking
// another thread, handle values and closed or wrong handles.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pdx_win32.h"

namespace {

TEST(Handles, ValuesAreSmallNonZeroMultiplesOfFour) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(h, (HANDLE) nullptr);
    uintptr_t v = (uintptr_t)h;
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(v % 4, 0u) << "handle " << v;
    EXPECT_LE(v, 0xFFFFFFFFu) << "a 32-bit copy of a handle must be lossless";
    EXPECT_TRUE(CloseHandle(h));
}

TEST(Handles, ClosedHandleFailsWithInvalidHandle) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(h));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Handles, NullHandleFailsWithInvalidHandle) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Handles, EventCallOnMutexHandleFails) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(m, (HANDLE) nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetEvent(m));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(m));
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, (HANDLE) nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, AutoResetSatisfiesOneWait) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(e, (HANDLE) nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(SetEvent(e));  // a second signal on a signalled event is not counted
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, FiniteWaitTimesOut) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObjectEx(e, 30, FALSE), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObjectEx(e, 30, TRUE), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, SetEventWakesWaiterInAnotherThread) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{0xdeadbeef};
    std::thread waiter([&] { result = WaitForSingleObject(e, 10000); });
    EXPECT_TRUE(SetEvent(e));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "the waiter consumed the signal";
    CloseHandle(e);
}

TEST(Events, AutoResetWakesOneOfTwoWaiters) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE woke = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> count{0};
    auto wait = [&] {
        if (WaitForSingleObject(e, 10000) == WAIT_OBJECT_0) {
            count++;
            SetEvent(woke);
        }
    };
    std::thread a(wait), b(wait);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(woke, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(woke, 100), WAIT_TIMEOUT) << "one signal woke two waiters";
    EXPECT_EQ(count.load(), 1);
    EXPECT_TRUE(SetEvent(e));
    a.join();
    b.join();
    EXPECT_EQ(count.load(), 2);
    CloseHandle(e);
    CloseHandle(woke);
}

TEST(Events, ManualResetWakesEveryWaiter) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> count{0};
    auto wait = [&] {
        if (WaitForSingleObject(e, 10000) == WAIT_OBJECT_0) count++;
    };
    std::thread a(wait), b(wait), c(wait);
    EXPECT_TRUE(SetEvent(e));
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(count.load(), 3);
    CloseHandle(e);
}

}  // namespace
