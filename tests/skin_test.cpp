#include <map>

#include "support/file_builders.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Error_Of;
using test_support::Skin_File_Data;
using test_support::Temp_File;
using Vertex = Skin_File::Vertex;

namespace {

void Expect_Error(const Kernel::Exception& e, const char* condition, const std::string& message) {
  EXPECT_STREQ(e.Condition(), condition);
  EXPECT_EQ(std::string(e.Message()), message);
  EXPECT_STREQ(e.File(), "bone_import/skin");
}

bool Same(const Vertex& a, const Vertex& b) {
  return a.bone == b.bone && a.x == b.x && a.y == b.y && a.z == b.z && a.weight == b.weight &&
         a.vertex_index == b.vertex_index;
}

// A hierarchy "Hips" (root) -> "Spine" -> "Head".
struct Skeleton {
  Skeleton() : file(Bone_File().Root("Hips", {}).Bone("Spine", "Hips", {}).Bone("Head", "Spine", {}).Data()) {
    hierarchy.Import(file.path());
  }
  Temp_File file;
  Hierarchy hierarchy;
};

const std::vector<Vertex> BODY = {{0, 1, 2, 3, 0.5f, 10}, {1, 4, 5, 6, 1.0f, 11}, {0, 7, 8, 9, 0.5f, 12}};

}  // namespace

TEST(SkinFile, WorkedExampleIs89BytesWithTheCountAt32) {
  const std::string data =
      Skin_File_Data().Bones({"root"}).Skin("body", {{0, 1, 2, 3, 1, 0}, {0, 4, 5, 6, 1, 1}}).Data();
  ASSERT_EQ(data.size(), 89u);
  EXPECT_EQ(data.substr(84), std::string("SIGN\0", 5));
  Temp_File file(data);
  Skin_File skins(file.path());
  EXPECT_EQ(skins.Skin_Count(), 1u);
  EXPECT_EQ(skins.Bone_Count(), 1u);
  EXPECT_STREQ(skins.Bone_Name(0), "root");
  std::vector<Vertex> vertices;
  ASSERT_TRUE(skins.Get_Skin(vertices, "body"));
  ASSERT_EQ(vertices.size(), 2u);
  EXPECT_EQ(vertices[1].z, 6.0f);
  EXPECT_EQ(vertices[1].vertex_index, 1u);
}

TEST(SkinFile, GetSkinInAnyOrderRepeatedAndExactNames) {
  Temp_File file(Skin_File_Data()
                     .Bones({"Hips", "Spine"})
                     .Skin("body", BODY)
                     .Skin("Body", {{1, 0, 0, 0, 1, 99}})
                     .Skin("empty", {})
                     .Data() +
                 "trailing");
  Skin_File skins(file.path());
  std::vector<Vertex> vertices;
  ASSERT_TRUE(skins.Get_Skin(vertices, "empty"));
  EXPECT_TRUE(vertices.empty());
  ASSERT_TRUE(skins.Get_Skin(vertices, "Body"));
  ASSERT_EQ(vertices.size(), 1u);
  EXPECT_EQ(vertices[0].vertex_index, 99u);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(skins.Get_Skin(vertices, "body"));
    ASSERT_EQ(vertices.size(), 3u);  // emptied first, then filled in file order
    for (std::size_t i = 0; i < BODY.size(); ++i) EXPECT_TRUE(Same(vertices[i], BODY[i]));
  }
  EXPECT_FALSE(skins.Get_Skin(vertices, "BODY"));
  EXPECT_EQ(vertices.size(), 3u);  // a miss leaves the vector untouched
  EXPECT_STREQ(skins.Skin_Name(2), "empty");
}

TEST(SkinFile, EmptyTablesAndNoSkins) {
  Temp_File none(Skin_File_Data().Data());
  Skin_File skins(none.path());
  std::vector<Vertex> vertices(2);
  EXPECT_FALSE(skins.Get_Skin(vertices, ""));
  EXPECT_EQ(vertices.size(), 2u);

  Skeleton skeleton;
  Temp_File no_bones(Skin_File_Data().Skin("s", {}).Data());
  Skin_File skin_file(no_bones.path());
  Skin skin;
  skin.Import(skin_file, "s", skeleton.hierarchy);
  EXPECT_EQ(skin.bone_count, 0u);
  EXPECT_NE(skin.vert_count, nullptr);
}

