#include "scene_import.h"

#include <assimp/config.h>
#include <assimp/importerdesc.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "process/worker_pool.h"

namespace Vantorix {
namespace Bone_Tools {

namespace {

// Assimp leaves ticks per second at 0 when the file does not say.
constexpr double DEFAULT_TICKS_PER_SECOND = 25.0;

std::runtime_error Error(const std::string& path, const std::string& what) {
  return std::runtime_error(path + ": " + what);
}

// The clip to convert; null for the rest pose.
const aiAnimation* Choose_Animation(const aiScene& scene, const std::string& path,
                                    const Scene_Import_Options& options) {
  if (options.rest_pose) return nullptr;
  const std::string& wanted = options.animation;
  if (scene.mNumAnimations == 0)
    throw Error(path, "the file has no animation (--rest-pose converts its rig in the rest pose)");
  if (wanted.empty()) return scene.mAnimations[0];
  for (unsigned int a = 0; a < scene.mNumAnimations; ++a)
    if (wanted == scene.mAnimations[a]->mName.C_Str()) return scene.mAnimations[a];
  if (std::all_of(wanted.begin(), wanted.end(), [](unsigned char c) { return std::isdigit(c); }) &&
      wanted.size() < 10 && std::stoul(wanted) < scene.mNumAnimations)
    return scene.mAnimations[std::stoul(wanted)];
  std::string known;
  for (unsigned int a = 0; a < scene.mNumAnimations; ++a)
    known += (a ? ", " : "") + std::to_string(a) + " \"" + scene.mAnimations[a]->mName.C_Str() + "\"";
  throw Error(path, "no animation \"" + wanted + "\"; the file has " + known);
}

bool Is_Ancestor_Or_Self(const aiNode* ancestor, const aiNode* node) {
  for (; node; node = node->mParent)
    if (node == ancestor) return true;
  return false;
}

const aiNode* Common_Ancestor(const std::vector<const aiNode*>& nodes) {
  for (const aiNode* candidate = nodes.front(); candidate; candidate = candidate->mParent)
    if (std::all_of(nodes.begin(), nodes.end(), [&](const aiNode* n) { return Is_Ancestor_Or_Self(candidate, n); }))
      return candidate;
  return nullptr;
}

// A channel's value at `tick`: linear between neighbouring keys (spherical for
// rotations), held before the first key and after the last.
template <typename Key, typename Value, typename Mix>
Value Sample_Keys(const Key* keys, unsigned int count, double tick, Value fallback, Mix mix) {
  if (count == 0) return fallback;
  const Key* end = keys + count;
  const Key* after = std::upper_bound(keys, end, tick, [](double t, const Key& k) { return t < k.mTime; });
  if (after == keys) return keys[0].mValue;
  if (after == end) return end[-1].mValue;
  const Key& before = after[-1];
  const double span = after->mTime - before.mTime;
  const float f = span > 0 ? float((tick - before.mTime) / span) : 0.0f;
  return mix(before.mValue, after->mValue, f);
}

aiVector3D Lerp(const aiVector3D& a, const aiVector3D& b, float f) { return a + (b - a) * f; }

aiQuaternion Slerp(const aiQuaternion& a, const aiQuaternion& b, float f) {
  aiQuaternion out;
  aiQuaternion::Interpolate(out, a, b, f);
  return out;
}

double Scale_Deviation(const aiVector3D& s) {
  return std::max({std::fabs(s.x - 1.0), std::fabs(s.y - 1.0), std::fabs(s.z - 1.0)});
}

Quaternion To_Quaternion(aiQuaternion q) {
  q.Normalize();
  return Quaternion(q.w, q.x, q.y, q.z);
}

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Names must be unique without regard to case; a repeated or empty source name
// gets a numbered suffix.
class Name_Registry {
 public:
  std::string Claim(std::string wanted, std::vector<std::string>& warnings) {
    const std::string original = wanted;
    if (wanted.empty()) wanted = "bone";
    std::string name = wanted;
    for (int n = 2; used_.count(Lower(name)); ++n) name = wanted + "_" + std::to_string(n);
    if (name != original) warnings.push_back("bone \"" + original + "\" renamed to \"" + name + "\" to be unique");
    used_.insert(Lower(name));
    return name;
  }

