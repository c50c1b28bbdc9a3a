// Internal assertions of the library and its runtime: reference counts, lock
// ownership and the invariants that comments state ("lock held"). They are
// checked in the sanitizer builds, which define PDXKIT_ASSERTIONS, and cost
// nothing elsewhere (the condition is not evaluated).
#ifndef PDX_ASSERT_H
#define PDX_ASSERT_H

#include <stdio.h>
#include <stdlib.h>

#ifdef PDXKIT_ASSERTIONS
inline void PdxAssertFailed(const char* condition, const char* file, int line) {
    fprintf(stderr, "%s:%d: internal assertion failed: %s\n", file, line, condition);
    abort();
}
#define PDX_ASSERT(condition) ((condition) ? (void)0 : PdxAssertFailed(#condition, __FILE__, __LINE__))
#else
#define PDX_ASSERT(condition) ((void)sizeof(!(condition)))
#endif

#endif
