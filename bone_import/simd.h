// Private: whether the hot loops may use SSE, and a prefetch hint. Every SIMD path performs, lane
// by lane, the same float operations in the same order as the plain code, so
// results are identical to the bit either way. Defining BONE_IMPORT_NO_SIMD
// selects the plain code (one CI build tests it).
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/simd.h is private to the library; include bone_import/bone_import.h"
#endif

#if !defined(BONE_IMPORT_NO_SIMD) && (defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1))
#include <xmmintrin.h>
#define BONE_IMPORT_SSE 1
#endif

namespace Vantorix {
namespace Bone_Import {

// A hint that `address` will be read soon; never faults, changes no result.
inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#elif defined(BONE_IMPORT_SSE)
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

}  // namespace Bone_Import
}  // namespace Vantorix
