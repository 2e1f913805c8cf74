#include "common.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "files/output_files.h"
#include "validate/validator.h"

namespace bonetool {

void Import_File(const std::string& path, bool skin, const std::function<void()>& import) {
  Vantorix::Bone_Tools::Check_Readable(path);
  try {
    import();
  } catch (const Kernel::Exception& error) {
    std::vector<std::string> lines;
    const std::string bytes = Read_File(path);
    const auto findings = skin ? Vantorix::Bone_Tools::Validate_Skin_File(bytes, nullptr)
                               : Vantorix::Bone_Tools::Validate_Bone_File(bytes);
    for (std::size_t i = 0; i < findings.size() && i < 3; ++i)
      lines.push_back(Vantorix::Bone_Tools::Format_Finding(path, findings[i]));
    if (findings.size() > 3)
      lines.push_back("(" + std::to_string(findings.size() - 3) + " more: bonetool validate " + path + ")");
    throw File_Refused(error, lines);
  }
}

Bone_File::Bone_File(const std::string& file_path) : path(file_path), sequence(hierarchy) {
  Import_File(path, false, [this] {
    hierarchy.Import(path.c_str());
    sequence.Import(path.c_str());
  });
}

std::unique_ptr<Skin_File> Open_Skin_File(const std::string& path) {
  std::unique_ptr<Skin_File> skins;
  Import_File(path, true, [&] { skins = std::make_unique<Skin_File>(path.c_str()); });
  return skins;
}

std::string Choose_Skin(const Skin_File& skins, const std::string& path, const std::string& requested) {
  std::string names;
  for (unsigned int s = 0; s < skins.Skin_Count(); ++s) names += (s ? ", " : "") + std::string(skins.Skin_Name(s));
  if (requested.empty()) {
    if (skins.Skin_Count() == 1) return skins.Skin_Name(0);
    throw Vantorix::Bone_Tools::Usage_Error(path + " holds " + std::to_string(skins.Skin_Count()) + " skins" +
                                            (names.empty() ? "" : " (" + names + ")") + "; choose one with --name");
  }
  for (unsigned int s = 0; s < skins.Skin_Count(); ++s)
    if (requested == skins.Skin_Name(s)) return requested;
  throw std::runtime_error("no skin \"" + requested + "\" in " + path +
                           "; it has: " + (names.empty() ? "none" : names));
}

void Check_Skin_Fits(Skin_File& skins, const std::string& skin_path, const std::string& skin_name,
                     const Hierarchy& hierarchy, const std::string& bone_path) {
  const auto upper = [](std::string name) {
    for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
    return name;
  };
  std::vector<Skin_File::Vertex> records;
  skins.Get_Skin(records, skin_name.c_str());
  std::vector<bool> used(skins.Bone_Count(), false);
  for (const Skin_File::Vertex& record : records)
    if (record.bone < skins.Bone_Count()) used[record.bone] = true;
  std::set<std::string> bones;
  for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) bones.insert(upper(hierarchy.Bone_Name(b)));
  for (unsigned int b = 0; b < skins.Bone_Count(); ++b)
    if (used[b] && !bones.count(upper(skins.Bone_Name(b))))
      throw std::runtime_error(skin_path + " does not fit " + bone_path + ": its bone table names \"" +
                               skins.Bone_Name(b) + "\", and " + bone_path +
                               " has no bone of that name (a skin fits the skeleton it was converted with)");
}

namespace {
// A CLI11 check on one value: `accept` tells whether the parsed number may
// stand; `wanted` says what was expected.
CLI::Validator Number_Check(const std::string& wanted, bool (*accept)(double)) {
  return CLI::Validator(
      [wanted, accept](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != 0) return text + " is not a number";
        return accept(value) ? std::string() : text + " is not " + wanted;
      },
      wanted);
}
}  // namespace

