// info, sample and skin: reading files and printing what they hold.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "common.h"
#include "files/output_files.h"
#include "interchange/batch_convert.h"
#include "interchange/scene_import.h"
#include "validate/validator.h"
#include "writers/bone_poses.h"

namespace bonetool {

namespace {

using nlohmann::json;
using Vantorix::Bone_Tools::Default_Reach;

json Parent_Name(const Hierarchy& h, unsigned int bone) {
  const unsigned int parent = h.Parent_Index(bone);
  return parent == INVALID_INDEX ? json(nullptr) : json(h.Bone_Name(parent));
}

}  // namespace

// Whether the file starts like a bone or skin file; anything else is shown as
// a scene through Assimp.
bool Is_Own_Format(const std::string& path) {
  char head[5] = {};
  std::ifstream(path, std::ios::binary).read(head, 5);
  return std::memcmp(head, "BONE", 5) == 0 || std::memcmp(head, "SKIN", 5) == 0;
}

void Print_Scene(const std::string& path, const Vantorix::Bone_Tools::Scene_Contents& scene, bool as_json) {
  std::size_t bones = 0;
  for (const auto& node : scene.nodes) bones += node.bone;
  if (as_json) {
    json nodes = json::array(), animations = json::array(), meshes = json::array();
    for (const auto& node : scene.nodes)
      nodes.push_back({{"name", node.name},
                       {"parent", node.parent < 0 ? json(nullptr) : json(scene.nodes[std::size_t(node.parent)].name)},
                       {"bone", node.bone}});
    for (const auto& a : scene.animations)
      animations.push_back({{"name", a.name},
                            {"seconds", a.seconds},
                            {"keys", a.keys},
                            {"key_rate", a.key_rate},
                            {"channels", a.channels}});
    for (const auto& m : scene.meshes)
      meshes.push_back(
          {{"name", m.name}, {"vertices", m.vertices}, {"bones", m.bones}, {"most_influences", m.most_influences}});
    std::cout << json{{"file", path},   {"format", "scene"},        {"importer", scene.importer},
                      {"nodes", nodes}, {"animations", animations}, {"meshes", meshes}}
                     .dump(2)
              << "\n";
    return;
  }
  std::printf("%s: a scene of %s (%s), %s, %s, read by Assimp's %s\n", path.c_str(),
              Count(scene.nodes.size(), "node").c_str(), Count(bones, "bone").c_str(),
              Count(scene.animations.size(), "animation").c_str(), Count(scene.meshes.size(), "mesh", "meshes").c_str(),
              scene.importer.c_str());
  std::vector<int> depth(scene.nodes.size(), 0);
  for (std::size_t i = 0; i < scene.nodes.size(); ++i) {
    const auto& node = scene.nodes[i];
    if (node.parent >= 0) depth[i] = depth[std::size_t(node.parent)] + 1;
    std::printf("  %*s%s%s\n", 2 * depth[i], "", node.name.c_str(), node.bone ? "  [bone]" : "");
  }
  std::printf("animations:\n");
  for (std::size_t a = 0; a < scene.animations.size(); ++a) {
    const auto& clip = scene.animations[a];
    std::printf("  %zu \"%s\": %.3f s, %s in %s, %.1f keys/s\n", a, clip.name.c_str(), clip.seconds,
                Count(clip.keys, "key").c_str(), Count(clip.channels, "channel").c_str(), clip.key_rate);
  }
  std::printf("meshes:\n");
  for (const auto& mesh : scene.meshes)
    std::printf("  %s: %s, %s, up to %s per vertex\n", mesh.name.c_str(),
                Count(mesh.vertices, "vertex", "vertices").c_str(), Count(mesh.bones, "bone").c_str(),
                Count(mesh.most_influences, "influence").c_str());
}

void Add_Info(CLI::App& app, Context&) {
  auto* command = app.add_subcommand(
      "info", "Print a bone file's bone tree, length and key counts, or what any scene file convert reads holds");
  auto path = std::make_shared<std::string>();
  auto as_json = std::make_shared<bool>(false);
  auto worker = std::make_shared<Worker_Options>();
  auto packed = std::make_shared<float>(0.0f);
  auto reach = std::make_shared<float>(0.0f);
  command->add_option("FILE", *path, "Bone file, or a scene file (BVH, glTF, FBX, Collada, .x, ...)")->required();
  command->add_flag("--json", *as_json, "Print JSON");
  Add_Worker_Options(*command, *worker);
  auto* packed_option =
      command
          ->add_option("--packed", *packed,
                       "Also the size of the clip packed for playback within this error (a Packed_Sequence), in the "
                       "file's units")
          ->check(Positive());
  command->add_option("--reach", *reach, "Distance of the axis points for --packed (default: as reduce picks it)")
      ->check(Finite())
      ->needs(packed_option);
  command->callback([path, as_json, worker, packed, reach, packed_option] {
    if (*reach < 0) throw Vantorix::Bone_Tools::Usage_Error("--reach must be 0 or more");
    Vantorix::Bone_Tools::Check_Readable(*path);
    if (!Is_Own_Format(*path)) {
      // A scene, read by a worker process; when Assimp cannot read it, its
      // reason, and what the validator sees in it as a bone file.
      try {
        Print_Scene(*path, Vantorix::Bone_Tools::Inspect_In_Worker(*path, Worker_Settings(*worker, 1)), *as_json);
        return;
      } catch (const Vantorix::Bone_Tools::Scene_Refused& error) {
        // Its start is enough to see that it is no bone file either.
        std::string head(4096, '\0');
        std::ifstream file(*path, std::ios::binary);
        head.resize(std::size_t(file.read(&head[0], std::streamsize(head.size())).gcount()));
        std::vector<std::string> lines;
        for (const auto& finding : Vantorix::Bone_Tools::Validate_Bone_File(head))
          if (lines.empty()) lines.push_back(Vantorix::Bone_Tools::Format_Finding(*path, finding));
        throw File_Refused(error.what(), lines);
      }
    }
    const Bone_File file(*path);
    const Hierarchy& h = file.hierarchy;
    std::size_t total = 0;
    for (unsigned int b = 0; b < h.Bone_Count(); ++b) total += file.sequence.Key_Count(b);
    // Packed: its size beside the 32 bytes a key of a Sequence takes.
    json packing = nullptr;
    if (packed_option->count()) {
      const float packing_reach = *reach > 0 ? *reach : Default_Reach(file.sequence);
      if (!(packing_reach > 0))
        throw Vantorix::Bone_Tools::Usage_Error("every bone of " + *path +
                                                " stays at one point throughout the clip; give --reach for --packed");
      const Packed_Sequence clip(file.sequence, *packed, packing_reach);
      packing = {{"max_error", *packed},
                 {"reach", packing_reach},
                 {"bytes", clip.Size()},
                 {"bytes_per_key", double(clip.Size()) / double(total)},
                 {"sequence_key_bytes", 32 * total}};
    }
    if (*as_json) {
      json bones = json::array();
      for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
        const unsigned int n = file.sequence.Key_Count(b);
        bones.push_back({{"name", h.Bone_Name(b)},
                         {"parent", Parent_Name(h, b)},
                         {"leaf", h.Is_Leaf(b)},
                         {"keys", n},
                         {"first_time", file.sequence.Key_Times(b)[0]},
                         {"last_time", file.sequence.Key_Times(b)[n - 1]}});
      }
      json out = {{"file", *path},
                  {"length", file.sequence.Lenght()},
                  {"root", h.Bone_Name(h.Root_Index())},
                  {"keys", total},
                  {"bones", bones}};
      if (!packing.is_null()) out["packed"] = packing;
      std::cout << out.dump(2) << "\n";
      return;
    }
    std::printf("%s: %s, length %g, %s\n", path->c_str(), Count(h.Bone_Count(), "bone").c_str(), file.sequence.Lenght(),
                Count(total, "key").c_str());
    if (!packing.is_null())
      std::printf("packed within %g (reach %g): %zu bytes, %.2f bytes per key (as keys of a Sequence: %zu bytes)\n",
                  *packed, double(packing["reach"]), std::size_t(packing["bytes"]), double(packing["bytes_per_key"]),
                  32 * total);
    std::printf("root: %s\n", h.Bone_Name(h.Root_Index()));
    const Sequence& s = file.sequence;
    Print_Tree(h, "", [&s](unsigned int bone) {
      const unsigned int n = s.Key_Count(bone);
      char text[96];
      std::snprintf(text, sizeof text, "  keys %u  time %g .. %g", n, s.Key_Times(bone)[0], s.Key_Times(bone)[n - 1]);
      return std::string(text);
    });
    std::printf("leaves:");
    for (unsigned int b = 0; b < h.Bone_Count(); ++b)
      if (h.Is_Leaf(b)) std::printf(" %s", h.Bone_Name(b));
    std::printf("\n");
  });
}

