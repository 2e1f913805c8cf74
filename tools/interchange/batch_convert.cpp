#include "interchange/batch_convert.h"

#include <unistd.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "files/folder_listing.h"
#include "files/output_files.h"
#include "writers/animation_data.h"

namespace Vantorix {
namespace Bone_Tools {

namespace fs = std::filesystem;

std::string Safe_File_Name(const std::string& name) {
  std::string safe;
  for (char c : name) safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
  return safe.empty() ? "clip" : safe;
}

namespace {

std::string Describe(const Imported_Scene& scene) {
  std::size_t keys = 0;
  for (const Bone_Data& bone : scene.animation.bones) keys += bone.keys.size();
  return "animation \"" + scene.animation_name + "\", " + std::to_string(scene.animation.length) +
         " s, bones from the scene: " + std::to_string(scene.source_bones) +
         ", leaves added: " + std::to_string(scene.synthetic_leaves) + ", keys: " + std::to_string(keys);
}

// "PATH: reason" without the path, which the caller shows beside it.
std::string Without_Path(const std::string& message, const std::string& path) {
  return message.rfind(path + ": ", 0) == 0 ? message.substr(path.size() + 2) : message;
}

void Put(Message_Writer& message, const Converted_Source& source) {
  message.Count(source.clips.size());
  for (const Converted_Clip& clip : source.clips) message.Text(clip.name).Text(clip.bytes).Text(clip.note);
  message.Text(source.skin).Text(source.skin_note).Count(source.warnings.size());
  for (const std::string& warning : source.warnings) message.Text(warning);
}

Converted_Source Take(Message_Reader& message) {
  Converted_Source source;
  for (std::uint64_t n = message.Count(); n > 0; --n) {
    Converted_Clip clip;
    clip.name = message.Text();
    clip.bytes = message.Text();
    clip.note = message.Text();
    source.clips.push_back(std::move(clip));
  }
  source.skin = message.Text();
  source.skin_note = message.Text();
  for (std::uint64_t n = message.Count(); n > 0; --n) source.warnings.push_back(message.Text());
  return source;
}

std::string Number_Text(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::vector<std::string> Worker_Arguments(const std::string& path, const Convert_Options& options) {
  const Scene_Import_Options& o = options.import;
  return {"convert",
          path,
          o.animation,
          Number_Text(o.fps),
          Number_Text(o.scale),
          o.z_up ? "1" : "0",
          o.rest_pose ? "1" : "0",
          options.skin.empty() ? "0" : "1"};
}

Worker_Pool_Settings Resolved(Worker_Pool_Settings settings, std::size_t tasks) {
  if (settings.jobs == 0) settings.jobs = std::max(1u, std::thread::hardware_concurrency());
  settings.jobs = unsigned(std::max<std::size_t>(1, std::min<std::size_t>(settings.jobs, tasks)));
  if (settings.limits.memory == 0) settings.limits.memory = Default_Memory_Limit(settings.jobs);
  return settings;
}

// Writes what a worker made for `input`; every failure becomes the result's.
Convert_Result Finish(const Batch_Input& input, std::size_t index, const Worker_Result& worker,
                      const Convert_Options& options, const Batch_Settings& settings, const Worker_Limits& limits,
                      std::map<std::string, std::size_t>& claimed, const std::vector<Batch_Input>& inputs) {
  Convert_Result result;
  result.input = input.path;
  const auto fail = [&](const std::string& failure, const std::string& reason) {
    result.failure = failure;
    result.reason = Without_Path(reason, input.path);
    return result;
  };
  if (worker.status != Worker_Result::Status::FINISHED) return fail("failed", worker.Reason(limits));
  Converted_Source source;
  try {
    Message_Reader message(worker.output);
    if (message.Text() != "ok") return fail("refused", message.Text());
    source = Take(message);
  } catch (const std::runtime_error& error) {
    return fail("failed", error.what());
  }
  const std::vector<std::string> names = Output_Names(input.output, source);
  for (const std::string& name : names) {
    const auto owner = claimed.find(name);
    if (owner != claimed.end() && owner->second != index)
      return fail("cannot write", name + " would also be written for " + inputs[owner->second].path);
  }
  try {
    Output_Files files;
    files.Input(input.path);
    for (const std::string& name : names) {
      if (settings.create_folders) {
        std::error_code error;
        const fs::path folder = fs::path(name).parent_path();
        if (!folder.empty() && !fs::is_directory(folder) && !fs::create_directories(folder, error) && error)
          throw File_Error("cannot write " + name + ": " + error.message());
      }
      files.Output(name, {".bone"});
    }
    if (!options.skin.empty()) files.Output(options.skin, {".skin"});
    for (std::size_t c = 0; c < names.size(); ++c) files.Set(names[c], source.clips[c].bytes);
    if (!options.skin.empty()) files.Set(options.skin, source.skin);
    files.Commit();
  } catch (const std::runtime_error& error) {  // File_Error, and Usage_Error for an output that is an input
    return fail("cannot write", error.what());
  }
  for (std::size_t c = 0; c < names.size(); ++c) {
    claimed[names[c]] = index;
    result.written.push_back(names[c]);
    result.notes.push_back(names[c] + ": " + source.clips[c].note);
  }
  if (!options.skin.empty()) {
    result.written.push_back(options.skin);
    result.notes.push_back(options.skin + ": " + source.skin_note);
  }
  result.warnings = source.warnings;
  return result;
}

}  // namespace

Converted_Source Convert_Source(const std::string& input, const Convert_Options& options) {
  const Scene_File file(input);
  Converted_Source source;
  std::vector<Scene_Import_Options> clips;
  const bool every = options.import.animation == "all" && !options.import.rest_pose;
  if (every) {
    const std::size_t count = file.Contents().animations.size();
    if (count == 0)
      throw std::runtime_error(input + ": the file has no animation (--rest-pose converts its rig in the rest pose)");
    for (std::size_t a = 0; a < count; ++a) {
      clips.push_back(options.import);
      clips.back().animation = std::to_string(a);
    }
  } else {
    clips.push_back(options.import);
  }
  for (std::size_t c = 0; c < clips.size(); ++c) {
    clips[c].skins = !options.skin.empty() && c == 0;
    const Imported_Scene scene = file.Import(clips[c]);
    source.clips.push_back(
        Converted_Clip{every ? scene.animation_name : "", Encode_Bone_File(scene.animation), Describe(scene)});
    for (const std::string& warning : scene.warnings) {
      const std::string text = every ? "clip \"" + scene.animation_name + "\": " + warning : warning;
      if (std::find(source.warnings.begin(), source.warnings.end(), text) == source.warnings.end())
        source.warnings.push_back(text);
    }
    if (clips[c].skins) {
      source.skin = Encode_Skin_File(scene.skins);
      for (const Skin_Data& skin : scene.skins.skins)
        source.skin_note += (source.skin_note.empty() ? "" : ", ") + skin.name +
                            " (records: " + std::to_string(skin.vertices.size()) + ")";
    }
  }
  return source;
}

std::vector<std::string> Output_Names(const std::string& output, const Converted_Source& source) {
  if (source.clips.size() == 1 && source.clips[0].name.empty()) return {output};
  const std::string stem = output.size() > 5 ? output.substr(0, output.size() - 5) : output;
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const Converted_Clip& clip : source.clips) {
    std::string name = stem + "_" + Safe_File_Name(clip.name) + ".bone";
    for (int n = 2; taken.count(name); ++n)
      name = stem + "_" + Safe_File_Name(clip.name) + "_" + std::to_string(n) + ".bone";
    taken.insert(name);
    names.push_back(name);
  }
  return names;
}

std::vector<Batch_Input> Plan_Batch(const std::vector<std::string>& paths, const std::string& out_dir) {
  Assimp::Importer importer;  // knows the extensions Assimp reads
  const auto convertible = [&](const fs::path& file) {
    std::string extension = file.extension().string();
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return !extension.empty() && importer.IsExtensionSupported(extension);
  };
  const auto stem = [](const fs::path& file) { return Safe_File_Name(file.stem().string()) + ".bone"; };
  const auto unreadable = [](const std::string& path, const std::string& reason) {
    return Batch_Input{path, "", "cannot read", "cannot read " + path + ": " + reason};
  };
  std::vector<Batch_Input> inputs;
  for (const std::string& path : paths) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
      try {
        Check_Readable(path);
        inputs.push_back(Batch_Input{path, (fs::path(out_dir) / stem(path)).string(), "", ""});
      } catch (const File_Error& refused) {
        inputs.push_back(Batch_Input{path, "", "cannot read", refused.what()});
      }
      continue;
    }
    // The folder's own name heads its files' place under the output folder.
    fs::path folder = fs::absolute(path).lexically_normal();
    if (folder.filename().empty()) folder = folder.parent_path();
    const fs::path mirror = fs::path(out_dir) / folder.filename();
    const Folder_Listing listing = List_Folder(path, convertible);
    std::vector<Batch_Input> found;
    for (const std::string& file : listing.files) {
      if (access(file.c_str(), R_OK) != 0) {
        found.push_back(unreadable(file, std::error_code(errno, std::generic_category()).message()));
        continue;
      }
      const fs::path relative = fs::path(file).lexically_relative(path);
      found.push_back(Batch_Input{file, (mirror / relative.parent_path() / stem(relative)).string(), "", ""});
    }
    for (const auto& dir : listing.unreadable) found.push_back(unreadable(dir.folder, dir.reason));
    std::sort(found.begin(), found.end(), [](const Batch_Input& a, const Batch_Input& b) { return a.path < b.path; });
    if (found.empty()) found.push_back(Batch_Input{path, "", "skipped", "holds no file of a format Assimp reads"});
    inputs.insert(inputs.end(), found.begin(), found.end());
  }

