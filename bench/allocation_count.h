// Counts the program's global allocations so that benchmarks can report how
// many one operation makes (each per-bone array once, at its final size).
// Programs that include this link allocation_count.cpp, which replaces the
// global operator new.
#pragma once

#include <atomic>

namespace bench_allocations {
extern std::atomic<unsigned long long> count;
}  // namespace bench_allocations
