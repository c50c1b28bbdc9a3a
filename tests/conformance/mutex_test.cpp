// Mutexes: ownership, recursion, release by a non-owner, hand-over to a
// waiter and abandonment when the owner thread ends.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pdx_win32.h"

namespace {

TEST(Mutexes, OwnerAcquiresRecursively) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, (HANDLE) nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(m)) << "released more often than acquired";
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    CloseHandle(m);
}

TEST(Mutexes, OtherThreadCanNeitherTakeNorRelease) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    DWORD wait = 0, release = 0, error = 0;
    std::thread other([&] {
        wait = WaitForSingleObject(m, 0);
        SetLastError(0xdeadbeef);
        release = ReleaseMutex(m);
        error = GetLastError();
    });
    other.join();
    EXPECT_EQ(wait, WAIT_TIMEOUT);
    EXPECT_EQ(release, (DWORD)FALSE);
    EXPECT_EQ(error, ERROR_NOT_OWNER);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(Mutexes, ReleaseHandsOwnershipToWaiter) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> got{0xdeadbeef};
    std::thread waiter([&] {
        got = WaitForSingleObject(m, 10000);
        SetEvent(taken);
        WaitForSingleObject(done, 10000);
        ReleaseMutex(m);
    });
    EXPECT_TRUE(ReleaseMutex(m));
    ASSERT_EQ(WaitForSingleObject(taken, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(got.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT) << "the waiter owns it now";
    SetEvent(done);
    waiter.join();
    EXPECT_EQ(WaitForSingleObject(m, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
    CloseHandle(taken);
    CloseHandle(done);
}

static DWORD WINAPI TakeAndEnd(LPVOID param) { return WaitForSingleObject((HANDLE)param, 10000); }

TEST(Mutexes, AbandonedWhenOwnerThreadEnds) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, TakeAndEnd, m, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 10000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m)) << "an abandoned mutex is owned by the thread that got it";
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandonment is reported once";
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(t);
    CloseHandle(m);
}

TEST(Mutexes, AbandonedByThreadNotCreatedWithCreateThread) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread owner([&] { WaitForSingleObject(m, 10000); });
    owner.join();
    EXPECT_EQ(WaitForSingleObject(m, 10000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(Mutexes, WaiterBlockedOnOwnerGetsAbandonedMutex) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, 10000);
        SetEvent(taken);
        WaitForSingleObject(finish, 10000);
    });
    ASSERT_EQ(WaitForSingleObject(taken, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
    std::atomic<DWORD> got{0xdeadbeef};
    std::thread waiter([&] {
        got = WaitForSingleObject(m, 10000);
        if (got == WAIT_ABANDONED || got == WAIT_OBJECT_0) ReleaseMutex(m);
    });
    SetEvent(finish);
    owner.join();
    waiter.join();
    EXPECT_EQ(got.load(), WAIT_ABANDONED);
    CloseHandle(m);
    CloseHandle(taken);
    CloseHandle(finish);
}

}  // namespace
