// convert: animation from the formats Assimp reads into bone (and skin)
// files; export: a bone file (and a skin) as glTF 2.0.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "common.h"
#include "files/output_files.h"
#include "interchange/batch_convert.h"
#include "interchange/gltf_export.h"
#include "interchange/scene_import.h"
#include "writers/animation_data.h"

namespace bonetool {

namespace Tools = Vantorix::Bone_Tools;
using Tools::Usage_Error;

namespace {

// Files done and total, the rate and the time left, on one line of stderr
// when it is a terminal.
class Batch_Progress {
 public:
  explicit Batch_Progress(std::size_t total)
      : total_(total), active_(isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()) {}
  void Show(std::size_t done) {
    if (!active_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? double(done) / seconds : 0;
    const int filled = int(30 * done / std::max<std::size_t>(total_, 1));
    std::fprintf(stderr, "\r[%-30s] %zu/%zu files, %.1f files/s, %.0f s left ",
                 std::string(std::size_t(filled), '#').c_str(), done, total_, rate,
                 rate > 0 ? double(total_ - done) / rate : 0.0);
    std::fflush(stderr);
  }
  void Finish() {
    if (active_) std::fprintf(stderr, "\n");
  }

 private:
  std::size_t total_;
  bool active_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

std::unique_ptr<Tools::Export_Skin> Load_Skin_For(const Bone_File& file, const std::string& skin_path,
                                                  const std::string& name) {
  if (skin_path.empty()) return nullptr;
  const std::unique_ptr<Skin_File> skin_file = Open_Skin_File(skin_path);
  const std::string chosen = Choose_Skin(*skin_file, skin_path, name);
  Check_Skin_Fits(*skin_file, skin_path, chosen, file.hierarchy, file.path);
  auto skin = std::make_unique<Tools::Export_Skin>(Tools::Load_Export_Skin(*skin_file, chosen, file.hierarchy));
  Note_Weights(*skin->mesh, chosen);
  return skin;
}

namespace {

struct Convert_Command {
  std::vector<std::string> paths;
  std::string out_dir, up = "y";
  unsigned int jobs = 0;
  Tools::Convert_Options convert;
  Worker_Options worker;
};

// IN OUT.bone [--skin OUT.skin]: one worker, and every output or none.
void Convert_One(const Convert_Command& o) {
  if (o.paths.size() != 2) throw Usage_Error("convert takes IN and OUT.bone, or --out-dir for many inputs");
  const std::string &in = o.paths[0], &out = o.paths[1];
  {
    // The outputs are checked before any work (with every clip, OUT stands for
    // the clips' files, named once the clips are known).
    Tools::Output_Files files;
    files.Input(in);
    files.Output(out, {".bone"});
    if (!o.convert.skin.empty()) files.Output(o.convert.skin, {".skin"});
  }
  Tools::Batch_Settings settings;
  settings.workers = Worker_Settings(o.worker, 1);
  settings.create_folders = false;
  std::unique_ptr<Tools::Convert_Result> result;
  const int signal = Tools::Convert_Batch(
      {Tools::Batch_Input{in, out, "", ""}}, o.convert, settings,
      [&](std::size_t, const Tools::Convert_Result& done) { result = std::make_unique<Tools::Convert_Result>(done); });
  if (signal && !result) throw Tools::Interrupted_Error(signal, "; nothing was written");
  for (const std::string& warning : result->warnings) std::fprintf(stderr, "bonetool: warning: %s\n", warning.c_str());
  if (result->failure == "cannot read" || result->failure == "cannot write") throw Tools::File_Error(result->reason);
  if (!result->failure.empty()) throw std::runtime_error(in + ": " + result->reason);
  for (const std::string& note : result->notes) std::printf("wrote %s\n", note.c_str());
  if (signal) throw Tools::Interrupted_Error(signal, " after every output was written");
}

// FILES_OR_FOLDERS... --out-dir DIR: a worker per file, a row per input.
void Convert_Many(const Convert_Command& o) {
  if (!o.convert.skin.empty()) throw Usage_Error("--skin converts one file; leave it out with --out-dir");
  std::error_code error;
  std::filesystem::create_directories(o.out_dir, error);
  if (!std::filesystem::is_directory(o.out_dir))
    throw Tools::File_Error("cannot write to " + o.out_dir + ": " +
                            (error ? error.message() : std::string(std::strerror(ENOTDIR))));
  const std::vector<Tools::Batch_Input> inputs = Tools::Plan_Batch(o.paths, o.out_dir);
  Tools::Batch_Settings settings;
  settings.workers = Worker_Settings(o.worker, o.jobs);
  Batch_Progress progress(inputs.size());
  std::vector<std::unique_ptr<Tools::Convert_Result>> results(inputs.size());
  std::size_t finished = 0;
  const int signal =
      Tools::Convert_Batch(inputs, o.convert, settings, [&](std::size_t input, const Tools::Convert_Result& result) {
        results[input] = std::make_unique<Tools::Convert_Result>(result);
        progress.Show(++finished);
      });
  progress.Finish();

  // The table: one row per input that finished, warnings below their row.
  int input_width = 5, result_width = 6;
  for (const auto& result : results)
    if (result) {
      input_width = std::max(input_width, int(result->input.size()));
      result_width = std::max(result_width, int(result->failure.empty() ? 9 : result->failure.size()));
    }
  std::printf("%-*s  %-*s  %s\n", input_width, "input", result_width, "result", "written, or why not");
  std::size_t converted = 0, written = 0;
  for (const auto& result : results) {
    if (!result) continue;
    const bool ok = result->failure.empty();
    converted += ok;
    written += result->written.size();
    // The result column says "cannot write"; the row says which input.
    std::string detail = result->reason;
    for (const std::string& repeated : {result->failure + " ", result->input + ": "})
      if (detail.rfind(repeated, 0) == 0) detail = detail.substr(repeated.size());
    for (const std::string& path : result->written) detail += (detail.empty() ? "" : " ") + path;
    std::printf("%-*s  %-*s  %s\n", input_width, result->input.c_str(), result_width,
                ok ? "converted" : result->failure.c_str(), detail.c_str());
    for (const std::string& warning : result->warnings)
      std::printf("%-*s  %-*s  warning: %s\n", input_width, "", result_width, "", warning.c_str());
  }
  const std::string not_converted = converted < finished ? ", " + std::to_string(finished - converted) + " not" : "";
  std::printf("%zu of %s converted%s; %s written to %s\n", converted, Count(finished, "input").c_str(),
              not_converted.c_str(), Count(written, "bone file").c_str(), o.out_dir.c_str());
  if (signal)
    throw Tools::Interrupted_Error(signal, ": " + std::to_string(inputs.size() - finished) + " of " +
                                               Count(inputs.size(), "input") + " not converted; what finished is kept");
  if (converted != finished) throw Batch_Refused();
}

}  // namespace

void Add_Interchange(CLI::App& app, Context&) {
  {
    auto* command = app.add_subcommand(
        "convert", "Convert skeletal animation (BVH, glTF/GLB, FBX, Collada, .x, IQM, MD5, SMD, ...) to bone files");
    command->footer(
        "One file:     bonetool convert IN OUT.bone [--skin OUT.skin]\n"
        "Many files:   bonetool convert FILES_OR_FOLDERS... --out-dir DIR [--jobs N]\n"
        "Folders are searched for every format Assimp reads and mirrored under DIR: a file named becomes\n"
        "DIR/NAME.bone, a file found in FOLDER becomes DIR/FOLDER/.../NAME.bone (with --animation all,\n"
        "NAME_CLIP.bone per clip). Each file is read by a process of its own, with the memory and time caps\n"
        "of --max-memory and --timeout. A table lists what was converted and why anything was not.");
    auto options = std::make_shared<Convert_Command>();
    command->add_option("PATHS", options->paths, "IN OUT.bone, or with --out-dir the files and folders to convert")
        ->required();
    command->add_option("--skin", options->convert.skin, "Also write the skinned meshes as this skin file (one file)");
    auto* animation =
        command->add_option("--animation", options->convert.import.animation,
                            "Animation name or index (default: the first), or \"all\" for one bone file per clip");
    command->add_option("--fps", options->convert.import.fps, "Resample at this rate instead of the source's key times")
        ->check(Positive());
    command->add_option("--scale", options->convert.import.scale, "Multiply every offset and skin position by this")
        ->check(Between(1e-6, 1e6));
    command->add_option("--up", options->up, "The source's up axis: y (as bone files) or z")
        ->check(CLI::IsMember({"y", "z"}))
        ->capture_default_str();
    command
        ->add_flag("--rest-pose", options->convert.import.rest_pose,
                   "Convert the rig in its rest pose (two equal keys at 0 and 1) instead of a clip")
        ->excludes(animation);
    auto* out_dir = command->add_option("--out-dir", options->out_dir,
                                        "Folder for the bone files of many inputs (made when missing)");
    command->add_option("--jobs", options->jobs, "Files converted at once (default: one per core)")
        ->check(CLI::Range(1u, 256u))
        ->needs(out_dir);
    Add_Worker_Options(*command, options->worker);
    command->callback([options, out_dir] {
      options->convert.import.z_up = options->up == "z";
      if (out_dir->count())
        Convert_Many(*options);
      else
        Convert_One(*options);
    });
  }
  {
    auto* command =
        app.add_subcommand("export", "Write a bone file (and optionally a skin) as glTF 2.0 (.glb or .gltf)");
    struct Options {
      std::string in, out, skin, name;
    };
    auto options = std::make_shared<Options>();
    command->add_option("IN", options->in, "Bone file to read")->required();
    command->add_option("OUT", options->out, "glTF file to write: .glb binary or .gltf JSON")->required();
    auto* skin_option = command->add_option("--skin", options->skin, "Skin file whose skin becomes a POINTS mesh");
    command->add_option("--name", options->name, "Skin to export (default: the file's only skin)")->needs(skin_option);
    command->callback([options] {
      Tools::Output_Files files;
      files.Input(options->in);
      if (!options->skin.empty()) files.Input(options->skin);
      files.Output(options->out, {".glb", ".gltf"});
      const Bone_File file(options->in);
      const std::unique_ptr<Tools::Export_Skin> skin = Load_Skin_For(file, options->skin, options->name);
      std::vector<const Tools::Export_Skin*> skins;
      if (skin) skins.push_back(skin.get());
      files.Set(options->out, Tools::Encode_Gltf(file.sequence, skins, Tools::Is_Binary_Gltf(options->out)));
      files.Commit();
      std::printf("wrote %s: %u nodes, %zu keys%s%s\n", options->out.c_str(), file.hierarchy.Bone_Count(),
                  Total_Keys(file.sequence), skin ? ", skin " : "", skin ? skin->name.c_str() : "");
    });
  }
}

}  // namespace bonetool
