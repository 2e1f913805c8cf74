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

#include <memory>
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
  // Also build skins from the skinned meshes; a file without any is refused
  // (and so is a BVH file: BVH holds no mesh, and the one Assimp makes to
  // draw the bones is not a skin). Influences of weight 0 are left out.
  bool skins = false;
  // Every offset and every skin position is multiplied by this.
  double scale = 1.0;
  // The source is Z-up: turned so that its z becomes the bone file's y (a
  // point (x, y, z) goes to (x, z, -y)).
  bool z_up = false;
  // No clip: every bone gets two equal keys, at times 0 and 1, from the rest
  // pose (a rig exported without an action). `animation` is then ignored.
  bool rest_pose = false;
};

// What a scene file holds, for inspection: its node tree (bones marked), its
// animations and its meshes with their skins.
struct Scene_Node {
  std::string name;
  int parent = -1;    // index into the node list, -1 for the root
  bool bone = false;  // animated, or bound by a mesh
};
struct Scene_Animation {
  std::string name;
  double seconds = 0;           // duration
  unsigned long long keys = 0;  // position, rotation and scale keys of all channels
  double key_rate = 0;          // keys per second of the busiest channel
  unsigned int channels = 0;
};
struct Scene_Mesh {
  std::string name;
  unsigned int vertices = 0, bones = 0;
  unsigned int most_influences = 0;  // the largest number of bones on one vertex (weight above 0)
};
struct Scene_Contents {
  std::string importer;           // the Assimp importer that read the file
  std::vector<Scene_Node> nodes;  // parent before child
  std::vector<Scene_Animation> animations;
  std::vector<Scene_Mesh> meshes;
};

// Throws std::runtime_error naming the file when Assimp cannot read it.
Scene_Contents Inspect_Scene(const std::string& path);

// The contents as a worker sends them, and back.
std::string Encode_Contents(const Scene_Contents& contents);
Scene_Contents Decode_Contents(const std::string& bytes);

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

// One scene file, read by Assimp once; its contents and any of its clips can
// then be taken from it. Throws like Inspect_Scene.
class Scene_File {
 public:
  explicit Scene_File(const std::string& path);
  ~Scene_File();
  Scene_File(const Scene_File&) = delete;
  Scene_File& operator=(const Scene_File&) = delete;

  Scene_Contents Contents() const;
  // Throws like Import_Scene.
  Imported_Scene Import(const Scene_Import_Options& options) const;

 private:
  struct Reader;
  std::unique_ptr<Reader> reader_;
};

}  // namespace Bone_Tools
}  // namespace Vantorix
