#include "animation_data.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "files/output_files.h"

namespace Vantorix {
namespace Bone_Tools {

namespace {

class Encoder {
 public:
  void U32(unsigned int value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(char((value >> (8 * i)) & 0xFFu));
  }
  void F32(float value) {
    unsigned int bits;
    std::memcpy(&bits, &value, 4);
    U32(bits);
  }
  void Str(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw std::runtime_error("name contains a zero byte: cannot be stored");
    bytes += text;
    bytes.push_back('\0');
  }
  std::string bytes;
};

}  // namespace

Angles Rotation_Angles(const Quaternion& q) {
  const double w = q.w, x = q.v.x, y = q.v.y, z = q.v.z;
  const double n = w * w + x * x + y * y + z * z;
  const double s = n > 0 ? 2.0 / n : 0.0;
  const double m00 = 1 - s * (y * y + z * z), m01 = s * (x * y - w * z);
  const double m10 = s * (x * y + w * z), m11 = 1 - s * (x * x + z * z);
  const double m20 = s * (x * z - w * y), m21 = s * (y * z + w * x), m22 = 1 - s * (x * x + y * y);
  // M = Rz(a) Ry(b) Rx(c): m20 = -sin b, m10/m00 = tan a, m21/m22 = tan c.
  const double cos_b = std::sqrt(m00 * m00 + m10 * m10);
  const double b = std::atan2(-m20, cos_b);
  double a, c;
  if (cos_b > 1e-7) {
    a = std::atan2(m10, m00);
    c = std::atan2(m21, m22);
  } else {  // gimbal lock: only a - c (or a + c) is defined; take c = 0
    a = std::atan2(-m01, m11);
    c = 0.0;
  }
  return Angles{float(c), float(b), float(a)};
}

Animation_Data From_Sequence(const Bone_Import::Sequence& sequence) {
  const Bone_Import::Hierarchy& hierarchy = sequence.Get_Hierarchy();
  Animation_Data animation;
  animation.length = sequence.Lenght();
  for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) {
    Bone_Data bone;
    bone.name = hierarchy.Bone_Name(b);
    const unsigned int parent = hierarchy.Parent_Index(b);
    bone.root = parent == Bone_Import::INVALID_INDEX;
    if (!bone.root) bone.parent = hierarchy.Bone_Name(parent);
    for (unsigned int k = 0; k < sequence.Key_Count(b); ++k)
      bone.keys.push_back(Key_Data{sequence.Key_Times(b)[k], sequence.Key_Rotations(b)[k], sequence.Key_Offsets(b)[k]});
    animation.bones.push_back(std::move(bone));
  }
  return animation;
}

std::string Encode_Bone_File(const Animation_Data& animation) {
  Encoder out;
  out.Str(Bone_Import::BONE_FILE_HEADER);
  out.U32(static_cast<unsigned int>(animation.bones.size()));
  out.F32(animation.length);
  out.Str(Bone_Import::END_SIGN);
  for (const Bone_Data& bone : animation.bones) {
    out.Str(bone.name);
    out.Str(bone.parent);
    out.U32(static_cast<unsigned int>(bone.keys.size()));
    out.U32(bone.root ? 1u : 0u);
    for (const Key_Data& key : bone.keys) {
      const Angles angles = Rotation_Angles(key.rotation);
      out.F32(key.time);
      out.F32(angles.r0);
      out.F32(angles.r1);
      out.F32(angles.r2);
      out.F32(key.offset.x);
      out.F32(key.offset.y);
      out.F32(key.offset.z);
    }
    out.Str(Bone_Import::END_SIGN);
  }
  out.Str(Bone_Import::END_SIGN);
  return out.bytes;
}

std::string Encode_Skin_File(const Skin_File_Data& skins) {
  Encoder out;
  out.Str(Bone_Import::SKIN_FILE_HEADER);
  out.U32(static_cast<unsigned int>(skins.skins.size()));
  out.U32(static_cast<unsigned int>(skins.bones.size()));
  for (std::size_t b = 0; b < skins.bones.size(); ++b) {
    out.U32(static_cast<unsigned int>(b));
    out.Str(skins.bones[b]);
  }
  out.Str(Bone_Import::END_SIGN);
  for (const Skin_Data& skin : skins.skins) {
    out.Str(skin.name);
    out.U32(static_cast<unsigned int>(skin.vertices.size()));
    for (const Skin_File::Vertex& v : skin.vertices) {
      out.U32(v.bone);
      out.F32(v.x);
      out.F32(v.y);
      out.F32(v.z);
      out.F32(v.weight);
      out.U32(v.vertex_index);
    }
    out.Str(Bone_Import::END_SIGN);
  }
  return out.bytes;
}

void Write_File_Atomically(const std::string& path, const std::string& bytes) {
  Output_Files files;
  files.Output(path, {""});
  files.Set(path, bytes);
  files.Commit();
}

}  // namespace Bone_Tools
}  // namespace Vantorix
