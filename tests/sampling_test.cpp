#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "support/file_builders.h"
#include "support/reference_player.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Key;
using test_support::Keys_At;

namespace {

// A root with `times` keys whose x offset equals the time, and a leaf.
Bone_File Ramp(std::vector<float> times, float length) {
  std::vector<Key> keys;
  for (float t : times) keys.push_back(Key{t, 0, 0, 0, t, 2 * t, 0});
  return Bone_File().Length(length).Root("root", keys).Bone("leaf", "root", Keys_At({0, length}));
}

}  // namespace

TEST(Sampling, ClampsNegativeLargeAndNaNTimes) {
  test_support::Imported file(Ramp({0, 1, 2, 4}, 4));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, -3.0f);
  EXPECT_EQ(frame.Local_Offset(0).x, 0.0f);
  file.sequence.Get_Frame_Time(frame, 100.0f);
  EXPECT_EQ(frame.Local_Offset(0).x, 4.0f);
  file.sequence.Get_Frame_Time(frame, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(frame.Local_Offset(0).x, 4.0f);
  file.sequence.Get_Frame_Time(frame, 3.0f);
  EXPECT_EQ(frame.Local_Offset(0).x, 3.0f);
  EXPECT_EQ(frame.Local_Offset(0).y, 6.0f);
}

TEST(Sampling, GetFrameSamplesAtAFractionOfTheLength) {
  test_support::Imported file(Ramp({0, 1, 2, 4}, 4));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame(frame, 0.5f);
  EXPECT_EQ(frame.Local_Offset(0).x, 2.0f);
  file.sequence.Get_Frame(frame, 2.0f);
  EXPECT_EQ(frame.Local_Offset(0).x, 4.0f);
}

