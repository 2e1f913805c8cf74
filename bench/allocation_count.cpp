#include "allocation_count.h"

#include <cstdlib>
#include <new>

std::atomic<unsigned long long> bench_allocations::count{0};

void* operator new(std::size_t size) {
  ++bench_allocations::count;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
