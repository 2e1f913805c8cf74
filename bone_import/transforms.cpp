#include <utility>

#include "check.h"
#include "rotation.h"

namespace Vantorix {
namespace Bone_Import {

namespace {
const char* const SOURCE = "bone_import/bones";
}

void Sequence::Flip() {
  Require_Filled();
  const unsigned int bone_count = hier->Bone_Count();
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    const unsigned int n = number_of_frames[bone];
    float* times = frame_times[bone];
    Quaternion* rotations = frame_rotations[bone];
    Vector_3<float>* offsets = frame_offsets[bone];
    // Key j becomes old key n - 1 - j at time length - t; reversing in place
    // gives the same values as copying out and writing back.
    for (unsigned int j = 0; j < n / 2; ++j) {
      std::swap(times[j], times[n - 1 - j]);
      std::swap(rotations[j], rotations[n - 1 - j]);
      std::swap(offsets[j], offsets[n - 1 - j]);
    }
    for (unsigned int j = 0; j < n; ++j) times[j] = length - times[j];
    Note_Key_Order(bone);  // rounding may make neighbouring times equal
  }
  Build_Key_Groups();
}

void Sequence::Normalize() {
  Require_Filled();
  BONE_IMPORT_CHECK(length != 0.0f, "length != 0.0f", SOURCE, "Sequence length is 0, can't normalize");
  const unsigned int bone_count = hier->Bone_Count();
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    float* times = frame_times[bone];
    for (unsigned int k = 0; k < number_of_frames[bone]; ++k) times[k] = times[k] / length;
    Note_Key_Order(bone);
  }
  length = 1.0f;
  Build_Key_Groups();
}

void Sequence::Rotate(const Matrix_3x3<float>& r) {
  Require_Filled();
  const unsigned int root = hier->Root_Index();
  BONE_IMPORT_CHECK(root < hier->Bone_Count(), "root < hier->Bone_Count()", SOURCE, "Sequence has no root bone");
  Quaternion* rotations = frame_rotations[root];
  for (unsigned int k = 0; k < number_of_frames[root]; ++k) {
    Matrix_3x3<float> m;
    Rotation_Matrix(rotations[k], m);
    Template_Library::M3x3_M3x3_Mul(r, m, m);
    rotations[k] = Quaternion(m);
  }
  Build_Key_Groups();
}

}  // namespace Bone_Import
}  // namespace Vantorix
