#include "support/file_builders.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Error_Of;
using test_support::Keys_At;
using test_support::Temp_File;

namespace {

// R (root), A child of R, B child of A.
Bone_File Chain() {
  return Bone_File().Root("R", Keys_At({0, 1})).Bone("A", "R", Keys_At({0, 1})).Bone("B", "a", Keys_At({0, 0.5f, 1}));
}

void Expect_Error(const Kernel::Exception& e, const char* condition, const std::string& message) {
  EXPECT_STREQ(e.Condition(), condition);
  EXPECT_EQ(std::string(e.Message()), message);
  EXPECT_STREQ(e.File(), "bone_import/hier");
  EXPECT_GT(e.Line(), 0);
}

}  // namespace

TEST(HierarchyImport, WorkedExampleIs98BytesAndImports) {
  const std::string data = Bone_File().Root("root", Keys_At({0, 1})).Data();
  ASSERT_EQ(data.size(), 98u);
  EXPECT_EQ(data.substr(93), std::string("SIGN\0", 5));
  Temp_File file(data);
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Bone_Count(), 1u);
  EXPECT_EQ(h.Root_Index(), 0u);
  EXPECT_EQ(h.Parent_Index(0), INVALID_INDEX);
  EXPECT_TRUE(h.Is_Leaf(0));
  EXPECT_STREQ(h.Bone_Name(0), "root");
}

TEST(HierarchyImport, ParentsRootAndLeafFlagsOfAChain) {
  Temp_File file(Chain().Data());
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Root_Index(), 0u);
  EXPECT_EQ(h.Parent_Index(0), INVALID_INDEX);
  EXPECT_EQ(h.Parent_Index(1), 0u);
  EXPECT_EQ(h.Parent_Index(2), 1u);  // parent name matched without regard to case
  EXPECT_FALSE(h.Is_Leaf(0));
  EXPECT_FALSE(h.Is_Leaf(1));
  EXPECT_TRUE(h.Is_Leaf(2));
}

TEST(HierarchyImport, ParentMayComeAfterChildAndKeyCountZeroIsAccepted) {
  Temp_File file(Bone_File().Bone("child", "ROOT", {}).Root("root", Keys_At({0, 1})).Data());
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Root_Index(), 1u);
  EXPECT_EQ(h.Parent_Index(0), 1u);
}

TEST(HierarchyImport, SeveralRootFlagsLastOneWins) {
  Temp_File file(Bone_File().Root("first", {}).Root("second", {}, "first").Bone("c", "first", {}).Data());
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Root_Index(), 1u);
  EXPECT_EQ(h.Parent_Index(0), INVALID_INDEX);
  EXPECT_EQ(h.Parent_Index(1), INVALID_INDEX);  // a root flag's parent name is never looked up
}

TEST(HierarchyImport, RepeatedNameOverwritesTheFirstBonesParent) {
  Temp_File file(Bone_File().Root("r", {}).Bone("x", "r", {}).Bone("y", "r", {}).Bone("X", "y", {}).Data());
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Parent_Index(1), 2u);
  EXPECT_EQ(h.Parent_Index(3), INVALID_INDEX);
  EXPECT_EQ(h.Bone_Index("X"), 1u);  // first match in file order
}

TEST(HierarchyImport, IgnoresBytesAfterTheFinalEndSign) {
  Temp_File file(Chain().Data() + "trailing garbage");
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Bone_Count(), 3u);
}

