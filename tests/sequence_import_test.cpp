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

TEST(SequenceImportErrors, EmptyAndFailedSequencesAreRefusedByEveryReadingOperation) {
  test_support::Imported good(Skeleton());
  Bone_File data = Skeleton();
  data.bones[1].keys.resize(1);  // Spine: one key, found after the tables are made
  Temp_File damaged(data.Data());
  Sequence failed(good.hierarchy), empty(good.hierarchy);
  EXPECT_STREQ(Error_Of([&] { failed.Import(damaged.path()); }).Condition(), "number_of_frames[bone_index] > 1");
  EXPECT_FALSE(failed.Is_Filled());

  Frame frame(good.hierarchy, false);
  struct Case {
    const char* what;
    std::function<void(Sequence&)> call;
    std::string subject;  // whose state the message speaks of
  };
  const std::vector<Case> cases = {
      {"sample", [&](Sequence& s) { s.Get_Frame(frame, 0.5f); }, "Sequence"},
      {"flip", [](Sequence& s) { s.Flip(); }, "Sequence"},
      {"normalize", [](Sequence& s) { s.Normalize(); }, "Sequence"},
      {"rotate", [](Sequence& s) { s.Rotate(Matrix_3x3<float>::Identity()); }, "Sequence"},
      {"combine from it",
       [&](Sequence& s) {
         Sequence result(good.hierarchy);
         result.Combine(good.sequence, 0, 1, s, 0, 1, 1);
       },
       "Combine source sequence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(std::string(Error_Of([&] { c.call(empty); }).Message()), c.subject + " is empty");
    const auto e = Error_Of([&] { c.call(failed); });
    EXPECT_EQ(std::string(e.Message()), c.subject + " import failed, it may only be destroyed");
    EXPECT_STREQ(e.File(), "bone_import/bones");
  }
  // Optimize reduces the bones before the one without keys, then reports it.
  const auto e = Error_Of([&] { failed.Optimize(-1.0f, 1e9f); });
  EXPECT_STREQ(e.Condition(), "number_of_frames[bone]>1");
  EXPECT_EQ(failed.Key_Count(0), 2u);
}

// Every way a hierarchy can fail, and one never imported: each per-bone query,
// Frame, Sequence::Import and Skin::Import refuse it, never reading arrays or
// names it lacks.
TEST(SequenceImportErrors, AHierarchyNotImportedServesNothing) {
  const auto damaged = [](const std::function<void(Bone_File&)>& damage) {
    Bone_File data = Skeleton();
    damage(data);
    return data.Data();
  };
  const std::string skeleton = Skeleton().Data();
  Temp_File good(skeleton);
  test_support::Temp_File skins(test_support::Skin_File_Data().Bones({"Hips"}).Skin("s", {}).Data());
  Skin_File skin_file(skins.path());
  struct Case {
    const char* what;
    std::string data;  // empty: never imported
    bool pipe;
  };
  const std::vector<Case> cases = {
      {"never imported", "", false},
      {"wrong header", damaged([](Bone_File& f) { f.header = "BONX"; }), false},
      {"header end sign", damaged([](Bone_File& f) { f.header_sign = "SIGX"; }), false},
      {"record end sign", damaged([](Bone_File& f) { f.bones[1].end_sign = "SIGX"; }), false},
      {"unknown parent", damaged([](Bone_File& f) { f.bones[2].parent = "Neck"; }), false},
      {"final end sign", damaged([](Bone_File& f) { f.final_sign = "SIGX"; }), false},
      {"a pipe", skeleton, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Hierarchy h;
    Sequence s(h);  // constructed first, as a host may: destroyed after the failure
    if (!c.data.empty()) {
      std::unique_ptr<Temp_File> file = c.pipe ? nullptr : std::make_unique<Temp_File>(c.data);
      std::unique_ptr<test_support::Pipe> pipe = c.pipe ? std::make_unique<test_support::Pipe>(c.data) : nullptr;
      Error_Of([&] { h.Import(c.pipe ? pipe->path() : file->path()); });
    }
    const std::string refusal = std::string("Hierarchy ") + (h.Failed() ? "import failed" : "not imported");
    for (const auto& [query, call] : std::vector<std::pair<std::string, std::function<void()>>>{
             {"Is_Leaf", [&] { h.Is_Leaf(0); }}, {"Parent_Index", [&] { h.Parent_Index(0); }}, {"Bone_Name", [&] {
                                                                                                  h.Bone_Name(0);
                                                                                                }}}) {
      const auto e = Error_Of(call);
      EXPECT_STREQ(e.Condition(), "state == Import_State::IMPORTED");
      EXPECT_EQ(std::string(e.Message()), refusal + ", can't answer " + query);
      EXPECT_STREQ(e.File(), "bone_import/hier");
    }
    if (!h.Failed()) continue;  // an empty hierarchy is one of no bones
    EXPECT_STREQ(Error_Of([&] { Frame frame(h, false); }).Message(),
                 "Hierarchy import failed, can't make a frame of it");
    EXPECT_STREQ(Error_Of([&] { s.Import(good.path()); }).Condition(), "!hier->Failed()");
    Skin skin;
    EXPECT_STREQ(Error_Of([&] { skin.Import(skin_file, "s", h); }).Message(),
                 "Hierarchy import failed, can't import skin s");
  }

  // A file of no bones fails at the root check; a second import is refused
  // rather than leaking what the first allocated.
  Temp_File zero(Bone_File().Data());
  Hierarchy empty;
  EXPECT_STREQ(Error_Of([&] { empty.Import(zero.path()); }).Condition(), "root_index != INVALID_INDEX");
  EXPECT_STREQ(Error_Of([&] { empty.Import(good.path()); }).Condition(), "state == Import_State::EMPTY");
}

TEST(SequenceImport, ReadsInputThatCannotSeek) {
  test_support::Imported file(Skeleton());
  test_support::Pipe pipe(Skeleton().Data());
  Sequence piped(file.hierarchy);
  piped.Import(pipe.path());
  for (unsigned int b = 0; b < 3; ++b) {
    ASSERT_EQ(piped.Key_Count(b), file.sequence.Key_Count(b));
    for (unsigned int k = 0; k < piped.Key_Count(b); ++k) {
      EXPECT_EQ(piped.Key_Times(b)[k], file.sequence.Key_Times(b)[k]);
      EXPECT_EQ(piped.Key_Offsets(b)[k].z, file.sequence.Key_Offsets(b)[k].z);
    }
  }
  // The hierarchy reads its records twice and says why a pipe cannot serve.
  test_support::Pipe again(Skeleton().Data());
  Hierarchy h;
  const auto e = Error_Of([&] { h.Import(again.path()); });
  EXPECT_STREQ(e.Condition(), "returned");
  EXPECT_EQ(std::string(e.Message()), "Can't read sequence file " + std::string(again.path()) +
                                          " twice: the hierarchy needs a file it can seek in, not a pipe");
}