TEST(SkinFileErrors, ReportsEachCheckWithItsTexts) {
  struct Case {
    const char* what;
    std::function<void(Skin_File_Data&)> damage;
    const char* condition;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"bone file header", [](Skin_File_Data& f) { f.header = "BONE"; }, "ts == SKIN_FILE_HEADER",
       "Invalid skinfile (wrong header) "},
      {"lower case header", [](Skin_File_Data& f) { f.header = "skin"; }, "ts == SKIN_FILE_HEADER",
       "Invalid skinfile (wrong header) "},
      {"longer header", [](Skin_File_Data& f) { f.header = "SKINS"; }, "ts == SKIN_FILE_HEADER",
       "Invalid skinfile (wrong header) "},
      {"table sign", [](Skin_File_Data& f) { f.table_sign = "SIGM"; }, "ts == END_SIGN",
       "Invalid skinfile (can't find end sign) "},
      {"huge bone count", [](Skin_File_Data& f) { f.bone_count = 0xFFFFFFFFu; }, "ts == END_SIGN",
       "Invalid skinfile (can't find end sign) "},
      {"count one smaller", [](Skin_File_Data& f) { f.skins[0].count = 2; }, "ts == END_SIGN",
       "Invalid skinfile (can't find end sign aftes skin) "},
      {"huge count", [](Skin_File_Data& f) { f.skins[0].count = 0xFFFFFFFFu; }, "ts == END_SIGN",
       "Invalid skinfile (can't find end sign aftes skin) "},
      {"skin sign", [](Skin_File_Data& f) { f.skins[0].end_sign = "NGIS"; }, "ts == END_SIGN",
       "Invalid skinfile (can't find end sign aftes skin) "},
      {"huge skin count", [](Skin_File_Data& f) { f.skin_count = 0x7FFFFFFFu; }, "ts == END_SIGN",
       "Invalid skinfile (can't find end sign aftes skin) "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Skin_File_Data data = Skin_File_Data().Bones({"Hips", "Spine"}).Skin("body", BODY);
    c.damage(data);
    Temp_File file(data.Data());
    Expect_Error(Error_Of([&] { Skin_File skins(file.path()); }), c.condition, c.message + std::string(file.path()));
  }
  Expect_Error(Error_Of([] { Skin_File skins("/nonexistent.skin"); }), "!file.fail()",
               "Can't open skinfile /nonexistent.skin");
}

TEST(SkinFileErrors, BoneOutsideTheTableComesAsStoredAndSkinImportRefusesIt) {
  Temp_File file(Skin_File_Data().Bones({"Hips"}).Skin("body", {{0, 1, 1, 1, 1, 0}, {7, 1, 1, 1, 1, 1}}).Data());
  Skin_File skins(file.path());
  std::vector<Vertex> vertices;
  ASSERT_TRUE(skins.Get_Skin(vertices, "body"));
  ASSERT_EQ(vertices.size(), 2u);
  EXPECT_EQ(vertices[1].bone, 7u);

  Skeleton skeleton;
  Skin skin;
  const auto e = Error_Of([&] { skin.Import(skins, "body", skeleton.hierarchy); });
  EXPECT_STREQ(e.Condition(), "record.bone < skin_file.bone_count");
  EXPECT_EQ(std::string(e.Message()),
            "Bone out of range in skinfile " + std::string(file.path()) + " skin body record 1");
  EXPECT_EQ(skin.vert_count, nullptr);
}

TEST(SkinFile, InputThatCannotSeekOpensButCannotGoBackForItsSkins) {
  test_support::Pipe pipe(Skin_File_Data().Bones({"Hips"}).Skin("a", {{0, 1, 1, 1, 1, 0}}).Skin("b", {}).Data());
  Skin_File skins(pipe.path());
  EXPECT_EQ(skins.Skin_Count(), 2u);
  EXPECT_STREQ(skins.Skin_Name(1), "b");
  std::vector<Vertex> vertices(3);
  const auto e = Error_Of([&] { skins.Get_Skin(vertices, "a"); });
  EXPECT_STREQ(e.Condition(), "!file->fail()");
  EXPECT_EQ(std::string(e.Message()), "Can't read skin a of skinfile " + std::string(pipe.path()) +
                                          ": skins are read from a file that can seek, not a pipe");
  EXPECT_EQ(vertices.size(), 3u);
}

