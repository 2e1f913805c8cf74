#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

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
// finds. Walks from interval k towards the time, at most `steps` keys, and
// returns the interval that holds it strictly, or n if there is none within
// reach (an exact key time among them: only the halving search decides
// between the two intervals a key time touches).
inline unsigned int Walk_To_Interval(const float* times, unsigned int n, float time, unsigned int k, int steps) {
  for (; steps > 0; --steps) {
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
  return n;
}

// Keys at a steady rate put the time at its share of the span: a few steps
// from there settle it. Everything else takes the halving search.
inline unsigned int Find_Key_Shortcut(const float* times, unsigned int n, float time) {
  const float guess = (time - times[0]) / (times[n - 1] - times[0]) * float(n - 1);
  if (guess >= 0.0f && guess < float(n - 1)) {  // false for NaN
    const unsigned int k = Walk_To_Interval(times, n, time, std::min(static_cast<unsigned int>(guess), n - 2), 4);
    if (k < n) return k;
  }
  return Find_Key(times, n, time);
}

// Sequential playback moves at most an interval or so per frame: the interval
// found last time, or the next one, usually holds the time. Accepted only
// where the interval is unique (strictly increasing times, a time strictly
// inside), so the result is always the halving search's. n if the hint
// misses. Which of the two it is changes from frame to frame on keys of
// uneven spacing, so it is chosen without a branch.
inline unsigned int Try_Hint(const float* times, unsigned int n, float time, unsigned int hint) {
  unsigned int k = hint;
  if (k + 2 < n) k += times[k + 1] < time ? 1 : 0;
  return k + 1 < n && times[k] < time && time < times[k + 1] ? k : n;
}

inline unsigned int Find_Key_From(const float* times, unsigned int n, float time, bool increasing, unsigned int hint) {
  if (!increasing) return Find_Key(times, n, time);
  const unsigned int k = Try_Hint(times, n, time, hint);
  return k < n ? k : Find_Key_Shortcut(times, n, time);
}

// A solo bone: the hint, else a short walk forward from the time index's
// start (at or before the interval), else the halving search.
inline unsigned int Find_Solo_Key(const Solo_Bone& solo, float time, unsigned int hint, unsigned int start) {
  const float* times = solo.times;
  const unsigned int n = solo.n;
  if (!solo.increasing) return Find_Key(times, n, time);
  unsigned int k = Try_Hint(times, n, time, hint);
  if (k < n) return k;
  if (solo.indexed) {
    k = Walk_To_Interval(times, n, time, start, 8);
    if (k < n) return k;
  }
  return Find_Key(times, n, time);
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

// The first `count` solo bones (key_groups.h), each with its own interval
// and weight, four at a time where SIMD is available.
inline void Blend_Solos(const Key_Groups& groups, std::size_t count, float time, unsigned int* hints,
                        Quaternion* local_rotations, Vector_3<float>* local_offsets) {
  const Solo_Bone* solos = groups.solos.data();
  const std::uint16_t* row =
      groups.buckets ? groups.bucket_keys.data() +
                           std::size_t(Time_Bucket(time, groups.bucket_scale, groups.buckets)) * groups.solos.size()
                     : nullptr;
  const auto find = [&](std::size_t j) {
    const Solo_Bone& solo = solos[j];
    const unsigned int k = Find_Solo_Key(solo, time, hints[solo.bone], row ? row[j] : 0);
    hints[solo.bone] = k;
    // Playback runs forward: ask for keys a few intervals ahead now (see
    // Blend_Group).
    const std::size_t ahead = std::min(k + 8, solo.n - 1);
    Prefetch(solo.rotations + ahead);
    Prefetch(solo.offsets + ahead);
    return k;
  };
  std::size_t j = 0;
#ifdef BONE_IMPORT_SSE
  for (; j < count; j += 4) {
    // Past the last solo bone, lanes repeat the first one and are not stored.
    const unsigned int lanes = unsigned(std::min<std::size_t>(4, count - j));
    const Solo_Bone* s[4] = {solos + j, solos + j + (lanes > 1 ? 1 : 0), solos + j + (lanes > 2 ? 2 : 0),
                             solos + j + (lanes > 3 ? 3 : 0)};
    unsigned int k[4];
    k[0] = find(j);
    for (unsigned int i = 1; i < 4; ++i) k[i] = i < lanes ? find(j + i) : k[0];
    // Interval_Weight in four lanes: the same operations, so the same bits.
    const __m128 t0 = _mm_setr_ps(s[0]->times[k[0]], s[1]->times[k[1]], s[2]->times[k[2]], s[3]->times[k[3]]);
    const __m128 t1 =
        _mm_setr_ps(s[0]->times[k[0] + 1], s[1]->times[k[1] + 1], s[2]->times[k[2] + 1], s[3]->times[k[3] + 1]);
    const __m128 span = _mm_sub_ps(t1, t0);
    const __m128 empty = _mm_cmpeq_ps(span, _mm_setzero_ps());
    const __m128 f = _mm_or_ps(_mm_and_ps(empty, _mm_set1_ps(1.0f)),
                               _mm_andnot_ps(empty, _mm_div_ps(_mm_sub_ps(_mm_set1_ps(time), t0), span)));
    const Quaternion* from[4] = {s[0]->rotations + k[0], s[1]->rotations + k[1], s[2]->rotations + k[2],
                                 s[3]->rotations + k[3]};
    const Quaternion* to[4] = {from[0] + 1, from[1] + 1, from[2] + 1, from[3] + 1};
    Quaternion* out[4] = {local_rotations + s[0]->bone, local_rotations + s[1]->bone, local_rotations + s[2]->bone,
                          local_rotations + s[3]->bone};
    Blend_Four(from, to, f, lanes, out);
    float w[4];
    _mm_storeu_ps(w, f);
    for (unsigned int i = 0; i < lanes; ++i)
      Template_Library::V3_S_Mul_V3_S_Mul_Add(s[i]->offsets[k[i]], s[i]->offsets[k[i] + 1], local_offsets[s[i]->bone],
                                              1.0f - w[i], w[i]);
  }
#else
  for (; j < count; ++j) {
    const Solo_Bone& solo = solos[j];
    const unsigned int k = find(j);
    const float f = Interval_Weight(solo.times + k, time);
    local_rotations[solo.bone] = Blend_Rotations(solo.rotations[k], solo.rotations[k + 1], f);
    Template_Library::V3_S_Mul_V3_S_Mul_Add(solo.offsets[k], solo.offsets[k + 1], local_offsets[solo.bone], 1.0f - f,
                                            f);
  }
#endif
}

// The time index of the solo bones (key_groups.h). About two keys of an
// average solo bone fall in a bucket, so the index costs about one byte per
// solo key, never more than two bytes per key and bone. A bone whose times
// do not rise strictly, or with more keys than an entry counts, is left out
// and searched by halving.
void Build_Time_Index(Key_Groups& groups, float length) {
  std::vector<Solo_Bone>& solos = groups.solos;
  std::size_t keys = 0;
  for (Solo_Bone& solo : solos) {
    solo.indexed = solo.increasing && solo.n <= 65536u;
    if (solo.indexed) keys += solo.n;
  }
  if (keys == 0) return;
  const std::size_t columns = solos.size();
  const unsigned int buckets = unsigned(std::min<std::size_t>(std::max<std::size_t>(keys / columns / 2, 1), 1u << 20));
  const float scale = float(buckets) / length;
  if (!(scale > 0.0f) || !std::isfinite(scale)) {  // a length of 0, below 0, not finite
    for (Solo_Bone& solo : solos) solo.indexed = false;
    return;
  }
  groups.buckets = buckets;
  groups.bucket_scale = scale;
  groups.bucket_keys.assign(std::size_t(buckets) * columns, 0);
  for (std::size_t j = 0; j < columns; ++j) {
    const Solo_Bone& solo = solos[j];
    if (!solo.indexed) continue;
    unsigned int k = 0;  // the last key in a bucket before b, or 0 if none
    for (unsigned int b = 0; b < buckets; ++b) {
      while (k + 1 < solo.n && Time_Bucket(solo.times[k + 1], scale, buckets) < b) ++k;
      groups.bucket_keys[std::size_t(b) * columns + j] = std::uint16_t(std::min(k, solo.n - 2));
    }
  }
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
  // Solo bones ascend: those of a frame of another hierarchy with fewer bones
  // stop early.
  const std::vector<Solo_Bone>& solos = key_groups->solos;
  std::size_t last = solos.size();
  while (last > 0 && solos[last - 1].bone >= frame.bone_count) --last;
  Blend_Solos(*key_groups, last, time, frame.key_hints, frame.local_rotations, frame.local_offsets);
  frame.Set_Dirty();
}

void Sequence::Build_Key_Groups() {
  const unsigned int bone_count = hier->Bone_Count();
  // Members of each group, the first bone (in index order) leading.
  std::vector<std::vector<unsigned int>> lists;
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_hash;
  for (unsigned int b = 0; b < bone_count; ++b) {
    // Sampling needs an interval; a bone without two keys is left as it is.
    if (hier->Is_Leaf(b) || number_of_frames[b] < 2) continue;
    const unsigned int n = number_of_frames[b];
    std::uint64_t hash = 14695981039346656037ull ^ n;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame_times[b]);
    for (std::size_t i = 0; i < std::size_t(n) * sizeof(float); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    std::vector<std::size_t>& candidates = by_hash[hash];
    bool placed = false;
    for (std::size_t list : candidates) {
      const unsigned int leader = lists[list][0];
      if (number_of_frames[leader] == n && std::memcmp(frame_times[leader], frame_times[b], n * sizeof(float)) == 0) {
        lists[list].push_back(b);
        placed = true;
        break;
      }
    }
    if (!placed) {
      candidates.push_back(lists.size());
      lists.push_back({b});
    }
  }

  auto groups = std::make_unique<Key_Groups>();
  std::size_t copied = 0;
  for (const auto& list : lists)
    if (list.size() > 1) {
      copied += std::size_t(number_of_frames[list[0]]) * list.size();
      groups->members.insert(groups->members.end(), list.begin(), list.end());
    }
  groups->rotations.resize(copied);
  groups->offsets.resize(copied);
  std::size_t member_at = 0, copy_at = 0;
  for (const auto& list : lists) {
    const unsigned int leader = list[0], n = number_of_frames[leader], count = unsigned(list.size());
    if (count == 1) {
      groups->solos.push_back(Solo_Bone{leader, n, increasing_times[leader] != 0, false, frame_times[leader],
                                        frame_rotations[leader], frame_offsets[leader]});
      continue;
    }
    Quaternion* rotations = groups->rotations.data() + copy_at;
    Vector_3<float>* offsets = groups->offsets.data() + copy_at;
    for (unsigned int j = 0; j < count; ++j)
      for (unsigned int k = 0; k < n; ++k) {
        rotations[std::size_t(k) * count + j] = frame_rotations[list[j]][k];
        offsets[std::size_t(k) * count + j] = frame_offsets[list[j]][k];
      }
    groups->groups.push_back(Key_Group{leader, count, list.back(), groups->members.data() + member_at,
                                       frame_times[leader], n, increasing_times[leader] != 0, rotations, offsets});
    member_at += count;
    copy_at += std::size_t(n) * count;
  }
  Build_Time_Index(*groups, length);
  delete key_groups;
  key_groups = groups.release();
}

void Interpolate(Frame& out, const Frame& a, const Frame& b, float t) {
  const unsigned int bone_count = std::min({out.hier->Bone_Count(), out.bone_count, a.bone_count, b.bone_count});
  for (unsigned int i = 0; i < bone_count; ++i) {
    if (out.hier->Is_Leaf(i)) continue;
    out.local_rotations[i] = Blend_Rotations(a.local_rotations[i], b.local_rotations[i], t);
    Template_Library::V3_S_Mul_V3_S_Mul_Add(b.local_offsets[i], a.local_offsets[i], out.local_offsets[i], t, 1.0f - t);
  }
  out.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
