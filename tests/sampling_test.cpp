#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "support/file_builders.h"

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

TEST(Sampling, NineEvenKeysAtTwoAndAHalfBlendHalfway) {
  test_support::Imported file(Ramp({0, 1, 2, 3, 4, 5, 6, 7, 8}, 8));
  Frame frame(file.hierarchy, false);
  file.sequence.Get_Frame_Time(frame, 2.5f);
  EXPECT_EQ(frame.Local_Offset(0).x, 2.5f);
  // Every time, including every key time, lands on the right value.
  for (int i = 0; i <= 80; ++i) {
    file.sequence.Get_Frame_Time(frame, i * 0.1f);
    EXPECT_NEAR(frame.Local_Offset(0).x, i * 0.1f, 1e-5f);
  }
}

TEST(Sampling, UnevenKeysOfManyLengthsAreFound) {
  // Also with a length short of the last key, which the time index spans.
  for (unsigned int n = 2; n < 70; n += 3) {
    std::vector<float> times;
    for (unsigned int k = 0; k < n; ++k) times.push_back(float(k * k));  // spacing grows
    for (const float length : {times.back(), 0.3f * times.back()}) {
      test_support::Imported file(Ramp(times, length));
      Frame frame(file.hierarchy, false);
      for (int i = 0; i <= 50; ++i) {
        const float t = length * float(i) / 50.0f;
        file.sequence.Get_Frame_Time(frame, t);
        ASSERT_NEAR(frame.Local_Offset(0).x, t, 1e-3f * (1 + t)) << n << " keys at " << t;
      }
    }
  }
}

// The halving search from the middle as the format defines it.
unsigned int Reference_Search(const float* times, unsigned int n, float time) {
  unsigned int k = (n - 1) / 2, step = std::max(k / 2, 1u);
  for (;;) {
    if (times[k] > time) {
      if (k == 0) return k;
      k = k > step ? k - step : 0;
    } else if (times[k + 1] < time) {
      if (k == n - 2) return k;
      k = std::min(k + step, n - 2);
    } else {
      return k;
    }
    step = std::max(step / 2, 1u);
  }
}

TEST(Sampling, EveryBoneGetsTheBlendOfTheIntervalTheHalvingSearchPicks) {
  // A chain of eleven sampled bones (bones are blended in groups, so this
  // covers full groups and a remainder), each with its own key count. Nearly
  // even keys take the shortcut; big turns between keys make the two
  // intervals at an exact key time give quaternions of opposite sign, so the
  // choice between them shows; one bone's keys out of order must take the
  // halving search too. Results must equal the one-bone blend exactly.
  const unsigned int bones = 11;
  Bone_File data;
  data.Length(40.0f);
  std::vector<float> probe_times;
  for (unsigned int b = 0; b < bones; ++b) {
    const unsigned int n = 2 + 4 * b;
    std::vector<Key> keys;
    for (unsigned int k = 0; k < n; ++k) {
      const float even = 40.0f * float(k) / float(n - 1);
      const float t = k && k + 1 < n ? even + 0.3f * std::sin(float(k + b)) * 40.0f / float(n - 1) : even;
      keys.push_back(Key{t, 2.0f * float(k), 0.5f * float(b), 0.7f * float(k * b), t, float(b), -t});
      probe_times.push_back(t);
    }
    if (b == 7) std::swap(keys[3].time, keys[5].time);  // out of order: several intervals hold a time
    const std::string name = "bone" + std::to_string(b);
    if (b == 0)
      data.Root(name, keys);
    else
      data.Bone(name, "bone" + std::to_string(b - 1), keys);
  }
  data.Bone("leaf", "bone" + std::to_string(bones - 1), Keys_At({0, 40}));
  test_support::Imported file(data);
  const Sequence& s = file.sequence;
  Frame frame(file.hierarchy, false);
  for (std::size_t i = 0, n = probe_times.size(); i + 1 < n; ++i)
    probe_times.push_back(0.5f * (probe_times[i] + probe_times[i + 1]));
  for (float time : probe_times) {
    s.Get_Frame_Time(frame, time);
    for (unsigned int b = 0; b < bones; ++b) {
      const float* t = s.Key_Times(b);
      const unsigned int k = Reference_Search(t, s.Key_Count(b), time);
      const float f = (time - t[k]) / (t[k + 1] - t[k]);
      const Quaternion expected = Blend(s.Key_Rotations(b)[k], s.Key_Rotations(b)[k + 1], f);
      const Quaternion& got = frame.Local_Rotation(b);
      ASSERT_EQ(got.w, expected.w) << "bone " << b << " at " << time;
      ASSERT_EQ(got.v.x, expected.v.x) << "bone " << b << " at " << time;
      ASSERT_EQ(got.v.y, expected.v.y) << "bone " << b << " at " << time;
      ASSERT_EQ(got.v.z, expected.v.z) << "bone " << b << " at " << time;
      const Vector_3<float>& a = s.Key_Offsets(b)[k];
      const Vector_3<float>& c = s.Key_Offsets(b)[k + 1];
      ASSERT_EQ(frame.Local_Offset(b).x, a.x * (1.0f - f) + c.x * f) << "bone " << b << " at " << time;
      ASSERT_EQ(frame.Local_Offset(b).z, a.z * (1.0f - f) + c.z * f) << "bone " << b << " at " << time;
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

TEST(Sampling, TwoKeysAtOneTimeGiveTheLaterKeyOnEveryPath) {
  // Six bones in a chain: five sampled ones fill four lanes and a rest, as
  // one group and, with last keys at times of their own, as solo bones.
  for (const float own_times : {0.0f, 0.1f}) {
    std::vector<Key> keys = {{0}, {1, 0, 0, 0, 1}, {1, 0.5f, 0, 0, 5}, {2, 0, 0, 0, 6}};
    Bone_File data = Bone_File().Length(2).Root("b0", keys);
    for (const char* name : {"b1", "b2", "b3", "b4", "b5"}) {
      keys.back().time -= own_times;
      data.Bone(name, data.bones.back().name, keys);
    }
    test_support::Imported file(data);
    Frame frame(file.hierarchy, false);
    file.sequence.Get_Frame_Time(frame, 1.0f);
    const Quaternion later = file.sequence.Key_Rotations(0)[2];
    for (unsigned int b = 0; b < 5; ++b) {
      EXPECT_EQ(frame.Local_Offset(b).x, 5.0f) << b << " " << own_times;
      EXPECT_NEAR(frame.Local_Rotation(b).w, later.w, 1e-7f) << b << " " << own_times;
    }
  }
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
