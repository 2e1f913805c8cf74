// Shared pieces of the bonetool subcommands.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"

namespace bonetool {

using namespace Vantorix::Bone_Import;

// A bone file's hierarchy and sequence, imported from one file.
struct Bone_File {
  explicit Bone_File(const std::string& file_path) : path(file_path), sequence(hierarchy) {
    hierarchy.Import(path.c_str());
    sequence.Import(path.c_str());
  }
  std::string path;
  Hierarchy hierarchy;
  Sequence sequence;
};

struct Context {
  int exit_code = 0;
};

// The whole file as bytes; throws std::runtime_error when it cannot be read.
std::string Read_File(const std::string& path);

// Keys of all bones of a filled sequence.
std::size_t Total_Keys(const Sequence& sequence);

// Rz(r2) * Ry(r1) * Rx(r0) from angles in degrees, as a key's angles turn.
Matrix_3x3<float> Matrix_From_Degrees(float r0, float r1, float r2);

// Angle in degrees between two rotations (sign of the quaternions ignored).
double Angle_Between_Degrees(const Quaternion& a, const Quaternion& b);

// Counts work on stderr when stderr is a terminal; silent otherwise.
class Progress {
 public:
  Progress(std::string what, std::size_t total);
  ~Progress();
  void Step(std::size_t done);

 private:
  std::string what_;
  std::size_t total_;
  bool active_;
  int last_percent_ = -1;
};

// World positions of every bone at the frame's pose. Leaf bones, which
// sampling never moves, are placed at their first key's offset from the parent
// so that drawings show the last segment of each chain.
std::vector<Vector_3<float>> Bone_Positions(const Bone_File& file, Frame& frame);

// The subcommands.
void Add_Info(CLI::App& app, Context& context);
void Add_Sample(CLI::App& app, Context& context);
void Add_Validate(CLI::App& app, Context& context);
void Add_Edit_Commands(CLI::App& app, Context& context);
void Add_Skin(CLI::App& app, Context& context);
void Add_Render(CLI::App& app, Context& context);
void Add_Interchange(CLI::App& app, Context& context);
void Add_Demo(CLI::App& app, Context& context);

// Used by render and demo: draws poses at `times` (and skin points) as SVG.
struct Render_Options {
  std::vector<float> times;
  const Skin* skin = nullptr;
  std::string title;
};
std::string Render_Svg(const Bone_File& file, const Render_Options& options);

// Used by optimize and demo: largest per-bone differences between two
// sequences of one hierarchy, sampled on a dense time grid.
struct Bone_Error {
  double rotation_degrees = 0, offset = 0;
};
std::vector<Bone_Error> Compare_Sequences(const Sequence& a, const Sequence& b);

}  // namespace bonetool
