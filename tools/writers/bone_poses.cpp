#include "writers/bone_poses.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Vantorix {
namespace Bone_Tools {

using Bone_Import::INVALID_INDEX;
using Template_Library::Matrix_3x3;
using Template_Library::Vector_3;

bool Placed_By_First_Key(const Bone_Import::Sequence& sequence, unsigned int bone) {
  const Bone_Import::Hierarchy& h = sequence.Get_Hierarchy();
  return h.Is_Leaf(bone) && h.Parent_Index(bone) != INVALID_INDEX && sequence.Is_Filled() &&
         sequence.Key_Count(bone) > 0;
}

void Placed_Local_Pose(const Bone_Import::Sequence& sequence, const Bone_Import::Frame& frame, unsigned int bone,
                       Bone_Import::Quaternion& rotation, Vector_3<float>& offset) {
  const bool first_key = Placed_By_First_Key(sequence, bone);
  rotation = first_key ? sequence.Key_Rotations(bone)[0] : frame.Local_Rotation(bone);
  offset = first_key ? sequence.Key_Offsets(bone)[0] : frame.Local_Offset(bone);
}

void Placed_Poses(const Bone_Import::Sequence& sequence, Bone_Import::Frame& frame, Matrix_3x3<float>* bases,
                  Vector_3<float>* positions) {
  const Bone_Import::Hierarchy& h = sequence.Get_Hierarchy();
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
    if (!Placed_By_First_Key(sequence, b)) {
      bases[b] = frame.Base(b);
      positions[b] = frame.Offset(b);
      continue;
    }
    const unsigned int parent = h.Parent_Index(b);
    Matrix_3x3<float> local;
    sequence.Key_Rotations(b)[0].To_Matrix(local);
    Template_Library::M3x3_M3x3_Mul(frame.Base(parent), local, bases[b]);
    Template_Library::M3x3_V3_Mul_V3_Add(frame.Base(parent), sequence.Key_Offsets(b)[0], frame.Offset(parent),
                                         positions[b]);
  }
}

float Default_Reach(const Bone_Import::Sequence& sequence) {
  Bone_Import::Frame frame(sequence.Get_Hierarchy(), false);
  const unsigned int count = sequence.Get_Hierarchy().Bone_Count();
  std::vector<Matrix_3x3<float>> bases(count);
  std::vector<Vector_3<float>> positions(count);
  double extent = 0;
  for (int step = 0; step <= 100 && count > 0; ++step) {
    sequence.Get_Frame_Time(frame, sequence.Lenght() * float(step) / 100.0f);
    Placed_Poses(sequence, frame, bases.data(), positions.data());
    Vector_3<float> low = positions[0], high = positions[0];
    for (const Vector_3<float>& p : positions)
      for (int i = 0; i < 3; ++i) low[i] = std::min(low[i], p[i]), high[i] = std::max(high[i], p[i]);
    extent = std::max(extent, double(std::sqrt(Template_Library::V3_V3_Sub_Norm(low, high))));
  }
  return float(extent / 10);
}

}  // namespace Bone_Tools
}  // namespace Vantorix
