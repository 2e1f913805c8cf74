#include "interchange/batch_convert.h"

#include <algorithm>
#include <assimp/Importer.hpp>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "files/output_files.h"
#include "writers/animation_data.h"

namespace Vantorix {
namespace Bone_Tools {

namespace fs = std::filesystem;

std::vector<std::string> Expand_Inputs(const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  Assimp::Importer importer;
  for (const std::string& path : paths) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<std::string> found;
      for (const auto& entry : fs::recursive_directory_iterator(path, error)) {
        std::string extension = entry.path().extension().string();
        for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (entry.is_regular_file(error) && !extension.empty() && importer.IsExtensionSupported(extension))
          found.push_back(entry.path().string());
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else {
      Check_Readable(path);
      files.push_back(path);
    }
  }
  return files;
}

std::string Safe_File_Name(const std::string& name) {
  std::string safe;
  for (char c : name) safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
  return safe.empty() ? "clip" : safe;
}

namespace {

std::string Describe(const Imported_Scene& scene) {
  std::size_t keys = 0;
  for (const Bone_Data& bone : scene.animation.bones) keys += bone.keys.size();
  return "animation \"" + scene.animation_name + "\", " + std::to_string(scene.animation.length) + " s, " +
         std::to_string(scene.source_bones) + " bones from the scene + " + std::to_string(scene.synthetic_leaves) +
         " leaves, " + std::to_string(keys) + " keys";
}

}  // namespace

Convert_Result Convert_File(const std::string& input, const std::string& output, const Convert_Options& options) {
  Convert_Result result{input, {}, {}, ""};
  Output_Files files;
  files.Input(input);
  // One clip, or every clip to OUTPUT_STEM_NAME.bone.
  std::vector<std::pair<std::string, Scene_Import_Options>> clips;
  if (options.import.animation == "all" && !options.import.rest_pose) {
    const Scene_Contents contents = Inspect_Scene(input);
    if (contents.animations.empty())
      throw std::runtime_error(input + ": the file has no animation (--rest-pose converts its rig in the rest pose)");
    const std::string stem = output.size() > 5 ? output.substr(0, output.size() - 5) : output;
    std::set<std::string> taken;
    for (std::size_t a = 0; a < contents.animations.size(); ++a) {
      std::string name = stem + "_" + Safe_File_Name(contents.animations[a].name) + ".bone";
      for (int n = 2; taken.count(name); ++n)
        name = stem + "_" + Safe_File_Name(contents.animations[a].name) + "_" + std::to_string(n) + ".bone";
      taken.insert(name);
      Scene_Import_Options clip = options.import;
      clip.animation = std::to_string(a);
      clips.emplace_back(name, clip);
    }
  } else {
    clips.emplace_back(output, options.import);
  }
  for (const auto& clip : clips) files.Output(clip.first, {".bone"});
  if (!options.skin.empty()) files.Output(options.skin, {".skin"});

  for (std::size_t c = 0; c < clips.size(); ++c) {
    Scene_Import_Options import = clips[c].second;
    import.skins = !options.skin.empty() && c == 0;
    const Imported_Scene scene = Import_Scene(input, import);
    files.Set(clips[c].first, Encode_Bone_File(scene.animation));
    result.written.push_back(clips[c].first);
    result.notes.push_back(clips[c].first + ": " + Describe(scene));
    for (const std::string& warning : scene.warnings) result.notes.push_back("warning: " + warning);
    if (import.skins) {
      files.Set(options.skin, Encode_Skin_File(scene.skins));
      std::string skins = options.skin + ":";
      for (const Skin_Data& skin : scene.skins.skins)
        skins += " " + skin.name + " (" + std::to_string(skin.vertices.size()) + " records)";
      result.written.push_back(options.skin);
      result.notes.push_back(skins);
    }
  }
  files.Commit();
  return result;
}

std::vector<Convert_Result> Convert_Batch(const std::vector<std::string>& files, const std::string& out_dir,
                                          const Convert_Options& options, unsigned int jobs,
                                          const std::function<void(std::size_t done)>& progress) {
  // Output names first, so that two inputs of one name do not collide.
  std::vector<std::string> outputs;
  std::map<std::string, int> used;
  for (const std::string& file : files) {
    const std::string stem = Safe_File_Name(fs::path(file).stem().string());
    const int n = ++used[stem];
    outputs.push_back((fs::path(out_dir) / (n == 1 ? stem : stem + "_" + std::to_string(n))).string() + ".bone");
  }
  std::vector<Convert_Result> results(files.size());
  std::atomic<std::size_t> next{0}, done{0};
  std::mutex report;
  const auto work = [&] {
    for (std::size_t i; (i = next++) < files.size();) {
      try {
        results[i] = Convert_File(files[i], outputs[i], options);
      } catch (const std::exception& error) {
        results[i] = Convert_Result{files[i], {}, {}, error.what()};
      }
      const std::size_t finished = ++done;
      if (progress) {
        std::lock_guard<std::mutex> lock(report);
        progress(finished);
      }
    }
  };
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs = unsigned(std::min<std::size_t>(jobs, std::max<std::size_t>(files.size(), 1)));
  std::vector<std::thread> threads;
  for (unsigned int t = 1; t < jobs; ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  return results;
}

}  // namespace Bone_Tools
}  // namespace Vantorix
