// render: the skeleton in front and side views, as a strip of poses, in SVG.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>

#include "common.h"
#include "files/output_files.h"
#include "writers/animation_data.h"
#include "writers/bone_poses.h"

namespace bonetool {

namespace {

const double PANEL_WIDTH = 220, PANEL_HEIGHT = 300, MARGIN = 20, HEADER = 30;

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // XML 1.0 admits no control characters but tab, newline and return.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += '?';
        else
          out += c;
    }
  return out;
}

struct Pose {
  float time;
  std::vector<Vector_3<float>> bones;
  std::vector<Vector_3<float>> skin;
};

float Finite_Or_Zero(float v) { return std::isfinite(v) ? v : 0.0f; }

}  // namespace

std::string Render_Svg(const Sequence& sequence, const Render_Options& options) {
  const Hierarchy& h = sequence.Get_Hierarchy();
  std::vector<Pose> poses;
  Frame frame(h, false);
  // Skin points: the library's skinning of the bones as drawn (leaves placed
  // by their first key).
  std::unique_ptr<Skinned_Mesh> mesh;
  if (options.skin) {
    mesh = std::make_unique<Skinned_Mesh>(*options.skin);
    Note_Weights(*mesh, options.skin_name);
  }
  Progress progress("rendering", options.times.size());
  std::vector<Matrix_3x3<float>> bases(h.Bone_Count());
  for (float time : options.times) {
    sequence.Get_Frame_Time(frame, time);
    Pose pose{time, std::vector<Vector_3<float>>(h.Bone_Count()), {}};
    Vantorix::Bone_Tools::Placed_Poses(sequence, frame, bases.data(), pose.bones.data());
    if (mesh) {
      pose.skin.resize(mesh->Point_Count());
      mesh->Deform(bases.data(), pose.bones.data(), pose.skin.data());
    }
    // Each pose is centred on its root horizontally, so a clip that travels
    // stays in its panel.
    const Vector_3<float> root = pose.bones[h.Root_Index()];
    for (auto* points : {&pose.bones, &pose.skin})
      for (Vector_3<float>& p : *points) {
        p = Vector_3<float>{Finite_Or_Zero(p.x - root.x), Finite_Or_Zero(p.y), Finite_Or_Zero(p.z - root.z)};
      }
    poses.push_back(std::move(pose));
    progress.Step(poses.size());
  }
  // One scale for every panel: the largest extent of any view.
  float low_h[2] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max()},
        high_h[2] = {-low_h[0], -low_h[0]};
  float low_y = std::numeric_limits<float>::max(), high_y = -low_y;
  for (const Pose& pose : poses)
    for (const auto* points : {&pose.bones, &pose.skin})
      for (const Vector_3<float>& p : *points) {
        low_h[0] = std::min(low_h[0], p.x), high_h[0] = std::max(high_h[0], p.x);
        low_h[1] = std::min(low_h[1], p.z), high_h[1] = std::max(high_h[1], p.z);
        low_y = std::min(low_y, p.y), high_y = std::max(high_y, p.y);
      }
  if (poses.empty() || h.Bone_Count() == 0) low_h[0] = low_h[1] = low_y = -1, high_h[0] = high_h[1] = high_y = 1;
  const double span =
      std::max({double(high_h[0] - low_h[0]), double(high_h[1] - low_h[1]), double(high_y - low_y), 1e-6});
  const double scale = std::min(PANEL_WIDTH, PANEL_HEIGHT) - 2 * MARGIN;

  std::ostringstream svg;
  const double width = PANEL_WIDTH * std::max<std::size_t>(1, poses.size());
  const double height = HEADER + 2 * PANEL_HEIGHT;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height << "\">\n"
      << "<style>line{stroke:#235;stroke-width:2;stroke-linecap:round}circle.joint{fill:#c33}"
         "circle.vertex{fill:#6a6;opacity:.35}text{font:12px sans-serif;fill:#333}</style>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n"
      << "<text x=\"8\" y=\"18\">" << Escape(options.title) << "</text>\n";
  for (std::size_t i = 0; i < poses.size(); ++i) {
    const Pose& pose = poses[i];
    svg << "<g class=\"pose\" data-time=\"" << pose.time << "\">\n";
    for (int view = 0; view < 2; ++view) {
      const double left = PANEL_WIDTH * double(i), top = HEADER + PANEL_HEIGHT * view;
      const float centre = 0.5f * (low_h[view] + high_h[view]);
      auto x_of = [&](const Vector_3<float>& p) {
        return left + PANEL_WIDTH / 2 + ((view == 0 ? p.x : p.z) - centre) / span * scale;
      };
      auto y_of = [&](const Vector_3<float>& p) { return top + PANEL_HEIGHT - MARGIN - (p.y - low_y) / span * scale; };
      svg << "<g class=\"" << (view == 0 ? "front" : "side") << "\">\n";
      svg << "<text x=\"" << left + 6 << "\" y=\"" << top + 14 << "\">" << (view == 0 ? "front" : "side")
          << " t=" << pose.time << "</text>\n";
      for (const Vector_3<float>& p : pose.skin)
        svg << "<circle class=\"vertex\" cx=\"" << x_of(p) << "\" cy=\"" << y_of(p) << "\" r=\"1.2\"/>\n";
      for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
        const unsigned int parent = h.Parent_Index(b);
        const Vector_3<float>& from = parent == INVALID_INDEX ? pose.bones[b] : pose.bones[parent];
        const Vector_3<float>& to = pose.bones[b];
        svg << "<line x1=\"" << x_of(from) << "\" y1=\"" << y_of(from) << "\" x2=\"" << x_of(to) << "\" y2=\""
            << y_of(to) << "\"><title>" << Escape(h.Bone_Name(b)) << "</title></line>\n";
      }
      for (unsigned int b = 0; b < h.Bone_Count(); ++b)
        svg << "<circle class=\"joint\" cx=\"" << x_of(pose.bones[b]) << "\" cy=\"" << y_of(pose.bones[b])
            << "\" r=\"2.5\"><title>" << Escape(h.Bone_Name(b)) << "</title></circle>\n";
      svg << "</g>\n";
    }
    svg << "</g>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

