// Builds without allocation counting: Windows, and sanitizer builds whose
// runtime owns malloc.
#include "bench_allocs.h"

bool AllocCountSupported() { return false; }
uint64_t AllocCount() { return 0; }
void AllocExcludeThisThread() {}
