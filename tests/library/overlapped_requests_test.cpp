// The small routines for overlapped requests that reads, writes,
// cancellation and the reader share.
#include <string.h>

#include "library_world.h"
#include "overlapped_requests.h"

namespace {

using OverlappedRequestsTest = LibraryTest;

TEST_F(OverlappedRequestsTest, CancelPendingIoFindsCancelIo) {
    PdxKitHandle handle = OpenDefault(1);
    SetSentinel();
    EXPECT_EQ(TRUE, CancelPendingIo(Record(handle)->write_handles[0])) << "nothing outstanding";
    EXPECT_EQ(kSentinel, GetLastError());
}

TEST_F(OverlappedRequestsTest, NullCompletionOnlyEndsTheAlertableWait) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0x5A, sizeof(overlapped));
    OVERLAPPED copy = overlapped;
    NullCompletion(ERROR_OPERATION_ABORTED, 3, &overlapped);
    EXPECT_EQ(0, memcmp(&copy, &overlapped, sizeof(copy)));
}

}  // namespace
