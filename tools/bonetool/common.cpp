#include "common.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bonetool {

std::string Read_File(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::size_t Total_Keys(const Sequence& sequence) {
  std::size_t total = 0;
  for (unsigned int b = 0; b < sequence.Get_Hierarchy().Bone_Count(); ++b) total += sequence.Key_Count(b);
  return total;
}

Matrix_3x3<float> Matrix_From_Degrees(float r0, float r1, float r2) {
  const float to_radians = float(M_PI / 180.0);
  Matrix_3x3<float> m;
  Template_Library::M3x3_S_S_S_Rot_ZYX(m, r2 * to_radians, r1 * to_radians, r0 * to_radians);
  return m;
}

double Angle_Between_Degrees(const Quaternion& a, const Quaternion& b) {
  const double dot =
      std::fabs(double(a.w) * b.w + double(a.v.x) * b.v.x + double(a.v.y) * b.v.y + double(a.v.z) * b.v.z);
  return 2.0 * std::acos(std::min(1.0, dot)) * 180.0 / M_PI;
}

Progress::Progress(std::string what, std::size_t total)
    : what_(std::move(what)), total_(total), active_(isatty(STDERR_FILENO) != 0 && total > 0) {}

Progress::~Progress() {
  if (active_ && last_percent_ >= 0) std::fprintf(stderr, "\r%s: done   \n", what_.c_str());
}

void Progress::Step(std::size_t done) {
  if (!active_) return;
  const int percent = int(100.0 * double(done) / double(total_));
  if (percent == last_percent_) return;
  last_percent_ = percent;
  std::fprintf(stderr, "\r%s: %3d%%", what_.c_str(), percent);
  std::fflush(stderr);
}

std::vector<Vector_3<float>> Bone_Positions(const Bone_File& file, Frame& frame) {
  const Hierarchy& h = file.hierarchy;
  std::vector<Vector_3<float>> positions(h.Bone_Count());
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
    const unsigned int parent = h.Parent_Index(b);
    if (h.Is_Leaf(b) && parent != INVALID_INDEX && file.sequence.Key_Count(b) > 0) {
      Template_Library::M3x3_V3_Mul_V3_Add(frame.Base(parent), file.sequence.Key_Offsets(b)[0], frame.Offset(parent),
                                           positions[b]);
    } else {
      positions[b] = frame.Offset(b);
    }
  }
  return positions;
}

std::vector<Bone_Error> Compare_Sequences(const Sequence& a, const Sequence& b) {
  const Hierarchy& h = a.Get_Hierarchy();
  std::vector<Bone_Error> errors(h.Bone_Count());
  unsigned int most_keys = 0;
  for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) most_keys = std::max(most_keys, a.Key_Count(bone));
  const unsigned int samples = std::max(1000u, 4 * most_keys);
  Frame fa(h, false), fb(h, false);
  Progress progress("comparing", samples);
  for (unsigned int i = 0; i <= samples; ++i) {
    const float time = a.Lenght() * float(i) / float(samples);
    a.Get_Frame_Time(fa, time);
    b.Get_Frame_Time(fb, time);
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) {
      if (h.Is_Leaf(bone)) continue;
      Bone_Error& e = errors[bone];
      e.rotation_degrees =
          std::max(e.rotation_degrees, Angle_Between_Degrees(fa.Local_Rotation(bone), fb.Local_Rotation(bone)));
      e.offset = std::max(
          e.offset, double(std::sqrt(Template_Library::V3_V3_Sub_Norm(fa.Local_Offset(bone), fb.Local_Offset(bone)))));
    }
    progress.Step(i);
  }
  return errors;
}

}  // namespace bonetool
