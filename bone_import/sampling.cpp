#include <algorithm>

#include "bone_import.h"
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

// Where the keys of one bone's interval are and where the result goes.
struct Interval {
  const float* times;  // times[0] <= time <= times[1] unless the keys break the rules
  const Quaternion* rotations;
  const Vector_3<float>* offsets;
  Quaternion* rotation_out;
  Vector_3<float>* offset_out;
};

// The weight of the interval's second key at `time`. An interval of length 0
// (two keys at one time) gives its second key: weight 1, never 0 / 0.
inline float Interval_Weight(const float* times, float time) {
  const float span = times[1] - times[0];
  return span == 0.0f ? 1.0f : (time - times[0]) / span;
}

inline void Blend_Offsets(const Interval& i, float f) {
  Template_Library::V3_S_Mul_V3_S_Mul_Add(i.offsets[0], i.offsets[1], *i.offset_out, 1.0f - f, f);
}

#ifdef BONE_IMPORT_SSE
static_assert(sizeof(Quaternion) == 4 * sizeof(float), "a quaternion loads as four packed floats");

// Blends the intervals of four bones at once, each lane with exactly the
// operations, in the order, of Blend_Rotations and of the one-bone weight, so
// the results are the same to the bit. Lanes past `count` repeat the last
// interval and are not stored.
inline void Blend_Four(const Interval* intervals, unsigned int count, float time) {
  const Interval& i0 = intervals[0];
  const Interval& i1 = intervals[count > 1 ? 1 : 0];
  const Interval& i2 = intervals[count > 2 ? 2 : count - 1];
  const Interval& i3 = intervals[count > 3 ? 3 : count - 1];
  const __m128 t0 = _mm_setr_ps(i0.times[0], i1.times[0], i2.times[0], i3.times[0]);
  const __m128 t1 = _mm_setr_ps(i0.times[1], i1.times[1], i2.times[1], i3.times[1]);
  const __m128 span = _mm_sub_ps(t1, t0);
  const __m128 empty = _mm_cmpeq_ps(span, _mm_setzero_ps());
  const __m128 f = _mm_or_ps(_mm_andnot_ps(empty, _mm_div_ps(_mm_sub_ps(_mm_set1_ps(time), t0), span)),
                             _mm_and_ps(empty, _mm_set1_ps(1.0f)));

  __m128 aw = _mm_loadu_ps(&i0.rotations[0].w), ax = _mm_loadu_ps(&i1.rotations[0].w);
  __m128 ay = _mm_loadu_ps(&i2.rotations[0].w), az = _mm_loadu_ps(&i3.rotations[0].w);
  _MM_TRANSPOSE4_PS(aw, ax, ay, az);
  __m128 bw = _mm_loadu_ps(&i0.rotations[1].w), bx = _mm_loadu_ps(&i1.rotations[1].w);
  __m128 by = _mm_loadu_ps(&i2.rotations[1].w), bz = _mm_loadu_ps(&i3.rotations[1].w);
  _MM_TRANSPOSE4_PS(bw, bx, by, bz);

  const __m128 dot = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(aw, bw), _mm_mul_ps(ax, bx)), _mm_mul_ps(ay, by)),
                                _mm_mul_ps(az, bz));
  const __m128 p = _mm_sub_ps(_mm_set1_ps(1.0f), f);
  const __m128 q = _mm_xor_ps(f, _mm_and_ps(_mm_cmplt_ps(dot, _mm_setzero_ps()), _mm_set1_ps(-0.0f)));
  __m128 rw = _mm_add_ps(_mm_mul_ps(p, aw), _mm_mul_ps(q, bw));
  __m128 rx = _mm_add_ps(_mm_mul_ps(ax, p), _mm_mul_ps(bx, q));
  __m128 ry = _mm_add_ps(_mm_mul_ps(ay, p), _mm_mul_ps(by, q));
  __m128 rz = _mm_add_ps(_mm_mul_ps(az, p), _mm_mul_ps(bz, q));
  const __m128 norm = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(rw, rw), _mm_mul_ps(rx, rx)), _mm_mul_ps(ry, ry)),
                                 _mm_mul_ps(rz, rz));
  const __m128 k = _mm_div_ps(_mm_set1_ps(1.0f), _mm_sqrt_ps(norm));
  rw = _mm_mul_ps(rw, k);
  rx = _mm_mul_ps(rx, k);
  ry = _mm_mul_ps(ry, k);
  rz = _mm_mul_ps(rz, k);
  _MM_TRANSPOSE4_PS(rw, rx, ry, rz);  // back to one quaternion per register

  float weights[4];
  _mm_storeu_ps(weights, f);
  _mm_storeu_ps(&i0.rotation_out->w, rw);
  Blend_Offsets(i0, weights[0]);
  if (count > 1) {
    _mm_storeu_ps(&i1.rotation_out->w, rx);
    Blend_Offsets(i1, weights[1]);
  }
  if (count > 2) {
    _mm_storeu_ps(&i2.rotation_out->w, ry);
    Blend_Offsets(i2, weights[2]);
  }
  if (count > 3) {
    _mm_storeu_ps(&i3.rotation_out->w, rz);
    Blend_Offsets(i3, weights[3]);
  }
}
#else
inline void Blend_One(const Interval& i, float time) {
  const float f = Interval_Weight(i.times, time);
  *i.rotation_out = Blend_Rotations(i.rotations[0], i.rotations[1], f);
  Blend_Offsets(i, f);
}
#endif

}  // namespace

void Sequence::Get_Frame(Frame& frame, float fraction) const { Get_Frame_Time(frame, Lenght() * fraction); }

void Sequence::Get_Frame_Time(Frame& frame, float time) const {
  if (state != Fill_State::FILLED) Require_Filled();
  if (!(time <= Lenght())) time = Lenght();  // also catches NaN
  if (time < 0.0f) time = 0.0f;
  const unsigned int bone_count = std::min(hier->Bone_Count(), frame.bone_count);
#ifdef BONE_IMPORT_SSE
  Interval pending[4];
  unsigned int pending_count = 0;
#endif
  for (unsigned int b = 0; b < bone_count; ++b) {
    if (hier->Is_Leaf(b)) continue;
    const float* times = frame_times[b];
    const unsigned int n = number_of_frames[b];
    const unsigned int k = increasing_times[b] ? Find_Key_Shortcut(times, n, time) : Find_Key(times, n, time);
    const Interval interval{times + k, frame_rotations[b] + k, frame_offsets[b] + k, frame.local_rotations + b,
                            frame.local_offsets + b};
    // Playback runs forward: ask for the keys two cache lines ahead now, so a
    // long clip that no longer fits in the cache does not wait for memory on
    // every new line (31 bones make too many streams for the hardware to
    // follow). Costs about 1 ns per bone on random seeks.
    Prefetch(frame_rotations[b] + std::min(k + 8, n - 1));
    Prefetch(frame_offsets[b] + std::min(k + 10, n - 1));
#ifdef BONE_IMPORT_SSE
    pending[pending_count++] = interval;
    if (pending_count == 4) {
      Blend_Four(pending, 4, time);
      pending_count = 0;
    }
#else
    Blend_One(interval, time);
#endif
  }
#ifdef BONE_IMPORT_SSE
  if (pending_count > 0) Blend_Four(pending, pending_count, time);
#endif
  frame.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