 private:
  std::set<std::string> used_;
};

struct Time_Point {
  float seconds;
  double tick;
};

class Scene_Converter {
 public:
  Scene_Converter(const aiScene& scene, const std::string& path, const Scene_Import_Options& options)
      : scene_(scene), path_(path), options_(options), animation_(Choose_Animation(scene, path, options)) {}

  Imported_Scene Run() {
    result_.animation_name = animation_ ? animation_->mName.C_Str() : "rest pose";
    Find_Skeleton();
    Find_Time_Range();
    Build_Bones();
    if (options_.skins) Build_Skins();
    if (scale_loss_ > 1e-4)
      result_.warnings.push_back(
          "scale that is not uniform, or that changes over time, cannot be stored in a bone file; the part that is "
          "was ignored (largest deviation: " +
          std::to_string(scale_loss_) + ")");
    return std::move(result_);
  }

 private:
  void Find_Skeleton() {
    std::vector<const aiNode*> marked;
    for (unsigned int c = 0; animation_ && c < animation_->mNumChannels; ++c) {
      const aiNodeAnim* channel = animation_->mChannels[c];
      const aiNode* node = scene_.mRootNode->FindNode(channel->mNodeName);
      if (!node) continue;  // a channel for a node the scene lacks animates nothing
      channels_[node] = channel;
      marked.push_back(node);
    }
    for (unsigned int m = 0; m < scene_.mNumMeshes; ++m)
      for (unsigned int b = 0; b < scene_.mMeshes[m]->mNumBones; ++b) {
        const aiBone& bone = *scene_.mMeshes[m]->mBones[b];
        if (const aiNode* node = scene_.mRootNode->FindNode(bone.mName))
          marked.push_back(node);
        else if (!detached_.count(bone.mName.C_Str()))
          detached_.emplace(bone.mName.C_Str(),
                            Detached_Bone{Mesh_Node_Transform(m) * aiMatrix4x4(bone.mOffsetMatrix).Inverse()});
      }
    if (marked.empty()) throw Error(path_, "the file has no skeleton: no animated node and no mesh bone");
    root_ = Common_Ancestor(marked);
    for (const aiNode* node : marked)
      for (; node != root_->mParent; node = node->mParent) in_skeleton_.insert(node);
    // End Sites and tip nodes: childless, meshless nodes right below a bone.
    for (const aiNode* node : std::vector<const aiNode*>(in_skeleton_.begin(), in_skeleton_.end()))
      for (unsigned int c = 0; c < node->mNumChildren; ++c) {
        const aiNode* child = node->mChildren[c];
        if (child->mNumChildren == 0 && child->mNumMeshes == 0) in_skeleton_.insert(child);
      }
  }

  void Find_Time_Range() {
    if (!animation_) {  // the rest pose: keys at 0 and 1 s
      ticks_per_second_ = 1.0, first_tick_ = 0.0, last_tick_ = 1.0, length_ = 1.0f;
      return;
    }
    ticks_per_second_ = animation_->mTicksPerSecond > 0 ? animation_->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
    // The clip starts at the earliest key and ends at the later of the last key
    // and the stated duration.
    double first = 0.0, last = animation_->mDuration;
    bool any = false;
    for (const auto& entry : channels_) {
      const aiNodeAnim& ch = *entry.second;
      auto extend = [&](double begin, double end) {
        first = any ? std::min(first, begin) : begin;
        last = std::max(last, end);
        any = true;
      };
      if (ch.mNumPositionKeys) extend(ch.mPositionKeys[0].mTime, ch.mPositionKeys[ch.mNumPositionKeys - 1].mTime);
      if (ch.mNumRotationKeys) extend(ch.mRotationKeys[0].mTime, ch.mRotationKeys[ch.mNumRotationKeys - 1].mTime);
      if (ch.mNumScalingKeys) extend(ch.mScalingKeys[0].mTime, ch.mScalingKeys[ch.mNumScalingKeys - 1].mTime);
    }
    first_tick_ = first;
    if (!(last > first)) last = first + 1.0;  // a single pose becomes a clip one tick long
    last_tick_ = last;
    length_ = Seconds(last_tick_);
    if (!std::isfinite(length_) || !(length_ > 0)) throw Error(path_, "the animation's times are not usable");
    if (double(length_) * options_.fps > 1e7)
      throw Error(path_, "--fps " + std::to_string(options_.fps) + " would give more than 10 million keys per bone");
  }

