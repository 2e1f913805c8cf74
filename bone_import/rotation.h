// Private: the hot rotation arithmetic, inline for sampling and the frame
// update. The exported Quaternion::To_Matrix and Blend call these.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/rotation.h is private to the library; include bone_import/bone_import.h"
#endif

#include "bone_import.h"

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

}  // namespace Bone_Import
}  // namespace Vantorix
