// Private: the hot rotation arithmetic, inline for sampling and the frame
// update. The exported Quaternion::To_Matrix and Blend call these.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/rotation.h is private to the library; include bone_import/bone_import.h"
#endif

#include "bone_import.h"
#include "simd.h"

namespace Vantorix {
namespace Bone_Import {

inline void Rotation_Matrix(const Quaternion& q, Matrix_3x3<float>& out) {
  const float w = q.w, x = q.v.x, y = q.v.y, z = q.v.z;
  const float xx2 = 2 * x * x, yy2 = 2 * y * y, zz2 = 2 * z * z;
  const float xy2 = 2 * x * y, xz2 = 2 * x * z, yz2 = 2 * y * z;
  const float wx2 = 2 * w * x, wy2 = 2 * w * y, wz2 = 2 * w * z;
  float(*m)[3] = out.m;
  m[0][0] = 1 - yy2 - zz2;
  m[0][1] = xy2 - wz2;
  m[0][2] = xz2 + wy2;
  m[1][0] = xy2 + wz2;
  m[1][1] = 1 - zz2 - xx2;
  m[1][2] = yz2 - wx2;
  m[2][0] = xz2 - wy2;
  m[2][1] = yz2 + wx2;
  m[2][2] = 1 - xx2 - yy2;
}

inline Quaternion Blend_Rotations(const Quaternion& a, const Quaternion& b, float f) {
  const float d = a.w * b.w + a.v.x * b.v.x + a.v.y * b.v.y + a.v.z * b.v.z;
  const float p = 1.0f - f;
  const float q = d < 0.0f ? -f : f;
  Quaternion r;
  r.w = p * a.w + q * b.w;
  Template_Library::V3_S_Mul_V3_S_Mul_Add(a.v, b.v, r.v, p, q);
  const float k = Template_Library::Inv_Sqrt(r.w * r.w + r.v.x * r.v.x + r.v.y * r.v.y + r.v.z * r.v.z);
  r.w *= k;
  r.v.x *= k;
  r.v.y *= k;
  r.v.z *= k;
  return r;
}

#ifdef BONE_IMPORT_SSE
static_assert(sizeof(Quaternion) == 4 * sizeof(float), "a quaternion loads as four packed floats");

// Blends up to four pairs of rotations, pair i with weight lane i of `f`:
// each lane with exactly the operations, in the order, of Blend_Rotations, so
// the results are the same to the bit. `count` outputs are stored; the input
// pointers past it may repeat an earlier pair.
inline void Blend_Four(const Quaternion* const* a, const Quaternion* const* b, __m128 f, unsigned int count,
                       Quaternion* const* out) {
  __m128 aw = _mm_loadu_ps(&a[0]->w), ax = _mm_loadu_ps(&a[1]->w), ay = _mm_loadu_ps(&a[2]->w),
         az = _mm_loadu_ps(&a[3]->w);
  Transpose_4(aw, ax, ay, az);
  __m128 bw = _mm_loadu_ps(&b[0]->w), bx = _mm_loadu_ps(&b[1]->w), by = _mm_loadu_ps(&b[2]->w),
         bz = _mm_loadu_ps(&b[3]->w);
  Transpose_4(bw, bx, by, bz);

  const __m128 dot = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(aw, bw), _mm_mul_ps(ax, bx)), _mm_mul_ps(ay, by)),
                                _mm_mul_ps(az, bz));
  const __m128 p = _mm_sub_ps(_mm_set1_ps(1.0f), f);
  const __m128 q = _mm_xor_ps(f, _mm_and_ps(_mm_cmplt_ps(dot, _mm_setzero_ps()), _mm_set1_ps(-0.0f)));
  __m128 rw = _mm_add_ps(_mm_mul_ps(p, aw), _mm_mul_ps(q, bw));
  __m128 rx = _mm_add_ps(_mm_mul_ps(ax, p), _mm_mul_ps(bx, q));
  __m128 ry = _mm_add_ps(_mm_mul_ps(ay, p), _mm_mul_ps(by, q));
  __m128 rz = _mm_add_ps(_mm_mul_ps(az, p), _mm_mul_ps(bz, q));
  const __m128 norm = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(rw, rw), _mm_mul_ps(rx, rx)), _mm_mul_ps(ry, ry)),
                                 _mm_mul_ps(rz, rz));
  const __m128 k = _mm_div_ps(_mm_set1_ps(1.0f), _mm_sqrt_ps(norm));
  rw = _mm_mul_ps(rw, k);
  rx = _mm_mul_ps(rx, k);
  ry = _mm_mul_ps(ry, k);
  rz = _mm_mul_ps(rz, k);
  Transpose_4(rw, rx, ry, rz);  // back to one quaternion per register
  _mm_storeu_ps(&out[0]->w, rw);
  if (count > 1) _mm_storeu_ps(&out[1]->w, rx);
  if (count > 2) _mm_storeu_ps(&out[2]->w, ry);
  if (count > 3) _mm_storeu_ps(&out[3]->w, rz);
}
#endif

}  // namespace Bone_Import
}  // namespace Vantorix
