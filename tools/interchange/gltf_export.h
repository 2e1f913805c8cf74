// A bone file's skeleton and animation, and optionally one skin, as glTF 2.0.
//
// One node per bone with its local rotation and translation at time 0, a skin
// whose joints are the bones, and one animation with a LINEAR rotation and a
// LINEAR translation channel for every sampled (non-leaf) bone, at that bone's
// own key times. Skins become one skinned POINTS mesh: one point per distinct
// vertex index of each skin at its bind position (the library's skinning,
// Skinned_Mesh, of the pose at time 0 with leaves placed as bonetool draws
// them), with as many JOINTS_n/WEIGHTS_n sets as its most bound vertex needs,
// and the weights of the library's rule, which sum to 1 as glTF requires.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"

namespace Vantorix {
namespace Bone_Tools {

// A skin to export, imported by the library against the sequence's hierarchy:
// its bindings grouped by hierarchy bone, as Skin::Import maps them, and its
// mesh under the library's weight rule.
struct Export_Skin {
  std::string name;
  std::unique_ptr<Bone_Import::Skin> skin;
  std::unique_ptr<Bone_Import::Skinned_Mesh> mesh;
};

// Imports skin `name` of `skin_file` against `hierarchy` through Skin::Import,
// so that export takes exactly the skins the library takes; throws its
// errors (Kernel::Exception: an unknown skin, a record past the bone table, a
// bone name the hierarchy lacks).
Export_Skin Load_Export_Skin(Bone_Import::Skin_File& skin_file, const std::string& name,
                             const Bone_Import::Hierarchy& hierarchy);

// The glTF document as bytes: binary GLB when `binary`, else JSON with the
// buffer embedded. The skins (none, one or several, imported against the
// sequence's hierarchy) make one mesh named after them, the points of each
// skin after those of the one before. Throws std::runtime_error for
// sequences glTF cannot hold (key times that do not increase, parent loops).
std::string Encode_Gltf(const Bone_Import::Sequence& sequence, const std::vector<const Export_Skin*>& skins,
                        bool binary);

// Whether `path` names a binary glTF (.glb, any letter case).
bool Is_Binary_Gltf(const std::string& path);

// Writes .glb as binary and anything else as .gltf JSON, atomically.
void Write_Gltf(const std::string& path, const Bone_Import::Sequence& sequence,
                const std::vector<const Export_Skin*>& skins);

}  // namespace Bone_Tools
}  // namespace Vantorix
