// Private: the sequence's keys as sampling reads them.
//
// Bones whose key times are the same to the bit (motion capture keys every
// joint at the same times) form a group: one key search and one interval
// weight serve them all, and their keys are copied key-major, so that the keys
// of all the group's bones at one time sit together and a sampled moment
// reads two contiguous blocks instead of two keys from each bone's arrays.
//
// A bone keyed at times of its own (every bone of a reduced clip) is a solo
// bone: it reads its own arrays, with no copy, and solo bones are blended four
// at a time, each with its own weight. A time index finds their intervals: the
// clip's length is cut into buckets of equal span, and for each bucket one row
// holds, for every solo bone, a key at or before every time of the bucket, so
// that one multiplication per sampled moment and one row of memory give every
// solo bone a start a step or two from its interval. Rebuilt after every fill
// or edit of the keys, by Sequence::Build_Key_Groups (sampling.cpp, beside
// the sampling that reads them).
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/key_groups.h is private to the library; include bone_import/bone_import.h"
#endif

#include <cstdint>
#include <vector>

#include "bone_import.h"

namespace Vantorix {
namespace Bone_Import {

struct Key_Group {
  unsigned int leader;          // the first member; its times are the group's
  unsigned int count;           // members
  unsigned int last_member;     // the highest member bone index
  const unsigned int* members;  // bone indices, ascending
  const float* times;           // n key times
  unsigned int n;
  bool increasing;              // times rise strictly
  const Quaternion* rotations;  // key k of member j at k * count + j
  const Vector_3<float>* offsets;
};

struct Solo_Bone {
  unsigned int bone;
  unsigned int n;
  bool increasing;  // times rise strictly
  bool indexed;     // its column of the time index is filled
  const float* times;
  const Quaternion* rotations;
  const Vector_3<float>* offsets;
};

// The bucket of `time` for an index of `buckets` buckets (at most 2^24, so
// the count is exact as a float), `scale` buckets per time unit. Rises with
// the time (never falls), whatever the time, so a key in an earlier bucket
// than a time lies before it.
inline unsigned int Time_Bucket(float time, float scale, unsigned int buckets) {
  const float x = time * scale;
  if (!(x > 0.0f)) return 0;  // also NaN
  return x < float(buckets) ? static_cast<unsigned int>(x) : buckets - 1;
}

struct Key_Groups {
  std::vector<Key_Group> groups;  // two or more members
  std::vector<unsigned int> members;
  std::vector<Quaternion> rotations;  // the groups' key-major copies
  std::vector<Vector_3<float>> offsets;
  std::vector<Solo_Bone> solos;  // ascending bone index
  // The time index: `buckets` rows of one entry per solo bone, row-major:
  // entry [b * solos.size() + j] is the last key of solo bone j whose bucket
  // lies before b (0 if none), so that for a time in bucket b the bone's
  // interval starts at that key or after it. Keys up to 65,536 per bone.
  unsigned int buckets = 0;  // 0: no index
  float bucket_scale = 0.0f;
  std::vector<std::uint16_t> bucket_keys;
};

}  // namespace Bone_Import
}  // namespace Vantorix
