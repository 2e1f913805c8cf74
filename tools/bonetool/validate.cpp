// validate: reports what the importers accept but hosts must not meet.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "common.h"
#include "files/folder_listing.h"
#include "validate/validator.h"

namespace bonetool {

void Add_Validate(CLI::App& app, Context& context) {
  auto* command = app.add_subcommand("validate", "Check bone and skin files; exit 1 when anything is found");
  struct Options {
    std::vector<std::string> paths;
    std::string hierarchy;
    bool as_json = false;
  };
  auto options = std::make_shared<Options>();
  command->add_option("FILE", options->paths, "Bone or skin files, or folders of them")->required();
  command->add_option("--hierarchy", options->hierarchy, "Bone file whose bone order skin tables must follow");
  command->add_flag("--json", options->as_json, "Print JSON");
  command->callback([options, &context] {
    std::unique_ptr<Hierarchy> hierarchy;
    if (!options->hierarchy.empty()) {
      hierarchy = std::make_unique<Hierarchy>();
      hierarchy->Import(options->hierarchy.c_str());
    }
    // Folders stand for the bone and skin files below them. A file or folder
    // that cannot be read is reported and the others are still checked.
    std::vector<std::string> paths, problems;
    for (const std::string& path : options->paths) {
      std::error_code error;
      if (!std::filesystem::is_directory(path, error)) {
        paths.push_back(path);
        continue;
      }
      const Vantorix::Bone_Tools::Folder_Listing found = Vantorix::Bone_Tools::List_Folder(
          path,
          [](const std::filesystem::path& file) { return file.extension() == ".bone" || file.extension() == ".skin"; });
      for (const auto& folder : found.unreadable)
        problems.push_back("cannot read " + folder.folder + ": " + folder.reason);
      if (found.files.empty() && found.unreadable.empty())
        problems.push_back(path + " holds no .bone or .skin file to check");
      paths.insert(paths.end(), found.files.begin(), found.files.end());
    }
    nlohmann::json files = nlohmann::json::array();
    std::size_t total = 0;
    for (const std::string& path : paths) {
      std::string bytes;
      try {
        bytes = Read_File(path);
      } catch (const std::runtime_error& error) {
        problems.push_back(error.what());
        files.push_back({{"file", path}, {"error", error.what()}, {"findings", nlohmann::json::array()}});
        continue;
      }
      std::vector<Vantorix::Bone_Tools::Finding> findings;
      if (bytes.compare(0, 5, std::string("SKIN\0", 5)) == 0)
        findings = Vantorix::Bone_Tools::Validate_Skin_File(bytes, hierarchy.get());
      else
        findings = Vantorix::Bone_Tools::Validate_Bone_File(bytes);
      total += findings.size();
      nlohmann::json list = nlohmann::json::array();
      for (const auto& finding : findings) {
        if (!options->as_json) std::printf("%s\n", Vantorix::Bone_Tools::Format_Finding(path, finding).c_str());
        list.push_back({{"offset", finding.offset},
                        {"bone", finding.bone.empty() ? nlohmann::json(nullptr) : nlohmann::json(finding.bone)},
                        {"key", finding.key < 0 ? nlohmann::json(nullptr) : nlohmann::json(finding.key)},
                        {"message", finding.message}});
      }
      if (!options->as_json && findings.empty()) std::printf("%s: ok\n", path.c_str());
      files.push_back({{"file", path}, {"findings", list}});
    }
    std::fflush(stdout);
    for (const std::string& reason : problems) std::fprintf(stderr, "bonetool: error: %s\n", reason.c_str());
    if (options->as_json) std::cout << nlohmann::json{{"files", files}}.dump(2) << "\n";
    if (total > 0 || !problems.empty()) context.exit_code = 1;
  });
}

}  // namespace bonetool