  float Seconds(double tick) const { return float((tick - first_tick_) / ticks_per_second_); }

  std::vector<Time_Point> Time_Line(const aiNodeAnim* channel) const {
    std::vector<Time_Point> points;
    if (options_.fps > 0) {
      const double step = ticks_per_second_ / options_.fps;
      for (double k = 0; first_tick_ + k * step < last_tick_; ++k)
        points.push_back({Seconds(first_tick_ + k * step), first_tick_ + k * step});
    } else if (channel) {
      auto add = [&](const auto* keys, unsigned int count) {
        for (unsigned int k = 0; k < count; ++k)
          if (keys[k].mTime > first_tick_ && keys[k].mTime < last_tick_)
            points.push_back({Seconds(keys[k].mTime), keys[k].mTime});
      };
      add(channel->mPositionKeys, channel->mNumPositionKeys);
      add(channel->mRotationKeys, channel->mNumRotationKeys);
      add(channel->mScalingKeys, channel->mNumScalingKeys);
    }
    points.push_back({0.0f, first_tick_});
    points.push_back({length_, last_tick_});
    std::sort(points.begin(), points.end(), [](const Time_Point& a, const Time_Point& b) { return a.tick < b.tick; });
    // One key per distinct stored time, strictly increasing, ending at the length.
    std::vector<Time_Point> unique;
    for (const Time_Point& p : points) {
      if (p.seconds > length_ || (!unique.empty() && !(p.seconds > unique.back().seconds))) continue;
      unique.push_back(p);
    }
    if (unique.back().seconds != length_) unique.push_back({length_, last_tick_});
    return unique;
  }

  // The pose of `node` relative to its parent bone at `tick`.
  Key_Data Pose(const aiNode* node, const aiNodeAnim* channel, const Time_Point& when) {
    aiVector3D rest_scale, rest_position;
    aiQuaternion rest_rotation;
    node->mTransformation.Decompose(rest_scale, rest_rotation, rest_position);
    aiVector3D position = rest_position, scale = rest_scale;
    aiQuaternion rotation = rest_rotation;
    if (channel) {
      position = Sample_Keys(channel->mPositionKeys, channel->mNumPositionKeys, when.tick, rest_position, Lerp);
      rotation = Sample_Keys(channel->mRotationKeys, channel->mNumRotationKeys, when.tick, rest_rotation, Slerp);
      scale = Sample_Keys(channel->mScalingKeys, channel->mNumScalingKeys, when.tick, rest_scale, Lerp);
    }
    // A uniform scale is taken in exactly: it multiplies the positions below
    // the node (and its skin positions). What is not uniform, or changes over
    // time, is lost and reported.
    const double uniform = Uniform_Scale(node);
    scale_loss_ = std::max(scale_loss_, Scale_Deviation(scale / float(uniform)));
    position *= float(Scale_Above(node));
    if (node == root_) {  // the root carries the placement of the nodes above it
      rotation = above_root_rotation_ * rotation;
      position = above_root_position_ + above_root_rotation_.Rotate(position);
      if (options_.z_up) {  // z becomes y: a quarter turn about x
        const aiQuaternion up(aiVector3D(1, 0, 0), float(-M_PI / 2));
        rotation = up * rotation;
        position = up.Rotate(position);
      }
    }
    position *= float(options_.scale);
    if (!std::isfinite(position.x) || !std::isfinite(position.y) || !std::isfinite(position.z))
      throw Error(path_, "the offset of node " + std::string(node->mName.C_Str()) + " at " +
                             std::to_string(when.seconds) + " s is not a finite number (scale " +
                             std::to_string(options_.scale) + ")");
    return Key_Data{when.seconds, To_Quaternion(rotation), Vector_3<float>{position.x, position.y, position.z}};
  }

