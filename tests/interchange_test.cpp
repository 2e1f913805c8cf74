// convert and export against real data: BVH motion capture checked by an
// evaluation of the BVH text written here, glTF checked by the Khronos
// validator, and round trips through both.
#include <assimp/scene.h>
#include <tiny_gltf.h>

#include <assimp/Importer.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "interchange/batch_convert.h"
#include "interchange/gltf_export.h"
#include "interchange/scene_import.h"
#include "support/file_builders.h"
#include "writers/animation_data.h"

using namespace Vantorix::Bone_Import;
using namespace Vantorix::Bone_Tools;
using test_support::Temp_File;

namespace {

const std::string MODELS = ASSIMP_MODELS;
const std::string SAMPLES = SAMPLE_DIR;

#define REQUIRE_MODELS()                                                                                  \
  if (!std::ifstream(MODELS + "/BVH/01_01.bvh").good())                                                   \
  GTEST_SKIP() << "assimp-testmodels is not installed (" << MODELS << "); scripts/install-deps.sh tools " \
               << "installs it"

// A converted scene written and imported again, as a host would load it.
struct Loaded {
  explicit Loaded(const Animation_Data& animation) : file(Encode_Bone_File(animation)), sequence(hierarchy) {
    hierarchy.Import(file.path());
    sequence.Import(file.path());
  }
  Temp_File file;
  Hierarchy hierarchy;
  Sequence sequence;
};

// A bone file as a host opens it.
struct Opened {
  explicit Opened(const std::string& path) : sequence(hierarchy) {
    hierarchy.Import(path.c_str());
    sequence.Import(path.c_str());
  }
  Hierarchy hierarchy;
  Sequence sequence;
};

// --- An evaluation of BVH files of our own --------------------------------

struct Bvh_Joint {
  std::string name;
  int parent;
  double offset[3];
  std::vector<std::string> channels;
  std::size_t first_value;
};

struct Bvh {
  std::vector<Bvh_Joint> joints;  // parents first
  double frame_time = 0;
  std::vector<std::vector<double>> frames;
};

Bvh Read_Bvh(const std::string& path) {
  std::ifstream in(path);
  Bvh bvh;
  std::vector<int> open;
  std::size_t values = 0;
  std::string word;
  while (in >> word && word != "MOTION") {
    if (word == "ROOT" || word == "JOINT" || word == "End") {
      in >> word;  // the name, or "Site"
      const int parent = open.empty() ? -1 : open.back();
      // End Sites carry the name the importer gives them.
      const std::string name = word == "Site" && parent >= 0 ? "EndSite_" + bvh.joints[std::size_t(parent)].name : word;
      bvh.joints.push_back(Bvh_Joint{name, parent, {0, 0, 0}, {}, values});
    } else if (word == "{") {
      open.push_back(int(bvh.joints.size() - 1));
    } else if (word == "}") {
      open.pop_back();
    } else if (word == "OFFSET") {
      Bvh_Joint& joint = bvh.joints[std::size_t(open.back())];
      in >> joint.offset[0] >> joint.offset[1] >> joint.offset[2];
    } else if (word == "CHANNELS") {
      Bvh_Joint& joint = bvh.joints[std::size_t(open.back())];
      std::size_t count = 0;
      in >> count;
      joint.channels.resize(count);
      joint.first_value = values;
      for (std::string& channel : joint.channels) in >> channel;
      values += count;
    }
  }
  std::size_t frames = 0;
  in >> word >> frames >> word >> word >> bvh.frame_time;  // Frames: N Frame Time: T
  bvh.frames.assign(frames, std::vector<double>(values));
  for (auto& frame : bvh.frames)
    for (double& value : frame) in >> value;
  return bvh;
}

using Mat3 = std::array<std::array<double, 3>, 3>;
using Vec3 = std::array<double, 3>;

Mat3 Mul(const Mat3& a, const Mat3& b) {
  Mat3 out{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) out[i][j] += a[i][k] * b[k][j];
  return out;
}

Mat3 Axis_Rotation(char axis, double degrees) {
  const double c = std::cos(degrees * M_PI / 180), s = std::sin(degrees * M_PI / 180);
  if (axis == 'X') return Mat3{{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
  if (axis == 'Y') return Mat3{{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
  return Mat3{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

// World positions of every joint and End Site at one frame: translation
// OFFSET plus any position channels, rotations applied in channel order.
std::vector<Vec3> Bvh_World_Positions(const Bvh& bvh, std::size_t frame) {
  std::vector<Mat3> rotations(bvh.joints.size());
  std::vector<Vec3> positions(bvh.joints.size());
  for (std::size_t j = 0; j < bvh.joints.size(); ++j) {
    const Bvh_Joint& joint = bvh.joints[j];
    Vec3 translation{joint.offset[0], joint.offset[1], joint.offset[2]};
    Mat3 rotation{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    for (std::size_t c = 0; c < joint.channels.size(); ++c) {
      const double value = bvh.frames[frame][joint.first_value + c];
      const std::string& channel = joint.channels[c];
      const int axis = channel[0] - 'X';
      if (channel.find("position") != std::string::npos) translation[std::size_t(axis)] += value;
      if (channel.find("rotation") != std::string::npos) rotation = Mul(rotation, Axis_Rotation(channel[0], value));
    }
    if (joint.parent < 0) {
      rotations[j] = rotation, positions[j] = translation;
      continue;
    }
    const Mat3& parent = rotations[std::size_t(joint.parent)];
    rotations[j] = Mul(parent, rotation);
    for (int i = 0; i < 3; ++i)
      positions[j][std::size_t(i)] =
          positions[std::size_t(joint.parent)][std::size_t(i)] + parent[std::size_t(i)][0] * translation[0] +
          parent[std::size_t(i)][1] * translation[1] + parent[std::size_t(i)][2] * translation[2];
  }
  return positions;
}

void Expect_Same_World_Positions_As_Bvh(const std::string& file) {
  const Bvh bvh = Read_Bvh(file);
  ASSERT_FALSE(bvh.frames.empty());
  Loaded converted(Import_Scene(file, {}).animation);
  const Hierarchy& h = converted.hierarchy;

  double low = 1e300, high = -1e300;
  for (const Vec3& p : Bvh_World_Positions(bvh, 0)) low = std::min(low, p[1]), high = std::max(high, p[1]);
  const double tolerance = 1e-4 * (high - low);

  std::vector<unsigned int> bones;
  for (const Bvh_Joint& joint : bvh.joints) {
    bones.push_back(h.Bone_Index(joint.name.c_str()));
    ASSERT_NE(bones.back(), INVALID_INDEX) << joint.name;
    ASSERT_FALSE(h.Is_Leaf(bones.back())) << joint.name << " must be sampled";
  }
  Frame frame(h, false);
  double worst = 0;
  for (std::size_t f = 0; f < bvh.frames.size(); ++f) {
    converted.sequence.Get_Frame_Time(frame, float(double(f) * bvh.frame_time));
    const std::vector<Vec3> expected = Bvh_World_Positions(bvh, f);
    for (std::size_t j = 0; j < bones.size(); ++j) {
      const Vector_3<float>& p = frame.Offset(bones[j]);
      worst = std::max(
          {worst, std::fabs(p.x - expected[j][0]), std::fabs(p.y - expected[j][1]), std::fabs(p.z - expected[j][2])});
    }
  }
  EXPECT_LE(worst, tolerance) << file << ": skeleton height " << high - low;
}

// --- Comparing sequences --------------------------------------------------

// Every sampled bone of `original` is in `copy` under the same name and
// parent with the same keys within `tolerance` (quaternion sign ignored).
void Expect_Same_Keys(const Sequence& original, const Sequence& copy, float tolerance) {
  const Hierarchy &a = original.Get_Hierarchy(), &b = copy.Get_Hierarchy();
  for (unsigned int bone = 0; bone < a.Bone_Count(); ++bone) {
    if (a.Is_Leaf(bone)) continue;
    const unsigned int other = b.Bone_Index(a.Bone_Name(bone));
    ASSERT_NE(other, INVALID_INDEX) << a.Bone_Name(bone);
    if (a.Parent_Index(bone) != INVALID_INDEX) {
      EXPECT_STREQ(b.Bone_Name(b.Parent_Index(other)), a.Bone_Name(a.Parent_Index(bone)));
    }
    ASSERT_EQ(copy.Key_Count(other), original.Key_Count(bone)) << a.Bone_Name(bone);
    for (unsigned int k = 0; k < original.Key_Count(bone); ++k) {
      EXPECT_NEAR(copy.Key_Times(other)[k], original.Key_Times(bone)[k], tolerance);
      const Quaternion &p = original.Key_Rotations(bone)[k], &q = copy.Key_Rotations(other)[k];
      const float sign = p.w * q.w + p.v.x * q.v.x + p.v.y * q.v.y + p.v.z * q.v.z < 0 ? -1.0f : 1.0f;
      const float rotation_error = std::max({std::fabs(p.w - sign * q.w), std::fabs(p.v.x - sign * q.v.x),
                                             std::fabs(p.v.y - sign * q.v.y), std::fabs(p.v.z - sign * q.v.z)});
      EXPECT_LE(rotation_error, tolerance) << a.Bone_Name(bone) << " key " << k;
      const Vector_3<float>&s = original.Key_Offsets(bone)[k], &t = copy.Key_Offsets(other)[k];
      const float scale = std::max(1.0f, std::max({std::fabs(s.x), std::fabs(s.y), std::fabs(s.z)}));
      EXPECT_LE(std::max({std::fabs(s.x - t.x), std::fabs(s.y - t.y), std::fabs(s.z - t.z)}), tolerance * scale)
          << a.Bone_Name(bone) << " key " << k;
    }
  }
}

std::string Validate_Gltf(const std::string& path) {
  const std::string script = GLTF_VALIDATOR;
  if (!std::ifstream(script.substr(0, script.rfind('/')) + "/node_modules/gltf-validator/package.json").good())
    return "skip";
  const Temp_File report("", ".txt");
  const std::string command = "node " + script + " " + path + " >" + report.path() + " 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(report.path());
  std::ostringstream text;
  text << in.rdbuf();
  return (status == 0 ? "" : "FAILED\n") + text.str();
}

// Without the validator installed the other checks of a test still run.
#define EXPECT_VALID_GLTF(path)                                                                    \
  do {                                                                                             \
    const std::string report = Validate_Gltf(path);                                                \
    if (report == "skip") {                                                                        \
      std::printf(                                                                                 \
          "note: gltf-validator is not installed (scripts/install-deps.sh tools installs it); %s " \
          "not validated\n",                                                                       \
          std::string(path).c_str());                                                              \
      break;                                                                                       \
    }                                                                                              \
    EXPECT_EQ(report.find("FAILED"), std::string::npos) << report;                                 \
    EXPECT_NE(report.find(" 0 errors"), std::string::npos) << report;                              \
  } while (0)

// --- A small animated glTF scene built here -------------------------------

struct Scene_Builder {
  tinygltf::Model model;
  Scene_Builder() { model.buffers.emplace_back(); }

  int Floats(const std::vector<float>& values, int type, std::size_t components) {
    std::vector<unsigned char>& data = model.buffers[0].data;
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteOffset = data.size();
    view.byteLength = values.size() * 4;
    data.resize(data.size() + view.byteLength);
    std::memcpy(data.data() + view.byteOffset, values.data(), view.byteLength);
    model.bufferViews.push_back(view);
    tinygltf::Accessor accessor;
    accessor.bufferView = int(model.bufferViews.size() - 1);
    accessor.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
    accessor.type = type;
    accessor.count = values.size() / components;
    if (type == TINYGLTF_TYPE_SCALAR) {
      accessor.minValues = {values.front()};
      accessor.maxValues = {values.back()};
    }
    model.accessors.push_back(accessor);
    return int(model.accessors.size() - 1);
  }

  void Channel(tinygltf::Animation& animation, int node, const char* path, const std::vector<float>& times,
               const std::vector<float>& values, int type, std::size_t components) {
    tinygltf::AnimationSampler sampler;
    sampler.input = Floats(times, TINYGLTF_TYPE_SCALAR, 1);
    sampler.output = Floats(values, type, components);
    animation.samplers.push_back(sampler);
    tinygltf::AnimationChannel channel;
    channel.sampler = int(animation.samplers.size() - 1);
    channel.target_node = node;
    channel.target_path = path;
    animation.channels.push_back(channel);
  }

  std::string Write(const std::string& path) {
    std::ofstream out(path);
    tinygltf::TinyGLTF().WriteGltfSceneToStream(&model, out, true, false);
    return path;
  }
};

// Root turns about z (keys at 0, 1, 2 s) and moves along x (keys at 0, 0.5,
// 2 s); Arm, one unit up, only scales.
std::string Two_Bone_Scene(const std::string& path, bool animated) {
  Scene_Builder scene;
  tinygltf::Node root, arm;
  root.name = "Root";
  root.children = {1};
  arm.name = "Arm";
  arm.translation = {0, 1, 0};
  scene.model.nodes = {root, arm};
  tinygltf::Scene top;
  top.nodes = {0};
  scene.model.scenes.push_back(top);
  if (animated) {
    tinygltf::Animation animation;
    animation.name = "turn";
    const float h = float(std::sqrt(0.5));
    scene.Channel(animation, 0, "rotation", {0, 1, 2}, {0, 0, 0, 1, 0, 0, h, h, 0, 0, 1, 0}, TINYGLTF_TYPE_VEC4, 4);
    scene.Channel(animation, 0, "translation", {0, 0.5f, 2}, {0, 0, 0, 1, 0, 0, 4, 0, 0}, TINYGLTF_TYPE_VEC3, 3);
    scene.Channel(animation, 1, "scale", {0, 2}, {1, 1, 1, 1.5f, 1, 1}, TINYGLTF_TYPE_VEC3, 3);
    scene.model.animations.push_back(animation);
  }
  scene.model.asset.version = "2.0";
  return scene.Write(path);
}

std::string Temp_Path(const std::string& name) {
  return ::testing::TempDir() + "bone_import_interchange_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

TEST(Convert, ChannelsWithDifferentKeyTimesMergeOntoOneTimeLine) {
  const std::string path = Two_Bone_Scene(Temp_Path("two_bones.gltf"), true);
  const Imported_Scene scene = Import_Scene(path, {});
  std::remove(path.c_str());
  const Animation_Data& a = scene.animation;
  ASSERT_EQ(a.bones.size(), 3u);
  EXPECT_EQ(a.length, 2.0f);
  EXPECT_EQ(scene.source_bones, 2u);
  EXPECT_EQ(scene.synthetic_leaves, 1u);

  const Bone_Data& root = a.bones[0];
  EXPECT_TRUE(root.root);
  std::vector<float> times;
  for (const Key_Data& key : root.keys) times.push_back(key.time);
  EXPECT_EQ(times, (std::vector<float>{0, 0.5f, 1, 2}));
  // At 0.5 s the rotation is halfway to its second key (45 degrees about z),
  // at 1 s the translation is a third of the way from 1 to 4.
  EXPECT_NEAR(root.keys[1].rotation.w, std::cos(M_PI / 8), 1e-6);
  EXPECT_NEAR(root.keys[1].rotation.v.z, std::sin(M_PI / 8), 1e-6);
  EXPECT_NEAR(root.keys[2].offset.x, 2.0f, 1e-6);

  // A bone without position keys keeps its rest translation; scale is dropped
  // with one warning that names the largest deviation.
  const Bone_Data& arm = a.bones[1];
  EXPECT_EQ(arm.parent, "Root");
  for (const Key_Data& key : arm.keys) EXPECT_EQ(key.offset.y, 1.0f);
  ASSERT_EQ(scene.warnings.size(), 1u);
  EXPECT_NE(scene.warnings[0].find("changes over time"), std::string::npos) << scene.warnings[0];
  EXPECT_NE(scene.warnings[0].find("largest deviation: 0.5"), std::string::npos) << scene.warnings[0];

  const Bone_Data& leaf = a.bones[2];
  EXPECT_EQ(leaf.name, "Arm_end");
  EXPECT_EQ(leaf.parent, "Arm");
  ASSERT_EQ(leaf.keys.size(), 2u);
  EXPECT_EQ(leaf.keys[1].time, 2.0f);
  EXPECT_EQ(leaf.keys[1].rotation.w, 1.0f);
}

TEST(Convert, FixedRateAndAnimationChoiceAndRefusals) {
  const std::string path = Two_Bone_Scene(Temp_Path("rate.gltf"), true);
  Scene_Import_Options options;
  options.fps = 4;
  options.animation = "turn";
  const Imported_Scene scene = Import_Scene(path, options);
  EXPECT_EQ(scene.animation.bones[0].keys.size(), 9u);
  EXPECT_EQ(scene.animation.bones[0].keys[1].time, 0.25f);
  options.animation = "0";
  EXPECT_EQ(Import_Scene(path, options).animation_name, "turn");

  auto message_of = [](const std::string& file, const Scene_Import_Options& o) {
    try {
      Import_Scene(file, o);
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  options.animation = "walk";
  EXPECT_NE(message_of(path, options).find("no animation \"walk\"; the file has 0 \"turn\""), std::string::npos);
  options.animation = "1";
  EXPECT_NE(message_of(path, options).find("no animation \"1\""), std::string::npos);
  options.animation.clear();
  options.skins = true;
  EXPECT_NE(message_of(path, options).find("no skinned mesh"), std::string::npos);
  std::remove(path.c_str());

  const std::string still = Two_Bone_Scene(Temp_Path("still.gltf"), false);
  EXPECT_NE(message_of(still, {}).find("the file has no animation"), std::string::npos);
  std::remove(still.c_str());
  EXPECT_NE(message_of(SAMPLES + "/humanoid_walk.bone", {}).find("cannot read"), std::string::npos);
}

TEST(ConvertRealData, BvhJointsMatchAnIndependentEvaluationAtEveryFrame) {
  REQUIRE_MODELS();
  Expect_Same_World_Positions_As_Bvh(MODELS + "/BVH/01_01.bvh");
  Expect_Same_World_Positions_As_Bvh(MODELS + "/BVH/Boxing_Toes.bvh");
}

// Each source vertex's weights, summed, read straight from the scene.
std::map<unsigned int, double> Source_Weight_Sums(const aiMesh& mesh) {
  std::map<unsigned int, double> sums;
  for (unsigned int b = 0; b < mesh.mNumBones; ++b)
    for (unsigned int w = 0; w < mesh.mBones[b]->mNumWeights; ++w)
      sums[mesh.mBones[b]->mWeights[w].mVertexId] += mesh.mBones[b]->mWeights[w].mWeight;
  return sums;
}

TEST(ConvertRealData, SkinsKeepEveryInfluenceAndItsWeight) {
  REQUIRE_MODELS();
  // anim_test.x binds two bones that its node tree lacks.
  for (const char* model :
       {"/glTF2/simple_skin/simple_skin.gltf", "/FBX/animation_with_skeleton.fbx", "/X/anim_test.x"}) {
    Scene_Import_Options options;
    options.skins = true;
    const Imported_Scene scene = Import_Scene(MODELS + model, options);
    Assimp::Importer importer;
    const aiScene* source = importer.ReadFile(MODELS + model, 0);
    ASSERT_TRUE(source);
    std::vector<const aiMesh*> skinned;
    for (unsigned int m = 0; m < source->mNumMeshes; ++m)
      if (source->mMeshes[m]->mNumBones) skinned.push_back(source->mMeshes[m]);
    ASSERT_EQ(scene.skins.skins.size(), skinned.size()) << model;
    EXPECT_EQ(scene.skins.bones.size(), scene.animation.bones.size());

    for (std::size_t s = 0; s < skinned.size(); ++s) {
      std::map<unsigned int, double> sums;
      for (const Skin_File::Vertex& v : scene.skins.skins[s].vertices) {
        ASSERT_LT(v.bone, scene.skins.bones.size());
        sums[v.vertex_index] += v.weight;
      }
      const std::map<unsigned int, double> expected = Source_Weight_Sums(*skinned[s]);
      ASSERT_EQ(sums.size(), expected.size());
      for (const auto& sum : expected) {
        EXPECT_NEAR(sums[sum.first], sum.second, 1e-5) << model << " vertex " << sum.first;
        // Where the source's weights sum to 1, so do the converted ones.
        if (std::fabs(sum.second - 1.0) < 1e-6) {
          EXPECT_NEAR(sums[sum.first], 1.0, 1e-5);
        }
      }
    }
    // The written files pass the host's importers.
    Loaded loaded(scene.animation);
    Temp_File skin_file(Encode_Skin_File(scene.skins));
    Skin_File skins(skin_file.path());
    Skin skin;
    skin.Import(skins, scene.skins.skins[0].name.c_str(), loaded.hierarchy);
  }
}

TEST(Export, SampleWithSkinPassesTheValidatorAndKeepsEveryInfluence) {
  const Opened walk(SAMPLES + "/humanoid_walk.bone");
  // A vertex bound to six bones needs a second JOINTS/WEIGHTS set.
  std::vector<std::string> table;
  std::vector<Skin_File::Vertex> records;
  for (unsigned int b = 0; b < 6; ++b) {
    table.push_back(walk.hierarchy.Bone_Name(b));
    records.push_back(Skin_File::Vertex{b, 0.1f, 0.2f, 0.3f, 1.0f / 6, 7});
  }
  records.push_back(Skin_File::Vertex{0, 0, 0, 0, 1.0f, 9});
  const Temp_File file(test_support::Skin_File_Data().Bones(table).Skin("six", records).Data(), ".skin");
  Skin_File skins(file.path());
  const Export_Skin skin = Load_Export_Skin(skins, "six", walk.hierarchy);
  const std::string glb = Temp_Path("six.glb");
  Write_Gltf(glb, walk.sequence, {&skin});
  EXPECT_VALID_GLTF(glb);

  tinygltf::Model model;
  std::string error, warning;
  ASSERT_TRUE(tinygltf::TinyGLTF().LoadBinaryFromFile(&model, &error, &warning, glb)) << error;
  std::remove(glb.c_str());
  EXPECT_EQ(model.nodes.size(), walk.hierarchy.Bone_Count() + 1);
  ASSERT_EQ(model.meshes.size(), 1u);
  const tinygltf::Primitive& points = model.meshes[0].primitives[0];
  EXPECT_EQ(points.mode, TINYGLTF_MODE_POINTS);
  EXPECT_EQ(model.accessors[std::size_t(points.attributes.at("POSITION"))].count, 2u);
  EXPECT_TRUE(points.attributes.count("JOINTS_1") && points.attributes.count("WEIGHTS_1"));
  EXPECT_FALSE(points.attributes.count("JOINTS_2"));
}

TEST(RoundTrip, ExportThenConvertReproducesTheKeys) {
  const Opened walk(SAMPLES + "/humanoid_walk.bone");
  const Sequence& original = walk.sequence;
  Skin_File skins((SAMPLES + "/humanoid.skin").c_str());
  const Export_Skin skin = Load_Export_Skin(skins, skins.Skin_Name(0), walk.hierarchy);
  for (const char* name : {"walk.glb", "walk.gltf"}) {
    const std::string out = Temp_Path(name);
    Write_Gltf(out, original, {&skin});
    EXPECT_VALID_GLTF(out);
    Scene_Import_Options with_skin;
    with_skin.skins = true;
    const Imported_Scene scene = Import_Scene(out, with_skin);
    Loaded back(scene.animation);
    std::remove(out.c_str());
    Expect_Same_Keys(original, back.sequence, 1e-5f);
    // Leaf joints carry weight 0 in glTF; such influences do not come back.
    std::vector<Skin_File::Vertex> records;
    skins.Get_Skin(records, skins.Skin_Name(0));
    EXPECT_EQ(scene.skins.skins.at(0).vertices.size(), records.size());
  }
}

TEST(ConvertRealData, ScaleAndUpAxisReshapeTheRig) {
  REQUIRE_MODELS();
  Scene_Import_Options turned;
  turned.scale = 0.5;
  turned.z_up = true;  // z becomes y: (x, y, z) -> (x, z, -y)
  Loaded a(Import_Scene(MODELS + "/BVH/01_01.bvh", {}).animation);
  Loaded b(Import_Scene(MODELS + "/BVH/01_01.bvh", turned).animation);
  Frame fa(a.hierarchy, false), fb(b.hierarchy, false);
  for (float time : {0.0f, 7.3f}) {
    a.sequence.Get_Frame_Time(fa, time);
    b.sequence.Get_Frame_Time(fb, time);
    for (unsigned int bone = 0; bone < a.hierarchy.Bone_Count(); ++bone) {
      const Vector_3<float>&p = fa.Offset(bone), &q = fb.Offset(bone);
      EXPECT_NEAR(q.x, 0.5f * p.x, 1e-3f) << a.hierarchy.Bone_Name(bone);
      EXPECT_NEAR(q.y, 0.5f * p.z, 1e-3f) << a.hierarchy.Bone_Name(bone);
      EXPECT_NEAR(q.z, -0.5f * p.y, 1e-3f) << a.hierarchy.Bone_Name(bone);
    }
  }
}

TEST(ConvertRealData, EveryClipTheRestPoseAndOnlyRealSkins) {
  REQUIRE_MODELS();
  // Every clip from one read, one file each, named after the clip.
  Convert_Options every;
  every.import.animation = "all";
  const Converted_Source clips = Convert_Source(MODELS + "/X/Testwuson.X", every);
  EXPECT_EQ(
      Output_Names("out/wuson.bone", clips),
      (std::vector<std::string>{"out/wuson_Wuson_Run.bone", "out/wuson_Wuson_Walk.bone", "out/wuson_Wuson_Bind.bone"}));
  for (const Converted_Clip& clip : clips.clips) {
    const Temp_File file(clip.bytes, ".bone");
    EXPECT_GT(Opened(file.path()).hierarchy.Bone_Count(), 30u) << clip.name;
  }
  // A rig without a clip, in its rest pose: two equal keys at 0 and 1.
  Scene_Import_Options rest;
  rest.rest_pose = true;
  rest.skins = true;
  const Imported_Scene cube = Import_Scene(MODELS + "/MD5/SimpleCube.md5mesh", rest);
  ASSERT_FALSE(cube.skins.skins.empty());
  for (const Bone_Data& bone : cube.animation.bones) {
    ASSERT_EQ(bone.keys.size(), 2u) << bone.name;
    EXPECT_EQ(bone.keys[0].time, 0.0f);
    EXPECT_EQ(bone.keys[1].time, 1.0f);
    EXPECT_EQ(std::memcmp(&bone.keys[0].offset, &bone.keys[1].offset, sizeof(Vector_3<float>)), 0);
    EXPECT_EQ(std::memcmp(&bone.keys[0].rotation, &bone.keys[1].rotation, sizeof(Quaternion)), 0);
  }
  // BVH holds no mesh: the one Assimp makes to draw the bones is no skin.
  Scene_Import_Options skins;
  skins.skins = true;
  try {
    Import_Scene(MODELS + "/BVH/01_01.bvh", skins);
    ADD_FAILURE() << "a BVH file gave a skin";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("holds no skinned mesh"), std::string::npos) << error.what();
  }
}

TEST(Convert, BatchesMirrorTheirFoldersAndNeverWriteTwoInputsToOneName) {
  const std::string in = Temp_Path("batch_in"), out = "out";
  std::system(("rm -rf " + in + " && mkdir -p " + in + "/sub " + in + "/empty " + in + "/a " + in + "/b").c_str());
  for (const char* file : {"/sub/walk.bvh", "/sub/x.bvh", "/sub/x.fbx", "/a/x.bvh", "/b/x.bvh", "/b/x_2.bvh"})
    std::ofstream(in + file) << "any";
  std::ofstream(in + "/sub/notes.txt") << "not a scene";
  struct Case {
    std::vector<std::string> paths;
    std::vector<std::string> expected;  // "INPUT -> OUTPUT" or "INPUT: FAILURE"
  };
  const std::vector<Case> cases = {
      // A folder is mirrored; its text file is no format Assimp reads; x.bvh
      // and x.fbx each keep their extension.
      {{in + "/sub"},
       {in + "/sub/walk.bvh -> out/sub/walk.bone", in + "/sub/x.bvh -> out/sub/x_bvh.bone",
        in + "/sub/x.fbx -> out/sub/x_fbx.bone"}},
      {{in + "/sub/", in + "/sub/walk.bvh"},
       {in + "/sub/walk.bvh -> out/sub/walk.bone", in + "/sub/x.bvh -> out/sub/x_bvh.bone",
        in + "/sub/x.fbx -> out/sub/x_fbx.bone", in + "/sub/walk.bvh -> out/walk.bone"}},
      // Files named that still clash are refused; folders named keep them apart.
      {{in + "/a/x.bvh", in + "/b/x.bvh", in + "/b/x_2.bvh"},
       {in + "/a/x.bvh: cannot write", in + "/b/x.bvh: cannot write", in + "/b/x_2.bvh -> out/x_2.bone"}},
      {{in + "/a", in + "/b"},
       {in + "/a/x.bvh -> out/a/x.bone", in + "/b/x.bvh -> out/b/x.bone", in + "/b/x_2.bvh -> out/b/x_2.bone"}},
      {{in + "/empty", in + "/missing.bvh"}, {in + "/empty: skipped", in + "/missing.bvh: cannot read"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> planned;
    for (const Batch_Input& input : Plan_Batch(c.paths, out))
      planned.push_back(input.failure.empty() ? input.path + " -> " + input.output : input.path + ": " + input.failure);
    EXPECT_EQ(planned, c.expected);
  }
  std::system(("rm -rf " + in).c_str());
}

TEST(Export, RefusesWhatGltfCannotHold) {
  const std::string file = test_support::Bone_File()
                               .Length(1)
                               .Root("Root", {{0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0}})
                               .Bone("Tip", "Root", test_support::Keys_At({0, 1}))
                               .Data();
  const Temp_File bone(file);
  const Opened opened(bone.path());
  try {
    Encode_Gltf(opened.sequence, {}, true);
    ADD_FAILURE() << "expected a refusal";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("key times of bone Root"), std::string::npos) << error.what();
  }
}
