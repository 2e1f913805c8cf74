// view: the clip as one self-contained HTML page that plays it with three.js.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "common.h"
#include "files/output_files.h"
#include "interchange/gltf_export.h"

namespace bonetool {

namespace {

namespace Tools = Vantorix::Bone_Tools;

std::string Base64(const std::string& bytes) {
  static const char* const ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned int chunk = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 2]);
    out += ALPHABET[(chunk >> 18) & 63];
    out += ALPHABET[(chunk >> 12) & 63];
    out += i + 1 < bytes.size() ? ALPHABET[(chunk >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? ALPHABET[chunk & 63] : '=';
  }
  return out;
}

std::string Replace_All(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string Escape_Html(const std::string& text) {
  std::string out;
  for (char c : text)
    out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
  return out;
}

// The folder with the page template and the pinned three.js package.
std::string View_Folder() {
  for (const char* dir : {BONETOOL_SOURCE_VIEW, BONETOOL_INSTALLED_VIEW})
    if (std::ifstream(std::string(dir) + "/node_modules/three/build/three.module.min.js").good()) return dir;
  throw Tools::File_Error("the viewer's scripts are not installed: run 'npm ci' in " +
                          std::string(BONETOOL_SOURCE_VIEW) + " (scripts/install-deps.sh tools does)");
}

// three.js's modules, each a base64 data: URL behind one import map; their
// relative imports become names the map knows.
std::string Import_Map(const std::string& folder) {
  const std::string three = folder + "/node_modules/three/";
  const std::vector<std::pair<std::string, std::string>> modules = {
      {"three/core", Read_File(three + "build/three.core.min.js")},
      {"three",
       Replace_All(Read_File(three + "build/three.module.min.js"), "\"./three.core.min.js\"", "\"three/core\"")},
      {"three/addons/utils/BufferGeometryUtils.js", Read_File(three + "examples/jsm/utils/BufferGeometryUtils.js")},
      {"three/addons/loaders/GLTFLoader.js",
       Replace_All(Read_File(three + "examples/jsm/loaders/GLTFLoader.js"), "'../utils/BufferGeometryUtils.js'",
                   "'three/addons/utils/BufferGeometryUtils.js'")},
      {"three/addons/controls/OrbitControls.js", Read_File(three + "examples/jsm/controls/OrbitControls.js")},
  };
  nlohmann::json map;
  for (const auto& module : modules)
    map["imports"][module.first] = "data:text/javascript;base64," + Base64(module.second);
  return map.dump();
}

// Keys per second of the busiest sampled bone.
double Key_Rate(const Sequence& sequence) {
  const Hierarchy& h = sequence.Get_Hierarchy();
  double rate = 0;
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
    const unsigned int n = sequence.Key_Count(b);
    const float span = sequence.Key_Times(b)[n - 1] - sequence.Key_Times(b)[0];
    if (!h.Is_Leaf(b) && span > 0) rate = std::max(rate, double(n - 1) / double(span));
  }
  return rate;
}

// The skins' names and point counts for the page: the export writes the
// points of skin k after those of skin k - 1, one per vertex index.
nlohmann::json Skin_Table(const std::vector<const Tools::Export_Skin*>& skins) {
  nlohmann::json table = nlohmann::json::array();
  for (const Tools::Export_Skin* skin : skins)
    table.push_back({{"name", skin->name}, {"points", skin->mesh->Point_Count()}});
  return table;
}

// The page for `skins` of one skin file (none, one or several), with the
// camera mode the page starts in ("follow" or "fit").
std::string Page(const Bone_File& file, const std::vector<const Tools::Export_Skin*>& skins, const std::string& title,
                 const std::string& camera) {
  const std::string folder = View_Folder();
  const std::string page = Read_File(folder + "/page.html");
  const nlohmann::json meta = {{"title", title},
                               {"length", file.sequence.Lenght()},
                               {"bones", file.hierarchy.Bone_Count()},
                               {"keyRate", Key_Rate(file.sequence)},
                               {"skins", Skin_Table(skins)},
                               {"camera", camera}};
  const std::string clip = Tools::Encode_Gltf(file.sequence, skins, true);
  // Each placeholder is filled once, where the template has it.
  const std::map<std::string, std::string> fill = {{"__TITLE__", Escape_Html(title)},
                                                   {"__IMPORTMAP__", Import_Map(folder)},
                                                   {"__CLIP__", Base64(clip)},
                                                   {"__META__", Replace_All(meta.dump(), "</", "<\\/")}};
  std::string out;
  std::size_t from = 0;
  for (;;) {
    std::size_t next = std::string::npos;
    const std::pair<const std::string, std::string>* which = nullptr;
    for (const auto& entry : fill) {
      const std::size_t at = page.find(entry.first, from);
      if (at < next) next = at, which = &entry;
    }
    out.append(page, from, next == std::string::npos ? std::string::npos : next - from);
    if (!which) break;
    out += which->second;
    from = next + which->first.size();
  }
  return out;
}

}  // namespace