TEST(HierarchyErrors, ReportsEachCheckWithItsTexts) {
  struct Case {
    const char* what;
    std::function<void(Bone_File&)> damage;
    const char* condition;
    std::string message_tail;
  };
  const std::vector<Case> cases = {
      {"longer header", [](Bone_File& f) { f.header = "BONEX"; }, "str == BONE_FILE_HEADER", ""},
      {"lower-case header", [](Bone_File& f) { f.header = "bone"; }, "str == BONE_FILE_HEADER", ""},
      {"header sign", [](Bone_File& f) { f.header_sign = "SIGX"; }, "str == END_SIGN", ""},
      {"record sign", [](Bone_File& f) { f.bones[1].end_sign = "NGIS"; }, "str == END_SIGN", " str NGIS"},
      {"key count one too large", [](Bone_File& f) { f.bones[2].key_count = 4; }, "str == END_SIGN", " str "},
      {"final sign", [](Bone_File& f) { f.final_sign = "sign"; }, "str == END_SIGN", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bone_File data = Chain();
    c.damage(data);
    Temp_File file(data.Data());
    Hierarchy h;
    const auto e = Error_Of([&] { h.Import(file.path()); });
    Expect_Error(e, c.condition, "Invalid sequence file " + std::string(file.path()) + c.message_tail);
  }
}

TEST(HierarchyErrors, MissingFileBoneCountZeroAndNoRoot) {
  Hierarchy missing;
  Expect_Error(Error_Of([&] { missing.Import("/nonexistent/file.bone"); }), "!file.fail()",
               "Can't open sequence file /nonexistent/file.bone");

  Temp_File empty(Bone_File().Data());
  Hierarchy h0;
  Expect_Error(Error_Of([&] { h0.Import(empty.path()); }), "root_index != INVALID_INDEX",
               "No root node in file " + std::string(empty.path()));

  Temp_File rootless(Bone_File().Bone("a", "b", {}).Bone("b", "a", {}).Data());
  Hierarchy h1;
  Expect_Error(Error_Of([&] { h1.Import(rootless.path()); }), "root_index != INVALID_INDEX",
               "No root node in file " + std::string(rootless.path()));
}

TEST(HierarchyErrors, UnknownParentFailsInTheSecondPass) {
  Temp_File file(Bone_File().Root("r", {}).Bone("a", "ghost", {}).Data());
  Hierarchy h;
  Expect_Error(Error_Of([&] { h.Import(file.path()); }), "0", "Invalid bone name ghost");
}

TEST(HierarchyErrors, DamagedRecordSignIsFoundBeforeAnyParentIsResolved) {
  Bone_File data = Bone_File().Root("r", {}).Bone("a", "ghost", {});
  data.bones[1].end_sign = "BAD";
  Temp_File file(data.Data());
  Hierarchy h;
  Expect_Error(Error_Of([&] { h.Import(file.path()); }), "str == END_SIGN",
               "Invalid sequence file " + std::string(file.path()) + " str BAD");
}

TEST(HierarchyErrors, SecondImportIsRefused) {
  Temp_File file(Chain().Data());
  Hierarchy h;
  h.Import(file.path());
  Expect_Error(Error_Of([&] { h.Import(file.path()); }), "state == Import_State::EMPTY",
               "Hierarchy already imported, can't import file " + std::string(file.path()));
  EXPECT_EQ(h.Bone_Count(), 3u);
  // A failure before anything was read leaves the hierarchy importable.
  Hierarchy retry;
  EXPECT_STREQ(Error_Of([&] { retry.Import("/nonexistent.bone"); }).Condition(), "!file.fail()");
  EXPECT_FALSE(retry.Failed());
  retry.Import(file.path());
  EXPECT_TRUE(retry == h);
}

TEST(HierarchyErrors, HugeKeyCountSkipWrapsInThirtyTwoBits) {
  // 28 * 0x80000000 wraps to 0: the reader finds the end sign right there.
  Bone_File data = Bone_File().Root("r", {});
  data.bones[0].key_count = 0x80000000u;
  Temp_File file(data.Data());
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Bone_Count(), 1u);
}

TEST(HierarchyQueries, BoneIndexIgnoresCaseAndReportsTheCallersName) {
  Temp_File file(
      Bone_File().Root("Hips", {}).Bone("", "hips", {}).Bone("l_Foot_az\xE9", "HIPS", {}).Bone("`{", "", {}).Data());
  Hierarchy h;
  h.Import(file.path());
  EXPECT_EQ(h.Bone_Index("hIPS"), 0u);
  EXPECT_EQ(h.Bone_Index(""), 1u);
  EXPECT_EQ(h.Bone_Index("L_FOOT_AZ\xE9"), 2u);
  EXPECT_EQ(h.Bone_Index("`{"), 3u);  // the characters beside a and z are not letters
  Expect_Error(Error_Of([&] { h.Bone_Index("@["); }), "0", "Invalid bone name @[");
  EXPECT_STREQ(h.Bone_Name(1), "");
  Expect_Error(Error_Of([&] { h.Bone_Index("L_FOOT_AZ\xC9"); }), "0", "Invalid bone name L_FOOT_AZ\xC9");
  Expect_Error(Error_Of([&] { h.Bone_Index("Hipsy"); }), "0", "Invalid bone name Hipsy");
}

TEST(HierarchyQueries, EqualityComparesNamesExactlyParentsAndRoot) {
  Temp_File a(Chain().Data()), same(Chain().Data());
  Bone_File other_case = Chain();
  other_case.bones[1].name = "a";
  Temp_File b(other_case.Data());
  Temp_File c(Bone_File().Root("R", {}).Bone("A", "R", {}).Bone("B", "R", {}).Data());
  Hierarchy ha, hsame, hb, hc, never1, never2;
  ha.Import(a.path());
  hsame.Import(same.path());
  hb.Import(b.path());
  hc.Import(c.path());
  EXPECT_TRUE(ha == hsame);
  EXPECT_FALSE(ha == hb);
  EXPECT_FALSE(ha == hc);
  EXPECT_TRUE(never1 == never2);
  EXPECT_FALSE(ha == never1);
}
