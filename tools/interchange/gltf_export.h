// A bone file's skeleton and animation, and optionally one skin, as glTF 2.0.
//
// One node per bone with its local rotation and translation at time 0, a skin
// whose joints are the bones, and one animation with a LINEAR rotation and a
// LINEAR translation channel for every sampled (non-leaf) bone, at that bone's
// own key times. A skin becomes a skinned POINTS mesh: one point per distinct
// vertex index at its bind position (the weighted mean of its records placed
// by the pose at time 0), with as many JOINTS_n/WEIGHTS_n sets as its most
// bound vertex needs, weights normalised to sum 1 as glTF requires.
#pragma once

#include <string>
#include <vector>

#include "bone_import/bone_import.h"
#include "files/skin_weights.h"

namespace Vantorix {
namespace Bone_Tools {

struct Export_Skin {
  std::string name;
  std::vector<Bone_Import::Skin_File::Vertex> records;
  // For each entry of the skin file's bone table, the hierarchy's bone.
  std::vector<unsigned int> table_to_bone;
  // The records' weights, normalised per vertex (files/skin_weights.h).
  Vertex_Weights Weights() const;
};

// Reads skin `name` from `skin_file` and maps its bone table onto `hierarchy`
// (letter case ignored). Throws std::runtime_error for an unknown skin, a
// record whose bone lies past the bone table, or a bone the hierarchy lacks.
Export_Skin Load_Export_Skin(Bone_Import::Skin_File& skin_file, const std::string& name,
                             const Bone_Import::Hierarchy& hierarchy);

// The glTF document as bytes: binary GLB when `binary`, else JSON with the
// buffer embedded. Throws std::runtime_error for sequences glTF cannot hold
// (key times that do not increase, parent loops).
std::string Encode_Gltf(const Bone_Import::Sequence& sequence, const Export_Skin* skin, bool binary);

// Whether `path` names a binary glTF (.glb, any letter case).
bool Is_Binary_Gltf(const std::string& path);

// Writes .glb as binary and anything else as .gltf JSON, atomically.
void Write_Gltf(const std::string& path, const Bone_Import::Sequence& sequence, const Export_Skin* skin);

}  // namespace Bone_Tools
}  // namespace Vantorix
