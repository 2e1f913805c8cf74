#include <cmath>

#include "support/file_builders.h"
#include "support/reference_player.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Key;
using test_support::Keys_At;

namespace {

const float HALF_PI = float(M_PI / 2);

// root -> arm -> hand (leaf); every key places the child one unit along x.
Bone_File Arm(float root_angle_z = 0.0f, float arm_angle_z = 0.0f) {
  return Bone_File()
      .Root("root", {{0, 0, 0, root_angle_z, 10, 0, 0}, {1, 0, 0, root_angle_z, 10, 0, 0}})
      .Bone("arm", "root", {{0, 0, 0, arm_angle_z, 1, 0, 0}, {1, 0, 0, arm_angle_z, 1, 0, 0}})
      .Bone("hand", "arm", Keys_At({0, 1}));
}

void Expect_Vector(const Vector_3<float>& v, float x, float y, float z) {
  EXPECT_NEAR(v.x, x, 1e-5);
  EXPECT_NEAR(v.y, y, 1e-5);
  EXPECT_NEAR(v.z, z, 1e-5);
}

void Expect_Matrix_Near(const Matrix_3x3<float>& a, const Matrix_3x3<float>& b, float tolerance = 1e-5f) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(a.m[i][j], b.m[i][j], tolerance) << i << "," << j;
}

Matrix_3x3<float> Rot_Z(float angle) {
  Matrix_3x3<float> m;
  Template_Library::M3x3_S_S_S_Rot_ZYX(m, angle, 0.0f, 0.0f);
  return m;
}

}  // namespace

TEST(Frame, StartsAtTheIdentityPose) {
  test_support::Imported file(Arm());
  Frame frame(file.hierarchy, false);
  for (unsigned int b = 0; b < 3; ++b) {
    EXPECT_EQ(frame.Local_Rotation(b).w, 1.0f);
    Expect_Vector(frame.Local_Offset(b), 0, 0, 0);
    Expect_Matrix_Near(frame.Base(b), Matrix_3x3<float>::Identity(), 0);
  }
}

TEST(Frame, OutputsComposeDownTheChain) {
  test_support::Imported file(Arm(HALF_PI, HALF_PI));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.5f);
  // The hand (a leaf, never sampled) keeps its zero offset: it sits at the arm.
  Expect_Vector(frame.Offset(2), 10, 1, 0);
  Expect_Vector(frame.Offset(1), 10, 1, 0);
  Expect_Vector(frame.Offset(0), 10, 0, 0);
  Expect_Matrix_Near(frame.Base(1), Rot_Z(2 * HALF_PI));
  Expect_Matrix_Near(frame.Base(2), frame.Base(1));
}

TEST(Frame, EachOutputIsItsParentsOutputComposedWithItsLocalPoseExactly) {
  // A small tree in general poses, read in reverse bone order (a bone is often
  // computed after the bone stored behind it), against the reference.
  auto keys = [](float a, float b, float c) {
    return std::vector<Key>{{0, a, b, c, a + 1, b - 2, c * 3}, {1, c, a, b, b, c, a}};
  };
  test_support::Imported file(Bone_File()
                                  .Root("root", keys(0.3f, -1.2f, 2.0f))
                                  .Bone("left", "root", keys(1.1f, 0.4f, -0.7f))
                                  .Bone("right", "root", keys(-2.5f, 0.9f, 0.2f))
                                  .Bone("up", "root", keys(0.2f, 0.1f, -2.7f))    // five siblings: a group of
                                  .Bone("down", "root", keys(-1.4f, 1.3f, 0.5f))  // four and one more
                                  .Bone("front", "root", keys(2.6f, -0.8f, 1.2f))
                                  .Bone("left_hand", "left", keys(0.6f, 2.2f, -1.9f))
                                  .Bone("right_hand", "right", keys(1.7f, -0.3f, 0.8f))
                                  .Bone("left_tip", "left_hand", Keys_At({0, 1}))
                                  .Bone("right_tip", "right_hand", Keys_At({0, 1})));
  test_support::Expect_Playback_Matches_Reference(file.sequence);
}

