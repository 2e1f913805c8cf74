#include <algorithm>

#include "bone_import.h"
#include "rotation.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

// Halving-step search from the middle for k with times[k] <= time <=
// times[k + 1]. The search never leaves the intervals 0 .. n - 2, whatever the
// key times are, so keys out of order cannot make it read outside the array;
// it then extrapolates from the first or last interval. Every move either
// halves the step or, at step 1, keeps one direction, so it always ends.
inline unsigned int Find_Key(const float* times, unsigned int n, float time) {
  const unsigned int last = n - 2;
  unsigned int k = (n - 1) / 2;
  unsigned int step = k / 2;
  if (step == 0) step = 1;
  for (;;) {
    if (times[k] > time) {
      if (k == 0) break;
      k = k > step ? k - step : 0;
    } else if (times[k + 1] < time) {
      if (k == last) break;
      k = std::min(k + step, last);
    } else {
      break;
    }
    if (step > 1) step /= 2;
  }
  return k;
}

// For strictly increasing times and a time strictly between two keys, exactly
// one interval holds the time, so any search finds what the halving search
// finds. Keys at a steady rate put it at the time's share of the span: a few
// steps from there settle it. Exact key hits and everything else take the
// halving search, which decides between the two intervals a key time touches.
inline unsigned int Find_Key_Shortcut(const float* times, unsigned int n, float time) {
  const float guess = (time - times[0]) / (times[n - 1] - times[0]) * float(n - 1);
  if (guess >= 0.0f && guess < float(n - 1)) {  // false for NaN
    unsigned int k = std::min(static_cast<unsigned int>(guess), n - 2);
    for (int steps = 0; steps < 4; ++steps) {
      if (times[k] >= time) {
        if (k == 0) break;
        --k;
      } else if (times[k + 1] <= time) {
        if (k + 2 == n) break;
        ++k;
      } else {
        return k;
      }
    }
  }
  return Find_Key(times, n, time);
}

}  // namespace

void Sequence::Get_Frame(Frame& frame, float fraction) const { Get_Frame_Time(frame, Lenght() * fraction); }

void Sequence::Get_Frame_Time(Frame& frame, float time) const {
  if (!(time <= Lenght())) time = Lenght();  // also catches NaN
  if (time < 0.0f) time = 0.0f;
  const unsigned int bone_count = std::min(hier->Bone_Count(), frame.bone_count);
  for (unsigned int b = 0; b < bone_count; ++b) {
    if (hier->Is_Leaf(b)) continue;
    const float* times = frame_times[b];
    const unsigned int n = number_of_frames[b];
    const unsigned int k = increasing_times[b] ? Find_Key_Shortcut(times, n, time) : Find_Key(times, n, time);
    const float f = (time - times[k]) / (times[k + 1] - times[k]);
    frame.local_rotations[b] = Blend_Rotations(frame_rotations[b][k], frame_rotations[b][k + 1], f);
    Template_Library::V3_S_Mul_V3_S_Mul_Add(frame_offsets[b][k], frame_offsets[b][k + 1], frame.local_offsets[b],
                                            1.0f - f, f);
  }
  frame.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
