// validate: reports what the importers accept but hosts must not meet.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "common.h"
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
    // Folders stand for the bone and skin files below them.
    std::vector<std::string> paths;
    for (const std::string& path : options->paths) {
      std::error_code error;
      if (!std::filesystem::is_directory(path, error)) {
        paths.push_back(path);
        continue;
      }
      std::vector<std::string> found;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error)) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file(error) && (extension == ".bone" || extension == ".skin"))
          found.push_back(entry.path().string());
      }
      std::sort(found.begin(), found.end());
      paths.insert(paths.end(), found.begin(), found.end());
    }
    nlohmann::json files = nlohmann::json::array();
    std::size_t total = 0;
    for (const std::string& path : paths) {
      const std::string bytes = Read_File(path);
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
    if (options->as_json) std::cout << nlohmann::json{{"files", files}}.dump(2) << "\n";
    if (total > 0) context.exit_code = 1;
  });
}

}  // namespace bonetool
