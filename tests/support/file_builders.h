// Test-side writers: bone and skin files built in a few readable lines, valid
// or deliberately damaged, in memory or in a temporary file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
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

// A file in the temporary folder, removed when the object goes.
class Temp_File {
 public:
  explicit Temp_File(const std::string& data, const std::string& suffix = ".bin") {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test_name = info ? info->name() : "x";
    for (char& c : test_name)
      if (c == '/') c = '_';
    path_ = ::testing::TempDir() + "bone_import_" + test_name + "_" + std::to_string(counter++) + suffix;
    Write(data);
  }
  ~Temp_File() { std::remove(path_.c_str()); }
  Temp_File(const Temp_File&) = delete;
  Temp_File& operator=(const Temp_File&) = delete;

  void Write(const std::string& data) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
  }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// A bone file written to disk and imported: its hierarchy and its sequence.
struct Imported {
  explicit Imported(const Bone_File& data) : file(data.Data()), sequence(hierarchy) {
    hierarchy.Import(file.path());
    sequence.Import(file.path());
  }
  Temp_File file;
  Vantorix::Bone_Import::Hierarchy hierarchy;
  Vantorix::Bone_Import::Sequence sequence;
};

// Runs `action`, expects a Kernel::Exception and returns it.
inline Kernel::Exception Error_Of(const std::function<void()>& action) {
  try {
    action();
  } catch (const Kernel::Exception& error) {
    return error;
  }
  ADD_FAILURE() << "expected a Kernel::Exception";
  return Kernel::Exception("", "", "", 0);
}

}  // namespace test_support