  // A node's own scale at rest, as one number (the mean of its three axes).
  static double Uniform_Scale(const aiNode* node) {
    aiVector3D scale, position;
    aiQuaternion rotation;
    node->mTransformation.Decompose(scale, rotation, position);
    return (double(scale.x) + scale.y + scale.z) / 3.0;
  }

  // The product of the uniform scales above a bone: the nodes above the root
  // bone and every bone between it and this one. Positions of the bone are in
  // that scaled space.
  double Scale_Above(const aiNode* node) const {
    double product = above_root_scale_;
    if (node != root_)
      for (const aiNode* p = node->mParent; p; p = p->mParent) {
        product *= Uniform_Scale(p);
        if (p == root_) break;
      }
    return product;
  }

  void Build_Bones() {
    aiMatrix4x4 above_root;
    for (const aiNode* node = root_->mParent; node; node = node->mParent)
      above_root = node->mTransformation * above_root;
    aiVector3D above_scale;
    above_root.Decompose(above_scale, above_root_rotation_, above_root_position_);
    above_root_scale_ = (double(above_scale.x) + above_scale.y + above_scale.z) / 3.0;
    scale_loss_ = Scale_Deviation(above_scale / float(above_root_scale_));

    result_.animation.length = length_;
    Add_Bones(root_);
    Add_Detached_Bones(above_root * root_->mTransformation);
  }

  // The transform of the node that holds mesh `m` (identity when no node does).
  aiMatrix4x4 Mesh_Node_Transform(unsigned int m) const {
    std::vector<std::pair<const aiNode*, aiMatrix4x4>> pending{{scene_.mRootNode, scene_.mRootNode->mTransformation}};
    while (!pending.empty()) {
      const auto [node, global] = pending.back();
      pending.pop_back();
      for (unsigned int i = 0; i < node->mNumMeshes; ++i)
        if (node->mMeshes[i] == m) return global;
      for (unsigned int c = 0; c < node->mNumChildren; ++c)
        pending.emplace_back(node->mChildren[c], global * node->mChildren[c]->mTransformation);
    }
    return aiMatrix4x4();
  }

  // Bones that a mesh binds to but the node tree lacks (an exporter's fault):
  // kept, so that no influence is lost, as children of the root bone that hold
  // their bind pose (the inverse of their offset matrix, placed like the mesh).
  void Add_Detached_Bones(const aiMatrix4x4& root_global) {
    if (detached_.empty()) return;
    const aiMatrix4x4 to_root = aiMatrix4x4(root_global).Inverse();
    const std::string parent = result_.animation.bones.front().name;
    const double below_root = Scale_Above(root_) * Uniform_Scale(root_);
    std::string names;
    for (auto& entry : detached_) {
      Detached_Bone& detached = entry.second;
      aiVector3D scale, position;
      aiQuaternion rotation;
      (to_root * detached.bind).Decompose(scale, rotation, position);
      position *= float(below_root * options_.scale);
      detached.position_scale = below_root * (double(scale.x) + scale.y + scale.z) / 3.0 * options_.scale;
      Bone_Data bone;
      bone.name = names_.Claim(entry.first, result_.warnings);
      bone.parent = parent;
      for (const Time_Point& when : Time_Line(nullptr))
        bone.keys.push_back(
            Key_Data{when.seconds, To_Quaternion(rotation), Vector_3<float>{position.x, position.y, position.z}});
      detached.index = static_cast<unsigned int>(result_.animation.bones.size());
      names += (names.empty() ? "" : ", ") + bone.name;
      result_.animation.bones.push_back(std::move(bone));
      ++result_.source_bones;
      Add_Leaf(result_.animation.bones.back().name);
    }
    result_.warnings.push_back(std::to_string(detached_.size()) + (detached_.size() == 1 ? " bone" : " bones") +
                               " that meshes bind to but the scene's node tree lacks (" + names +
                               ") were added below the root bone " + parent + ", in their bind pose, unanimated");
  }

