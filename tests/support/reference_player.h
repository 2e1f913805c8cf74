// A plain player written from the definitions, for tests that compare the
// library's playback with it to the bit: the time clamped to 0 .. length
// (NaN to the length), per sampled bone the halving search from the middle
// (kept within the bone's intervals), Blend and the linear offset blend (an
// interval of length 0 gives its later key), leaves left at the frame's
// identity, and outputs composed parent before child.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "bone_import/bone_import.h"

namespace test_support {

using namespace Vantorix::Bone_Import;

inline unsigned int Halving_Search(const float* t, unsigned int n, float time) {
  unsigned int k = (n - 1) / 2, step = k / 2 ? k / 2 : 1;
  for (;;) {
    if (t[k] > time && k > 0)
      k = k > step ? k - step : 0;
    else if (t[k + 1] < time && k < n - 2)
      k = std::min(k + step, n - 2);
    else
      return k;
    if (step > 1) step /= 2;
  }
}

struct Reference_Pose {
  std::vector<Quaternion> rotations;  // local poses
  std::vector<Vector_3<float>> locals;
  std::vector<Matrix_3x3<float>> bases;  // outputs
  std::vector<Vector_3<float>> offsets;
};

inline Reference_Pose Reference(const Sequence& s, float time, bool ignore_root_offset = false) {
  const Hierarchy& h = s.Get_Hierarchy();
  if (!(time <= s.Lenght())) time = s.Lenght();
  if (time < 0) time = 0;
  const unsigned int bones = h.Bone_Count();
  Reference_Pose pose{std::vector<Quaternion>(bones, Quaternion::Identity()),
                      std::vector<Vector_3<float>>(bones, Vector_3<float>{0, 0, 0}),
                      std::vector<Matrix_3x3<float>>(bones), std::vector<Vector_3<float>>(bones)};
  for (unsigned int b = 0; b < bones; ++b) {
    if (h.Is_Leaf(b)) continue;
    const float* t = s.Key_Times(b);
    const unsigned int k = Halving_Search(t, s.Key_Count(b), time);
    const float f = t[k + 1] == t[k] ? 1.0f : (time - t[k]) / (t[k + 1] - t[k]);
    pose.rotations[b] = Blend(s.Key_Rotations(b)[k], s.Key_Rotations(b)[k + 1], f);
    Template_Library::V3_S_Mul_V3_S_Mul_Add(s.Key_Offsets(b)[k], s.Key_Offsets(b)[k + 1], pose.locals[b], 1.0f - f, f);
  }
  std::vector<bool> done(bones, false);
  std::function<void(unsigned int)> compute = [&](unsigned int b) {
    if (done[b]) return;
    const unsigned int p = b == h.Root_Index() ? INVALID_INDEX : h.Parent_Index(b);
    Matrix_3x3<float> local;
    pose.rotations[b].To_Matrix(local);
    if (p == INVALID_INDEX) {
      pose.bases[b] = local;
      pose.offsets[b] = ignore_root_offset && b == h.Root_Index() ? Vector_3<float>{0, 0, 0} : pose.locals[b];
    } else {
      compute(p);
      Template_Library::M3x3_M3x3_Mul(pose.bases[p], local, pose.bases[b]);
      Template_Library::M3x3_V3_Mul_V3_Add(pose.bases[p], pose.locals[b], pose.offsets[p], pose.offsets[b]);
    }
    done[b] = true;
  };
  for (unsigned int b = 0; b < bones; ++b) compute(b);
  return pose;
}

// Every key time of every bone and every midpoint between neighbours, and
// times outside the clip.
inline std::vector<float> Probe_Times(const Sequence& s) {
  std::set<float> keys;
  for (unsigned int b = 0; b < s.Get_Hierarchy().Bone_Count(); ++b)
    keys.insert(s.Key_Times(b), s.Key_Times(b) + s.Key_Count(b));
  std::vector<float> times(keys.begin(), keys.end());
  for (std::size_t i = 0, n = times.size(); i + 1 < n; ++i) times.push_back(0.5f * (times[i] + times[i + 1]));
  std::sort(times.begin(), times.end());
  times.insert(times.end(), {-3.0f, s.Lenght() * 2 + 1, NAN});
  return times;
}

// Plays `s` at the probe times in order (the frame's hint hits) and shuffled
// (it misses), reading every bone in reverse order, and compares local poses
// and outputs with the reference to the bit.
inline void Expect_Playback_Matches_Reference(const Sequence& s) {
  const Hierarchy& h = s.Get_Hierarchy();
  std::vector<float> times = Probe_Times(s);
  Frame frame(h, false);
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) std::shuffle(times.begin(), times.end(), std::mt19937(7));
    for (float time : times) {
      s.Get_Frame_Time(frame, time);
      const Reference_Pose expected = Reference(s, time);
      for (unsigned int b = h.Bone_Count(); b-- > 0;) {
        ASSERT_EQ(std::memcmp(&frame.Base(b), &expected.bases[b], sizeof(Matrix_3x3<float>)), 0)
            << h.Bone_Name(b) << " base at " << time;
        ASSERT_EQ(std::memcmp(&frame.Offset(b), &expected.offsets[b], sizeof(Vector_3<float>)), 0)
            << h.Bone_Name(b) << " offset at " << time;
        ASSERT_EQ(std::memcmp(&frame.Local_Rotation(b), &expected.rotations[b], sizeof(Quaternion)), 0)
            << h.Bone_Name(b) << " rotation at " << time;
      }
    }
  }
}

}  // namespace test_support
