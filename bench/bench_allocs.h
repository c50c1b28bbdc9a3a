// Counting heap allocations, to show that the steady state of the report
// path allocates nothing. Linux: malloc and friends are replaced in the
// benchmark program by counting wrappers (operator new goes through malloc).
// Windows and sanitizer builds: not counted.
#ifndef PDXKIT_BENCH_ALLOCS_H
#define PDXKIT_BENCH_ALLOCS_H

#include <stdint.h>

bool AllocCountSupported();
// Allocations made so far by every thread that is not excluded.
uint64_t AllocCount();
// The calling thread's allocations no longer count (the simulated chip's
// sending thread, whose allocations are not the library's).
void AllocExcludeThisThread();

#endif
