// bonetool, run as a user runs it: exit statuses, JSON field by field, the
// findings of validate, edits and pictures.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "support/file_builders.h"

using nlohmann::json;
using test_support::Bone_File;
using test_support::Key;
using test_support::Keys_At;
using test_support::Temp_File;

namespace {

struct Run_Result {
  int status;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// `launcher` runs bonetool under another program (setpriv).
Run_Result Bonetool(const std::string& arguments, const std::string& launcher = "") {
  const Temp_File out(""), err("");
  const std::string command =
      launcher + std::string(BONETOOL_PATH) + " " + arguments + " >" + out.path() + " 2>" + err.path() + " </dev/null";
  const int raw = std::system(command.c_str());
  return Run_Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out.path()), Slurp(err.path())};
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// A shell command's standard output.
std::string Bonetool_Shell(const std::string& command) {
  const Temp_File out("");
  std::system((command + " >" + out.path() + " 2>/dev/null").c_str());
  return Slurp(out.path());
}

// Root at (1, 2, 3) turning about z by 90 degrees over the clip; one child one
// unit along x; a leaf.
Bone_File Turning() {
  const float quarter = float(M_PI / 2);
  return Bone_File()
      .Length(2)
      .Root("Root", {{0, 0, 0, 0, 1, 2, 3}, {2, 0, 0, quarter, 1, 2, 3}})
      .Bone("Arm", "root", {{0, 0, 0, 0, 1, 0, 0}, {2, 0, 0, 0, 1, 0, 0}})
      .Bone("Tip", "arm", Keys_At({0, 2}));
}

const std::string SAMPLES = std::string(SAMPLE_DIR);
const std::string MODELS = "/usr/share/assimp/models";

// Copies `length` bytes of `source` to `target`, with the byte at `offset`
// set to `value` when `offset` is not negative: damaged models, made here.
void Damaged_Copy(const std::string& source, const std::string& target, std::size_t length, long offset = -1,
                  char value = 0) {
  std::string bytes = Slurp(source).substr(0, length);
  if (offset >= 0) bytes.at(std::size_t(offset)) = value;
  std::ofstream(target, std::ios::binary) << bytes;
}

// How to run bonetool so that a file without read permission cannot be read:
// as root, without the capabilities that pass over permissions. Empty when
// that cannot be done (root without setpriv).
std::optional<std::string> Permission_Respecting_Launcher() {
  if (geteuid() != 0) return std::string();
  if (!Exists("/usr/bin/setpriv")) return std::nullopt;
  return std::string("/usr/bin/setpriv --bounding-set=-dac_override,-dac_read_search ");
}

}  // namespace

