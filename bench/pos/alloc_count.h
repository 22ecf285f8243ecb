// Counts heap allocations of the whole process (malloc, calloc, realloc and
// operator new all end in the counted functions). Counting is off in
// sanitizer builds, whose run-time owns the allocator.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<uint64_t> g_heapAllocs;
bool heapCountingActive();
