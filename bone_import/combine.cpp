#include <vector>

#include "bone_key.h"
#include "check.h"
#include "sequence_keys.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// Appends a boundary key unless float rounding brought its time onto (or
// below) the last key's, which would make a zero-length interval. A time that
// is not a number (a source of infinite length) is kept: every bone keeps at
// least two keys.
void Append_Key(std::vector<Bone_Key>& keys, const Bone_Key& key) {
  if (keys.empty() || !(key.time <= keys.back().time)) keys.push_back(key);
}

// Appends the keys of one source bone that lie strictly inside (start, end),
// shifted so that `start` lands on `shift`. A shifted time that rounds onto
// the boundary key to come (at `shift + (end - start)`) or past it is
// dropped: the sampled boundary pose stands there.
void Append_Inner_Keys(std::vector<Bone_Key>& keys, const Sequence& source, unsigned int bone, float start, float end,
                       float shift) {
  const unsigned int n = source.Key_Count(bone);
  const float* times = source.Key_Times(bone);
  const Quaternion* rotations = source.Key_Rotations(bone);
  const Vector_3<float>* offsets = source.Key_Offsets(bone);
  const float boundary = (end - start) + shift;
  for (unsigned int k = 0; k < n; ++k) {
    const float t = times[k];
    if (!(start < t && t < end)) continue;
    const float shifted = (t - start) + shift;
    if (keys.back().time < shifted && shifted < boundary) keys.push_back(Bone_Key{shifted, offsets[k], rotations[k]});
  }
}

}  // namespace

void Sequence::Combine(Sequence& a, float a_start_index, float a_end_index, Sequence& b, float b_start_index,
                       float b_end_index, float transition_time) {
  BONE_IMPORT_CHECK(!number_of_frames, "!number_of_frames", SOURCE, "Sequence has already some data!!");
  BONE_IMPORT_PLAIN_CHECK(*a.hier == *b.hier, "a.hier == b.hier", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(*hier == *b.hier, "hier == b.hier", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(a_start_index < a_end_index, "a_start_index < a_end_index", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(b_start_index < b_end_index, "b_start_index < b_end_index", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(!(a_start_index < 0.0f), "a_start_index >= 0.0f", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(!(b_start_index < 0.0f), "b_start_index >= 0.0f", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(!(a_end_index > 1.0f), "a_end_index <= 1.0f", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(!(b_end_index > 1.0f), "b_end_index <= 1.0f", SOURCE);
  BONE_IMPORT_PLAIN_CHECK(transition_time > 0.0f, "transition_time > 0.0f", SOURCE);
  BONE_IMPORT_CHECK(a.number_of_frames && b.number_of_frames, "a.number_of_frames && b.number_of_frames", SOURCE,
                    "Combine source sequence is empty");
  BONE_IMPORT_CHECK(a.Is_Filled() && b.Is_Filled(), "a.Is_Filled() && b.Is_Filled()", SOURCE,
                    "Combine source sequence import failed, it may only be destroyed");
  // Stretches of a negative length would run backwards: no rising key times.
  BONE_IMPORT_CHECK(!(a.Lenght() < 0.0f) && !(b.Lenght() < 0.0f), "!(a.Lenght() < 0.0f) && !(b.Lenght() < 0.0f)",
                    SOURCE, "Combine source sequence has a negative length");

  const float a_start = a.Lenght() * a_start_index;
  const float a_end = a.Lenght() * a_end_index;
  const float b_start = b.Lenght() * b_start_index;
  const float b_end = b.Lenght() * b_end_index;

  // The four boundary poses, sampled once for all bones. Leaf bones keep the
  // frames' initial pose (identity rotation, zero offset).
  Frame a0(*hier, false), a1(*hier, false), b0(*hier, false), b1(*hier, false);
  a.Get_Frame_Time(a0, a_start);
  a.Get_Frame_Time(a1, a_end);
  b.Get_Frame_Time(b0, b_start);
  b.Get_Frame_Time(b1, b_end);

  const unsigned int bone_count = hier->Bone_Count();
  const float a_span = a_end - a_start;
  const float b_begin = a_span + transition_time;
  Allocate_Tables(bone_count);
  std::vector<Bone_Key> keys;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    keys.clear();
    Append_Key(keys, Bone_Key{0.0f, a0.local_offsets[bone], a0.local_rotations[bone]});
    Append_Inner_Keys(keys, a, bone, a_start, a_end, 0.0f);
    Append_Key(keys, Bone_Key{a_span, a1.local_offsets[bone], a1.local_rotations[bone]});
    Append_Key(keys, Bone_Key{b_begin, b0.local_offsets[bone], b0.local_rotations[bone]});
    Append_Inner_Keys(keys, b, bone, b_start, b_end, b_begin);
    Append_Key(keys, Bone_Key{(b_end - b_start) + b_begin, b1.local_offsets[bone], b1.local_rotations[bone]});

    const unsigned int n = static_cast<unsigned int>(keys.size());
    frame_times[bone] = new float[n];
    frame_rotations[bone] = new Quaternion[n];
    frame_offsets[bone] = new Vector_3<float>[n];
    number_of_frames[bone] = n;
    for (unsigned int k = 0; k < n; ++k) {
      frame_times[bone][k] = keys[k].time;
      frame_offsets[bone][k] = keys[k].offset;
      frame_rotations[bone][k] = keys[k].rotation;
    }
    Note_Key_Order(bone);
  }
  length = ((a_end - a_start) + (b_end - b_start)) + transition_time;
  Build_Key_Groups();
  state = Fill_State::FILLED;
}

void Sequence::Copy(const Sequence& source) {
  BONE_IMPORT_CHECK(!number_of_frames, "!number_of_frames", SOURCE, "Sequence has already some data!!");
  source.Require_Filled();
  BONE_IMPORT_CHECK(*hier == *source.hier, "*hier == *source.hier", SOURCE,
                    "Copy source sequence belongs to another hierarchy");
  Kept_Keys every_key(hier->Bone_Count());
  for (unsigned int bone = 0; bone < hier->Bone_Count(); ++bone)
    every_key[bone].assign(source.number_of_frames[bone], 1);
  Sequence_Keys::Copy(*this, source, every_key);
}

}  // namespace Bone_Import
}  // namespace Vantorix
