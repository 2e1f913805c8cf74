// Skeletal animation and skins from the formats Assimp reads (BVH, glTF/GLB,
// FBX, Collada, DirectX .x, IQM, MD5, SMD, ...), as plain file descriptions
// ready for the bone and skin file writers.
//
// The skeleton is the part of the scene's node tree that holds the animated
// nodes and the nodes that skinned meshes bind to: their deepest common
// ancestor is the root bone, every node on a path from it to one of them is a
// bone, and childless, meshless nodes below a bone (BVH End Sites, tip nodes)
// are bones too. The library never samples a leaf bone, so every source bone
// without a child gets a synthetic leaf child NAME_end (identity rotation,
// zero offset) and every source bone becomes a sampled, animated bone.
#pragma once

#include <string>
#include <vector>

#include "writers/animation_data.h"

namespace Vantorix {
namespace Bone_Tools {

struct Scene_Import_Options {
  // The animation's name, or its index in the file; empty for the first.
  std::string animation;
  // Keys on a fixed rate of `fps` per second; 0 keeps the union of each
  // bone's source key times.
  double fps = 0.0;
  // Also build skins from the skinned meshes; a file without any is refused.
  bool skins = false;
};

struct Imported_Scene {
  Animation_Data animation;
  Skin_File_Data skins;  // filled only when asked for
  std::string animation_name;
  unsigned int source_bones = 0;      // bones taken from the scene
  unsigned int synthetic_leaves = 0;  // NAME_end bones added
  std::vector<std::string> warnings;  // losses worth telling the user
};

// Throws std::runtime_error with a message naming the file for unreadable
// files, files without an animation or skeleton, and unknown animations.
Imported_Scene Import_Scene(const std::string& path, const Scene_Import_Options& options);

}  // namespace Bone_Tools
}  // namespace Vantorix