TEST(SkinFileErrors, FileShortenedAfterOpeningIsAnErrorNotGarbage) {
  const std::string data =
      Skin_File_Data().Bones({"Hips"}).Skin("body", {{0, 1, 1, 1, 1, 0}, {0, 2, 2, 2, 1, 1}}).Data();
  Temp_File file(data);
  Skin_File skins(file.path());
  file.Write(data.substr(0, 40));
  std::vector<Vertex> vertices(1);
  EXPECT_STREQ(Error_Of([&] { skins.Get_Skin(vertices, "body"); }).File(), "bone_import/skin");
  EXPECT_EQ(vertices.size(), 1u);
}

TEST(SkinImport, GroupsRecordsByBoneInFileOrder) {
  Skeleton skeleton;
  Temp_File file(Skin_File_Data().Bones({"hips", "SPINE", "Head"}).Skin("body", BODY).Data());
  Skin_File skins(file.path());
  Skin skin;
  skin.Import(skins, "body", skeleton.hierarchy);
  ASSERT_EQ(skin.bone_count, 3u);
  EXPECT_EQ(skin.vert_count[0], 2u);
  EXPECT_EQ(skin.vert_count[1], 1u);
  EXPECT_EQ(skin.vert_count[2], 0u);
  EXPECT_EQ(skin.vert_index[2], nullptr);
  EXPECT_EQ(skin.vert_pos[2], nullptr);
  EXPECT_EQ(skin.vert_weight[2], nullptr);
  EXPECT_EQ(skin.vert_index[0][0], 10u);
  EXPECT_EQ(skin.vert_index[0][1], 12u);
  EXPECT_EQ(skin.vert_pos[0][1].x, 7.0f);
  EXPECT_EQ(skin.vert_pos[0][1].z, 9.0f);
  EXPECT_EQ(skin.vert_weight[1][0], 1.0f);

  EXPECT_EQ(std::string(Error_Of([&] { skin.Import(skins, "body", skeleton.hierarchy); }).Message()),
            "Skin data already imported!");
  EXPECT_EQ(skin.vert_count[0], 2u);
}

TEST(SkinImport, BoneTableInAnotherOrderLandsOnTheRightBones) {
  Skeleton skeleton;
  // Table entry 0 is the hierarchy's bone 2, entry 1 is bone 0.
  Temp_File file(
      Skin_File_Data().Bones({"Head", "Hips"}).Skin("body", {{0, 1, 0, 0, 1, 5}, {1, 2, 0, 0, 1, 6}}).Data());
  Skin_File skins(file.path());
  Skin skin;
  skin.Import(skins, "body", skeleton.hierarchy);
  ASSERT_EQ(skin.bone_count, 3u);  // raised to hold the highest bone a record maps to
  EXPECT_EQ(skin.vert_count[2], 1u);
  EXPECT_EQ(skin.vert_index[2][0], 5u);
  EXPECT_EQ(skin.vert_count[0], 1u);
  EXPECT_EQ(skin.vert_index[0][0], 6u);
  EXPECT_EQ(skin.vert_count[1], 0u);
}

TEST(SkinImport, UnknownSkinOrBoneLeavesTheSkinEmptyAndImportable) {
  Skeleton skeleton;
  Temp_File file(Skin_File_Data()
                     .Bones({"Hips", "Tail"})
                     .Skin("bad", {{1, 0, 0, 0, 1, 0}})
                     .Skin("good", {BODY[0], BODY[2]})
                     .Data());
  Skin_File skins(file.path());
  Skin skin;
  Expect_Error(Error_Of([&] { skin.Import(skins, "nope", skeleton.hierarchy); }), "ok", "Can't find skin nope");
  const auto unknown = Error_Of([&] { skin.Import(skins, "bad", skeleton.hierarchy); });
  EXPECT_STREQ(unknown.Condition(), "0");
  EXPECT_STREQ(unknown.Message(), "Invalid bone name Tail");
  EXPECT_EQ(skin.vert_count, nullptr);
  skin.Import(skins, "good", skeleton.hierarchy);
  EXPECT_EQ(skin.vert_count[0], 2u);
}