std::string Render_Page(const Bone_File& file, const Tools::Export_Skin* skin, const std::string& title) {
  std::vector<const Tools::Export_Skin*> skins;
  if (skin) skins.push_back(skin);
  return Page(file, skins, title, "follow");
}

void Add_View(CLI::App& app, Context&) {
  auto* command = app.add_subcommand("view", "Write a self-contained HTML page that plays the clip (three.js)");
  struct Options {
    std::string path, skin, out, camera = "follow";
    std::vector<std::string> names;
  };
  auto o = std::make_shared<Options>();
  command->add_option("IN", o->path, "Bone file")->required();
  auto* skin =
      command->add_option("--skin", o->skin, "Skin file whose points to show, coloured by their strongest bone");
  command->add_option("--name", o->names, "Skin to show, once per skin (default: all the file's skins)")
      ->allow_extra_args(false)
      ->needs(skin);
  command->add_option("--camera", o->camera, "Camera the page starts with: follow the root, or fit the whole path")
      ->check(CLI::IsMember({"follow", "fit"}))
      ->capture_default_str();
  command->add_option("-o,--output", o->out, "HTML file to write (default: IN's name with .html, here)");
  command->callback([o] {
    if (o->out.empty()) {
      const std::size_t slash = o->path.find_last_of('/'), dot = o->path.find_last_of('.');
      const std::string base = o->path.substr(slash == std::string::npos ? 0 : slash + 1);
      o->out = (dot != std::string::npos && (slash == std::string::npos || dot > slash)
                    ? base.substr(0, base.find_last_of('.'))
                    : base) +
               ".html";
    }
    Tools::Output_Files files;
    files.Input(o->path);
    if (!o->skin.empty()) files.Input(o->skin);
    files.Output(o->out, {".html"});
    const Bone_File file(o->path);
    // Without --name: the file's only skin, or all of them when it has several.
    std::vector<std::string> names = o->names;
    if (!o->skin.empty() && names.empty()) {
      const std::unique_ptr<Skin_File> skin_file = Open_Skin_File(o->skin);
      if (skin_file->Skin_Count() > 1)
        for (unsigned int s = 0; s < skin_file->Skin_Count(); ++s) names.push_back(skin_file->Skin_Name(s));
      else
        names.emplace_back();  // Load_Skin_For takes the only skin, or says that there is none
    }
    std::vector<std::unique_ptr<Tools::Export_Skin>> skins;
    std::vector<const Tools::Export_Skin*> shown;
    for (auto name = names.begin(); name != names.end(); ++name) {
      if (std::find(names.begin(), name, *name) != name) continue;  // named twice: shown once
      skins.push_back(Load_Skin_For(file, o->skin, *name));
      shown.push_back(skins.back().get());
    }
    const std::string page = Page(file, shown, o->path.substr(o->path.find_last_of('/') + 1), o->camera);
    files.Set(o->out, page);
    files.Commit();
    std::printf("wrote %s (%.2f MB); open it in a browser, no server needed\n", o->out.c_str(),
                double(page.size()) / 1e6);
  });
}

}  // namespace bonetool