TEST(BonetoolCli, SampleJsonFieldByField) {
  Temp_File file(Turning().Data());
  const Run_Result run = Bonetool(std::string("sample --json --time 2 ") + file.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const json doc = json::parse(run.out);
  EXPECT_EQ(doc["file"], file.path());
  EXPECT_EQ(doc["length"], 2.0);
  EXPECT_EQ(doc["time"], 2.0);
  ASSERT_EQ(doc["bones"].size(), 3u);
  const json& root = doc["bones"][0];
  EXPECT_EQ(root["name"], "Root");
  EXPECT_TRUE(root["parent"].is_null());
  EXPECT_EQ(root["offset"], json({1.0, 2.0, 3.0}));
  ASSERT_EQ(root["base"].size(), 9u);
  EXPECT_NEAR(root["base"][1].get<double>(), -1.0, 1e-6);  // row 0, column 1 of a quarter turn about z
  EXPECT_NEAR(root["base"][3].get<double>(), 1.0, 1e-6);
  const json& arm = doc["bones"][1];
  EXPECT_EQ(arm["parent"], "Root");
  EXPECT_NEAR(arm["offset"][0].get<double>(), 1.0, 1e-6);
  EXPECT_NEAR(arm["offset"][1].get<double>(), 3.0, 1e-6);

  const json at_origin =
      json::parse(Bonetool(std::string("sample --json --fraction 0.5 --ignore-root-offset ") + file.path()).out);
  EXPECT_EQ(at_origin["time"], 1.0);
  EXPECT_EQ(at_origin["bones"][0]["offset"], json({0.0, 0.0, 0.0}));
}

TEST(BonetoolCli, UsageErrorsExitTwoWithAShortReason) {
  Temp_File in(Turning().Data(), ".bone");
  const std::string f = in.path(), dir = ::testing::TempDir();
  const std::string link = dir + "cli_link_to_input_" + std::to_string(getpid()) + ".bone";
  std::remove(link.c_str());
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  Temp_File other(Turning().Data(), ".bone");
  const std::string alias = dir + "cli_alias_" + std::to_string(getpid()) + ".skin";
  std::remove(alias.c_str());
  ASSERT_EQ(symlink(other.path(), alias.c_str()), 0);
  const std::string bvh = "/usr/share/assimp/models/BVH/01_01.bvh";
  const std::string respelled = f.substr(0, f.find_last_of('/')) + "/./" + f.substr(f.find_last_of('/') + 1);
  struct Case {
    std::string arguments, reason;
  };
  const std::vector<Case> cases = {
      {"", "A subcommand is required"},
      {"sample", "required"},
      {"bogus", "unknown command bogus\ncommands: info, sample, validate, optimize"},
      {"sample " + f + " --time nan", "nan is not a finite number"},
      {"sample " + f + " --fraction inf", "inf is not a finite number"},
      {"optimize " + f + " o.bone --rotation-tolerance nan --offset-tolerance 1", "nan is not a fraction from 0 to 1"},
      {"optimize " + f + " o.bone --rotation-tolerance 2 --offset-tolerance 1", "2 is not a fraction from 0 to 1"},
      {"optimize " + f + " o.bone --rotation-tolerance 1 --offset-tolerance -1",
       "-1 is not a finite number of 0 or more"},
      {"rotate " + f + " o.bone --angles 0 nan 0", "nan is not a finite number"},
      {"convert " + bvh + " o.bone --fps 0", "0 is not a finite number above 0"},
      {"convert " + bvh + " o.bone --fps nan", "nan is not a finite number above 0"},
      {"combine " + f + " " + f + " o.bone --transition 0", "0 is not a finite number above 0"},
      {"reduce " + f + " o.bone --max-error 0", "0 is not a finite number above 0"},
      {"reduce " + f + " o.bone --max-error 1 --reach -1", "--reach must be 0 or more"},
      {"info " + f + " --packed 0", "0 is not a finite number above 0"},
      {"info " + f + " --reach 1", "--reach requires --packed"},
      {"combine " + f + " " + f + " o.bone --a-range 0.5 0.2", "a stretch must start before it ends"},
      {"combine " + f + " " + f + " o.bone --b-range 0 1.5", "1.5 is not a fraction from 0 to 1"},
      {"flip " + f + " " + f, "it is the input " + f},
      {"flip " + f + " " + link, "it is the input " + f},
      {"flip " + f + " " + respelled, "it is the input " + f},
      {"export " + f + " out.fbx", "cannot write out.fbx: this command writes .glb or .gltf files"},
      {"render " + f + " -o picture.png", "this command writes .svg files"},
      {"convert " + bvh + " " + other.path() + " --skin " + alias,
       std::string("it is also the output ") + other.path()},
      {"convert " + bvh + " o.bone --up x", "--up: x not in {y,z}"},
      {"convert " + bvh + " o.bone --scale 1e38", "1e38 is not a number from 1e-06 to 1e+06"},
      {"convert " + bvh + " o.bone --rest-pose --animation 0", "--animation excludes --rest-pose"},
      {"convert " + bvh + " o.bone --max-memory 2Q", "2Q is not a size such as 2G or 512M"},
      {"info " + bvh + " --max-memory 16M", "16M is less than the least memory limit, 64M"},
      {"convert " + bvh + " " + bvh + " " + bvh, "convert takes IN and OUT.bone, or --out-dir for many inputs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Run_Result run = Bonetool(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_LT(run.err.size(), 400u) << "a short reason, not a screen of text";
  }
  EXPECT_EQ(Slurp(f), Turning().Data());  // no input was touched
  EXPECT_EQ(Bonetool("sample --help").status, 0);
  EXPECT_NE(Bonetool("--version").out.find("bonetool "), std::string::npos);
  std::remove(link.c_str());
  std::remove(alias.c_str());
}

TEST(BonetoolCli, AMissingInputReadsTheSameInEveryCommand) {
  const std::string missing = "/nonexistent/walk.bone";
  for (const std::string& arguments :
       {"info " + missing, "sample --time 0 " + missing, "flip " + missing + " o.bone", "validate " + missing,
        "export " + missing + " o.glb", "convert " + missing + " o.bone", "render " + missing + " -o o.svg",
        "skin " + missing, "combine " + missing + " " + missing + " o.bone",
        "reduce " + missing + " o.bone --max-error 1"}) {
    const Run_Result run = Bonetool(arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_EQ(run.err, "bonetool: error: cannot read " + missing + ": No such file or directory\n") << arguments;
  }
}

TEST(BonetoolCli, OutputsAppearAllOrNothingAndKeepTheirMode) {
  Temp_File in(Turning().Data(), ".bone");
  const std::string dir = ::testing::TempDir() + "cli_outputs_" + std::to_string(getpid()) + "/";
  std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
  const auto listing = [&] { return Bonetool_Shell("ls -A " + dir); };

  // A second output whose folder is missing: nothing is written, nothing printed.
  const Run_Result convert =
      Bonetool("convert /usr/share/assimp/models/BVH/01_01.bvh " + dir + "x.bone --skin " + dir + "nodir/x.skin");
  EXPECT_EQ(convert.status, 1);
  EXPECT_NE(convert.err.find("cannot write " + dir + "nodir/x.skin: No such file or directory"), std::string::npos)
      << convert.err;
  const Run_Result optimize = Bonetool(std::string("optimize ") + in.path() + " " + dir +
                                       "nodir/x.bone --rotation-tolerance 0.9 --offset-tolerance 1");
  EXPECT_EQ(optimize.status, 1);
  EXPECT_EQ(optimize.out, "");
  EXPECT_EQ(listing(), "");

  // A read-only target is left alone; a writable one is replaced, keeping its mode.
  const std::string locked = dir + "locked.bone", shared = dir + "shared.bone";
  for (const auto& target : {std::make_pair(locked, 0444), std::make_pair(shared, 0640)}) {
    std::ofstream(target.first) << "old";
    chmod(target.first.c_str(), mode_t(target.second));
  }
  const Run_Result refused = Bonetool(std::string("flip ") + in.path() + " " + locked);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "bonetool: error: " + locked + " is read-only\n");
  EXPECT_EQ(Slurp(locked), "old");
  ASSERT_EQ(Bonetool(std::string("flip ") + in.path() + " " + shared).status, 0);
  struct stat status;
  ASSERT_EQ(stat(shared.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  EXPECT_EQ(Slurp(shared).substr(0, 4), "BONE");
  EXPECT_EQ(listing(), "locked.bone\nshared.bone\n");  // no temporaries left behind
  std::system(("chmod -R u+w " + dir + " && rm -rf " + dir).c_str());
}

TEST(BonetoolCli, BatchesConvertWhatTheyCanAndTabulateTheRest) {
  const std::string bvh = MODELS + "/BVH/01_01.bvh";
  if (!Exists(bvh)) GTEST_SKIP() << bvh << " not installed";
  const std::string dir = ::testing::TempDir() + "cli_batch_" + std::to_string(getpid()) + "/";
  std::system(("rm -rf " + dir + " && mkdir -p " + dir + "in/good " + dir + "in/locked " + dir + "out/in && cp " + bvh +
               " " + dir + "in/good/ && cp " + bvh + " " + dir + "in/locked/ && cp " + bvh + " " + dir +
               "in/read_only.bvh && cp " + MODELS + "/ASE/anim.ASE " + dir + "in/")
                  .c_str());
  std::ofstream(dir + "in/cut.bvh") << "HIERARCHY\nROOT";
  // A cut MD5 mesh crashes the importer; one changed byte of a binary .x file
  // makes it allocate without bound.
  Damaged_Copy(MODELS + "/MD5/SimpleCube.md5mesh", dir + "in/crash.md5mesh", 1075);
  Damaged_Copy(MODELS + "/X/test_cube_binary.x", dir + "in/runaway.x", 2816, 953, '\x1c');
  std::ofstream(dir + "out/in/read_only.bone") << "old";
  chmod((dir + "out/in/read_only.bone").c_str(), 0444);
  std::ofstream(dir + "secret.bvh") << "HIERARCHY";
  const std::optional<std::string> launcher = Permission_Respecting_Launcher();
  if (!launcher) GTEST_SKIP() << "running as root without setpriv: permissions cannot keep bonetool out";
  chmod((dir + "in/locked").c_str(), 0);
  chmod((dir + "secret.bvh").c_str(), 0);

  const Run_Result run = Bonetool(
      "convert " + dir + "in " + dir + "secret.bvh --out-dir " + dir + "out --jobs 2 --max-memory 256M", *launcher);
  EXPECT_EQ(run.status, 1) << run.err;
  // One row per input, in order; the table's columns line up.
  struct Row {
    std::string input, result, detail;
  };
  std::vector<Row> expected = {
      {"in/anim.ASE", "converted", dir + "out/in/anim.bone"},
      {"", "", "warning: scale that is not uniform, or that changes over time"},
      {"in/crash.md5mesh", "failed", "the importer crashed (signal 11)"},
      {"in/cut.bvh", "refused", "Assimp cannot read it: "},
      {"in/good/01_01.bvh", "converted", dir + "out/in/good/01_01.bone"},
      {"in/locked", "cannot read", "Permission denied"},
      {"in/read_only.bvh", "cannot write", dir + "out/in/read_only.bone is read-only"},
      {"in/runaway.x", "failed", "ran out of its 256 MiB memory limit"},
      {"secret.bvh", "cannot read", "Permission denied"},
  };
  std::istringstream table(run.out);
  std::string line;
  std::getline(table, line);
  const std::size_t result_column = line.find("result"), detail_column = line.find("written, or why not");
  for (const Row& row : expected) {
    ASSERT_TRUE(std::getline(table, line)) << run.out;
    SCOPED_TRACE(line);
    const std::string input = row.input.empty() ? "" : dir + row.input;
    EXPECT_EQ(line.substr(0, result_column), input + std::string(result_column - input.size(), ' '));
    EXPECT_EQ(line.substr(result_column, row.result.size()), row.result);
    EXPECT_EQ(line.substr(detail_column, row.detail.size()), row.detail);
  }
  EXPECT_NE(run.out.find("2 of 8 inputs converted, 6 not; 2 bone files written to " + dir + "out\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(Slurp(dir + "out/in/read_only.bone"), "old");

  // validate takes the folder too, and goes on past a file it cannot read.
  const Run_Result check = Bonetool("validate " + dir + "out/in/good");
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out, dir + "out/in/good/01_01.bone: ok\n");
  std::system(("cp " + dir + "out/in/good/01_01.bone " + dir + "out/in/good/0_locked.bone").c_str());
  chmod((dir + "out/in/good/0_locked.bone").c_str(), 0);
  const Run_Result locked = Bonetool("validate " + dir + "out/in/good", *launcher);
  EXPECT_EQ(locked.status, 1);
  EXPECT_EQ(locked.out, dir + "out/in/good/01_01.bone: ok\n");
  EXPECT_EQ(locked.err, "bonetool: error: cannot read " + dir + "out/in/good/0_locked.bone: Permission denied\n");
  std::system(("chmod -R u+rwx " + dir + " && rm -rf " + dir).c_str());
}

TEST(BonetoolCli, AnInterruptedBatchKeepsWhatFinishedAndLeavesNoTemporaries) {
  const std::string bvh = MODELS + "/BVH/01_01.bvh";
  if (!Exists(bvh)) GTEST_SKIP() << bvh << " not installed";
  const std::string dir = ::testing::TempDir() + "cli_interrupted_" + std::to_string(getpid()) + "/";
  std::system(("rm -rf " + dir + " && mkdir -p " + dir + "in").c_str());
  for (int i = 10; i < 26; ++i)
    std::system(("cp " + bvh + " " + dir + "in/take_" + std::to_string(i) + ".bvh").c_str());
  const std::string in = dir + "in", out = dir + "out", table = dir + "table.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, table.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {BONETOOL_PATH, "convert", in.c_str(), "--out-dir", out.c_str(), "--jobs", "1", nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, BONETOOL_PATH, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // SIGINT as soon as the first output is there.
  const auto listing = [&] { return Bonetool_Shell("ls -A " + out + "/in 2>/dev/null"); };
  for (int wait = 0; wait < 2000 && listing().find(".bone\n") == std::string::npos; ++wait) usleep(5000);
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  // Only complete outputs stay, and the table lists each of them.
  const std::string kept = listing();
  EXPECT_EQ(kept.find('.'), kept.find(".bone")) << "a temporary was left: " << kept;
  EXPECT_EQ(Bonetool("validate " + out).status, 0);
  const std::size_t count = std::size_t(std::count(kept.begin(), kept.end(), '\n'));
  EXPECT_GE(count, 1u);
  EXPECT_LT(count, 16u) << "the batch was not interrupted";
  EXPECT_NE(Slurp(table).find(std::to_string(count) + " of " + std::to_string(count) + " input"), std::string::npos)
      << Slurp(table);
  EXPECT_EQ(Bonetool_Shell("ps -eo args | grep -c '^" + std::string(BONETOOL_PATH) + " --worker'"), "0\n");
  std::system(("rm -rf " + dir).c_str());
}

TEST(BonetoolCli, RefusalsSayWhatIsWrongInWords) {
  Temp_File walk_copy(Slurp(SAMPLES + "/humanoid_walk.bone"), ".bone"), turning(Turning().Data(), ".bone");
  const std::string skin = SAMPLES + "/humanoid.skin";
  const std::string cut_bytes = Turning().Data();
  Temp_File cut(cut_bytes.substr(0, cut_bytes.size() - 30), ".bone");
  Temp_File text("just some words\n", ".txt"), crash("", ".md5mesh"),
      other_skin(test_support::Skin_File_Data().Bones({"Root", "$dummy_root"}).Skin("s", {{1, 0, 0, 0, 1, 0}}).Data(),
                 ".skin");
  Damaged_Copy(MODELS + "/MD5/SimpleCube.md5mesh", crash.path(), 1075);
  struct Case {
    std::string arguments, reason;
  };
  const std::vector<Case> cases = {
      {"info " + skin, skin + ": offset 0: header is not BONE"},
      {std::string("info ") + text.path(),
       std::string(text.path()) + ": Assimp cannot read it: No suitable reader found for the file format of file"},
      {std::string("info ") + crash.path(), std::string(crash.path()) + ": the importer crashed (signal 11)\n"},
      {std::string("render ") + turning.path() + " --skin " + other_skin.path() + " -o o.svg",
       std::string(other_skin.path()) + " does not fit " + turning.path() +
           ": its bone table names \"$dummy_root\", and " + turning.path() + " has no bone of that name"},
      {std::string("sample --time 0 ") + cut.path(), std::string("bonetool: ") + cut.path() + ": offset "},
      {std::string("combine ") + walk_copy.path() + " " + turning.path() + " o.bone",
       "have different skeletons: 22 bones against 3"},
      {"render " + SAMPLES + "/humanoid_walk.bone --skin " + skin + " --name bdy -o o.svg",
       "no skin \"bdy\" in " + skin + "; it has: body"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Run_Result run = Bonetool(c.arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
  }
  // --name may be left out when the skin file holds one skin.
  const Run_Result only = Bonetool("skin --json " + skin + " --hierarchy " + SAMPLES + "/humanoid_walk.bone");
  ASSERT_EQ(only.status, 0) << only.err;
  EXPECT_EQ(json::parse(only.out)["skin"], "body");
}

TEST(BonetoolCli, RenderAndExportNormaliseWeightsAndSaySo) {
  Temp_File bones(Turning().Data(), ".bone");
  // A table entry that no record uses may name any bone, as Skin::Import has it.
  Temp_File skin(test_support::Skin_File_Data()
                     .Bones({"Root", "Arm", "Tip", "Elsewhere"})
                     .Skin("half", {{1, 0, 1, 0, 0.25f, 0}, {0, 0, 1, 0, 0.25f, 0}, {1, 1, 0, 0, 1.0f, 1}})
                     .Data(),
                 ".skin");
  const std::string note =
      "bonetool: note: 1 of 2 vertices of skin half have weights that do not sum to 1; they are normalised\n";
  const std::string svg = ::testing::TempDir() + "cli_half.svg", glb = ::testing::TempDir() + "cli_half.glb";
  for (const std::string& arguments : {std::string("render ") + bones.path() + " --skin " + skin.path() + " -o " + svg,
                                       std::string("export ") + bones.path() + " " + glb + " --skin " + skin.path()}) {
    const Run_Result run = Bonetool(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, note) << arguments;
  }
  std::remove(svg.c_str());
  std::remove(glb.c_str());
}

TEST(BonetoolCli, InfoListsTheTree) {
  const Run_Result run = Bonetool("info --json " + SAMPLES + "/humanoid_walk.bone");
  ASSERT_EQ(run.status, 0) << run.err;
  const json doc = json::parse(run.out);
  EXPECT_EQ(doc["root"], "Hips");
  EXPECT_EQ(doc["bones"].size(), 22u);
  EXPECT_EQ(doc["bones"][5]["leaf"], true);
  EXPECT_EQ(doc["bones"][5]["first_time"], 0.0);
  const Run_Result text = Bonetool("info " + SAMPLES + "/humanoid_walk.bone");
  EXPECT_NE(text.out.find("leaves: Head_End L_Hand R_Hand L_Toe R_Toe"), std::string::npos);
  // A chain of 100,000 bones prints in time and space linear in its length.
  Bone_File chain = Bone_File().Length(1).Root("b0", Keys_At({0, 1}));
  for (int b = 1; b < 100000; ++b) chain.Bone("b" + std::to_string(b), "b" + std::to_string(b - 1), Keys_At({0, 1}));
  const Temp_File deep(chain.Data(), ".bone");
  const Run_Result long_chain = Bonetool(std::string("info ") + deep.path());
  ASSERT_EQ(long_chain.status, 0) << long_chain.err;
  EXPECT_NE(long_chain.out.find("\n    b2  keys 2"), std::string::npos);
  EXPECT_NE(long_chain.out.find("\n" + std::string(64, ' ') + "[99999] b99999 (leaf)  keys 2"), std::string::npos);
  EXPECT_LT(long_chain.out.size(), 100u * 100000);
  // The packed size beside the keys' size as a Sequence holds them.
  const json packed = json::parse(Bonetool("info --json --packed 0.001 " + SAMPLES + "/humanoid_walk.bone").out);
  EXPECT_GT(packed["packed"]["bytes"].get<double>(), 0);
  EXPECT_LT(packed["packed"]["bytes"].get<double>(), packed["packed"]["sequence_key_bytes"].get<double>() / 3);
  EXPECT_EQ(packed["packed"]["max_error"], 0.001f);
  EXPECT_GT(packed["packed"]["reach"].get<double>(), 0);
  if (!Exists(MODELS + "/BVH/01_01.bvh")) return;
  const Run_Result scene = Bonetool("info " + MODELS + "/BVH/01_01.bvh");
  EXPECT_NE(scene.out.find("(38 bones), 1 animation, 1 mesh, read by Assimp's BVH Importer"), std::string::npos)
      << scene.out;
}

TEST(BonetoolCli, ValidateReportsBrokenFilesAndExitsOne) {
  Bone_File broken = Turning();
  broken.bones[1].keys[1].time = 1.5f;
  Temp_File bad(broken.Data()), good(Turning().Data());
  const Run_Result clean = Bonetool(std::string("validate ") + good.path());
  EXPECT_EQ(clean.status, 0) << clean.out;
  const Run_Result run = Bonetool(std::string("validate ") + good.path() + " " + bad.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(std::string(bad.path()) + ": offset "), std::string::npos);
  EXPECT_NE(run.out.find(": bone Arm: key 1: last key is not at the length"), std::string::npos) << run.out;
  const json doc = json::parse(Bonetool(std::string("validate --json ") + bad.path()).out);
  EXPECT_EQ(doc["files"][0]["findings"][0]["bone"], "Arm");
  EXPECT_EQ(doc["files"][0]["findings"][0]["key"], 1);
  // A folder with nothing to check says so.
  const Run_Result empty = Bonetool("validate " + SAMPLES + "/../../docs");
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "bonetool: error: " + SAMPLES + "/../../docs holds no .bone or .skin file to check\n");
}

TEST(BonetoolCli, EditsWriteNewFilesAndRefusalsWriteNothing) {
  Temp_File in(Turning().Data());
  const std::string out = std::string(in.path()) + ".out.bone";
  const Run_Result flip = Bonetool(std::string("flip ") + in.path() + " " + out);
  ASSERT_EQ(flip.status, 0) << flip.err;
  const json flipped = json::parse(Bonetool("sample --json --time 0 " + out).out);
  EXPECT_NEAR(flipped["bones"][0]["base"][1].get<double>(), -1.0, 1e-6);  // the end pose comes first
  std::remove(out.c_str());

  // A library refusal writes nothing.
  Temp_File once(Bone_File().Length(0).Root("r", Keys_At({0, 0})).Data(), ".bone");
  const Run_Result refused = Bonetool(std::string("normalize ") + once.path() + " " + out);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Sequence length is 0, can't normalize (length != 0.0f, bone_import/bones:"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(Exists(out));

  std::vector<Key> line;
  for (int k = 0; k <= 10; ++k) line.push_back(Key{k * 0.2f, 0, 0, 0, k * 0.2f, 0, 0});
  Temp_File straight(Bone_File().Length(2).Root("r", line).Bone("leaf", "r", Keys_At({0, 2})).Data());
  const Run_Result optimize = Bonetool(std::string("optimize ") + straight.path() + " " + out +
                                       " --rotation-tolerance 0.999 --offset-tolerance 0.001");
  ASSERT_EQ(optimize.status, 0) << optimize.err;
  unsigned int before = 0, after = 0;
  const std::size_t total = optimize.out.find("\ntotal");
  ASSERT_NE(total, std::string::npos) << optimize.out;
  ASSERT_EQ(std::sscanf(optimize.out.c_str() + total, "\ntotal %u %u", &before, &after), 2);
  EXPECT_EQ(before, 13u);
  EXPECT_EQ(after, 4u);  // the straight line keeps its ends, the leaf its two keys
  // Every bone stays at the root's point: no reach can be taken from the
  // skeleton, so it must be given.
  const Run_Result no_reach = Bonetool(std::string("reduce ") + straight.path() + " " + out + " --max-error 0.001");
  EXPECT_EQ(no_reach.status, 2);
  EXPECT_NE(no_reach.err.find("stays at one point throughout the clip"), std::string::npos) << no_reach.err;
  const Run_Result reduce =
      Bonetool(std::string("reduce ") + straight.path() + " " + out + " --max-error 0.001 --reach 0.5");
  ASSERT_EQ(reduce.status, 0) << reduce.err;
  EXPECT_EQ(reduce.out.substr(0, reduce.out.find(';')), "keys 13 -> 4 (30.8% kept)") << reduce.out;
  std::remove(out.c_str());
}

TEST(BonetoolCli, RenderDrawsOneLinePerBonePerPoseAndView) {
  const std::string svg = std::string(::testing::TempDir()) + "cli_render.svg";
  const Run_Result run = Bonetool("render " + SAMPLES + "/humanoid_walk.bone --skin " + SAMPLES +
                                  "/humanoid.skin --name body --frames 3 -o " + svg);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string text = Slurp(svg);
  std::size_t lines = 0;
  for (std::size_t at = text.find("<line "); at != std::string::npos; at = text.find("<line ", at + 1)) ++lines;
  EXPECT_EQ(lines, 22u * 3 * 2);
  EXPECT_NE(text.find("<title>L_Forearm</title>"), std::string::npos);
  EXPECT_NE(text.find("class=\"vertex\""), std::string::npos);
  std::remove(svg.c_str());
}

TEST(BonetoolCli, SkinListsAndImports) {
  const json list = json::parse(Bonetool("skin --json " + SAMPLES + "/humanoid.skin").out);
  EXPECT_EQ(list["skins"][0]["name"], "body");
  EXPECT_GT(list["skins"][0]["records"].get<int>(), 2000);
  const json imported = json::parse(
      Bonetool("skin --json " + SAMPLES + "/humanoid.skin --name body --hierarchy " + SAMPLES + "/humanoid_walk.bone")
          .out);
  EXPECT_EQ(imported["bones"].size(), 22u);
  EXPECT_EQ(imported["bones"][5]["vertices"], 0);  // Head_End: a leaf without skin
}