const CLI::Validator& Finite() {
  static const CLI::Validator check = Number_Check("a finite number", [](double v) { return std::isfinite(v); });
  return check;
}

const CLI::Validator& Positive() {
  static const CLI::Validator check =
      Number_Check("a finite number above 0", [](double v) { return std::isfinite(v) && v > 0; });
  return check;
}

const CLI::Validator& Fraction() {
  static const CLI::Validator check = Number_Check("a fraction from 0 to 1", [](double v) { return v >= 0 && v <= 1; });
  return check;
}

const CLI::Validator& Non_Negative() {
  static const CLI::Validator check =
      Number_Check("a finite number of 0 or more", [](double v) { return std::isfinite(v) && v >= 0; });
  return check;
}

CLI::Validator Between(double low, double high) {
  char wanted[80];
  std::snprintf(wanted, sizeof wanted, "a number from %g to %g", low, high);
  const std::string text = wanted;
  return CLI::Validator(
      [text, low, high](std::string& value) -> std::string {
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != 0) return value + " is not a number";
        return number >= low && number <= high ? std::string() : value + " is not " + text;
      },
      text);
}

std::string Count(std::size_t n, const std::string& noun, const std::string& plural) {
  return std::to_string(n) + " " + (n == 1 ? noun : plural.empty() ? noun + "s" : plural);
}

void Add_Worker_Options(CLI::App& command, Worker_Options& options) {
  command
      .add_option("--max-memory", options.max_memory,
                  "Memory cap of the process that reads each file, as 2G or 512M (default: half the machine's "
                  "memory shared by the jobs, at most 2G each)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            try {
              Vantorix::Bone_Tools::Parse_Memory_Size(text);
              return "";
            } catch (const std::invalid_argument& error) {
              return error.what();
            }
          },
          "SIZE"));
  command.add_option("--timeout", options.timeout, "Seconds the reading of one file may take")
      ->check(Positive())
      ->capture_default_str();
}

Vantorix::Bone_Tools::Worker_Pool_Settings Worker_Settings(const Worker_Options& options, unsigned int jobs) {
  Vantorix::Bone_Tools::Worker_Pool_Settings settings;
  settings.jobs = jobs;
  settings.limits.timeout = options.timeout;
  if (!options.max_memory.empty()) settings.limits.memory = Vantorix::Bone_Tools::Parse_Memory_Size(options.max_memory);
  return settings;
}

void Note(const std::string& text) {
  if (!text.empty()) std::fprintf(stderr, "bonetool: note: %s\n", text.c_str());
}

void Note_Weights(const Skinned_Mesh& mesh, const std::string& skin_name) {
  if (mesh.Renormalised_Count() == 0) return;
  Note(std::to_string(mesh.Renormalised_Count()) + " of " + std::to_string(mesh.Point_Count()) + " vertices of skin " +
       skin_name + " have weights that do not sum to 1; they are normalised");
}

