// The errors of an edited sequence at Reduce's check points: what Reduce
// measures its result with, and Sequence::Reduction_Errors.
#include <algorithm>
#include <cmath>
#include <vector>

#include "check.h"
#include "reduce_model.h"

namespace Vantorix {
namespace Bone_Import {

namespace Reduction {

std::vector<double> Check_Times(const Sequence& s) {
  std::vector<float> all;
  for (unsigned int b = 0; b < s.Get_Hierarchy().Bone_Count(); ++b)
    all.insert(all.end(), s.Key_Times(b), s.Key_Times(b) + s.Key_Count(b));
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  std::vector<double> times;
  for (std::size_t i = 0; i < all.size(); ++i) {
    times.push_back(all[i]);
    if (i + 1 < all.size()) times.push_back(0.5 * (double(all[i]) + double(all[i + 1])));
  }
  return times;
}

void Frame_Errors2(Frame& original, Frame& edited, unsigned int bones, float reach, double* errors) {
  const auto pose_of = [](Frame& frame, unsigned int bone) {
    Pose pose;
    const Matrix_3x3<float>& m = frame.Base(bone);
    for (int i = 0; i < 9; ++i) pose.base[i] = m.m[i / 3][i % 3];
    for (int i = 0; i < 3; ++i) pose.position[i] = frame.Offset(bone)[i];
    return pose;
  };
  for (unsigned int bone = 0; bone < bones; ++bone)
    errors[bone] = Error2(pose_of(edited, bone), Points_Of(pose_of(original, bone), reach), reach);
}

}  // namespace Reduction

namespace {

// The larger of two squared errors, where one that is not a number (a point
// that cannot be measured) is larger than any.
inline double Worse(double worst, double e) { return std::isnan(worst) || e <= worst ? worst : e; }

}  // namespace

std::vector<double> Sequence::Reduction_Errors(const Sequence& original, const Sequence& edited, float reach) {
  original.Require_Filled();
  edited.Require_Filled();
  BONE_IMPORT_CHECK(original.Get_Hierarchy() == edited.Get_Hierarchy(),
                    "original.Get_Hierarchy() == edited.Get_Hierarchy()", "bone_import/bones",
                    "Sequences of different hierarchies can't be compared");
  const Hierarchy& h = original.Get_Hierarchy();
  std::vector<double> worst(h.Bone_Count(), 0.0), now(h.Bone_Count());
  Frame a(h, false), b(h, false);
  for (double time : Reduction::Check_Times(original)) {
    original.Get_Frame_Time(a, float(time));
    edited.Get_Frame_Time(b, float(time));
    Reduction::Frame_Errors2(a, b, h.Bone_Count(), reach, now.data());
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) worst[bone] = Worse(worst[bone], now[bone]);
  }
  for (double& e : worst) e = std::sqrt(e);
  return worst;
}

}  // namespace Bone_Import
}  // namespace Vantorix
