// Bone and skin files as bytes, built in a few readable lines, valid or
// deliberately damaged. Free of test-framework code so that benchmarks and
// fuzz seed generators can use it too.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"

namespace test_support {

class Bytes {
 public:
  Bytes& U32(std::uint32_t value) {
    for (int i = 0; i < 4; ++i) data.push_back(char((value >> (8 * i)) & 0xFF));
    return *this;
  }
  Bytes& F32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return U32(bits);
  }
  Bytes& Str(const std::string& text) {
    data += text;
    data.push_back('\0');
    return *this;
  }
  std::string data;
};

// One key record: time, angles r0 r1 r2 (radians), offset.
struct Key {
  float time, r0 = 0, r1 = 0, r2 = 0, x = 0, y = 0, z = 0;
};

// Keys at the given times, zero angles and offsets.
inline std::vector<Key> Keys_At(std::initializer_list<float> times) {
  std::vector<Key> keys;
  for (float t : times) keys.push_back(Key{t});
  return keys;
}

struct Bone_Record {
  std::string name, parent;
  std::uint32_t root_flag = 0;
  std::vector<Key> keys;
  std::optional<std::uint32_t> key_count;  // overrides keys.size() in the file
  std::string end_sign = "SIGN";
};

// Bone_File().Length(2).Root("hips", Keys_At({0, 2})).Bone("spine", "hips", ...)
class Bone_File {
 public:
  std::string header = "BONE", header_sign = "SIGN", final_sign = "SIGN";
  std::optional<std::uint32_t> bone_count;
  float length = 1.0f;
  std::vector<Bone_Record> bones;

  Bone_File& Length(float value) {
    length = value;
    return *this;
  }
  Bone_File& Root(const std::string& name, std::vector<Key> keys, const std::string& parent = "") {
    bones.push_back(Bone_Record{name, parent, 1, std::move(keys), std::nullopt, "SIGN"});
    return *this;
  }
  Bone_File& Bone(const std::string& name, const std::string& parent, std::vector<Key> keys) {
    bones.push_back(Bone_Record{name, parent, 0, std::move(keys), std::nullopt, "SIGN"});
    return *this;
  }
  std::string Data() const {
    Bytes out;
    out.Str(header).U32(bone_count ? *bone_count : std::uint32_t(bones.size())).F32(length).Str(header_sign);
    for (const Bone_Record& bone : bones) {
      out.Str(bone.name).Str(bone.parent);
      out.U32(bone.key_count ? *bone.key_count : std::uint32_t(bone.keys.size())).U32(bone.root_flag);
      for (const Key& k : bone.keys) out.F32(k.time).F32(k.r0).F32(k.r1).F32(k.r2).F32(k.x).F32(k.y).F32(k.z);
      out.Str(bone.end_sign);
    }
    out.Str(final_sign);
    return out.data;
  }
};

struct Skin_Record {
  std::string name;
  std::vector<Vantorix::Bone_Import::Skin_File::Vertex> vertices;
  std::optional<std::uint32_t> count;
  std::string end_sign = "SIGN";
};

// Skin_File_Data().Bones({"hips", "spine"}).Skin("body", {{0, 1, 2, 3, 0.5f, 7}})
class Skin_File_Data {
 public:
  std::string header = "SKIN", table_sign = "SIGN";
  std::optional<std::uint32_t> skin_count, bone_count;
  std::vector<std::string> bones;
  std::vector<Skin_Record> skins;

  Skin_File_Data& Bones(std::vector<std::string> names) {
    bones = std::move(names);
    return *this;
  }
  Skin_File_Data& Skin(const std::string& name, std::vector<Vantorix::Bone_Import::Skin_File::Vertex> vertices) {
    skins.push_back(Skin_Record{name, std::move(vertices), std::nullopt, "SIGN"});
    return *this;
  }
  std::string Data() const {
    Bytes out;
    out.Str(header).U32(skin_count ? *skin_count : std::uint32_t(skins.size()));
    out.U32(bone_count ? *bone_count : std::uint32_t(bones.size()));
    for (std::size_t i = 0; i < bones.size(); ++i) out.U32(std::uint32_t(i)).Str(bones[i]);
    out.Str(table_sign);
    for (const Skin_Record& skin : skins) {
      out.Str(skin.name).U32(skin.count ? *skin.count : std::uint32_t(skin.vertices.size()));
      for (const auto& v : skin.vertices) out.U32(v.bone).F32(v.x).F32(v.y).F32(v.z).F32(v.weight).U32(v.vertex_index);
      out.Str(skin.end_sign);
    }
    return out.data;
  }
};

}  // namespace test_support