  void Add_Leaf(const std::string& parent) {
    Bone_Data leaf;
    leaf.name = names_.Claim(parent + "_end", result_.warnings);
    leaf.parent = parent;
    const Vector_3<float> zero{0.0f, 0.0f, 0.0f};
    leaf.keys = {Key_Data{0.0f, Quaternion::Identity(), zero}, Key_Data{length_, Quaternion::Identity(), zero}};
    result_.animation.bones.push_back(std::move(leaf));
    ++result_.synthetic_leaves;
  }

  // Bones in depth-first order, children in file order, each childless bone
  // followed by its synthetic end leaf. An explicit stack: a deeply nested
  // scene cannot exhaust the call stack here.
  void Add_Bones(const aiNode* root) {
    std::vector<std::pair<const aiNode*, std::string>> pending{{root, std::string()}};
    while (!pending.empty()) {
      const aiNode* node = pending.back().first;
      const std::string parent = std::move(pending.back().second);
      pending.pop_back();
      const auto found = channels_.find(node);
      const aiNodeAnim* channel = found == channels_.end() ? nullptr : found->second;
      Bone_Data bone;
      bone.name = names_.Claim(node->mName.C_Str(), result_.warnings);
      bone.parent = parent;
      bone.root = parent.empty();
      for (const Time_Point& when : Time_Line(channel)) bone.keys.push_back(Pose(node, channel, when));
      bone_index_[node] = static_cast<unsigned int>(result_.animation.bones.size());
      const std::string name = bone.name;
      result_.animation.bones.push_back(std::move(bone));
      ++result_.source_bones;

      const std::size_t child_count = pending.size();
      for (unsigned int c = node->mNumChildren; c-- > 0;)
        if (in_skeleton_.count(node->mChildren[c])) pending.emplace_back(node->mChildren[c], name);
      if (pending.size() == child_count) Add_Leaf(name);
    }
  }

  void Build_Skins() {
    if (Lower(path_).size() >= 4 && Lower(path_).compare(Lower(path_).size() - 4, 4, ".bvh") == 0)
      throw Error(path_, "a BVH file holds no skinned mesh to make a skin of");
    for (const Bone_Data& bone : result_.animation.bones) result_.skins.bones.push_back(bone.name);
    std::set<std::string> used_names;
    for (unsigned int m = 0; m < scene_.mNumMeshes; ++m) {
      const aiMesh& mesh = *scene_.mMeshes[m];
      if (mesh.mNumBones == 0) continue;
      Skin_Data skin;
      skin.name = mesh.mName.length ? mesh.mName.C_Str() : "mesh_" + std::to_string(m);
      for (int n = 2; used_names.count(skin.name); ++n)
        skin.name = std::string(mesh.mName.C_Str()) + "_" + std::to_string(n);
      used_names.insert(skin.name);
      for (unsigned int b = 0; b < mesh.mNumBones; ++b) {
        const aiBone& source = *mesh.mBones[b];
        const aiNode* node = scene_.mRootNode->FindNode(source.mName);
        const auto detached = detached_.find(source.mName.C_Str());
        if (node ? !bone_index_.count(node) : detached == detached_.end()) continue;  // every bound bone is one
        const unsigned int bone = node ? bone_index_[node] : detached->second.index;
        // Skin positions are in the bone's space, scaled like its children.
        const float position_scale =
            float(node ? Scale_Above(node) * Uniform_Scale(node) * options_.scale : detached->second.position_scale);
        for (unsigned int w = 0; w < source.mNumWeights; ++w) {
          const aiVertexWeight& weight = source.mWeights[w];
          if (weight.mVertexId >= mesh.mNumVertices)
            throw Error(path_, "mesh " + skin.name + " binds a missing vertex");
          if (weight.mWeight == 0) continue;  // no influence
          aiVector3D p = source.mOffsetMatrix * mesh.mVertices[weight.mVertexId];
          p *= position_scale;
          skin.vertices.push_back(Skin_File::Vertex{bone, p.x, p.y, p.z, weight.mWeight, weight.mVertexId});
        }
      }
      std::stable_sort(skin.vertices.begin(), skin.vertices.end(), [](const auto& a, const auto& b) {
        return a.vertex_index != b.vertex_index ? a.vertex_index < b.vertex_index : a.bone < b.bone;
      });
      result_.skins.skins.push_back(std::move(skin));
    }
    if (result_.skins.skins.empty()) throw Error(path_, "the file has no skinned mesh to make a skin of");
  }

