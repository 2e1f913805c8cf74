// optimize, combine, flip, normalize, rotate: edit a sequence and write a new
// bone file. A refused edit writes nothing.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "common.h"
#include "files/output_files.h"
#include "writers/animation_data.h"
#include "writers/bone_poses.h"

namespace bonetool {

namespace {

using Vantorix::Bone_Tools::Default_Reach;
using Vantorix::Bone_Tools::Output_Files;
using Vantorix::Bone_Tools::Usage_Error;

// Writes the sequence to the declared output `out` and moves it into place.
void Write(Output_Files& files, const Sequence& sequence, const std::string& out) {
  files.Set(out, Vantorix::Bone_Tools::Encode_Bone_File(Vantorix::Bone_Tools::From_Sequence(sequence)));
  files.Commit();
  std::printf("wrote %s\n", out.c_str());
}

// Adds IN and OUT and runs `edit` on IN's sequence before writing OUT.
void Add_Simple_Edit(CLI::App& app, const char* name, const char* description,
                     const std::function<void(Sequence&)>& edit, CLI::App** added = nullptr) {
  auto* command = app.add_subcommand(name, description);
  auto paths = std::make_shared<std::pair<std::string, std::string>>();
  command->add_option("IN", paths->first, "Bone file to read")->required();
  command->add_option("OUT", paths->second, "Bone file to write (.bone)")->required();
  command->callback([paths, edit] {
    Output_Files files;
    files.Input(paths->first);
    files.Output(paths->second, {".bone"});
    Bone_File file(paths->first);
    edit(file.sequence);
    Write(files, file.sequence, paths->second);
  });
  if (added) *added = command;
}

// "A and B have different skeletons: ..." naming the first difference.
std::string Skeleton_Difference(const Bone_File& a, const Bone_File& b) {
  const Hierarchy &ha = a.hierarchy, &hb = b.hierarchy;
  const std::string intro = a.path + " and " + b.path + " have different skeletons: ";
  if (ha.Bone_Count() != hb.Bone_Count())
    return intro + std::to_string(ha.Bone_Count()) + " bones against " + std::to_string(hb.Bone_Count());
  const auto parent = [](const Hierarchy& h, unsigned int bone) {
    const unsigned int p = h.Parent_Index(bone);
    return p == INVALID_INDEX ? std::string("no parent") : "parent " + std::string(h.Bone_Name(p));
  };
  for (unsigned int bone = 0; bone < ha.Bone_Count(); ++bone) {
    const std::string number = "bone " + std::to_string(bone) + " is ";
    if (std::string(ha.Bone_Name(bone)) != hb.Bone_Name(bone))
      return intro + number + ha.Bone_Name(bone) + " in the first, " + hb.Bone_Name(bone) + " in the second";
    if (parent(ha, bone) != parent(hb, bone))
      return intro + number + ha.Bone_Name(bone) + " with " + parent(ha, bone) + " in the first, " + parent(hb, bone) +
             " in the second";
  }
  return intro + "the root is " + ha.Bone_Name(ha.Root_Index()) + " in the first, " + hb.Bone_Name(hb.Root_Index()) +
         " in the second";
}

}  // namespace

void Add_Edit_Commands(CLI::App& app, Context&) {
  // optimize
  {
    auto* command = app.add_subcommand("optimize", "Drop keys that interpolation reproduces within tolerances");
    command->footer(
        "The tolerances test each key against the next original key, one at a time; they do not bound the\n"
        "error of the result. Errors of dropped keys add up along a bone and down the skeleton: on CMU motion\n"
        "capture, --rotation-tolerance 0.9999 leaves 57 degrees of error on a knee. The table printed after the\n"
        "reduction shows the largest errors actually measured.");
    struct Options {
      std::string in, out;
      float rotation = 0.9999f, offset = 0.001f;
    };
    auto o = std::make_shared<Options>();
    command->add_option("IN", o->in, "Bone file to read")->required();
    command->add_option("OUT", o->out, "Bone file to write (.bone)")->required();
    command
        ->add_option("--rotation-tolerance", o->rotation,
                     "Least quaternion dot product with the interpolated rotation (cosine of half the angle)")
        ->required()
        ->check(Fraction());
    command->add_option("--offset-tolerance", o->offset, "Greatest distance from the interpolated offset")
        ->required()
        ->check(Non_Negative());
    command->callback([o] {
      Output_Files files;
      files.Input(o->in);
      files.Output(o->out, {".bone"});
      const Bone_File original(o->in);
      Bone_File reduced(o->in);
      reduced.sequence.Optimize(o->rotation, o->offset);
      const std::vector<Bone_Error> errors = Compare_Sequences(original.sequence, reduced.sequence);
      const Hierarchy& h = original.hierarchy;
      std::printf("%-20s %8s %8s %12s %12s\n", "bone", "before", "after", "max_deg", "max_offset");
      for (unsigned int b = 0; b < h.Bone_Count(); ++b)
        std::printf("%-20s %8u %8u %12.6f %12.6g\n", h.Bone_Name(b), original.sequence.Key_Count(b),
                    reduced.sequence.Key_Count(b), errors[b].rotation_degrees, errors[b].offset);
      const std::size_t before = Total_Keys(original.sequence), after = Total_Keys(reduced.sequence);
      std::printf("%-20s %8zu %8zu  (%.1f%% of the keys kept)\n", "total", before, after,
                  before ? 100.0 * double(after) / double(before) : 100.0);
      Write(files, reduced.sequence, o->out);
    });
  }
  // reduce
  {
    auto* command =
        app.add_subcommand("reduce", "Drop keys while no point of the skeleton moves more than --max-error");
    command->footer(
        "The points are every bone's position and the three points at --reach along its axes, checked at every\n"
        "key time and every midpoint between key times, for the whole skeleton at once. --reach defaults to a\n"
        "tenth of the skeleton's size over the clip (the largest diagonal of the box around its bones).");
    struct Options {
      std::string in, out;
      float max_error = 0, reach = 0;
      bool verbose = false;
    };
    auto o = std::make_shared<Options>();
    command->add_option("IN", o->in, "Bone file to read")->required();
    command->add_option("OUT", o->out, "Bone file to write (.bone)")->required();
    command->add_option("--max-error", o->max_error, "Largest distance any point may move, in the file's units")
        ->required()
        ->check(Positive());
    auto* reach =
        command->add_option("--reach", o->reach, "Distance of the axis points from each bone")->check(Finite());
    command->add_flag("--verbose", o->verbose, "Keys and largest error per bone");
    command->callback([o, reach] {
      if (o->reach < 0) throw Usage_Error("--reach must be 0 or more");
      Output_Files files;
      files.Input(o->in);
      files.Output(o->out, {".bone"});
      const Bone_File original(o->in);
      Bone_File reduced(o->in);
      const Hierarchy& h = original.hierarchy;
      if (reach->count() == 0) {
        o->reach = Default_Reach(original.sequence);
        if (!(o->reach > 0))
          throw Usage_Error("every bone of " + o->in +
                            " stays at one point throughout the clip, so the axis points have no distance to take "
                            "from it; give one with --reach");
      }
      const auto start = std::chrono::steady_clock::now();
      reduced.sequence.Reduce(o->max_error, o->reach);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const std::vector<double> errors = Sequence::Reduction_Errors(original.sequence, reduced.sequence, o->reach);
      if (o->verbose) {
        std::printf("%-20s %8s %8s %12s\n", "bone", "before", "after", "max_error");
        for (unsigned int b = 0; b < h.Bone_Count(); ++b)
          std::printf("%-20s %8u %8u %12.6g\n", h.Bone_Name(b), original.sequence.Key_Count(b),
                      reduced.sequence.Key_Count(b), errors[b]);
      }
      const std::size_t before = Total_Keys(original.sequence), after = Total_Keys(reduced.sequence);
      std::printf("keys %zu -> %zu (%.1f%% kept); largest error %.6g (bound %g, reach %g); %.3f s\n", before, after,
                  before ? 100.0 * double(after) / double(before) : 100.0,
                  *std::max_element(errors.begin(), errors.end()), o->max_error, o->reach, seconds);
      Write(files, reduced.sequence, o->out);
    });
  }
  // combine
  {
    auto* command = app.add_subcommand("combine", "Join a stretch of A, a transition and a stretch of B");
    struct Options {
      std::string a, b, out;
      std::vector<float> a_range{0.0f, 1.0f}, b_range{0.0f, 1.0f};
      float transition = 0.25f;
    };
    auto o = std::make_shared<Options>();
    command->add_option("A", o->a, "First bone file")->required();
    command->add_option("B", o->b, "Second bone file (same skeleton)")->required();
    command->add_option("OUT", o->out, "Bone file to write (.bone)")->required();
    command->add_option("--a-range", o->a_range, "Start and end of A's stretch, fractions of its length")
        ->expected(2)
        ->check(Fraction())
        ->capture_default_str();
    command->add_option("--b-range", o->b_range, "Start and end of B's stretch, fractions of its length")
        ->expected(2)
        ->check(Fraction())
        ->capture_default_str();
    command->add_option("--transition", o->transition, "Duration of the transition, above 0")
        ->check(Positive())
        ->capture_default_str();
    command->callback([o] {
      for (const auto* range : {&o->a_range, &o->b_range})
        if (!((*range)[0] < (*range)[1]))
          throw Usage_Error("a stretch must start before it ends: " + std::to_string((*range)[0]) + " .. " +
                            std::to_string((*range)[1]));
      Output_Files files;
      files.Input(o->a);
      files.Input(o->b);
      files.Output(o->out, {".bone"});
      const Bone_File a(o->a), b(o->b);
      if (a.hierarchy != b.hierarchy) throw std::runtime_error(Skeleton_Difference(a, b));
      Sequence result(a.hierarchy);
      result.Combine(const_cast<Sequence&>(a.sequence), o->a_range[0], o->a_range[1], const_cast<Sequence&>(b.sequence),
                     o->b_range[0], o->b_range[1], o->transition);
      std::printf("combined length %g, %zu keys\n", result.Lenght(), Total_Keys(result));
      Write(files, result, o->out);
    });
  }
  Add_Simple_Edit(app, "flip", "Reverse a sequence in time", [](Sequence& s) { s.Flip(); });
  Add_Simple_Edit(app, "normalize", "Rescale a sequence's time to a length of 1", [](Sequence& s) { s.Normalize(); });
  // rotate
  {
    auto angles = std::make_shared<std::vector<float>>(std::vector<float>{0, 0, 0});
    CLI::App* command = nullptr;
    Add_Simple_Edit(
        app, "rotate", "Turn the animation about its root bone",
        [angles](Sequence& s) { s.Rotate(Matrix_From_Degrees((*angles)[0], (*angles)[1], (*angles)[2])); }, &command);
    command->add_option("--angles", *angles, "Degrees about x, y and z; x turns first, then y, then z")
        ->expected(3)
        ->required()
        ->check(Finite());
  }
}

}  // namespace bonetool