// Clips that exercise every path of the search and the blends, each played at
// every key time and midpoint (in order and shuffled) against the reference:
// even and uneven keys of many counts (the shortcut, the time index, the
// hint), a length short of the last key, a chain of eleven bones with its own
// key count each and big turns between keys (at an exact key time the two
// neighbouring intervals give quaternions of opposite sign, so the choice
// shows), one bone with keys out of order (the halving search), and two keys
// at one time, in a group and on bones of their own.
TEST(Sampling, EveryClipPlaysAsTheReferencePlayerDoes) {
  std::vector<Bone_File> clips = {Ramp({0, 1, 2, 3, 4, 5, 6, 7, 8}, 8)};
  for (unsigned int n = 2; n < 70; n += 3) {
    std::vector<float> times;
    for (unsigned int k = 0; k < n; ++k) times.push_back(float(k * k));  // spacing grows
    clips.push_back(Ramp(times, times.back()));
    clips.push_back(Ramp(times, 0.3f * times.back()));
  }
  Bone_File chain;
  chain.Length(40.0f);
  for (unsigned int b = 0; b < 11; ++b) {
    const unsigned int n = 2 + 4 * b;
    std::vector<Key> keys;
    for (unsigned int k = 0; k < n; ++k) {
      const float even = 40.0f * float(k) / float(n - 1);
      const float t = k && k + 1 < n ? even + 0.3f * std::sin(float(k + b)) * 40.0f / float(n - 1) : even;
      keys.push_back(Key{t, 2.0f * float(k), 0.5f * float(b), 0.7f * float(k * b), t, float(b), -t});
    }
    if (b == 7) std::swap(keys[3].time, keys[5].time);
    const std::string name = "bone" + std::to_string(b);
    if (b == 0)
      chain.Root(name, keys);
    else
      chain.Bone(name, "bone" + std::to_string(b - 1), keys);
  }
  clips.push_back(chain.Bone("leaf", "bone10", Keys_At({0, 40})));
  for (const float own_times : {0.0f, 0.1f}) {
    std::vector<Key> keys = {{0}, {1, 0, 0, 0, 1}, {1, 0.5f, 0, 0, 5}, {2, 0, 0, 0, 6}};
    Bone_File data = Bone_File().Length(2).Root("b0", keys);
    for (const char* name : {"b1", "b2", "b3", "b4", "b5"}) {
      keys.back().time -= own_times;
      data.Bone(name, data.bones.back().name, keys);
    }
    clips.push_back(data);
  }
  // A frame of another, smaller hierarchy is written within its own bones
  // (the sanitizers watch).
  test_support::Imported small(Ramp({0, 1}, 1));
  Frame small_frame(small.hierarchy, false);
  for (const Bone_File& clip : clips) {
    test_support::Imported file(clip);
    test_support::Expect_Playback_Matches_Reference(file.sequence);
    if (HasFatalFailure()) return;
    file.sequence.Get_Frame_Time(small_frame, 0.7f);
  }
  // Edits of clips that have been played (bones with times of their own, and
  // bones that share them): sampling follows the new keys.
  const std::vector<std::pair<const char*, std::function<void(Sequence&)>>> edits = {
      {"Normalize", [](Sequence& s) { s.Normalize(); }},
      {"Rotate",
       [](Sequence& s) {
         s.Rotate(Matrix_3x3<float>{{{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}}});
       }},
      {"Optimize", [](Sequence& s) { s.Optimize(0.99f, 0.5f); }},
      {"Flip", [](Sequence& s) { s.Flip(); }},
  };
  for (const std::size_t clip : {clips.size() - 3, clips.size() - 2}) {
    test_support::Imported edited(clips[clip]);
    for (const auto& [what, edit] : edits) {
      SCOPED_TRACE(what);
      edit(edited.sequence);
      test_support::Expect_Playback_Matches_Reference(edited.sequence);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(Sampling, AnEmptySequenceIsRefusedNotRead) {
  test_support::Imported file(Ramp({0, 1}, 1));
  Sequence empty(file.hierarchy);
  Frame frame(file.hierarchy, false);
  const Kernel::Exception e = test_support::Error_Of([&] { empty.Get_Frame(frame, 0.5f); });
  EXPECT_STREQ(e.Message(), "Sequence is empty");
  EXPECT_STREQ(e.Condition(), "number_of_frames");
  EXPECT_STREQ(e.File(), "bone_import/bones");
}

TEST(Sampling, KeysOutOfOrderNeverLeaveTheArray) {
  // Decreasing and NaN key times break the format's rules; sampling still
  // stays inside the keys and ends.
  test_support::Imported file(Ramp({5, 4, std::nanf(""), 1, 0}, 5));
  Frame frame(file.hierarchy, false);
  for (float t : {0.0f, 0.5f, 2.0f, 4.5f, 5.0f}) file.sequence.Get_Frame_Time(frame, t);
}

TEST(Sampling, RotationsBlendAndLeafBonesAreUntouched) {
  Bone_File data =
      Bone_File().Length(1).Root("root", {{0}, {1, 0, 0, 1.0f}}).Bone("leaf", "root", {{0, 0, 0, 0, 9, 9, 9}, {1}});
  test_support::Imported file(data);
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.5f);
  const Quaternion& q = frame.Local_Rotation(0);
  EXPECT_NEAR(q.w, std::cos(0.25f), 1e-6);
  EXPECT_NEAR(q.v.z, std::sin(0.25f), 1e-6);
  EXPECT_EQ(frame.Local_Offset(1).x, 0.0f);
  EXPECT_EQ(frame.Local_Rotation(1).w, 1.0f);
}

TEST(Sampling, SamplingMarksEveryBoneDirty) {
  test_support::Imported file(Ramp({0, 1}, 1));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 0.0f);
  EXPECT_EQ(frame.Offset(1).x, 0.0f);
  file.sequence.Get_Frame_Time(frame, 1.0f);
  EXPECT_EQ(frame.Offset(1).x, 1.0f);  // the leaf follows its parent's new pose
}

TEST(Interpolate, EndpointsAndUnclampedWeights) {
  test_support::Imported file(Ramp({0, 4}, 4));
  Frame a(file.hierarchy, false), b(file.hierarchy, false), out(file.hierarchy, false);
  file.sequence.Get_Frame_Time(a, 1.0f);
  file.sequence.Get_Frame_Time(b, 3.0f);
  Interpolate(out, a, b, 0.0f);
  EXPECT_EQ(out.Local_Offset(0).x, 1.0f);
  Interpolate(out, a, b, 1.0f);
  EXPECT_EQ(out.Local_Offset(0).x, 3.0f);
  Interpolate(out, a, b, 0.25f);
  EXPECT_EQ(out.Local_Offset(0).x, 1.5f);
  Interpolate(out, a, b, 2.0f);
  EXPECT_EQ(out.Local_Offset(0).x, 5.0f);
  EXPECT_EQ(out.Offset(0).x, 5.0f);
}

TEST(Sampling, OneSequenceIntoTwoFramesFromTwoThreads) {
  std::vector<Key> keys;
  for (int k = 0; k <= 1000; ++k) keys.push_back(Key{float(k), 0.01f * k, 0, 0.02f * k, float(k), 0, 0});
  test_support::Imported file(Bone_File().Length(1000).Root("root", keys).Bone("leaf", "root", Keys_At({0, 1000})));
  auto play = [&](float start, float* sum) {
    Frame frame(file.hierarchy, false);
    for (int i = 0; i < 2000; ++i) {
      file.sequence.Get_Frame_Time(frame, start + i * 0.25f);
      *sum += frame.Offset(1).x;
    }
  };
  float sum_a = 0, sum_b = 0, expected_a = 0, expected_b = 0;
  play(0, &expected_a);
  play(500, &expected_b);
  std::thread ta(play, 0.0f, &sum_a), tb(play, 500.0f, &sum_b);
  ta.join();
  tb.join();
  EXPECT_EQ(sum_a, expected_a);
  EXPECT_EQ(sum_b, expected_b);
}