void Add_Sample(CLI::App& app, Context&) {
  auto* command = app.add_subcommand("sample", "Print every bone's output base and offset at one moment");
  struct Options {
    std::string path;
    float time = 0, fraction = 0;
    bool ignore_root_offset = false, as_json = false;
  };
  auto options = std::make_shared<Options>();
  command->add_option("FILE", options->path, "Bone file")->required();
  auto* time = command->add_option("--time", options->time, "Time in the file's unit (clamped to the sequence)")
                   ->check(Finite());
  auto* fraction = command->add_option("--fraction", options->fraction, "Fraction of the length")->check(Finite());
  time->excludes(fraction);
  command->add_flag("--ignore-root-offset", options->ignore_root_offset, "Keep the root at the origin");
  command->add_flag("--json", options->as_json, "Print JSON");
  command->callback([options, time, fraction] {
    if (time->count() == 0 && fraction->count() == 0) throw CLI::RequiredError("--time or --fraction");
    const Bone_File file(options->path);
    Frame frame(file.hierarchy, options->ignore_root_offset);
    const float at = time->count() ? options->time : file.sequence.Lenght() * options->fraction;
    file.sequence.Get_Frame_Time(frame, at);
    const Hierarchy& h = file.hierarchy;
    if (options->as_json) {
      json bones = json::array();
      for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
        const Matrix_3x3<float>& m = frame.Base(b);
        const Vector_3<float>& o = frame.Offset(b);
        json base = json::array();
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) base.push_back(m.m[i][j]);
        bones.push_back(
            {{"name", h.Bone_Name(b)}, {"parent", Parent_Name(h, b)}, {"base", base}, {"offset", {o.x, o.y, o.z}}});
      }
      std::cout
          << json{{"file", options->path}, {"length", file.sequence.Lenght()}, {"time", at}, {"bones", bones}}.dump()
          << "\n";
      return;
    }
    std::printf("%s at time %g of %g\n", options->path.c_str(), at, file.sequence.Lenght());
    for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
      const Matrix_3x3<float>& m = frame.Base(b);
      const Vector_3<float>& o = frame.Offset(b);
      std::printf("%-16s offset % .6f % .6f % .6f  base [% .5f % .5f % .5f | % .5f % .5f % .5f | % .5f % .5f % .5f]\n",
                  h.Bone_Name(b), o.x, o.y, o.z, m.m[0][0], m.m[0][1], m.m[0][2], m.m[1][0], m.m[1][1], m.m[1][2],
                  m.m[2][0], m.m[2][1], m.m[2][2]);
    }
  });
}

