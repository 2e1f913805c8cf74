// demo: the tour of the library on the bundled sample data.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "common.h"
#include "files/output_files.h"
#include "interchange/gltf_export.h"
#include "writers/animation_data.h"

namespace bonetool {

namespace {

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

std::string Find_Samples(const std::string& requested) {
  if (!requested.empty()) return requested;
  for (const char* dir : {BONETOOL_SOURCE_SAMPLES, BONETOOL_INSTALLED_SAMPLES})
    if (Exists(std::string(dir) + "/humanoid_walk.bone")) return dir;
  throw std::runtime_error("sample data not found; pass --data DIR");
}

void Make_Directory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
    throw Vantorix::Bone_Tools::File_Error("cannot create " + dir + ": " + std::strerror(errno));
}

}  // namespace

void Add_Demo(CLI::App& app, Context&) {
  auto* command = app.add_subcommand("demo", "Tour the library on the bundled sample data");
  auto out = std::make_shared<std::string>("bonetool-demo");
  auto data = std::make_shared<std::string>();
  command->add_option("--out", *out, "Folder for the files the demo writes")->capture_default_str();
  command->add_option("--data", *data, "Folder of the sample data (found automatically)");
  command->callback([out, data] {
    const std::string samples = Find_Samples(*data);
    Make_Directory(*out);
    // Every file is checked before the tour starts and appears at its end.
    namespace Tools = Vantorix::Bone_Tools;
    Tools::Output_Files files;
    std::vector<std::string> written = {*out + "/walk_optimized.bone", *out + "/walk_to_run.bone", *out + "/walk.svg",
                                        *out + "/walk_to_run.svg",     *out + "/walk.glb",         *out + "/walk.html"};
    for (const std::string& path : written) files.Output(path, {path.substr(path.rfind('.')).c_str()});

    const Bone_File walk(samples + "/humanoid_walk.bone");
    const Bone_File run(samples + "/humanoid_run.bone");
    const Hierarchy& h = walk.hierarchy;
    std::printf("1. Hierarchy of %s: %u bones, root %s\n", walk.path.c_str(), h.Bone_Count(),
                h.Bone_Name(h.Root_Index()));
    Print_Tree(h, "    ");

    std::printf("\n2. The walk (%.2f s) sampled: world position of a few bones\n", walk.sequence.Lenght());
    Frame frame(h, false);
    const char* shown[] = {"Hips", "Head", "L_Forearm", "R_Foot"};
    std::printf("    %-8s", "time");
    for (const char* name : shown) std::printf(" %-24s", name);
    std::printf("\n");
    for (float fraction : {0.0f, 0.125f, 0.25f, 0.375f, 0.5f}) {
      walk.sequence.Get_Frame(frame, fraction);
      std::printf("    %-8.3f", walk.sequence.Lenght() * fraction);
      for (const char* name : shown) {
        const Vector_3<float>& p = frame.Offset(h.Bone_Index(name));
        std::printf(" (%6.3f %6.3f %6.3f)    ", p.x, p.y, p.z);
      }
      std::printf("\n");
    }

    std::printf("\n3. Key reduction of the walk (rotation tolerance 0.99999, offset tolerance 0.001)\n");
    Bone_File reduced(walk.path);
    reduced.sequence.Optimize(0.99999f, 0.001f);
    const std::vector<Bone_Error> errors = Compare_Sequences(walk.sequence, reduced.sequence);
    double worst_rotation = 0, worst_offset = 0;
    for (const Bone_Error& e : errors)
      worst_rotation = std::max(worst_rotation, e.rotation_degrees), worst_offset = std::max(worst_offset, e.offset);
    const std::size_t before = Total_Keys(walk.sequence), after = Total_Keys(reduced.sequence);
    std::printf("    keys %zu -> %zu (%.0f%% saved); largest error %.3f degrees, %.4f offset units\n", before, after,
                100.0 * (1.0 - double(after) / double(before)), worst_rotation, worst_offset);
    files.Set(written[0], Tools::Encode_Bone_File(Tools::From_Sequence(reduced.sequence)));

    std::printf("\n4. Walk into run: the first half of the walk, a 0.3 s transition, the whole run\n");
    Sequence combined(h);  // the run's own hierarchy equals the walk's by value
    combined.Combine(const_cast<Sequence&>(walk.sequence), 0.0f, 0.5f, const_cast<Sequence&>(run.sequence), 0.0f, 1.0f,
                     0.3f);
    std::printf("    length %.3f s, %zu keys\n", combined.Lenght(), Total_Keys(combined));
    files.Set(written[1], Tools::Encode_Bone_File(Tools::From_Sequence(combined)));

    std::printf("\n5. Pictures\n");
    Skin_File skins((samples + "/humanoid.skin").c_str());
    Skin skin;
    skin.Import(skins, "body", h);
    Render_Options options;
    options.skin = &skin;
    for (int i = 0; i < 8; ++i) options.times.push_back(walk.sequence.Lenght() * float(i) / 8.0f);
    options.title = "humanoid walk with its skin";
    files.Set(written[2], Render_Svg(walk.sequence, options));
    Render_Options strip;
    for (int i = 0; i < 10; ++i) strip.times.push_back(combined.Lenght() * float(i) / 9.0f);
    strip.title = "walk into run";
    files.Set(written[3], Render_Svg(combined, strip));

    std::printf("\n6. For any glTF viewer: the walk with its skin as points\n");
    const Tools::Export_Skin points = Tools::Load_Export_Skin(skins, "body", h);
    files.Set(written[4], Tools::Encode_Gltf(walk.sequence, {&points}, true));
    unsigned int bindings = 0;
    for (unsigned int b = 0; b < points.skin->bone_count; ++b) bindings += points.skin->vert_count[b];
    std::printf("    %u joints, %u skin bindings; open it in a glTF viewer\n", h.Bone_Count(), bindings);

    std::printf("\n7. In a browser: the walk playing, with its skin\n");
    try {
      files.Set(written[5], Render_Page(walk, &points, "humanoid walk"));
      std::printf("    one self-contained page; open it from the folder, no server needed\n");
    } catch (const Tools::File_Error& missing) {
      std::printf("    skipped: %s\n", missing.what());
      written.pop_back();
      files.Drop(*out + "/walk.html");
    }

    files.Commit();
    std::printf("\nWrote:\n");
    for (const std::string& path : written) std::printf("    %s\n", path.c_str());
  });
}

}  // namespace bonetool