TEST(Frame, IgnoreRootOffsetPutsTheRootAtTheOrigin) {
  test_support::Imported file(Arm());
  Frame frame(file.hierarchy, true);
  file.sequence.Get_Frame_Time(frame, 0.0f);
  Expect_Vector(frame.Offset(0), 0, 0, 0);
  Expect_Vector(frame.Offset(2), 1, 0, 0);
}

TEST(Frame, ReadingADeepBoneComputesItsAncestorsOnce) {
  test_support::Imported file(Arm(HALF_PI));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.0f);
  const Vector_3<float>& hand = frame.Offset(2);
  Expect_Vector(hand, 10, 1, 0);
  // Ancestors are clean now: Transform_Output would apply to these values;
  // a later Set_Dirty recomputes from the local pose again.
  frame.Transform_Output(Rot_Z(HALF_PI));
  Expect_Vector(frame.Offset(0), 0, 10, 0);
  Expect_Vector(frame.Offset(2), -1, 10, 0);
  frame.Set_Dirty();
  Expect_Vector(frame.Offset(2), 10, 1, 0);
}

TEST(Frame, TransformOutputComposesAndIdentityChangesNothing) {
  test_support::Imported file(Arm(0.3f, -0.7f));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.5f);
  const Matrix_3x3<float> base = frame.Base(1);
  const Vector_3<float> offset = frame.Offset(1);
  frame.Transform_Output(Matrix_3x3<float>::Identity());
  Expect_Matrix_Near(frame.Base(1), base, 0);
  frame.Transform_Output(Rot_Z(0.2f));
  frame.Transform_Output(Rot_Z(0.5f));
  Matrix_3x3<float> expected;
  Template_Library::M3x3_M3x3_Mul(Rot_Z(0.7f), base, expected);
  Expect_Matrix_Near(frame.Base(1), expected);
  Vector_3<float> expected_offset;
  Template_Library::M3x3_V3_Mul(Rot_Z(0.7f), offset, expected_offset);
  Expect_Vector(frame.Offset(1), expected_offset.x, expected_offset.y, expected_offset.z);
}

TEST(Frame, FlipTwiceRestoresOutputsExactly) {
  test_support::Imported file(Arm(0.3f, -0.7f));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.25f);
  const Matrix_3x3<float> base = frame.Base(2);
  const Vector_3<float> offset = frame.Offset(2);
  frame.Flip_Output_Y();
  EXPECT_EQ(frame.Base(2).m[1][0], -base.m[1][0]);
  EXPECT_EQ(frame.Base(2).m[0][0], base.m[0][0]);
  EXPECT_EQ(frame.Offset(2).y, -offset.y);
  frame.Flip_Output_Y();
  frame.Flip_Output_X();
  frame.Flip_Output_X();
  frame.Flip_Output_Z();
  frame.Flip_Output_Z();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(frame.Base(2).m[i][j], base.m[i][j]);
  EXPECT_EQ(frame.Offset(2).x, offset.x);
  EXPECT_EQ(frame.Offset(2).y, offset.y);
}

TEST(Frame, RotateBaseTurnsTheOutputAndKeepsTheOffset) {
  test_support::Imported file(Arm(0.4f, 0.9f));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.5f);
  const Matrix_3x3<float> old_base = frame.Base(1);
  const Vector_3<float> old_offset = frame.Offset(1);
  const Matrix_3x3<float> r = Rot_Z(-0.6f);
  frame.Rotate_Base(r, 1);
  Matrix_3x3<float> expected;
  Template_Library::M3x3_M3x3_Mul(r, old_base, expected);
  Expect_Matrix_Near(frame.Base(1), expected);
  Expect_Vector(frame.Offset(1), old_offset.x, old_offset.y, old_offset.z);

  // On the root, and with the identity: the base stays.
  const Matrix_3x3<float> root_base = frame.Base(0);
  frame.Rotate_Base(Matrix_3x3<float>::Identity(), 0);
  Expect_Matrix_Near(frame.Base(0), root_base);
}