void Add_Render(CLI::App& app, Context&) {
  auto* command = app.add_subcommand("render", "Draw the skeleton (and a skin) in front and side views as SVG");
  struct Options {
    std::string path, skin, name, out;
    unsigned int frames = 6;
    float time = 0;
  };
  auto o = std::make_shared<Options>();
  command->add_option("FILE", o->path, "Bone file")->required();
  auto* skin = command->add_option("--skin", o->skin, "Skin file whose vertices to draw");
  auto* name = command->add_option("--name", o->name, "Skin to draw (default: the file's only skin)");
  name->needs(skin);
  auto* frames = command->add_option("--frames", o->frames, "Poses evenly spread over the sequence")
                     ->check(CLI::Range(1u, 1000u))
                     ->capture_default_str();
  auto* time = command->add_option("--time", o->time, "Draw the one pose at this time")->check(Finite());
  frames->excludes(time);
  command->add_option("-o,--output", o->out, "SVG file to write (.svg)")->required();
  command->callback([o, time] {
    Vantorix::Bone_Tools::Output_Files files;
    files.Input(o->path);
    if (!o->skin.empty()) files.Input(o->skin);
    files.Output(o->out, {".svg"});
    const Bone_File file(o->path);
    std::unique_ptr<Skin_File> skin_file;
    Skin skin;
    Render_Options options;
    if (!o->skin.empty()) {
      skin_file = Open_Skin_File(o->skin);
      o->name = Choose_Skin(*skin_file, o->skin, o->name);
      Check_Skin_Fits(*skin_file, o->skin, o->name, file.hierarchy, o->path);
      skin.Import(*skin_file, o->name.c_str(), file.hierarchy);
      options.skin = &skin;
      options.skin_name = o->name;
    }
    if (time->count()) {
      options.times.push_back(o->time);
    } else {
      for (unsigned int i = 0; i < o->frames; ++i)
        options.times.push_back(o->frames == 1 ? 0.0f : file.sequence.Lenght() * float(i) / float(o->frames - 1));
    }
    options.title = o->path;
    files.Set(o->out, Render_Svg(file.sequence, options));
    files.Commit();
    std::printf("wrote %s\n", o->out.c_str());
  });
}

}  // namespace bonetool
