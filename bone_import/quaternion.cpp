#include <cmath>

#include "bone_import.h"
#include "rotation.h"

namespace Vantorix {
namespace Bone_Import {

Quaternion::Quaternion(const Matrix_3x3<float>& matrix) {
  const float(*m)[3] = matrix.m;
  const double t = (double(m[1][1]) + m[2][2]) + m[0][0];
  double qw, qx, qy, qz;
  if (!(t < 0.0)) {
    const double s = std::sqrt(t + 1.0);
    const double r = 0.5 / s;
    qw = 0.5 * s;
    qx = (double(m[2][1]) - m[1][2]) * r;
    qy = (double(m[0][2]) - m[2][0]) * r;
    qz = (double(m[1][0]) - m[0][1]) * r;
  } else {
    // Largest diagonal element; a tie keeps the lower index.
    int i = 0;
    if (m[1][1] > m[0][0]) i = 1;
    if (m[2][2] > m[i][i]) i = 2;
    if (i == 0) {
      const double s = std::sqrt(double(m[0][0]) - (double(m[1][1]) + m[2][2]) + 1.0);
      const double r = 0.5 / s;
      qx = 0.5 * s;
      qy = (double(m[1][0]) + m[0][1]) * r;
      qz = (double(m[2][0]) + m[0][2]) * r;
      qw = (double(m[2][1]) - m[1][2]) * r;
    } else if (i == 1) {
      const double s = std::sqrt(double(m[1][1]) - (double(m[0][0]) + m[2][2]) + 1.0);
      const double r = 0.5 / s;
      qy = 0.5 * s;
      qz = (double(m[2][1]) + m[1][2]) * r;
      qx = (double(m[1][0]) + m[0][1]) * r;
      qw = (double(m[0][2]) - m[2][0]) * r;
    } else {
      const double s = std::sqrt(double(m[2][2]) - (double(m[1][1]) + m[0][0]) + 1.0);
      const double r = 0.5 / s;
      qz = 0.5 * s;
      qx = (double(m[2][0]) + m[0][2]) * r;
      qy = (double(m[2][1]) + m[1][2]) * r;
      qw = (double(m[1][0]) - m[0][1]) * r;
    }
  }
  w = float(qw);
  v = Vector_3<float>{float(qx), float(qy), float(qz)};
}

void Quaternion::To_Matrix(Matrix_3x3<float>& m) const { Rotation_Matrix(*this, m); }

Quaternion Blend(const Quaternion& a, const Quaternion& b, float f) { return Blend_Rotations(a, b, f); }

}  // namespace Bone_Import
}  // namespace Vantorix
