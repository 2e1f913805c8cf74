#include <cmath>

#include "bone_key.h"
#include "check.h"
#include "rotation.h"
#include "sequence_keys.h"

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

}  // namespace

// One forward pass per bone: each key is tested against the last key kept
// and the original key after it.
void Sequence::Optimize(float rotation_tolerance, float offset_tolerance) {
  BONE_IMPORT_CHECK(number_of_frames, "number_of_frames", SOURCE, "Sequence is empty");
  const unsigned int bone_count = hier->Bone_Count();
  Kept_Keys kept(bone_count);
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    BONE_IMPORT_CHECK(number_of_frames[bone] > 1, "number_of_frames[bone]>1", SOURCE,
                      "There must be atleast 2 frame in bone sequence");
    const unsigned int n = number_of_frames[bone];
    const float* times = frame_times[bone];
    const Quaternion* rotations = frame_rotations[bone];
    const Vector_3<float>* offsets = frame_offsets[bone];
    kept[bone].assign(n, 1);
    for (unsigned int i = 1, last = 0; i + 1 < n; ++i) {
      const Bone_Key prev{times[last], offsets[last], rotations[last]};
      const Bone_Key key{times[i], offsets[i], rotations[i]};
      const Bone_Key next{times[i + 1], offsets[i + 1], rotations[i + 1]};
      if (Can_Remove_Key(prev, key, next, rotation_tolerance, offset_tolerance))
        kept[bone][i] = 0;
      else
        last = i;
    }
  }
  Sequence_Keys::Keep(*this, kept);
}

}  // namespace Bone_Import
}  // namespace Vantorix
