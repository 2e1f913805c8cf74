// Shared pieces of the bonetool subcommands.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"
#include "process/worker_pool.h"

namespace bonetool {

using namespace Vantorix::Bone_Import;

// A library error on one file, with what the validator finds in that file,
// so that a user learns what is wrong with it ("x.png: offset 0: header is not
// BONE"). main prints the error, then each line of the explanation.
struct File_Refused : std::runtime_error {
  File_Refused(const Kernel::Exception& error, std::vector<std::string> lines)
      : std::runtime_error(error.what()), explanation(std::move(lines)) {}
  File_Refused(const std::string& message, std::vector<std::string> lines)
      : std::runtime_error(message), explanation(std::move(lines)) {}
  std::vector<std::string> explanation;
};

// Runs `import` on the file at `path`; a library error becomes File_Refused
// with the validator's findings for that file (a bone file, or a skin file
// when `skin`). A missing or unreadable file is refused first, in the same
// words by every command ("cannot read PATH: REASON").
void Import_File(const std::string& path, bool skin, const std::function<void()>& import);

// A bone file's hierarchy and sequence, imported from one file.
struct Bone_File {
  explicit Bone_File(const std::string& file_path);
  std::string path;
  Hierarchy hierarchy;
  Sequence sequence;
};

// An opened skin file (errors explained like Bone_File's).
std::unique_ptr<Skin_File> Open_Skin_File(const std::string& path);

// The skin to use: `requested`, or the file's only skin when none is named.
// Names the skins the file has when `requested` is not one of them.
std::string Choose_Skin(const Skin_File& skins, const std::string& path, const std::string& requested);

// Refuses, naming both files and the bone, a skin whose records bind a bone
// table entry that names no bone of the hierarchy (of the bone file
// `bone_path`): the one mapping Skin::Import refuses, in a user's words.
// Entries that no record of the skin uses may name anything.
void Check_Skin_Fits(Skin_File& skins, const std::string& skin_path, const std::string& skin_name,
                     const Hierarchy& hierarchy, const std::string& bone_path);

// Option checks, applied when the command line is parsed (exit 2): a finite
// number, a finite number above 0, a finite fraction from 0 to 1.
const CLI::Validator& Finite();
const CLI::Validator& Positive();
const CLI::Validator& Fraction();

// A finite number of 0 or more; a finite number from `low` to `high`.
const CLI::Validator& Non_Negative();
CLI::Validator Between(double low, double high);

// Prints "bonetool: note: TEXT" on stderr unless `text` is empty.
void Note(const std::string& text);

// Notes how many vertices of the skin have weights that do not sum to 1, and
// so are normalised by the library's rule (Skinned_Mesh); nothing when none.
void Note_Weights(const Skinned_Mesh& mesh, const std::string& skin_name);

// "1 animation", "2 animations" (`plural` when the noun does not just add s).
std::string Count(std::size_t n, const std::string& noun, const std::string& plural = "");

struct Context {
  int exit_code = 0;
};

// A batch in which some input was refused: its table says which and why
// (exit status 1, nothing more to print).
struct Batch_Refused {};

// --max-memory and --timeout: the caps on the worker process that reads each
// scene file (commands that read through Assimp).
struct Worker_Options {
  std::string max_memory;  // empty: the default share of the machine's memory
  double timeout = 120.0;
};
void Add_Worker_Options(CLI::App& command, Worker_Options& options);
// The worker settings for `jobs` workers at once (0: one per core).
Vantorix::Bone_Tools::Worker_Pool_Settings Worker_Settings(const Worker_Options& options, unsigned int jobs);

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

// Prints the bone tree from the root, one line per bone: `indent`, two spaces
// per level, the name, " (leaf)" for a leaf, then `details(bone)` when given.
// Depth first, children in file order. The children are listed once and the
// tree is walked without recursion, so any depth prints in time linear in the
// bone count; below level 32 the indentation stops growing and the line gives
// the level instead ("[40] NAME"), so that the output is linear too.
void Print_Tree(const Hierarchy& h, const char* indent,
                const std::function<std::string(unsigned int)>& details = nullptr);

// The subcommands.
void Add_Info(CLI::App& app, Context& context);
void Add_Sample(CLI::App& app, Context& context);
void Add_Validate(CLI::App& app, Context& context);
void Add_Edit_Commands(CLI::App& app, Context& context);
void Add_Skin(CLI::App& app, Context& context);
void Add_Render(CLI::App& app, Context& context);
void Add_Interchange(CLI::App& app, Context& context);
void Add_Demo(CLI::App& app, Context& context);
void Add_View(CLI::App& app, Context& context);

// Used by render and demo: draws poses at `times` (and skin points) as SVG.
struct Render_Options {
  std::vector<float> times;
  const Skin* skin = nullptr;
  std::string skin_name;
  std::string title;
};
std::string Render_Svg(const Sequence& sequence, const Render_Options& options);

// Used by view and demo: the page that plays `file` (and a skin), titled
// `title`. Throws File_Error when the viewer's scripts are not installed.
}  // namespace bonetool
namespace Vantorix {
namespace Bone_Tools {
struct Export_Skin;
}
}  // namespace Vantorix
namespace bonetool {
std::string Render_Page(const Bone_File& file, const Vantorix::Bone_Tools::Export_Skin* skin, const std::string& title);

// The skin of `skin_path` (`name`, or its only skin) mapped onto `file`'s
// hierarchy for export and view, with the note about its weights; null when
// no skin file is given.
std::unique_ptr<Vantorix::Bone_Tools::Export_Skin> Load_Skin_For(const Bone_File& file, const std::string& skin_path,
                                                                 const std::string& name);

// Used by optimize and demo: largest per-bone differences between two
// sequences of one hierarchy, sampled on a dense time grid.
struct Bone_Error {
  double rotation_degrees = 0, offset = 0;
};
std::vector<Bone_Error> Compare_Sequences(const Sequence& a, const Sequence& b);

}  // namespace bonetool