  // Two inputs never write one name: first each gets its extension, then
  // those that still clash are refused.
  const auto clashes = [&] {
    std::map<std::string, std::vector<std::size_t>> users;
    for (std::size_t i = 0; i < inputs.size(); ++i)
      if (inputs[i].failure.empty()) users[inputs[i].output].push_back(i);
    for (auto it = users.begin(); it != users.end();) it = it->second.size() > 1 ? std::next(it) : users.erase(it);
    return users;
  };
  std::map<std::size_t, std::string> first_choice;
  for (const auto& clash : clashes())
    for (std::size_t i : clash.second) {
      first_choice[i] = clash.first;
      const fs::path source(inputs[i].path);
      std::string extension = source.extension().string();
      for (char& c : extension) c = char(c == '.' ? '_' : std::tolower(static_cast<unsigned char>(c)));
      inputs[i].output =
          (fs::path(clash.first).parent_path() / (Safe_File_Name(source.stem().string() + extension) + ".bone"))
              .string();
    }
  for (const auto& clash : clashes())
    for (std::size_t i : clash.second) {
      std::string others;
      for (std::size_t j : clash.second)
        if (j != i) others += (others.empty() ? "" : ", ") + inputs[j].path;
      inputs[i].failure = "cannot write";
      const auto first = first_choice.find(i);
      inputs[i].reason = "its output " + (first == first_choice.end() ? clash.first : first->second) +
                         " would also be written for " + others + "; convert them apart or name their folders instead";
    }
  return inputs;
}

