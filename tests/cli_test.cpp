// bonetool, run as a user runs it: exit statuses, JSON field by field, the
// findings of validate, edits and pictures.
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
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

Run_Result Bonetool(const std::string& arguments) {
  const Temp_File out(""), err("");
  const std::string command =
      std::string(BONETOOL_PATH) + " " + arguments + " >" + out.path() + " 2>" + err.path() + " </dev/null";
  const int raw = std::system(command.c_str());
  return Run_Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out.path()), Slurp(err.path())};
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

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

TEST(BonetoolCli, UsageAndLibraryErrors) {
  EXPECT_EQ(Bonetool("").status, 2);
  EXPECT_EQ(Bonetool("sample").status, 2);
  EXPECT_EQ(Bonetool("frobnicate").status, 2);
  const Run_Result help = Bonetool("sample --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--fraction"), std::string::npos);
  const Run_Result version = Bonetool("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("bonetool "), std::string::npos);

  const Run_Result missing = Bonetool("info /nonexistent.bone");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err.substr(0, missing.err.find(" (")),
            "bonetool: error: Can't open sequence file /nonexistent.bone");
  EXPECT_NE(missing.err.find("(!file.fail(), bone_import/hier:"), std::string::npos);
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
}

TEST(BonetoolCli, EditsWriteNewFilesAndRefusalsWriteNothing) {
  Temp_File in(Turning().Data());
  const std::string out = std::string(in.path()) + ".out.bone";
  const Run_Result flip = Bonetool(std::string("flip ") + in.path() + " " + out);
  ASSERT_EQ(flip.status, 0) << flip.err;
  const json flipped = json::parse(Bonetool("sample --json --time 0 " + out).out);
  EXPECT_NEAR(flipped["bones"][0]["base"][1].get<double>(), -1.0, 1e-6);  // the end pose comes first
  std::remove(out.c_str());

  const Run_Result refused =
      Bonetool(std::string("combine ") + in.path() + " " + in.path() + " " + out + " --transition 0");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("check failed (transition_time > 0.0f, bone_import/bones:"), std::string::npos);
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
