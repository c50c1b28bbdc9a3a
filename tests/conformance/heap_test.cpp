// Private heaps: zeroed allocation, alignment, fixed-size limits, freeing,
// and destroying a heap with blocks still allocated.
#include <gtest/gtest.h>

#include <string.h>

#include "pdx_win32.h"

namespace {

TEST(Heaps, ZeroMemoryFlagClearsBlock) {
    HANDLE heap = HeapCreate(0, 0, 0);
    ASSERT_NE(heap, (HANDLE) nullptr);
    unsigned char* p = (unsigned char*)HeapAlloc(heap, HEAP_ZERO_MEMORY, 256);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 256; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
    EXPECT_EQ((uintptr_t)p % 8, 0u);
    memset(p, 0xAB, 256);
    EXPECT_TRUE(HeapFree(heap, 0, p));
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, BlocksAreDistinctAndWritable) {
    HANDLE heap = HeapCreate(HEAP_NO_SERIALIZE, 4096, 0);
    ASSERT_NE(heap, (HANDLE) nullptr);
    char* a = (char*)HeapAlloc(heap, 0, 100);
    char* b = (char*)HeapAlloc(heap, 0, 100);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(a + 100 <= b || b + 100 <= a) << "blocks overlap";
    memset(a, 1, 100);
    memset(b, 2, 100);
    EXPECT_EQ(a[99], 1);
    EXPECT_EQ(b[0], 2);
    EXPECT_TRUE(HeapFree(heap, 0, a));
    EXPECT_TRUE(HeapFree(heap, 0, b));
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, DestroyReleasesBlocksStillAllocated) {
    HANDLE heap = HeapCreate(0, 0, 0);
    ASSERT_NE(heap, (HANDLE) nullptr);
    for (int i = 0; i < 100; i++) ASSERT_NE(HeapAlloc(heap, 0, 64 + i), nullptr);
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, FixedSizeHeapRefusesTooLargeBlock) {
    HANDLE heap = HeapCreate(0, 4096, 64 * 1024);
    ASSERT_NE(heap, (HANDLE) nullptr);
    EXPECT_EQ(HeapAlloc(heap, 0, 1024 * 1024), nullptr);
    void* small = HeapAlloc(heap, 0, 64);
    EXPECT_NE(small, nullptr);
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, FreeOfNullSucceeds) {
    HANDLE heap = HeapCreate(0, 0, 0);
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
    EXPECT_TRUE(HeapDestroy(heap));
}

}  // namespace