  const aiScene& scene_;
  const std::string path_;
  const Scene_Import_Options& options_;
  const aiAnimation* animation_;  // null for the rest pose
  Imported_Scene result_;

  std::unordered_map<const aiNode*, const aiNodeAnim*> channels_;
  std::set<const aiNode*> in_skeleton_;
  const aiNode* root_ = nullptr;
  std::map<const aiNode*, unsigned int> bone_index_;
  struct Detached_Bone {
    aiMatrix4x4 bind;  // in the scene's space
    unsigned int index = 0;
    double position_scale = 1.0;
  };
  std::map<std::string, Detached_Bone> detached_;  // by name
  Name_Registry names_;

  double ticks_per_second_ = DEFAULT_TICKS_PER_SECOND, first_tick_ = 0, last_tick_ = 0;
  float length_ = 0;
  aiQuaternion above_root_rotation_;
  aiVector3D above_root_position_;
  double above_root_scale_ = 1.0;
  double scale_loss_ = 0;
};

}  // namespace

struct Scene_File::Reader {
  Assimp::Importer importer;
  const aiScene* scene = nullptr;
  std::string path;
};

Scene_File::Scene_File(const std::string& path) : reader_(std::make_unique<Reader>()) {
  reader_->path = path;
  // FBX pivots would otherwise appear as extra "$AssimpFbx$" nodes between bones.
  reader_->importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  reader_->scene = reader_->importer.ReadFile(path, 0);
  if (!reader_->scene || !reader_->scene->mRootNode)
    throw Error(path, std::string("Assimp cannot read it: ") + reader_->importer.GetErrorString());
}

Scene_File::~Scene_File() = default;

Scene_Contents Scene_File::Contents() const {
  const aiScene& scene = *reader_->scene;
  Scene_Contents contents;
  // Assimp notes which of its importers read the file.
  const int importer = reader_->importer.GetPropertyInteger("importerIndex", -1);
  if (importer >= 0 && reader_->importer.GetImporterInfo(std::size_t(importer)))
    contents.importer = reader_->importer.GetImporterInfo(std::size_t(importer))->mName;
  std::set<std::string> bones;
  for (unsigned int a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& animation = *scene.mAnimations[a];
    const double ticks = animation.mTicksPerSecond > 0 ? animation.mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
    Scene_Animation entry{animation.mName.C_Str(), animation.mDuration / ticks, 0, 0, animation.mNumChannels};
    for (unsigned int c = 0; c < animation.mNumChannels; ++c) {
      const aiNodeAnim& channel = *animation.mChannels[c];
      bones.insert(channel.mNodeName.C_Str());
      entry.keys += channel.mNumPositionKeys + channel.mNumRotationKeys + channel.mNumScalingKeys;
      const unsigned int most = std::max({channel.mNumPositionKeys, channel.mNumRotationKeys, channel.mNumScalingKeys});
      if (entry.seconds > 0 && most > 1) entry.key_rate = std::max(entry.key_rate, (most - 1) / entry.seconds);
    }
    contents.animations.push_back(entry);
  }
  for (unsigned int m = 0; m < scene.mNumMeshes; ++m) {
    const aiMesh& mesh = *scene.mMeshes[m];
    Scene_Mesh entry{mesh.mName.C_Str(), mesh.mNumVertices, mesh.mNumBones, 0};
    std::vector<unsigned int> influences(mesh.mNumVertices, 0);
    for (unsigned int b = 0; b < mesh.mNumBones; ++b) {
      bones.insert(mesh.mBones[b]->mName.C_Str());
      for (unsigned int w = 0; w < mesh.mBones[b]->mNumWeights; ++w) {
        const aiVertexWeight& weight = mesh.mBones[b]->mWeights[w];
        if (weight.mVertexId < mesh.mNumVertices && weight.mWeight > 0)
          entry.most_influences = std::max(entry.most_influences, ++influences[weight.mVertexId]);
      }
    }
    contents.meshes.push_back(entry);
  }
  std::vector<std::pair<const aiNode*, int>> pending{{scene.mRootNode, -1}};
  while (!pending.empty()) {
    const auto [node, parent] = pending.back();
    pending.pop_back();
    contents.nodes.push_back(Scene_Node{node->mName.C_Str(), parent, bones.count(node->mName.C_Str()) > 0});
    const int index = int(contents.nodes.size() - 1);
    for (unsigned int c = node->mNumChildren; c-- > 0;) pending.emplace_back(node->mChildren[c], index);
  }
  return contents;
}

Imported_Scene Scene_File::Import(const Scene_Import_Options& options) const {
  const std::string& path = reader_->path;
  if (!(options.fps >= 0) || !std::isfinite(options.fps)) throw Error(path, "--fps must be a positive number");
  if (!(options.scale > 0) || !std::isfinite(options.scale)) throw Error(path, "--scale must be a positive number");
  return Scene_Converter(*reader_->scene, path, options).Run();
}

Scene_Contents Inspect_Scene(const std::string& path) { return Scene_File(path).Contents(); }

Imported_Scene Import_Scene(const std::string& path, const Scene_Import_Options& options) {
  return Scene_File(path).Import(options);
}

std::string Encode_Contents(const Scene_Contents& contents) {
  Message_Writer message;
  message.Text(contents.importer).Count(contents.nodes.size());
  for (const Scene_Node& node : contents.nodes) message.Text(node.name).Number(node.parent).Count(node.bone);
  message.Count(contents.animations.size());
  for (const Scene_Animation& a : contents.animations)
    message.Text(a.name).Number(a.seconds).Count(a.keys).Number(a.key_rate).Count(a.channels);
  message.Count(contents.meshes.size());
  for (const Scene_Mesh& m : contents.meshes)
    message.Text(m.name).Count(m.vertices).Count(m.bones).Count(m.most_influences);
  return message.Bytes();
}

Scene_Contents Decode_Contents(const std::string& bytes) {
  Message_Reader message(bytes);
  Scene_Contents contents;
  contents.importer = message.Text();
  for (std::uint64_t n = message.Count(); n > 0; --n) {
    Scene_Node node;
    node.name = message.Text();
    node.parent = int(message.Number());
    node.bone = message.Count() != 0;
    if (node.parent >= int(contents.nodes.size())) throw std::runtime_error("the worker's answer is damaged");
    contents.nodes.push_back(node);
  }
  for (std::uint64_t n = message.Count(); n > 0; --n) {
    Scene_Animation a;
    a.name = message.Text();
    a.seconds = message.Number();
    a.keys = message.Count();
    a.key_rate = message.Number();
    a.channels = static_cast<unsigned int>(message.Count());
    contents.animations.push_back(a);
  }
  for (std::uint64_t n = message.Count(); n > 0; --n) {
    Scene_Mesh m;
    m.name = message.Text();
    m.vertices = static_cast<unsigned int>(message.Count());
    m.bones = static_cast<unsigned int>(message.Count());
    m.most_influences = static_cast<unsigned int>(message.Count());
    contents.meshes.push_back(m);
  }
  return contents;
}

}  // namespace Bone_Tools
}  // namespace Vantorix
