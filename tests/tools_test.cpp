// The tools library: writer round trips, rotation angles and the validator.
#include <cmath>
#include <fstream>

#include "support/file_builders.h"
#include "validate/validator.h"
#include "writers/animation_data.h"

using namespace Vantorix::Bone_Import;
using namespace Vantorix::Bone_Tools;
using test_support::Bone_File;
using test_support::Keys_At;
using test_support::Temp_File;

namespace {

Quaternion From_Angles(float r0, float r1, float r2) {
  Matrix_3x3<float> m;
  Template_Library::M3x3_S_S_S_Rot_ZYX(m, r2, r1, r0);
  return Quaternion(m);
}

float Abs_Dot(const Quaternion& a, const Quaternion& b) {
  return std::fabs(a.w * b.w + a.v.x * b.v.x + a.v.y * b.v.y + a.v.z * b.v.z);
}

std::vector<std::string> Messages(const std::vector<Finding>& findings) {
  std::vector<std::string> out;
  for (const Finding& f : findings) out.push_back(f.message);
  return out;
}

bool Has(const std::vector<Finding>& findings, const std::string& part) {
  for (const Finding& f : findings)
    if (f.message.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(RotationAngles, ReproduceTheRotationIncludingGimbalLock) {
  const float half_pi = float(M_PI / 2);
  for (float r1 : {-half_pi, -1.2f, -0.3f, 0.0f, 0.7f, half_pi, 1.5707f})
    for (float r0 : {-2.5f, 0.0f, 0.4f, 3.0f})
      for (float r2 : {-1.0f, 0.0f, 2.0f}) {
        const Quaternion q = From_Angles(r0, r1, r2);
        const Angles a = Rotation_Angles(q);
        const Quaternion back = From_Angles(a.r0, a.r1, a.r2);
        EXPECT_NEAR(Abs_Dot(q, back), 1.0f, 1e-6f) << r0 << " " << r1 << " " << r2;
      }
}

TEST(BoneWriter, RoundTripKeepsNamesParentsTimesOffsetsAndRotations) {
  std::vector<test_support::Key> keys;
  for (int k = 0; k <= 20; ++k)
    keys.push_back({k * 0.05f, 0.3f * k - 2, 0.1f * k, -0.2f * k, k * 1.5f, -float(k), 1e-7f * k});
  test_support::Imported original(
      Bone_File().Root("Hips", keys).Bone("spine", "hips", keys).Bone("Head_End", "SPINE", Keys_At({0, 1})));
  Temp_File written("");
  Write_Bone_File(written.path(), From_Sequence(original.sequence));
  Hierarchy h;
  h.Import(written.path());
  Sequence s(h);
  s.Import(written.path());
  EXPECT_TRUE(h == original.hierarchy);
  EXPECT_EQ(s.Lenght(), original.sequence.Lenght());
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
    ASSERT_EQ(s.Key_Count(b), original.sequence.Key_Count(b));
    for (unsigned int k = 0; k < s.Key_Count(b); ++k) {
      EXPECT_EQ(s.Key_Times(b)[k], original.sequence.Key_Times(b)[k]);
      EXPECT_EQ(s.Key_Offsets(b)[k].z, original.sequence.Key_Offsets(b)[k].z);
      EXPECT_NEAR(Abs_Dot(s.Key_Rotations(b)[k], original.sequence.Key_Rotations(b)[k]), 1.0f, 1e-6f);
    }
  }
}

TEST(SkinWriter, RoundTripThroughTheSkinFileIndex) {
  Skin_File_Data data;
  data.bones = {"a", "b"};
  data.skins.push_back({"first", {{1, 1, 2, 3, 0.5f, 9}}});
  data.skins.push_back({"second", {}});
  Temp_File written("");
  Write_Skin_File(written.path(), data);
  Skin_File file(written.path());
  std::vector<Skin_File::Vertex> vertices;
  ASSERT_TRUE(file.Get_Skin(vertices, "first"));
  ASSERT_EQ(vertices.size(), 1u);
  EXPECT_EQ(vertices[0].bone, 1u);
  EXPECT_EQ(vertices[0].weight, 0.5f);
  EXPECT_TRUE(file.Get_Skin(vertices, "second"));
  EXPECT_STREQ(file.Bone_Name(1), "b");
}

TEST(Validator, CleanFileHasNoFindings) {
  const std::string data = Bone_File().Length(2).Root("r", Keys_At({0, 1, 2})).Bone("c", "R", Keys_At({0, 2})).Data();
  EXPECT_TRUE(Validate_Bone_File(data).empty()) << ::testing::PrintToString(Messages(Validate_Bone_File(data)));
}

TEST(Validator, FindsWhatTheImportersAccept) {
  Bone_File data = Bone_File()
                       .Length(2)
                       .Root("r", Keys_At({0, 1, 1, 2}))    // times not strictly increasing
                       .Bone("a", "r", Keys_At({0.5f, 2}))  // first key not at 0
                       .Bone("b", "r", Keys_At({0, 1.5f}))  // last key not at the length
                       .Bone("A", "r", Keys_At({0, 2}))     // repeats "a"
                       .Bone("x", "y", Keys_At({0, 2}))     // x and y loop
                       .Bone("y", "x", Keys_At({0, 2}))
                       .Root("r2", Keys_At({0, std::nanf("")}));  // second root flag, NaN time
  const std::vector<Finding> findings = Validate_Bone_File(data.Data());
  for (const char* expected :
       {"does not increase strictly", "first key is not at time 0", "last key is not at the length",
        "without regard to case", "parent links loop", "several bones carry the root flag", "time is not finite"})
    EXPECT_TRUE(Has(findings, expected)) << expected << " in " << ::testing::PrintToString(Messages(findings));
  for (const Finding& f : findings)
    if (f.message == "first key is not at time 0") {
      EXPECT_EQ(f.bone, "a");
      EXPECT_EQ(f.key, 0);
    }
}

TEST(Validator, DamagedStructureIsReportedNotThrown) {
  const std::string data = Bone_File().Root("r", Keys_At({0, 1})).Data();
  for (std::size_t cut = 0; cut < data.size(); ++cut) EXPECT_FALSE(Validate_Bone_File(data.substr(0, cut)).empty());
  Bone_File huge = Bone_File().Root("r", Keys_At({0, 1}));
  huge.bones[0].key_count = 0xFFFFFFFFu;
  EXPECT_TRUE(Has(Validate_Bone_File(huge.Data()), "more than the rest of the file holds"));
}

TEST(Validator, SkinBonesOutOfRangeAndTableOrder) {
  Temp_File bones(Bone_File().Root("hips", Keys_At({0, 1})).Bone("spine", "hips", Keys_At({0, 1})).Data());
  Hierarchy h;
  h.Import(bones.path());
  test_support::Skin_File_Data skin;
  skin.Bones({"Spine", "hips"}).Skin("s", {{0, 0, 0, 0, 1, 0}, {5, 0, 0, 0, 1, 1}});
  const auto without = Validate_Skin_File(skin.Data(), nullptr);
  ASSERT_EQ(without.size(), 1u);
  EXPECT_EQ(without[0].message, "skin s record 1: bone 5 is outside the bone table");
  EXPECT_TRUE(Has(Validate_Skin_File(skin.Data(), &h), "not in the hierarchy's order"));
}
