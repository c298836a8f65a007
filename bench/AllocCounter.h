// Heap allocation counter for benchmark programs. Linking AllocCounter.cpp
// into an executable replaces malloc and friends and the global operator
// new for the whole process, shared libraries included; each thread counts
// its own allocations, so a reader thread does not blur a writer's figure.
#ifndef QZ_BENCH_ALLOC_COUNTER_H
#define QZ_BENCH_ALLOC_COUNTER_H

#include <cstdint>

namespace qzbench {

// Allocations (malloc, calloc, realloc, aligned forms, operator new) made by
// the calling thread since it started.
uint64_t ThreadAllocations();

// True when the counter sees both a C allocation made inside a shared
// library and a C++ operator new; a counter that misses them would report a
// false zero.
bool AllocCounterWorks();

}  // namespace qzbench

#endif  // QZ_BENCH_ALLOC_COUNTER_H
