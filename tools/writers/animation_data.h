// Plain, editable descriptions of bone and skin files, and their writers.
//
// The import library's objects are filled once and read-only; tools that
// convert, generate or edit files build these structures instead and write
// them out. Every write goes to a temporary file beside the target that is
// renamed over it only when complete, so a failed write leaves no half file.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"

namespace Vantorix {
namespace Bone_Tools {

using Bone_Import::Quaternion;
using Bone_Import::Skin_File;
using Template_Library::Matrix_3x3;
using Template_Library::Vector_3;

struct Key_Data {
  float time;
  Quaternion rotation;  // relative to the parent
  Vector_3<float> offset;
};

struct Bone_Data {
  std::string name;
  std::string parent;  // empty for a root
  bool root = false;
  std::vector<Key_Data> keys;
};

struct Animation_Data {
  float length = 0.0f;
  std::vector<Bone_Data> bones;  // in file order
};

struct Skin_Data {
  std::string name;
  std::vector<Skin_File::Vertex> vertices;
};

struct Skin_File_Data {
  std::vector<std::string> bones;  // the bone table
  std::vector<Skin_Data> skins;
};

// Angles (r0, r1, r2) as a bone file stores them: the importer builds
// Rz(r2) * Ry(r1) * Rx(r0). Exact up to rounding also at gimbal lock (r1 =
// +-pi/2), where r0 is set to 0.
struct Angles {
  float r0, r1, r2;
};
Angles Rotation_Angles(const Quaternion& rotation);

// The hierarchy and keys of an imported sequence, in hierarchy order. Bones
// whose parent is INVALID_INDEX are written as roots.
Animation_Data From_Sequence(const Bone_Import::Sequence& sequence);

std::string Encode_Bone_File(const Animation_Data& animation);
std::string Encode_Skin_File(const Skin_File_Data& skins);

// Write `bytes` to `path` through a temporary file and a rename, with the
// rules of files/output_files.h (a read-only target is refused, a replaced
// file keeps its mode). Throws File_Error, which says why.
void Write_File_Atomically(const std::string& path, const std::string& bytes);

inline void Write_Bone_File(const std::string& path, const Animation_Data& animation) {
  Write_File_Atomically(path, Encode_Bone_File(animation));
}
inline void Write_Skin_File(const std::string& path, const Skin_File_Data& skins) {
  Write_File_Atomically(path, Encode_Skin_File(skins));
}

}  // namespace Bone_Tools
}  // namespace Vantorix
