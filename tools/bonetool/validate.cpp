// validate: reports what the importers accept but hosts must not meet.
#include <cstdio>
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
  command->add_option("FILE", options->paths, "Bone or skin files")->required();
  command->add_option("--hierarchy", options->hierarchy, "Bone file whose bone order skin tables must follow");
  command->add_flag("--json", options->as_json, "Print JSON");
  command->callback([options, &context] {
    std::unique_ptr<Hierarchy> hierarchy;
    if (!options->hierarchy.empty()) {
      hierarchy = std::make_unique<Hierarchy>();
      hierarchy->Import(options->hierarchy.c_str());
    }
    nlohmann::json files = nlohmann::json::array();
    std::size_t total = 0;
    for (const std::string& path : options->paths) {
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
