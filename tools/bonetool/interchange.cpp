// convert: animation from the formats Assimp reads into bone (and skin)
// files; export: a bone file (and a skin) as glTF 2.0.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
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
  Check_Skin_Fits(*skin_file, skin_path, file.hierarchy, file.path);
  auto skin = std::make_unique<Tools::Export_Skin>(Tools::Load_Export_Skin(*skin_file, chosen, file.hierarchy));
  Note(skin->Weights().Note(chosen));
  return skin;
}

void Add_Interchange(CLI::App& app, Context&) {
  {
    auto* command = app.add_subcommand(
        "convert", "Convert skeletal animation (BVH, glTF/GLB, FBX, Collada, .x, IQM, MD5, SMD, ...) to bone files");
    command->footer(
        "One file:     bonetool convert IN OUT.bone [--skin OUT.skin]\n"
        "Many files:   bonetool convert FILES_OR_FOLDERS... --out-dir DIR [--jobs N]\n"
        "Folders are searched for every format Assimp reads; each input becomes DIR/NAME.bone (with\n"
        "--animation all, DIR/NAME_CLIP.bone per clip). A table lists what was converted and what was refused.");
    struct Options {
      std::vector<std::string> paths;
      std::string out_dir, up = "y";
      unsigned int jobs = 0;
      Tools::Convert_Options convert;
    };
    auto options = std::make_shared<Options>();
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
    auto* out_dir = command->add_option("--out-dir", options->out_dir, "Folder for the bone files of many inputs");
    command->add_option("--jobs", options->jobs, "Files converted at once (default: one per core)")
        ->check(CLI::Range(1u, 256u))
        ->needs(out_dir);
    command->callback([options, out_dir] {
      options->convert.import.z_up = options->up == "z";
      if (!out_dir->count()) {
        if (options->paths.size() != 2)
          throw Usage_Error("convert takes IN and OUT.bone, or --out-dir for many inputs");
        const Tools::Convert_Result result =
            Tools::Convert_File(options->paths[0], options->paths[1], options->convert);
        for (const std::string& note : result.notes)
          if (note.rfind("warning: ", 0) == 0)
            std::fprintf(stderr, "bonetool: %s\n", note.c_str());
          else
            std::printf("wrote %s\n", note.c_str());
        return;
      }
      if (!options->convert.skin.empty()) throw Usage_Error("--skin converts one file; leave it out with --out-dir");
      const std::vector<std::string> files = Tools::Expand_Inputs(options->paths);
      struct stat folder;
      if (stat(options->out_dir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        throw Tools::File_Error("cannot write to " + options->out_dir + ": " +
                                std::strerror(errno == 0 || S_ISREG(folder.st_mode) ? ENOTDIR : errno));
      Batch_Progress progress(files.size());
      const std::vector<Tools::Convert_Result> results = Tools::Convert_Batch(
          files, options->out_dir, options->convert, options->jobs, [&](std::size_t done) { progress.Show(done); });
      progress.Finish();
      std::size_t converted = 0, written = 0;
      std::printf("%-40s %-10s %s\n", "input", "result", "written, or why not");
      for (const Tools::Convert_Result& result : results) {
        const bool ok = result.refused.empty();
        converted += ok;
        written += result.written.size();
        std::string detail = result.refused;
        for (const std::string& path : result.written) detail += (detail.empty() ? "" : " ") + path;
        std::printf("%-40s %-10s %s\n", result.input.c_str(), ok ? "converted" : "refused", detail.c_str());
      }
      std::printf("%zu of %zu files converted, %zu refused, %zu bone files written to %s\n", converted, results.size(),
                  results.size() - converted, written, options->out_dir.c_str());
      if (converted != results.size()) throw Batch_Refused();
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
      files.Set(options->out, Tools::Encode_Gltf(file.sequence, skin.get(), Tools::Is_Binary_Gltf(options->out)));
      files.Commit();
      std::printf("wrote %s: %u nodes, %zu keys%s%s\n", options->out.c_str(), file.hierarchy.Bone_Count(),
                  Total_Keys(file.sequence), skin ? ", skin " : "", skin ? skin->name.c_str() : "");
    });
  }
}

}  // namespace bonetool
