#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>

#include "kernel.h"
#include "template_library.h"

using namespace Template_Library;

namespace {

Kernel::Exception Thrown(const char* condition, const char* message, int line) {
  try {
    Kernel::Throw_Error(condition, message, "bone_import/hier", line);
  } catch (const Kernel::Exception& e) {
    return e;
  }
  return Kernel::Exception("", "", "", 0);
}

}  // namespace

TEST(Kernel, CheckWithMessageCarriesAllFour) {
  Kernel::Inserter inserter = Kernel::Error::Tmp_Str_Inserter();
  inserter << "Can't open file " << std::string("a.bone") << '\0';
  const auto e = Thrown("!file.fail()", Kernel::Error::Tmp_Str(), 12);
  EXPECT_STREQ(e.Condition(), "!file.fail()");
  EXPECT_STREQ(e.Message(), "Can't open file a.bone");
  EXPECT_STREQ(e.File(), "bone_import/hier");
  EXPECT_EQ(e.Line(), 12);
  EXPECT_STREQ(e.what(), "Can't open file a.bone (!file.fail(), bone_import/hier:12)");
}

TEST(Kernel, PlainCheckHasAnEmptyMessage) {
  const auto e = Thrown(nullptr, "bone_count == hier.Bone_Count()", 7);
  EXPECT_STREQ(e.Condition(), "bone_count == hier.Bone_Count()");
  EXPECT_STREQ(e.Message(), "");
  EXPECT_STREQ(e.what(), "check failed (bone_count == hier.Bone_Count(), bone_import/hier:7)");
}

TEST(Kernel, MessageBufferIsPerThreadAndStartsEmptyForEachMessage) {
  Kernel::Error::Tmp_Str_Inserter() << "first message" << '\0';
  std::string other;
  std::thread([&] {
    Kernel::Error::Tmp_Str_Inserter() << "other" << '\0';
    other = Kernel::Error::Tmp_Str();
  }).join();
  EXPECT_EQ(other, "other");
  EXPECT_STREQ(Kernel::Error::Tmp_Str(), "first message");
  Kernel::Error::Tmp_Str_Inserter() << "b" << '\0';
  EXPECT_STREQ(Kernel::Error::Tmp_Str(), "b");
}

TEST(TemplateLibrary, RotZYXTurnsXThenYThenZ) {
  const float half_pi = float(M_PI / 2);
  Matrix_3x3<float> m;
  M3x3_S_S_S_Rot_ZYX(m, 0.0f, 0.0f, 0.0f);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(m.m[i][j], i == j ? 1.0f : 0.0f);

  // Rz(90) * Rx(90): y goes to z first (x turn), then z stays under the z turn.
  M3x3_S_S_S_Rot_ZYX(m, half_pi, 0.0f, half_pi);
  Vector_3<float> y{0, 1, 0};
  M3x3_V3_Mul(m, y, y);
  EXPECT_NEAR(y.x, 0, 1e-6);
  EXPECT_NEAR(y.y, 0, 1e-6);
  EXPECT_NEAR(y.z, 1, 1e-6);
  // x: unchanged by the x turn, then the z turn sends it to y.
  Vector_3<float> x{1, 0, 0};
  M3x3_V3_Mul(m, x, x);
  EXPECT_NEAR(x.y, 1, 1e-6);
  // A positive y turn sends z to x (right-handed).
  M3x3_S_S_S_Rot_ZYX(m, 0.0f, half_pi, 0.0f);
  Vector_3<float> z{0, 0, 1};
  M3x3_V3_Mul(m, z, z);
  EXPECT_NEAR(z.x, 1, 1e-6);
}

TEST(TemplateLibrary, OutputsMayAliasInputs) {
  Matrix_3x3<float> a{{{1, 2, 3}, {4, 5, 6}, {7, 8, 10}}};
  Matrix_3x3<float> b{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};
  Matrix_3x3<float> expected;
  M3x3_M3x3_Mul(a, b, expected);
  Matrix_3x3<float> in_place = b;
  M3x3_M3x3_Mul(a, in_place, in_place);
  Matrix_3x3<float> left_in_place = a;
  M3x3_M3x3_Mul(left_in_place, b, left_in_place);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(in_place.m[i][j], expected.m[i][j]);
      EXPECT_EQ(left_in_place.m[i][j], expected.m[i][j]);
    }
  EXPECT_EQ(expected.m[0][0], -2.0f);  // row 0 of a times column 0 of b

  Matrix_3x3<float> t = b;
  M3x3_Trn_M3x3_Mul(a, t, t);
  EXPECT_EQ(t.m[0][0], 1 * 0 + 4 * -1 + 7 * 0);

  Vector_3<float> v{1, 2, 3}, offset{10, 20, 30}, out;
  M3x3_V3_Mul_V3_Add(a, v, offset, out);
  EXPECT_EQ(out.x, 1 + 4 + 9 + 10.0f);
  M3x3_V3_Mul(a, v, v);
  EXPECT_EQ(v.z, 7 + 16 + 30.0f);

  Vector_3<float> p{1, 2, 3}, q{4, 6, 3};
  V3_S_Mul_V3_S_Mul_Add(p, q, p, 2.0f, 0.5f);
  EXPECT_EQ(p.x, 4.0f);
  EXPECT_EQ(V3_V3_Sub_Norm(Vector_3<float>{1, 2, 3}, Vector_3<float>{4, 6, 3}), 25.0f);
  EXPECT_EQ(Inv_Sqrt(4.0f), 0.5f);
  EXPECT_EQ(Inv_Sqrt(2.0f), 1.0f / std::sqrt(2.0f));
}

