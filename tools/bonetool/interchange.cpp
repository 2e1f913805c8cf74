// convert: animation from the formats Assimp reads into bone (and skin)
// files; export: a bone file (and a skin) as glTF 2.0.
#include <cstdio>
#include <memory>

#include "common.h"
#include "interchange/gltf_export.h"
#include "interchange/scene_import.h"
#include "writers/animation_data.h"

namespace bonetool {

namespace Tools = Vantorix::Bone_Tools;

void Add_Interchange(CLI::App& app, Context&) {
  {
    auto* command = app.add_subcommand(
        "convert", "Convert skeletal animation (BVH, glTF/GLB, FBX, Collada, .x, IQM, MD5, SMD, ...) to a bone file");
    struct Options {
      std::string in, out, skin;
      Tools::Scene_Import_Options import;
    };
    auto options = std::make_shared<Options>();
    command->add_option("IN", options->in, "Scene file to read")->required()->check(CLI::ExistingFile);
    command->add_option("OUT", options->out, "Bone file to write")->required();
    command->add_option("--skin", options->skin, "Also write the skinned meshes as this skin file");
    command->add_option("--animation", options->import.animation, "Animation name or index (default: the first)");
    command->add_option("--fps", options->import.fps, "Resample at this rate instead of the source's key times")
        ->check(CLI::PositiveNumber);
    command->callback([options] {
      options->import.skins = !options->skin.empty();
      const Tools::Imported_Scene scene = Tools::Import_Scene(options->in, options->import);
      for (const std::string& warning : scene.warnings)
        std::fprintf(stderr, "bonetool: warning: %s\n", warning.c_str());
      std::size_t keys = 0;
      for (const Tools::Bone_Data& bone : scene.animation.bones) keys += bone.keys.size();
      Tools::Write_Bone_File(options->out, scene.animation);
      std::printf("wrote %s: animation \"%s\", %.4f s, %u bones from the scene + %u leaves, %zu keys\n",
                  options->out.c_str(), scene.animation_name.c_str(), scene.animation.length, scene.source_bones,
                  scene.synthetic_leaves, keys);
      if (!options->skin.empty()) {
        Tools::Write_Skin_File(options->skin, scene.skins);
        std::printf("wrote %s:", options->skin.c_str());
        for (const Tools::Skin_Data& skin : scene.skins.skins)
          std::printf(" %s (%zu records)", skin.name.c_str(), skin.vertices.size());
        std::printf("\n");
      }
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
    command->add_option("OUT", options->out, "glTF file to write: .glb binary, otherwise .gltf JSON")->required();
    auto* skin_option = command->add_option("--skin", options->skin, "Skin file whose skin becomes a POINTS mesh");
    command->add_option("--name", options->name, "Skin to export (default: the file's only skin)")->needs(skin_option);
    command->callback([options] {
      const Bone_File file(options->in);
      std::unique_ptr<Tools::Export_Skin> skin;
      if (!options->skin.empty()) {
        Skin_File skin_file(options->skin.c_str());
        std::string name = options->name;
        if (name.empty()) {
          if (skin_file.Skin_Count() != 1)
            throw std::runtime_error(options->skin + " holds " + std::to_string(skin_file.Skin_Count()) +
                                     " skins; choose one with --name");
          name = skin_file.Skin_Name(0);
        }
        skin = std::make_unique<Tools::Export_Skin>(Tools::Load_Export_Skin(skin_file, name, file.hierarchy));
      }
      Tools::Write_Gltf(options->out, file.sequence, skin.get());
      std::printf("wrote %s: %u nodes, %zu keys%s%s\n", options->out.c_str(), file.hierarchy.Bone_Count(),
                  Total_Keys(file.sequence), skin ? ", skin " : "", skin ? skin->name.c_str() : "");
    });
  }
}

}  // namespace bonetool