void Add_Skin(CLI::App& app, Context&) {
  auto* command = app.add_subcommand("skin", "List the skins of a skin file, or one skin's bindings per bone");
  struct Options {
    std::string path, name, hierarchy;
    bool as_json = false;
  };
  auto options = std::make_shared<Options>();
  command->add_option("FILE", options->path, "Skin file")->required();
  auto* name = command->add_option("--name", options->name, "Skin to import (exact name; default: the only skin)");
  auto* hierarchy = command->add_option("--hierarchy", options->hierarchy, "Bone file to import the skin against");
  name->needs(hierarchy);
  command->add_flag("--json", options->as_json, "Print JSON");
  command->callback([options] {
    const std::unique_ptr<Skin_File> opened = Open_Skin_File(options->path);
    Skin_File& skins = *opened;
    if (options->hierarchy.empty()) {
      json list = json::array();
      std::vector<Skin_File::Vertex> vertices;
      for (unsigned int s = 0; s < skins.Skin_Count(); ++s) {
        skins.Get_Skin(vertices, skins.Skin_Name(s));
        list.push_back({{"name", skins.Skin_Name(s)}, {"records", vertices.size()}});
      }
      if (options->as_json) {
        std::cout << json{{"file", options->path}, {"bones", skins.Bone_Count()}, {"skins", list}}.dump(2) << "\n";
        return;
      }
      std::printf("%s: %s, %s in the table\n", options->path.c_str(), Count(skins.Skin_Count(), "skin").c_str(),
                  Count(skins.Bone_Count(), "bone").c_str());
      for (const json& entry : list)
        std::printf("  %-24s %s\n", entry["name"].get<std::string>().c_str(),
                    Count(entry["records"].get<std::size_t>(), "record").c_str());
      return;
    }
    Hierarchy h;
    Import_File(options->hierarchy, false, [&] { h.Import(options->hierarchy.c_str()); });
    options->name = Choose_Skin(skins, options->path, options->name);
    Check_Skin_Fits(skins, options->path, options->name, h, options->hierarchy);
    Skin skin;
    skin.Import(skins, options->name.c_str(), h);
    json bones = json::array();
    for (unsigned int b = 0; b < skin.bone_count; ++b)
      bones.push_back({{"name", b < h.Bone_Count() ? h.Bone_Name(b) : ""}, {"vertices", skin.vert_count[b]}});
    if (options->as_json) {
      std::cout << json{{"file", options->path}, {"skin", options->name}, {"bones", bones}}.dump(2) << "\n";
      return;
    }
    std::printf("skin %s against %s:\n", options->name.c_str(), options->hierarchy.c_str());
    for (const json& entry : bones)
      std::printf("  %-24s %u\n", entry["name"].get<std::string>().c_str(), entry["vertices"].get<unsigned int>());
  });
}

}  // namespace bonetool
