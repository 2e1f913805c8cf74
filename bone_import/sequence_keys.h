// Private: which of a sequence's keys stay (Optimize, Reduce, Copy).
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/sequence_keys.h is private to the library; include bone_import/bone_import.h"
#endif

#include <vector>

#include "bone_import.h"

namespace Vantorix {
namespace Bone_Import {

// Per bone and key: 1 where the key stays.
using Kept_Keys = std::vector<std::vector<unsigned char>>;

struct Sequence_Keys {
  // Keeps, of each bone's keys, those marked in `kept`, in order, in arrays
  // of exactly their number, then rebuilds the key groups. The sequence
  // counts as not filled until they are rebuilt, so nothing samples the
  // arrays on their way; then it is as filled as before.
  static void Keep(Sequence& s, const Kept_Keys& kept);
  // Fills the empty `s` with the keys of `source` marked in `kept`.
  static void Copy(Sequence& s, const Sequence& source, const Kept_Keys& kept);
};

}  // namespace Bone_Import
}  // namespace Vantorix