TEST(SkinnedMesh, OneWeightRuleAndThePlainSumToTheBit) {
  Skeleton skeleton;
  const float nan = std::nanf(""), inf = INFINITY;
  struct Case {
    Vertex record;
    float weight;  // under the rule
  };
  const std::vector<Case> cases = {
      {{0, 1, 2, 3, 0.5f, 10}, 0.25f},      // vertex 10: divided by the sum
      {{2, -1, 0, 2, 1.5f, 10}, 0.75f},     //
      {{1, 4, 5, 6, 1.0f, 11}, 1.0f},       // 11: as stored
      {{0, 7, 8, 9, -1.0f, 12}, 1.0f / 3},  // 12: negative, NaN, infinite count as 0;
      {{1, 0, 1, 0, nan, 12}, 1.0f / 3},    //     nothing counts: equal shares
      {{2, 3, 0, 1, inf, 12}, 1.0f / 3},    //
      {{0, 1, 1, 1, 2.0f, 13}, 1.0f},       // 13: one counts
      {{1, 2, 2, 2, -3.0f, 13}, 0.0f},      //
      {{2, 5, 0, 0, 0.25f, 40}, 0.25f},     // 40: one bone twice
      {{2, 0, 5, 0, 0.75f, 40}, 0.75f},     //
  };
  std::vector<Vertex> records;
  for (const Case& c : cases) records.push_back(c.record);
  Temp_File file(Skin_File_Data().Bones({"Hips", "Spine", "Head"}).Skin("body", records).Data());
  Skin_File skins(file.path());
  Skin skin;
  skin.Import(skins, "body", skeleton.hierarchy);
  const Skinned_Mesh mesh(skin);
  ASSERT_EQ(mesh.Point_Count(), 5u);
  EXPECT_EQ(std::vector<unsigned int>(mesh.Vertex_Indices(), mesh.Vertex_Indices() + 5),
            (std::vector<unsigned int>{10, 11, 12, 13, 40}));
  EXPECT_EQ(mesh.Bone_Count(), 3u);
  EXPECT_EQ(mesh.Renormalised_Count(), 3u);  // 10, 12 and 13
  std::vector<unsigned int> slot(3, 0);
  for (const Case& c : cases) EXPECT_EQ(mesh.Weight(c.record.bone, slot[c.record.bone]++), c.weight);

  // A pose of any matrices: each point is the sum of weight * (Base *
  // position + Offset) over its bindings by bone, then in file order, in
  // exactly the operations of the plain formula, on the SSE path too.
  const Matrix_3x3<float> bases[3] = {{{{0.5f, -1, 2}, {3, 0.25f, -4}, {1, 1, 1}}},
                                      {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}},
                                      {{{0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}, {0.7f, 0.8f, 0.9f}}}};
  const Vector_3<float> offsets[3] = {{1, 2, 3}, {-0.5f, 0, 7}, {0.3f, 0.3f, 0.3f}};
  std::map<unsigned int, Vector_3<float>> expected;
  for (unsigned int bone = 0; bone < 3; ++bone)
    for (const Case& c : cases) {
      if (c.record.bone != bone) continue;
      Vector_3<float> p;
      Template_Library::M3x3_V3_Mul_V3_Add(bases[bone], Vector_3<float>{c.record.x, c.record.y, c.record.z},
                                           offsets[bone], p);
      Vector_3<float>& sum = expected.emplace(c.record.vertex_index, Vector_3<float>{0, 0, 0}).first->second;
      Template_Library::V3_S_Mul_V3_S_Mul_Add(sum, p, sum, 1.0f, c.weight);
    }
  std::vector<Vector_3<float>> points(5);
  mesh.Deform(bases, offsets, points.data());
  for (unsigned int p = 0; p < 5; ++p)
    EXPECT_EQ(std::memcmp(&points[p], &expected[mesh.Vertex_Indices()[p]], sizeof points[p]), 0) << p;

  // From a frame: its outputs, each brought up to date (here only bone 1 is
  // stale). A frame of fewer bones than the skin binds is refused.
  Frame frame(skeleton.hierarchy, false);
  frame.Rotate_Base(bases[1], 1);
  std::vector<Vector_3<float>> from_frame(5);
  mesh.Deform(frame, from_frame.data());
  const Matrix_3x3<float> now[3] = {frame.Base(0), frame.Base(1), frame.Base(2)};
  const Vector_3<float> at[3] = {frame.Offset(0), frame.Offset(1), frame.Offset(2)};
  mesh.Deform(now, at, points.data());
  EXPECT_EQ(std::memcmp(points.data(), from_frame.data(), 5 * sizeof points[0]), 0);
  Temp_File two_bones(Bone_File().Root("Hips", {}).Bone("Spine", "Hips", {}).Data());
  Hierarchy small;
  small.Import(two_bones.path());
  Frame small_frame(small, false);
  Expect_Error(Error_Of([&] { mesh.Deform(small_frame, points.data()); }), "frame.bone_count >= bone_count",
               "Frame of 2 bones, the skin binds bone 2");
}