// After sampling, a bone turned by Rotate_Base moves every descendant that has
// not been read since; one that has been read (or has a read bone below it)
// keeps its output until Set_Dirty. The same with a parent loop beside the
// tree, which the whole-frame pass leaves out.
TEST(Frame, RotateBaseAfterSamplingMovesTheDescendantsNotYetRead) {
  const std::vector<Key> one_along_x = {{0, 0, 0, 0, 1, 0, 0}, {1, 0, 0, 0, 1, 0, 0}};
  Bone_File bones = Bone_File()
                        .Root("r", Keys_At({0, 1}))
                        .Bone("a", "r", one_along_x)
                        .Bone("b", "a", one_along_x)
                        .Bone("c", "b", one_along_x)
                        .Bone("sibling", "r", Keys_At({0, 1}))
                        .Bone("tip", "c", Keys_At({0, 1}));
  struct Case {
    const char* what;
    std::vector<unsigned int> read_first, turned;
    float b[2], c[2];  // x and y of the outputs of b and c
  };
  const std::vector<Case> cases = {
      {"a turned", {}, {1}, {1, 1}, {1, 2}},
      {"the root and a sibling read first", {0, 4}, {1}, {1, 1}, {1, 2}},
      {"a and then b turned", {}, {1, 2}, {1, 1}, {0, 1}},
      {"c read after a sibling: b and c keep their outputs", {4, 3}, {1}, {2, 0}, {3, 0}},
  };
  for (const bool loop : {false, true}) {
    if (loop) bones.Bone("x", "y", one_along_x).Bone("y", "x", one_along_x);
    test_support::Imported file(bones);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (loop ? ", with a loop" : ""));
      Frame frame(file.hierarchy, false);
      file.sequence.Get_Frame_Time(frame, 0.5f);
      for (unsigned int bone : c.read_first) frame.Base(bone);
      for (unsigned int bone : c.turned) frame.Rotate_Base(Rot_Z(HALF_PI), bone);
      Expect_Vector(frame.Offset(2), c.b[0], c.b[1], 0);
      Expect_Vector(frame.Offset(3), c.c[0], c.c[1], 0);
      Expect_Vector(frame.Offset(5), c.c[0], c.c[1], 0);
      if (loop) Expect_Vector(frame.Offset(6), 2, 0, 0);  // x, read first, on y computed like the root
    }
  }
}

TEST(Frame, SecondRootAndParentLoopsAreComputedLikeTheRoot) {
  // Two root flags: "a" keeps INVALID_INDEX as its parent but is not the root.
  test_support::Temp_File two_roots(Bone_File().Root("a", {}).Root("b", {}).Bone("c", "a", {}).Data());
  Hierarchy h;
  h.Import(two_roots.path());
  Frame frame(h, false);
  Expect_Matrix_Near(frame.Base(2), Matrix_3x3<float>::Identity(), 0);

  // x and y name each other as parents; neither reaches the root.
  test_support::Temp_File loop(Bone_File().Root("r", {}).Bone("x", "y", {}).Bone("y", "x", {}).Data());
  Hierarchy looped;
  looped.Import(loop.path());
  Frame loop_frame(looped, false);
  Expect_Vector(loop_frame.Offset(1), 0, 0, 0);
  Expect_Vector(loop_frame.Offset(2), 0, 0, 0);
  // Transforms and flips of the output reach the bones of a loop too.
  Frame turned(looped, false), flipped(looped, false);
  turned.Transform_Output(Rot_Z(1.0f));
  Expect_Matrix_Near(turned.Base(2), Rot_Z(1.0f));
  flipped.Flip_Output_Y();
  EXPECT_EQ(flipped.Base(1).m[1][1], -1.0f);
}
