#include <cmath>

#include "support/file_builders.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Error_Of;
using test_support::Key;
using test_support::Keys_At;
using test_support::Temp_File;

namespace {

Bone_File Skeleton() {
  return Bone_File()
      .Length(2.0f)
      .Root("Hips", {{0, 0, 0, 0, 1, 2, 3}, {2, 0.5f, 0, 0, 4, 5, 6}})
      .Bone("Spine", "hips", {{0}, {1, 0, 0.25f, 0}, {2}})
      .Bone("Head", "spine", Keys_At({0, 2}));
}

void Expect_Error(const Kernel::Exception& e, const char* condition, const std::string& message) {
  EXPECT_STREQ(e.Condition(), condition);
  EXPECT_EQ(std::string(e.Message()), message);
  EXPECT_STREQ(e.File(), "bone_import/bones");
}

}  // namespace

TEST(SequenceImport, StoresTimesOffsetsLengthAndRotationsAsRead) {
  test_support::Imported file(Skeleton());
  const Sequence& s = file.sequence;
  EXPECT_EQ(s.Lenght(), 2.0f);
  EXPECT_FALSE(s.Is_Empty());
  EXPECT_EQ(&s.Get_Hierarchy(), &file.hierarchy);
  ASSERT_EQ(s.Key_Count(0), 2u);
  EXPECT_EQ(s.Key_Times(0)[1], 2.0f);
  EXPECT_EQ(s.Key_Offsets(0)[1].z, 6.0f);
  // Zero angles give the identity exactly; r0 = 0.5 is a turn about x.
  EXPECT_EQ(s.Key_Rotations(0)[0].w, 1.0f);
  EXPECT_EQ(s.Key_Rotations(0)[0].v.x, 0.0f);
  EXPECT_NEAR(s.Key_Rotations(0)[1].w, std::cos(0.25f), 1e-6);
  EXPECT_NEAR(s.Key_Rotations(0)[1].v.x, std::sin(0.25f), 1e-6);
  EXPECT_NEAR(s.Key_Rotations(1)[1].v.y, std::sin(0.125f), 1e-6);  // r1 turns about y
  EXPECT_EQ(s.Key_Count(1), 3u);
}

TEST(SequenceImport, MatchesRecordsByNameInAnyOrderAndCase) {
  Temp_File skeleton(Skeleton().Data());
  Bone_File reordered = Bone_File().Length(2.0f);
  reordered.Bone("HEAD", "x", {{0, 0, 0, 0, 7, 7, 7}, {2}});
  reordered.Root("spine", Keys_At({0, 1, 1.5f, 2}));  // parents and root flags are not used
  reordered.Bone("hIpS", "", Keys_At({0, 2}));
  Temp_File animation(reordered.Data());
  Hierarchy h;
  h.Import(skeleton.path());
  Sequence s(h);
  s.Import(animation.path());
  EXPECT_EQ(s.Key_Count(h.Bone_Index("head")), 2u);
  EXPECT_EQ(s.Key_Offsets(2)[0].x, 7.0f);
  EXPECT_EQ(s.Key_Count(1), 4u);
}

TEST(SequenceImport, LengthIsStoredBitForBit) {
  Bone_File data = Skeleton();
  data.length = std::nextafter(2.0f, 3.0f);
  test_support::Imported file(data);
  EXPECT_EQ(file.sequence.Lenght(), std::nextafter(2.0f, 3.0f));
}

TEST(SequenceImportErrors, ReportsEachCheckWithItsTexts) {
  Temp_File skeleton(Skeleton().Data());
  Hierarchy h;
  h.Import(skeleton.path());
  struct Case {
    const char* what;
    std::function<void(Bone_File&)> damage;
    const char* condition;
    std::string message;  // "%" stands for the file name
  };
  const std::vector<Case> cases = {
      {"header", [](Bone_File& f) { f.header = "BONES"; }, "str==BONE_FILE_HEADER",
       "Invalid sequence file (wrong header string) %"},
      {"bone count", [](Bone_File& f) { f.bone_count = 2; }, "bone_count == hier.Bone_Count()", ""},
      {"header sign", [](Bone_File& f) { f.header_sign = "SIG"; }, "str==END_SIGN", "Invalid sequence file %"},
      {"one key", [](Bone_File& f) { f.bones[2].keys = Keys_At({0}); }, "number_of_frames[bone_index] > 1",
       "There must be atleast 2 frames in sequence, file %"},
      {"no keys", [](Bone_File& f) { f.bones[0].keys.clear(); }, "number_of_frames[bone_index] > 1",
       "There must be atleast 2 frames in sequence, file %"},
      {"record sign", [](Bone_File& f) { f.bones[1].end_sign = "SIGNS"; }, "str==END_SIGN", "Invalid sequence file %"},
      {"key count too large", [](Bone_File& f) { f.bones[2].key_count = 3; }, "str==END_SIGN",
       "Invalid sequence file %"},
      {"huge key count", [](Bone_File& f) { f.bones[0].key_count = 0xFFFFFFFFu; }, "str==END_SIGN",
       "Invalid sequence file %"},
      {"final sign", [](Bone_File& f) { f.final_sign = ""; }, "str==END_SIGN", "Invalid sequence file %"},
      {"unknown bone", [](Bone_File& f) { f.bones[1].name = "Tail"; }, "0", "Invalid bone name Tail"},
      {"bone named twice", [](Bone_File& f) { f.bones[2].name = "SPINE"; }, "number_of_frames[bone] != 0",
       "Bone Head has no keys in sequence file %"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bone_File data = Skeleton();
    c.damage(data);
    Temp_File file(data.Data());
    Sequence s(h);
    const auto e = Error_Of([&] { s.Import(file.path()); });
    std::string message = c.message;
    if (message.find('%') != std::string::npos) message.replace(message.find('%'), 1, file.path());
    if (std::string(c.condition) == "0")
      EXPECT_STREQ(e.File(), "bone_import/hier");  // raised by the hierarchy's lookup
    else
      Expect_Error(e, c.condition, message);
    EXPECT_EQ(std::string(e.Message()), message);
  }
}

TEST(SequenceImportErrors, MissingFileAndSecondImport) {
  test_support::Imported file(Skeleton());
  Sequence fresh(file.hierarchy);
  Expect_Error(Error_Of([&] { fresh.Import("/nonexistent.bone"); }), "!file.fail()",
               "Can't open file /nonexistent.bone");
  EXPECT_TRUE(fresh.Is_Empty());
  fresh.Import(file.file.path());  // a failure before the records leaves it importable

  // Refused before the file is even opened.
  Expect_Error(Error_Of([&] { file.sequence.Import("/nonexistent.bone"); }), "!number_of_frames",
               "Sequence data already imported");
}

TEST(SequenceImportErrors, FailureInTheRecordsRefusesAnotherImport) {
  Temp_File skeleton(Skeleton().Data());
  Hierarchy h;
  h.Import(skeleton.path());
  Bone_File data = Skeleton();
  data.bones[2].end_sign = "X";
  Temp_File damaged(data.Data());
  Sequence s(h);
  EXPECT_STREQ(Error_Of([&] { s.Import(damaged.path()); }).Condition(), "str==END_SIGN");
  EXPECT_STREQ(Error_Of([&] { s.Import(skeleton.path()); }).Condition(), "!number_of_frames");
}