// The raw forms, float (*)[3] matrices, float* vectors and scalars of any
// arithmetic type, give what the typed forms give, aliasing included.
TEST(TemplateLibrary, RawArraysAndOtherScalarTypesMatchTheTypedForms) {
  const float a[3][3] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 10}};
  float b[3][3] = {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  const Matrix_3x3<float> ta{{{1, 2, 3}, {4, 5, 6}, {7, 8, 10}}}, tb{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};
  Matrix_3x3<float> product, transposed, turned;
  M3x3_M3x3_Mul(ta, tb, product);
  M3x3_Trn_M3x3_Mul(ta, tb, transposed);
  M3x3_S_S_S_Rot_ZYX(turned, 0.3f, -0.2f, 0.1f);
  float t[3][3] = {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}, r[3][3];
  M3x3_M3x3_Mul(a, b, b);                 // out = b, as callers pass it
  M3x3_Trn_M3x3_Mul(ta, t, t);            // typed and raw mixed
  M3x3_S_S_S_Rot_ZYX(r, 0.3, -0.2, 0.1);  // doubles convert
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(b[i][j], product.m[i][j]);
      EXPECT_EQ(t[i][j], transposed.m[i][j]);
      EXPECT_EQ(r[i][j], turned.m[i][j]);
    }
  float v[3] = {1, 2, 3}, out[3];
  const float offset[3] = {10, 20, 30};
  M3x3_V3_Mul_V3_Add(a, v, offset, out);
  EXPECT_EQ(out[0], 1 + 4 + 9 + 10.0f);
  M3x3_V3_Mul(a, v, v);
  EXPECT_EQ(v[2], 7 + 16 + 30.0f);
  float p[3] = {1, 2, 3};
  const float q[3] = {4, 6, 3};
  V3_S_Mul_V3_S_Mul_Add(p, q, p, 2.0, 1);
  EXPECT_EQ(p[0], 6.0f);
  Vector_3<float> typed{1, 2, 3};
  V3_S_Mul_V3_S_Mul_Add(typed, typed, typed, 2.0, 0.5);
  EXPECT_EQ(typed.y, 5.0f);
  EXPECT_EQ(V3_V3_Sub_Norm(q, offset), 36.0f + 196.0f + 729.0f);
  EXPECT_EQ(Inv_Sqrt(4.0), 0.5);
}

namespace {
struct Counting_Node : HTSC_Node_String {
  Counting_Node(const char* key, int& deaths) : HTSC_Node_String(key), deaths(deaths) {}
  ~Counting_Node() override { ++deaths; }
  int& deaths;
};
}  // namespace

TEST(TemplateLibrary, HashTableFindsExactKeysAndOwnsItsNodes) {
  int deaths = 0;
  {
    HTSC_Table_Base table(739);
    auto* walk = new Counting_Node("walk", deaths);
    auto* walk_again = new Counting_Node("walk", deaths);
    table.Add(walk);
    table.Add(new Counting_Node("Run", deaths));
    table.Add(walk_again);
    HTSC_Node_String probe("walk"), upper("WALK"), missing("jump"), run("Run");
    EXPECT_EQ(table.Find(probe), walk);  // the first added of equal keys
    EXPECT_EQ(table.Find(upper), nullptr);
    EXPECT_EQ(table.Find(missing), nullptr);
    ASSERT_NE(table.Find(run), nullptr);
    EXPECT_EQ(static_cast<HTSC_Node_String*>(table.Find(run))->Key(), "Run");
    EXPECT_LT(probe.Index(739), 739u);
  }
  EXPECT_EQ(deaths, 3);
}

TEST(TemplateLibrary, HashTableWithOneBucketChainsEverything) {
  HTSC_Table_Base table(1);
  for (int i = 0; i < 50; ++i) table.Add(new HTSC_Node_String(std::to_string(i).c_str()));
  for (int i = 0; i < 50; ++i) {
    HTSC_Node_String probe(std::to_string(i).c_str());
    ASSERT_NE(table.Find(probe), nullptr);
  }
}