int Convert_Batch(const std::vector<Batch_Input>& inputs, const Convert_Options& options,
                  const Batch_Settings& settings,
                  const std::function<void(std::size_t input, const Convert_Result& result)>& done) {
  // Every name an input is planned to write is its own.
  std::map<std::string, std::size_t> claimed;
  std::vector<std::vector<std::string>> tasks;
  std::vector<std::size_t> task_input;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (!inputs[i].failure.empty()) {
      Convert_Result result;
      result.input = inputs[i].path;
      result.failure = inputs[i].failure;
      result.reason = inputs[i].reason;
      done(i, result);
      continue;
    }
    claimed.emplace(inputs[i].output, i);
    tasks.push_back(Worker_Arguments(inputs[i].path, options));
    task_input.push_back(i);
  }
  const Worker_Pool_Settings workers = Resolved(settings.workers, tasks.size());
  return Run_Workers(tasks, workers, [&](std::size_t task, Worker_Result worker) {
    const std::size_t i = task_input[task];
    done(i, Finish(inputs[i], i, worker, options, settings, workers.limits, claimed, inputs));
  });
}

Scene_Contents Inspect_In_Worker(const std::string& path, const Worker_Pool_Settings& given) {
  const Worker_Pool_Settings settings = Resolved(given, 1);
  Scene_Contents contents;
  std::string failure, refusal;
  const int signal = Run_Workers({{"inspect", path}}, settings, [&](std::size_t, Worker_Result worker) {
    if (worker.status != Worker_Result::Status::FINISHED) {
      failure = path + ": " + worker.Reason(settings.limits);
      return;
    }
    Message_Reader message(worker.output);
    if (message.Text() == "ok")
      contents = Decode_Contents(message.Text());
    else
      refusal = message.Text();
  });
  if (signal) throw Interrupted_Error(signal);
  if (!failure.empty()) throw std::runtime_error(failure);
  if (!refusal.empty()) throw Scene_Refused(refusal);
  return contents;
}

Interrupted_Error::Interrupted_Error(int number, const std::string& detail)
    : std::runtime_error("interrupted by " +
                         (number == SIGINT    ? std::string("SIGINT")
                          : number == SIGTERM ? std::string("SIGTERM")
                                              : "signal " + std::to_string(number)) +
                         detail),
      signal(number) {}

int Run_Worker(int argc, char** argv) {
  Exit_When_Memory_Runs_Out();
  const std::vector<std::string> words(argv + std::min(argc, 2), argv + argc);
  Message_Writer answer;
  try {
    if (words.size() == 2 && words[0] == "inspect") {
      answer.Text("ok").Text(Encode_Contents(Inspect_Scene(words[1])));
    } else if (words.size() == 8 && words[0] == "convert") {
      Convert_Options options;
      options.import.animation = words[2];
      options.import.fps = std::strtod(words[3].c_str(), nullptr);
      options.import.scale = std::strtod(words[4].c_str(), nullptr);
      options.import.z_up = words[5] == "1";
      options.import.rest_pose = words[6] == "1";
      if (words[7] == "1") options.skin = "wanted";
      const Converted_Source source = Convert_Source(words[1], options);
      Put(answer.Text("ok"), source);
    } else {
      std::fprintf(stderr, "%s is for the tool's own worker processes\n", WORKER_OPTION);
      return 2;
    }
  } catch (const std::exception& error) {
    answer = Message_Writer();
    answer.Text("refused").Text(error.what());
  }
  return Send_To_Parent(answer.Bytes()) ? 0 : 1;
}

}  // namespace Bone_Tools
}  // namespace Vantorix