std::string Read_File(const std::string& path) {
  Vantorix::Bone_Tools::Check_Readable(path);
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::size_t Total_Keys(const Sequence& sequence) {
  std::size_t total = 0;
  for (unsigned int b = 0; b < sequence.Get_Hierarchy().Bone_Count(); ++b) total += sequence.Key_Count(b);
  return total;
}

Matrix_3x3<float> Matrix_From_Degrees(float r0, float r1, float r2) {
  const float to_radians = float(M_PI / 180.0);
  Matrix_3x3<float> m;
  Template_Library::M3x3_S_S_S_Rot_ZYX(m, r2 * to_radians, r1 * to_radians, r0 * to_radians);
  return m;
}

double Angle_Between_Degrees(const Quaternion& a, const Quaternion& b) {
  const double dot =
      std::fabs(double(a.w) * b.w + double(a.v.x) * b.v.x + double(a.v.y) * b.v.y + double(a.v.z) * b.v.z);
  return 2.0 * std::acos(std::min(1.0, dot)) * 180.0 / M_PI;
}

Progress::Progress(std::string what, std::size_t total)
    : what_(std::move(what)), total_(total), active_(isatty(STDERR_FILENO) != 0 && total > 0) {}

Progress::~Progress() {
  if (active_ && last_percent_ >= 0) std::fprintf(stderr, "\r%s: done   \n", what_.c_str());
}

void Progress::Step(std::size_t done) {
  if (!active_) return;
  const int percent = int(100.0 * double(done) / double(total_));
  if (percent == last_percent_) return;
  last_percent_ = percent;
  std::fprintf(stderr, "\r%s: %3d%%", what_.c_str(), percent);
  std::fflush(stderr);
}

void Print_Tree(const Hierarchy& h, const char* indent, const std::function<std::string(unsigned int)>& details) {
  const unsigned int count = h.Bone_Count(), deepest_indent = 32;
  if (h.Root_Index() >= count) return;
  // children[first[b] .. first[b + 1]) are b's children in file order.
  std::vector<unsigned int> first(std::size_t(count) + 1, 0), children;
  const auto parent_of = [&](unsigned int b) {
    const unsigned int p = h.Parent_Index(b);
    return p < count && p != b ? p : INVALID_INDEX;
  };
  for (unsigned int b = 0; b < count; ++b)
    if (parent_of(b) != INVALID_INDEX) ++first[parent_of(b) + 1];
  for (unsigned int b = 0; b < count; ++b) first[b + 1] += first[b];
  children.resize(first[count]);
  std::vector<unsigned int> filled(first.begin(), first.end() - 1);
  for (unsigned int b = 0; b < count; ++b)
    if (parent_of(b) != INVALID_INDEX) children[filled[parent_of(b)]++] = b;

  std::vector<std::pair<unsigned int, unsigned int>> stack = {{h.Root_Index(), 0u}};  // bone, level
  while (!stack.empty()) {
    const auto [bone, level] = stack.back();
    stack.pop_back();
    const std::string more = details ? details(bone) : std::string();
    const char* leaf = h.Is_Leaf(bone) ? " (leaf)" : "";
    if (level <= deepest_indent)
      std::printf("%s%*s%s%s%s\n", indent, int(2 * level), "", h.Bone_Name(bone), leaf, more.c_str());
    else
      std::printf("%s%*s[%u] %s%s%s\n", indent, int(2 * deepest_indent), "", level, h.Bone_Name(bone), leaf,
                  more.c_str());
    for (unsigned int c = first[bone + 1]; c > first[bone]; --c) stack.emplace_back(children[c - 1], level + 1);
  }
}

std::vector<Bone_Error> Compare_Sequences(const Sequence& a, const Sequence& b) {
  const Hierarchy& h = a.Get_Hierarchy();
  std::vector<Bone_Error> errors(h.Bone_Count());
  unsigned int most_keys = 0;
  for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) most_keys = std::max(most_keys, a.Key_Count(bone));
  const unsigned int samples = std::max(1000u, 4 * most_keys);
  Frame fa(h, false), fb(h, false);
  Progress progress("comparing", samples);
  for (unsigned int i = 0; i <= samples; ++i) {
    const float time = a.Lenght() * float(i) / float(samples);
    a.Get_Frame_Time(fa, time);
    b.Get_Frame_Time(fb, time);
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) {
      if (h.Is_Leaf(bone)) continue;
      Bone_Error& e = errors[bone];
      e.rotation_degrees =
          std::max(e.rotation_degrees, Angle_Between_Degrees(fa.Local_Rotation(bone), fb.Local_Rotation(bone)));
      e.offset = std::max(
          e.offset, double(std::sqrt(Template_Library::V3_V3_Sub_Norm(fa.Local_Offset(bone), fb.Local_Offset(bone)))));
    }
    progress.Step(i);
  }
  return errors;
}

}  // namespace bonetool
