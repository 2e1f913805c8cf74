#include <algorithm>
#include <type_traits>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "key_groups.h"
#include "sequence_keys.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

}  // namespace

Sequence::Sequence(const Hierarchy& hierarchy)
    : length(0.0f),
      number_of_frames(nullptr),
      frame_times(nullptr),
      frame_rotations(nullptr),
      frame_offsets(nullptr),
      hier(&hierarchy),
      table_count(0),
      increasing_times(nullptr),
      key_groups(nullptr),
      state(Fill_State::EMPTY) {}

Sequence::~Sequence() {
  delete[] number_of_frames;
  for (unsigned int b = 0; b < table_count; ++b) {
    delete[] frame_times[b];
    delete[] frame_rotations[b];
    delete[] frame_offsets[b];
  }
  delete[] frame_times;
  delete[] frame_rotations;
  delete[] frame_offsets;
  delete[] increasing_times;
  delete key_groups;
}

float Sequence::Lenght() const { return length; }

void Sequence::Require_Filled() const {
  BONE_IMPORT_CHECK(number_of_frames, "number_of_frames", SOURCE, "Sequence is empty");
  BONE_IMPORT_CHECK(state == Fill_State::FILLED, "state == Fill_State::FILLED", SOURCE,
                    "Sequence import failed, it may only be destroyed");
}

void Sequence::Allocate_Tables(unsigned int bone_count) {
  state = Fill_State::FAILED;  // until the fill completes
  // Every entry starts null, so a fill that stops part-way can be destroyed.
  number_of_frames = new unsigned int[bone_count]();
  frame_times = new float*[bone_count]();
  frame_rotations = new Quaternion*[bone_count]();
  frame_offsets = new Vector_3<float>*[bone_count]();
  increasing_times = new unsigned char[bone_count]();
  table_count = bone_count;
}

void Sequence::Note_Key_Order(unsigned int bone) {
  const float* times = frame_times[bone];
  const unsigned int n = number_of_frames[bone];
  bool increasing = n > 1;
  for (unsigned int k = 1; k < n && increasing; ++k) increasing = times[k - 1] < times[k];
  increasing_times[bone] = increasing ? 1 : 0;
}

void Sequence::Release_Bone(unsigned int bone) {
  delete[] frame_times[bone];
  delete[] frame_rotations[bone];
  delete[] frame_offsets[bone];
  frame_times[bone] = nullptr;
  frame_rotations[bone] = nullptr;
  frame_offsets[bone] = nullptr;
}

void Sequence_Keys::Keep(Sequence& s, const Kept_Keys& kept) {
  const auto shrink = [](auto*& keys, unsigned int count) {
    auto* exact = new std::remove_reference_t<decltype(*keys)>[count];
    std::copy(keys, keys + count, exact);
    delete[] keys;
    keys = exact;
  };
  const Sequence::Fill_State was = s.state;
  if (s.state == Sequence::Fill_State::FILLED) s.state = Sequence::Fill_State::FAILED;
  for (unsigned int bone = 0; bone < s.hier->Bone_Count(); ++bone) {
    unsigned int count = 0;
    for (unsigned int k = 0; k < s.number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        s.frame_times[bone][count] = s.frame_times[bone][k];
        s.frame_rotations[bone][count] = s.frame_rotations[bone][k];
        s.frame_offsets[bone][count] = s.frame_offsets[bone][k];
        ++count;
      }
    if (count == s.number_of_frames[bone]) continue;
    shrink(s.frame_times[bone], count);
    shrink(s.frame_rotations[bone], count);
    shrink(s.frame_offsets[bone], count);
    s.number_of_frames[bone] = count;
  }
  s.Build_Key_Groups();
  s.state = was;
}

void Sequence_Keys::Copy(Sequence& s, const Sequence& source, const Kept_Keys& kept) {
  const unsigned int bone_count = s.hier->Bone_Count();
  s.Allocate_Tables(bone_count);
  s.length = source.length;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    unsigned int n = 0;
    for (unsigned char k : kept[bone]) n += k;
    s.frame_times[bone] = new float[n];
    s.frame_rotations[bone] = new Quaternion[n];
    s.frame_offsets[bone] = new Vector_3<float>[n];
    for (unsigned int k = 0, j = 0; k < source.number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        s.frame_times[bone][j] = source.frame_times[bone][k];
        s.frame_rotations[bone][j] = source.frame_rotations[bone][k];
        s.frame_offsets[bone][j] = source.frame_offsets[bone][k];
        ++j;
      }
    s.number_of_frames[bone] = n;
    s.Note_Key_Order(bone);
  }
  s.Build_Key_Groups();
  s.state = Sequence::Fill_State::FILLED;
}

}  // namespace Bone_Import
}  // namespace Vantorix
