#include <algorithm>

#include "bone_import.h"
#include "key_groups.h"
#include "rotation.h"
#include "simd.h"

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

// Sequential playback moves at most an interval or so per frame: the interval
// found last time, or the next one, usually holds the time. Accepted only
// where the shortcut would be (strictly increasing times, a time strictly
// inside), so the result is always the halving search's.
inline unsigned int Find_Key_From(const float* times, unsigned int n, float time, bool increasing, unsigned int hint) {
  if (!increasing) return Find_Key(times, n, time);
  if (hint + 1 < n && times[hint] < time) {
    if (time < times[hint + 1]) return hint;
    if (hint + 2 < n && times[hint + 1] < time && time < times[hint + 2]) return hint + 1;
  }
  return Find_Key_Shortcut(times, n, time);
}

// The weight of the second key at `time` in the interval from times[0] to
// times[1]. An interval of length 0 (two keys at one time) gives its second
// key: weight 1, never 0 / 0.
inline float Interval_Weight(const float* times, float time) {
  const float span = times[1] - times[0];
  return span == 0.0f ? 1.0f : (time - times[0]) / span;
}

// Every member of a group at key interval k with weight f.
inline void Blend_Group(const Key_Group& group, unsigned int k, float f, Quaternion* local_rotations,
                        Vector_3<float>* local_offsets) {
  const unsigned int count = group.count;
  const Quaternion* a = group.rotations + std::size_t(k) * count;
  const Quaternion* b = a + count;
  const Vector_3<float>* oa = group.offsets + std::size_t(k) * count;
  const Vector_3<float>* ob = oa + count;
  // Playback runs forward: ask for keys a few intervals ahead now, so a long
  // clip that no longer fits in the cache does not wait for memory on every
  // new line. Costs about 1 ns per group on random seeks.
  const std::size_t ahead = std::size_t(std::min(k + 8, group.n - 1)) * count;
  Prefetch(group.rotations + ahead);
  Prefetch(group.offsets + ahead);
  const unsigned int* members = group.members;
  unsigned int j = 0;
#ifdef BONE_IMPORT_SSE
  for (; j < count; j += 4) {
    const unsigned int lanes = std::min(4u, count - j);
    const unsigned int i1 = j + (lanes > 1 ? 1 : 0), i2 = j + (lanes > 2 ? 2 : 0), i3 = j + (lanes > 3 ? 3 : 0);
    const Quaternion* from[4] = {a + j, a + i1, a + i2, a + i3};
    const Quaternion* to[4] = {b + j, b + i1, b + i2, b + i3};
    Quaternion* out[4] = {local_rotations + members[j], local_rotations + members[i1], local_rotations + members[i2],
                          local_rotations + members[i3]};
    Blend_Four(from, to, _mm_set1_ps(f), lanes, out);
  }
#else
  for (; j < count; ++j) local_rotations[members[j]] = Blend_Rotations(a[j], b[j], f);
#endif
  for (j = 0; j < count; ++j)
    Template_Library::V3_S_Mul_V3_S_Mul_Add(oa[j], ob[j], local_offsets[members[j]], 1.0f - f, f);
}

}  // namespace

void Sequence::Get_Frame(Frame& frame, float fraction) const { Get_Frame_Time(frame, Lenght() * fraction); }

void Sequence::Get_Frame_Time(Frame& frame, float time) const {
  if (state != Fill_State::FILLED) Require_Filled();
  if (!(time <= Lenght())) time = Lenght();  // also catches NaN
  if (time < 0.0f) time = 0.0f;
  for (const Key_Group& group : key_groups->groups) {
    if (group.last_member >= frame.bone_count) continue;  // a frame of another hierarchy
    const unsigned int k = Find_Key_From(group.times, group.n, time, group.increasing, frame.key_hints[group.leader]);
    frame.key_hints[group.leader] = k;
    Blend_Group(group, k, Interval_Weight(group.times + k, time), frame.local_rotations, frame.local_offsets);
  }
  frame.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
