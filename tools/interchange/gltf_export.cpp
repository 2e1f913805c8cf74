#include "gltf_export.h"

#include <tiny_gltf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

#include "files/output_files.h"
#include "writers/animation_data.h"
#include "writers/bone_poses.h"

namespace Vantorix {
namespace Bone_Tools {

namespace {

using Bone_Import::Frame;
using Bone_Import::Hierarchy;
using Bone_Import::INVALID_INDEX;
using Bone_Import::Sequence;

// Rigid transforms in double so that inverse bind matrices are exact to float.
struct Rigid {
  std::array<std::array<double, 3>, 3> r{};
  std::array<double, 3> t{};

  static Rigid From(const Quaternion& q, const Vector_3<float>& offset) {
    const double n =
        std::sqrt(double(q.w) * q.w + double(q.v.x) * q.v.x + double(q.v.y) * q.v.y + double(q.v.z) * q.v.z);
    const double w = q.w / n, x = q.v.x / n, y = q.v.y / n, z = q.v.z / n;
    Rigid m;
    m.r = {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
            {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
            {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
    m.t = {offset.x, offset.y, offset.z};
    return m;
  }
  std::array<double, 3> Apply(const std::array<double, 3>& p) const {
    std::array<double, 3> out{};
    for (int i = 0; i < 3; ++i) out[i] = r[i][0] * p[0] + r[i][1] * p[1] + r[i][2] * p[2] + t[i];
    return out;
  }
  Rigid Then(const Rigid& local) const {  // this * local
    Rigid out;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        out.r[i][j] = r[i][0] * local.r[0][j] + r[i][1] * local.r[1][j] + r[i][2] * local.r[2][j];
    out.t = Apply(local.t);
    return out;
  }
  // Column-major 4x4 of the inverse, as glTF stores matrices.
  std::array<float, 16> Inverse_Column_Major() const {
    std::array<float, 16> m{};
    for (int col = 0; col < 3; ++col)
      for (int row = 0; row < 3; ++row) m[col * 4 + row] = float(r[col][row]);
    for (int row = 0; row < 3; ++row) m[12 + row] = float(-(r[0][row] * t[0] + r[1][row] * t[1] + r[2][row] * t[2]));
    m[15] = 1.0f;
    return m;
  }
};

// Appends typed arrays to the one buffer, each in its own 4-byte aligned view.
class Buffer_Builder {
 public:
  explicit Buffer_Builder(tinygltf::Model& model) : model_(model) { model_.buffers.emplace_back(); }

  template <typename T>
  int Add(const std::vector<T>& values, int component_type, int type, std::size_t components, int target = 0) {
    std::vector<unsigned char>& data = model_.buffers[0].data;
    while (data.size() % 4) data.push_back(0);
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteOffset = data.size();
    view.byteLength = values.size() * sizeof(T);
    if (target) view.target = target;
    data.resize(data.size() + view.byteLength);
    if (!values.empty()) std::memcpy(data.data() + view.byteOffset, values.data(), view.byteLength);
    model_.bufferViews.push_back(view);

    tinygltf::Accessor accessor;
    accessor.bufferView = int(model_.bufferViews.size() - 1);
    accessor.componentType = component_type;
    accessor.type = type;
    accessor.count = values.size() / components;
    model_.accessors.push_back(accessor);
    return int(model_.accessors.size() - 1);
  }

  // Float data with the per-component bounds that POSITION and animation
  // inputs must carry.
  int Add_Bounded(const std::vector<float>& values, int type, std::size_t components, int target = 0) {
    const int index = Add(values, TINYGLTF_COMPONENT_TYPE_FLOAT, type, components, target);
    tinygltf::Accessor& accessor = model_.accessors[std::size_t(index)];
    accessor.minValues.assign(components, 0.0);
    accessor.maxValues.assign(components, 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::size_t c = i % components;
      accessor.minValues[c] = i < components ? values[i] : std::min(accessor.minValues[c], double(values[i]));
      accessor.maxValues[c] = i < components ? values[i] : std::max(accessor.maxValues[c], double(values[i]));
    }
    return index;
  }

 private:
  tinygltf::Model& model_;
};

bool Finite(const Quaternion& q) {
  return std::isfinite(q.w) && std::isfinite(q.v.x) && std::isfinite(q.v.y) && std::isfinite(q.v.z);
}
bool Finite(const Vector_3<float>& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

class Gltf_Builder {
 public:
  Gltf_Builder(const Sequence& sequence, const std::vector<const Export_Skin*>& skins)
      : sequence_(sequence), hierarchy_(sequence.Get_Hierarchy()), skins_(skins), buffers_(model_) {}

  tinygltf::Model Build() {
    if (sequence_.Is_Empty()) throw std::runtime_error("the sequence is empty");
    Check_Keys();
    Add_Nodes();
    Compute_World();
    const int skin_index = Add_Skin();
    Add_Animation();
    if (!skins_.empty()) Add_Mesh(skin_index);
    model_.asset.version = "2.0";
    model_.asset.generator = "bonetool";
    return std::move(model_);
  }

 private:
  void Check_Keys() const {
    for (unsigned int b = 0; b < hierarchy_.Bone_Count(); ++b) {
      const std::string name = hierarchy_.Bone_Name(b);
      if (sequence_.Key_Count(b) == 0) throw std::runtime_error("bone " + name + " has no keys");
      const float* times = sequence_.Key_Times(b);
      for (unsigned int k = 0; k < sequence_.Key_Count(b); ++k) {
        if (!std::isfinite(times[k]) || !Finite(sequence_.Key_Rotations(b)[k]) || !Finite(sequence_.Key_Offsets(b)[k]))
          throw std::runtime_error("bone " + name + " key " + std::to_string(k) + " holds a value that is not finite");
        if (times[k] < 0 || (k > 0 && !(times[k] > times[k - 1])))
          throw std::runtime_error("key times of bone " + name +
                                   " are negative or do not increase strictly; glTF cannot hold them "
                                   "(bonetool validate lists them)");
      }
    }
  }

  void Add_Nodes() {
    Frame frame(hierarchy_, false);
    sequence_.Get_Frame_Time(frame, 0.0f);
    const unsigned int count = hierarchy_.Bone_Count();
    local_.resize(count);
    for (unsigned int b = 0; b < count; ++b) {
      // Sampling never poses a leaf; its first key places it (bone_poses.h).
      Quaternion rotation;
      Vector_3<float> offset;
      Placed_Local_Pose(sequence_, frame, b, rotation, offset);
      local_[b] = Rigid::From(rotation, offset);
      tinygltf::Node node;
      node.name = hierarchy_.Bone_Name(b);
      const Quaternion q = Normalised(rotation);
      node.rotation = {q.v.x, q.v.y, q.v.z, q.w};
      node.translation = {offset.x, offset.y, offset.z};
      model_.nodes.push_back(node);
    }
    tinygltf::Scene scene;
    for (unsigned int b = 0; b < count; ++b) {
      const unsigned int parent = hierarchy_.Parent_Index(b);
      if (parent == INVALID_INDEX || parent >= count || parent == b)
        scene.nodes.push_back(int(b));
      else
        model_.nodes[parent].children.push_back(int(b));
    }
    model_.scenes.push_back(scene);
    model_.defaultScene = 0;
  }

  static Quaternion Normalised(const Quaternion& q) {
    const double n =
        std::sqrt(double(q.w) * q.w + double(q.v.x) * q.v.x + double(q.v.y) * q.v.y + double(q.v.z) * q.v.z);
    if (!(n > 0)) return Quaternion::Identity();
    return Quaternion(float(q.w / n), float(q.v.x / n), float(q.v.y / n), float(q.v.z / n));
  }

  // World transforms of the pose at time 0; refuses parent loops, which no
  // glTF node tree can express.
  void Compute_World() {
    const unsigned int count = hierarchy_.Bone_Count();
    world_.assign(count, Rigid());
    std::vector<int> state(count, 0);  // 0 unvisited, 1 on the current chain, 2 done
    for (unsigned int start = 0; start < count; ++start) {
      std::vector<unsigned int> chain;
      unsigned int bone = start;
      while (bone != INVALID_INDEX && bone < count && state[bone] == 0) {
        state[bone] = 1;
        chain.push_back(bone);
        const unsigned int parent = hierarchy_.Parent_Index(bone);
        bone = parent == bone ? INVALID_INDEX : parent;
      }
      if (bone != INVALID_INDEX && bone < count && state[bone] == 1)
        throw std::runtime_error(std::string("bone ") + hierarchy_.Bone_Name(bone) +
                                 " is its own ancestor; glTF needs a tree (bonetool validate lists the loop)");
      for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const unsigned int parent = hierarchy_.Parent_Index(*it);
        const bool top = parent == INVALID_INDEX || parent >= count || parent == *it;
        world_[*it] = top ? local_[*it] : world_[parent].Then(local_[*it]);
        state[*it] = 2;
      }
    }
  }

  int Add_Skin() {
    tinygltf::Skin skin;
    skin.name = "skeleton";
    std::vector<float> matrices;
    for (unsigned int b = 0; b < hierarchy_.Bone_Count(); ++b) {
      skin.joints.push_back(int(b));
      const std::array<float, 16> m = world_[b].Inverse_Column_Major();
      matrices.insert(matrices.end(), m.begin(), m.end());
    }
    skin.inverseBindMatrices = buffers_.Add(matrices, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_MAT4, 16);
    model_.skins.push_back(skin);
    return int(model_.skins.size() - 1);
  }

  void Add_Animation() {
    tinygltf::Animation animation;
    animation.name = "animation";
    for (unsigned int b = 0; b < hierarchy_.Bone_Count(); ++b) {
      if (hierarchy_.Is_Leaf(b)) continue;
      const unsigned int keys = sequence_.Key_Count(b);
      std::vector<float> times(sequence_.Key_Times(b), sequence_.Key_Times(b) + keys);
      std::vector<float> rotations, translations;
      Quaternion previous = Quaternion::Identity();
      for (unsigned int k = 0; k < keys; ++k) {
        Quaternion q = Normalised(sequence_.Key_Rotations(b)[k]);
        // Keep neighbouring keys on one hemisphere: the library blends on the
        // shorter arc, and so then does every glTF player.
        if (k > 0 && q.w * previous.w + q.v.x * previous.v.x + q.v.y * previous.v.y + q.v.z * previous.v.z < 0)
          q = Quaternion(-q.w, -q.v.x, -q.v.y, -q.v.z);
        previous = q;
        rotations.insert(rotations.end(), {q.v.x, q.v.y, q.v.z, q.w});
        const Vector_3<float>& offset = sequence_.Key_Offsets(b)[k];
        translations.insert(translations.end(), {offset.x, offset.y, offset.z});
      }
      const int input = buffers_.Add_Bounded(times, TINYGLTF_TYPE_SCALAR, 1);
      Add_Channel(animation, int(b), "rotation", input,
                  buffers_.Add(rotations, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC4, 4));
      Add_Channel(animation, int(b), "translation", input,
                  buffers_.Add(translations, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, 3));
    }
    if (!animation.channels.empty()) model_.animations.push_back(animation);
  }

  static void Add_Channel(tinygltf::Animation& animation, int node, const char* path, int input, int output) {
    tinygltf::AnimationSampler sampler;
    sampler.input = input;
    sampler.output = output;
    sampler.interpolation = "LINEAR";
    animation.samplers.push_back(sampler);
    tinygltf::AnimationChannel channel;
    channel.sampler = int(animation.samplers.size() - 1);
    channel.target_node = node;
    channel.target_path = path;
    animation.channels.push_back(channel);
  }

  void Add_Mesh(int skin_index) {
    // The points where the pose at time 0 places them, and per point its
    // bones with their summed weights, skin after skin.
    Frame frame(hierarchy_, false);
    sequence_.Get_Frame_Time(frame, 0.0f);
    std::vector<Matrix_3x3<float>> bases(hierarchy_.Bone_Count());
    std::vector<Vector_3<float>> offsets(hierarchy_.Bone_Count());
    Placed_Poses(sequence_, frame, bases.data(), offsets.data());
    std::vector<Vector_3<float>> points;
    std::vector<std::map<unsigned int, float>> influences;
    std::string mesh_name;
    for (std::size_t s = 0; s < skins_.size(); ++s) {
      const Export_Skin& export_skin = *skins_[s];
      const Bone_Import::Skin& skin = *export_skin.skin;
      const Bone_Import::Skinned_Mesh& mesh = *export_skin.mesh;
      mesh_name += (s ? ", " : "") + export_skin.name;
      const std::size_t first = points.size();
      points.resize(first + mesh.Point_Count());
      mesh.Deform(bases.data(), offsets.data(), points.data() + first);
      for (std::size_t p = first; p < points.size(); ++p)
        if (!Finite(points[p]))
          throw std::runtime_error("skin " + export_skin.name + " holds a value that is not finite");
      influences.resize(points.size());
      const unsigned int* vertices = mesh.Vertex_Indices();
      for (unsigned int bone = 0; bone < mesh.Bone_Count(); ++bone)
        for (unsigned int k = 0; k < skin.vert_count[bone]; ++k) {
          const std::size_t point =
              first + std::size_t(std::lower_bound(vertices, vertices + mesh.Point_Count(), skin.vert_index[bone][k]) -
                                  vertices);
          influences[point][bone] += mesh.Weight(bone, k);
        }
    }
    std::size_t most = 1;
    for (const auto& point : influences) most = std::max(most, point.size());
    const std::size_t sets = (most + 3) / 4;
    if (hierarchy_.Bone_Count() > 65535) throw std::runtime_error("more than 65535 bones cannot be skinned in glTF");

    std::vector<float> positions;
    std::vector<std::vector<std::uint16_t>> joints(sets);
    std::vector<std::vector<float>> weights(sets);
    for (std::size_t p = 0; p < points.size(); ++p) {
      positions.insert(positions.end(), {points[p].x, points[p].y, points[p].z});
      std::size_t slot = 0;
      for (const auto& influence : influences[p]) {
        joints[slot / 4].push_back(std::uint16_t(influence.first));
        weights[slot / 4].push_back(influence.second);
        ++slot;
      }
      for (; slot < 4 * sets; ++slot) {
        joints[slot / 4].push_back(0);
        weights[slot / 4].push_back(0.0f);
      }
    }

    tinygltf::Primitive primitive;
    primitive.mode = TINYGLTF_MODE_POINTS;
    primitive.attributes["POSITION"] =
        buffers_.Add_Bounded(positions, TINYGLTF_TYPE_VEC3, 3, TINYGLTF_TARGET_ARRAY_BUFFER);
    for (std::size_t s = 0; s < sets; ++s) {
      const std::string n = std::to_string(s);
      primitive.attributes["JOINTS_" + n] = buffers_.Add(joints[s], TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT,
                                                         TINYGLTF_TYPE_VEC4, 4, TINYGLTF_TARGET_ARRAY_BUFFER);
      primitive.attributes["WEIGHTS_" + n] =
          buffers_.Add(weights[s], TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC4, 4, TINYGLTF_TARGET_ARRAY_BUFFER);
    }
    tinygltf::Mesh mesh;
    mesh.name = mesh_name;
    mesh.primitives.push_back(primitive);
    model_.meshes.push_back(mesh);

    tinygltf::Node node;
    node.name = mesh_name;
    node.mesh = int(model_.meshes.size() - 1);
    node.skin = skin_index;
    model_.nodes.push_back(node);
    model_.scenes[0].nodes.push_back(int(model_.nodes.size() - 1));
  }

  const Sequence& sequence_;
  const Hierarchy& hierarchy_;
  const std::vector<const Export_Skin*>& skins_;
  tinygltf::Model model_;
  Buffer_Builder buffers_;
  std::vector<Rigid> local_, world_;
};

}  // namespace

Export_Skin Load_Export_Skin(Bone_Import::Skin_File& skin_file, const std::string& name,
                             const Bone_Import::Hierarchy& hierarchy) {
  Export_Skin skin{name, std::make_unique<Bone_Import::Skin>(), nullptr};
  skin.skin->Import(skin_file, name.c_str(), hierarchy);
  skin.mesh = std::make_unique<Bone_Import::Skinned_Mesh>(*skin.skin);
  return skin;
}

std::string Encode_Gltf(const Bone_Import::Sequence& sequence, const std::vector<const Export_Skin*>& skins,
                        bool binary) {
  const tinygltf::Model model = Gltf_Builder(sequence, skins).Build();
  std::ostringstream out;
  tinygltf::TinyGLTF writer;
  if (!writer.WriteGltfSceneToStream(&model, out, !binary, binary)) throw std::runtime_error("cannot encode glTF");
  return out.str();
}

bool Is_Binary_Gltf(const std::string& path) { return Ends_With_Ignoring_Case(path, ".glb"); }

void Write_Gltf(const std::string& path, const Bone_Import::Sequence& sequence,
                const std::vector<const Export_Skin*>& skins) {
  Write_File_Atomically(path, Encode_Gltf(sequence, skins, Is_Binary_Gltf(path)));
}

}  // namespace Bone_Tools
}  // namespace Vantorix
