// Private: the sequence's keys as sampling reads them.
//
// Bones whose key times are the same to the bit (motion capture keys every
// joint at the same times) form a group: one key search and one interval
// weight serve them all, and their keys are copied key-major, so that the keys
// of all the group's bones at one time sit together and a sampled moment
// reads two contiguous blocks instead of two keys from each bone's arrays. A
// bone keyed at times of its own is a group of one that reads its own arrays,
// with no copy. Rebuilt after every fill or edit of the keys.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/key_groups.h is private to the library; include bone_import/bone_import.h"
#endif

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

struct Key_Groups {
  std::vector<Key_Group> groups;
  std::vector<unsigned int> members;
  std::vector<Quaternion> rotations;  // the key-major copies of groups of two or more
  std::vector<Vector_3<float>> offsets;
};

}  // namespace Bone_Import
}  // namespace Vantorix
