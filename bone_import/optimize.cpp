#include <cmath>

#include "bone_key.h"
#include "check.h"
#include "rotation.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// Whether interpolating prev -> next at key's time reproduces key within both
// tolerances; both comparisons admit equality. Neighbours at one time give no
// interpolation, so such a key stays.
bool Can_Remove_Key(const Bone_Key& prev, const Bone_Key& key, const Bone_Key& next, float rotation_tolerance,
                    float offset_tolerance) {
  const float span = next.time - prev.time;
  if (span == 0.0f) return false;
  const float u = (key.time - prev.time) / span;
  const Quaternion r = Blend_Rotations(prev.rotation, next.rotation, u);
  Vector_3<float> p;
  Template_Library::V3_S_Mul_V3_S_Mul_Add(prev.offset, next.offset, p, 1.0f - u, u);
  const float e = std::sqrt(Template_Library::V3_V3_Sub_Norm(p, key.offset));
  if (e > offset_tolerance) return false;
  const Quaternion& q = key.rotation;
  const float m = q.w * r.w + q.v.x * r.v.x + q.v.y * r.v.y + q.v.z * r.v.z;
  if (m < rotation_tolerance) return false;
  return true;
}

template <class T>
void Shrink(T*& keys, unsigned int kept) {
  T* exact = new T[kept];
  std::copy(keys, keys + kept, exact);
  delete[] keys;
  keys = exact;
}

}  // namespace

// One forward pass per bone. Kept keys are compacted in place: the write
// position never passes the key under test, so `next` is always still the
// original key after it, as in a list from which dropped keys are unlinked.
void Sequence::Optimize(float rotation_tolerance, float offset_tolerance) {
  BONE_IMPORT_CHECK(number_of_frames, "number_of_frames", SOURCE, "Sequence is empty");
  const unsigned int bone_count = hier->Bone_Count();
  // The key groups point into the arrays about to be replaced: until they are
  // rebuilt, the sequence counts as not filled, so nothing samples them.
  const Fill_State was = state;
  if (state == Fill_State::FILLED) state = Fill_State::FAILED;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    BONE_IMPORT_CHECK(number_of_frames[bone] > 1, "number_of_frames[bone]>1", SOURCE,
                      "There must be atleast 2 frame in bone sequence");
    const unsigned int n = number_of_frames[bone];
    float* times = frame_times[bone];
    Quaternion* rotations = frame_rotations[bone];
    Vector_3<float>* offsets = frame_offsets[bone];
    unsigned int kept = 1;
    for (unsigned int i = 1; i + 1 < n; ++i) {
      const Bone_Key prev{times[kept - 1], offsets[kept - 1], rotations[kept - 1]};
      const Bone_Key key{times[i], offsets[i], rotations[i]};
      const Bone_Key next{times[i + 1], offsets[i + 1], rotations[i + 1]};
      if (Can_Remove_Key(prev, key, next, rotation_tolerance, offset_tolerance)) continue;
      times[kept] = times[i];
      rotations[kept] = rotations[i];
      offsets[kept] = offsets[i];
      ++kept;
    }
    times[kept] = times[n - 1];
    rotations[kept] = rotations[n - 1];
    offsets[kept] = offsets[n - 1];
    ++kept;
    if (kept == n) continue;
    Shrink(frame_times[bone], kept);
    Shrink(frame_rotations[bone], kept);
    Shrink(frame_offsets[bone], kept);
    number_of_frames[bone] = kept;
  }
  Build_Key_Groups();
  state = was;
}

}  // namespace Bone_Import
}  // namespace Vantorix
