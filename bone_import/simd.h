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

#if defined(BONE_IMPORT_SSE) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#endif

namespace Vantorix {
namespace Bone_Import {

#ifdef BONE_IMPORT_SSE
// Moving floats between lanes. With SSE2 these use the integer shuffles:
// recent cores run those on two ports and the float shuffles on one, and the
// world pass and the blends are bound by shuffles.

// Transposes four rows of four floats in place, as _MM_TRANSPOSE4_PS does.
inline void Transpose_4(__m128& r0, __m128& r1, __m128& r2, __m128& r3) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128i a = _mm_unpacklo_epi32(_mm_castps_si128(r0), _mm_castps_si128(r1));
  const __m128i b = _mm_unpacklo_epi32(_mm_castps_si128(r2), _mm_castps_si128(r3));
  const __m128i c = _mm_unpackhi_epi32(_mm_castps_si128(r0), _mm_castps_si128(r1));
  const __m128i d = _mm_unpackhi_epi32(_mm_castps_si128(r2), _mm_castps_si128(r3));
  r0 = _mm_castsi128_ps(_mm_unpacklo_epi64(a, b));
  r1 = _mm_castsi128_ps(_mm_unpackhi_epi64(a, b));
  r2 = _mm_castsi128_ps(_mm_unpacklo_epi64(c, d));
  r3 = _mm_castsi128_ps(_mm_unpackhi_epi64(c, d));
#else
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
#endif
}

// The four floats a, b, c, d as one vector.
inline __m128 Gather_4(const float& a, const float& b, const float& c, const float& d) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128i ab = _mm_unpacklo_epi32(_mm_castps_si128(_mm_load_ss(&a)), _mm_castps_si128(_mm_load_ss(&b)));
  const __m128i cd = _mm_unpacklo_epi32(_mm_castps_si128(_mm_load_ss(&c)), _mm_castps_si128(_mm_load_ss(&d)));
  return _mm_castsi128_ps(_mm_unpacklo_epi64(ab, cd));
#else
  return _mm_setr_ps(a, b, c, d);
#endif
}

// Lane `LANE` of v in all four lanes.
template <int LANE>
inline __m128 Broadcast(__m128 v) {
#if defined(__SSE2__) || defined(_M_X64)
  return _mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(v), LANE * 0x55));
#else
  return _mm_shuffle_ps(v, v, LANE * 0x55);
#endif
}

// Lanes 2 and 3 of v in lanes 0 and 1 (for storing a vector's third float).
inline __m128 High_Half(__m128 v) {
#if defined(__SSE2__) || defined(_M_X64)
  return _mm_castsi128_ps(_mm_unpackhi_epi64(_mm_castps_si128(v), _mm_castps_si128(v)));
#else
  return _mm_movehl_ps(v, v);
#endif
}
#endif

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
