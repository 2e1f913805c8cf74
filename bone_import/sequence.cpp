#include "bone_import.h"
#include "check.h"

namespace Vantorix {
namespace Bone_Import {

namespace {
const char* const SOURCE = "bone_import/bones";
}

Sequence::Sequence(const Hierarchy& hierarchy)
    : length(0.0f),
      number_of_frames(nullptr),
      frame_times(nullptr),
      frame_rotations(nullptr),
      frame_offsets(nullptr),
      hier(&hierarchy),
      increasing_times(nullptr),
      state(Fill_State::EMPTY) {}

Sequence::~Sequence() {
  delete[] number_of_frames;
  const unsigned int bone_count = hier->Bone_Count();
  for (unsigned int b = 0; b < bone_count; ++b) {
    if (frame_times) delete[] frame_times[b];
    if (frame_rotations) delete[] frame_rotations[b];
    if (frame_offsets) delete[] frame_offsets[b];
  }
  delete[] frame_times;
  delete[] frame_rotations;
  delete[] frame_offsets;
  delete[] increasing_times;
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

}  // namespace Bone_Import
}  // namespace Vantorix
