#include <gtest/gtest.h>

#include <cmath>

#include "bone_import/bone_import.h"

using namespace Vantorix::Bone_Import;

namespace {

Matrix_3x3<float> Rows(std::initializer_list<float> values) {
  Matrix_3x3<float> m;
  std::copy(values.begin(), values.end(), &m.m[0][0]);
  return m;
}

void Expect_Quaternion(const Quaternion& q, float w, float x, float y, float z, float tolerance = 1e-6f) {
  EXPECT_NEAR(q.w, w, tolerance);
  EXPECT_NEAR(q.v.x, x, tolerance);
  EXPECT_NEAR(q.v.y, y, tolerance);
  EXPECT_NEAR(q.v.z, z, tolerance);
}

}  // namespace

TEST(QuaternionFromMatrix, IdentityAndBackExactly) {
  const Quaternion q(Matrix_3x3<float>::Identity());
  EXPECT_EQ(q.w, 1.0f);
  EXPECT_EQ(q.v.x, 0.0f);
  EXPECT_EQ(q.v.y, 0.0f);
  EXPECT_EQ(q.v.z, 0.0f);
  Matrix_3x3<float> m;
  Quaternion::Identity().To_Matrix(m);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(m.m[i][j], i == j ? 1.0f : 0.0f);
}

TEST(QuaternionFromMatrix, TraceExactlyZeroTakesTheFirstBranch) {
  Expect_Quaternion(Quaternion(Rows({0, 0, 1, 1, 0, 0, 0, 1, 0})), 0.5f, 0.5f, 0.5f, 0.5f);
}

TEST(QuaternionFromMatrix, HalfTurnsAndTheTieRule) {
  Expect_Quaternion(Quaternion(Rows({1, 0, 0, 0, -1, 0, 0, 0, -1})), 0, 1, 0, 0);
  Expect_Quaternion(Quaternion(Rows({-1, 0, 0, 0, -1, 0, 0, 0, 1})), 0, 0, 0, 1);
  // m[0][0] == m[1][1]: the lower index (x) is chosen.
  const float h = std::sqrt(0.5f);
  Expect_Quaternion(Quaternion(Rows({0, 1, 0, 1, 0, 0, 0, 0, -1})), 0, h, h, 0);
}

TEST(QuaternionFromMatrix, RoundTripsRandomRotationsUpToSign) {
  for (int i = 0; i < 200; ++i) {
    Matrix_3x3<float> m;
    Template_Library::M3x3_S_S_S_Rot_ZYX(m, 0.1f * i - 10, 0.37f * i, -0.23f * i + 3);
    const Quaternion q(m);
    EXPECT_NEAR(q.w * q.w + q.v.x * q.v.x + q.v.y * q.v.y + q.v.z * q.v.z, 1.0f, 1e-5f);
    Matrix_3x3<float> back;
    q.To_Matrix(back);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(back.m[r][c], m.m[r][c], 2e-6f);
  }
}

TEST(QuaternionBlend, EndpointsAndNegatedInput) {
  const Quaternion a(0.9f, 0.1f, 0.3f, 0.2f);  // not quite unit: Blend normalises
  const Quaternion b(-0.2f, -0.8f, 0.1f, 0.55f);
  const float na = 1.0f / std::sqrt(0.9f * 0.9f + 0.01f + 0.09f + 0.04f);
  const Quaternion at0 = Blend(a, b, 0.0f);
  Expect_Quaternion(at0, a.w * na, a.v.x * na, a.v.y * na, a.v.z * na);

  const Quaternion unit_b = Blend(b, b, 1.0f);
  const Quaternion c(-unit_b.w, -unit_b.v.x, -unit_b.v.y, -unit_b.v.z);
  const Quaternion unit_a = Blend(a, a, 0.0f);
  // dot(a, b) < 0: the far end is -b; dot(a, -b) >= 0: b itself.
  ASSERT_LT(unit_a.w * unit_b.w + unit_a.v.x * unit_b.v.x + unit_a.v.y * unit_b.v.y + unit_a.v.z * unit_b.v.z, 0);
  Expect_Quaternion(Blend(unit_a, unit_b, 1.0f), c.w, c.v.x, c.v.y, c.v.z);
  Expect_Quaternion(Blend(unit_a, c, 1.0f), c.w, c.v.x, c.v.y, c.v.z);

  for (float f : {0.0f, 0.25f, 0.5f, 0.9f, 1.0f}) {
    const Quaternion minus_a(-unit_a.w, -unit_a.v.x, -unit_a.v.y, -unit_a.v.z);
    Expect_Quaternion(Blend(unit_a, minus_a, f), unit_a.w, unit_a.v.x, unit_a.v.y, unit_a.v.z);
  }
}

TEST(QuaternionBlend, ExactZeroDotKeepsThePositiveWeight) {
  const Quaternion a(1, 0, 0, 0), b(0, 1, 0, 0);
  const float h = std::sqrt(0.5f);
  Expect_Quaternion(Blend(a, b, 0.5f), h, h, 0, 0);
}
