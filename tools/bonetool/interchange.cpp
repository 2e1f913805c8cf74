// convert: animation from the formats Assimp reads into bone (and skin)
// files; export: a bone file (and a skin) as glTF 2.0.
#include <cstdio>
#include <memory>

#include "common.h"
#include "files/output_files.h"
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
    command->add_option("IN", options->in, "Scene file to read")->required();
    command->add_option("OUT", options->out, "Bone file to write (.bone)")->required();
    command->add_option("--skin", options->skin, "Also write the skinned meshes as this skin file (.skin)");
    command->add_option("--animation", options->import.animation, "Animation name or index (default: the first)");
    command->add_option("--fps", options->import.fps, "Resample at this rate instead of the source's key times")
        ->check(Positive());
    command->callback([options] {
      Tools::Output_Files files;
      files.Input(options->in);
      files.Output(options->out, {".bone"});
      if (!options->skin.empty()) files.Output(options->skin, {".skin"});
      options->import.skins = !options->skin.empty();
      const Tools::Imported_Scene scene = Tools::Import_Scene(options->in, options->import);
      for (const std::string& warning : scene.warnings)
        std::fprintf(stderr, "bonetool: warning: %s\n", warning.c_str());
      std::size_t keys = 0;
      for (const Tools::Bone_Data& bone : scene.animation.bones) keys += bone.keys.size();
      files.Set(options->out, Tools::Encode_Bone_File(scene.animation));
      if (!options->skin.empty()) files.Set(options->skin, Tools::Encode_Skin_File(scene.skins));
      files.Commit();
      std::printf("wrote %s: animation \"%s\", %.4f s, %u bones from the scene + %u leaves, %zu keys\n",
                  options->out.c_str(), scene.animation_name.c_str(), scene.animation.length, scene.source_bones,
                  scene.synthetic_leaves, keys);
      if (!options->skin.empty()) {
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
    command->add_option("OUT", options->out, "glTF file to write: .glb binary or .gltf JSON")->required();
    auto* skin_option = command->add_option("--skin", options->skin, "Skin file whose skin becomes a POINTS mesh");
    command->add_option("--name", options->name, "Skin to export (default: the file's only skin)")->needs(skin_option);
    command->callback([options] {
      Tools::Output_Files files;
      files.Input(options->in);
      if (!options->skin.empty()) files.Input(options->skin);
      files.Output(options->out, {".glb", ".gltf"});
      const Bone_File file(options->in);
      std::unique_ptr<Tools::Export_Skin> skin;
      if (!options->skin.empty()) {
        const std::unique_ptr<Skin_File> skin_file = Open_Skin_File(options->skin);
        const std::string name = Choose_Skin(*skin_file, options->skin, options->name);
        skin = std::make_unique<Tools::Export_Skin>(Tools::Load_Export_Skin(*skin_file, name, file.hierarchy));
        Note(skin->Weights().Note(name));
      }
      files.Set(options->out, Tools::Encode_Gltf(file.sequence, skin.get(), Tools::Is_Binary_Gltf(options->out)));
      files.Commit();
      std::printf("wrote %s: %u nodes, %zu keys%s%s\n", options->out.c_str(), file.hierarchy.Bone_Count(),
                  Total_Keys(file.sequence), skin ? ", skin " : "", skin ? skin->name.c_str() : "");
    });
  }
}

}  // namespace bonetool
