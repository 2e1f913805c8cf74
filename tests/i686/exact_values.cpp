// Values that the formats carry as read must come through bit for bit on a
// 32-bit x86 build without SSE, where a float copied through the x87 unit
// would have its signalling NaN quieted. Built and run by
// scripts/test-i686.sh with -m32 -march=i686; no test framework, so it needs
// no 32-bit libraries beyond the C++ runtime.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"
#include "support/file_data.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Skin_File_Data;

namespace {

int passed = 0, failed = 0;

// Replaces every 4-byte occurrence of `placeholder` in the file with `bits`:
// the payloads never pass through a float variable of this program.
std::string Plant(std::string data, float placeholder, std::uint32_t bits) {
  char from[4], to[4];
  std::memcpy(from, &placeholder, 4);
  std::memcpy(to, &bits, 4);
  for (std::size_t at = data.find(std::string(from, 4)); at != std::string::npos;
       at = data.find(std::string(from, 4), at + 4))
    data.replace(at, 4, to, 4);
  return data;
}

std::string Plant_All(std::string data) {
  return Plant(Plant(Plant(data, 101.0f, 0x7F800001u), 102.0f, 0xFFA0BEEFu), 103.0f, 0x7F81234Fu);
}

std::uint32_t Bits(const float& value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}

void Expect_Bits(const char* what, const float& value, std::uint32_t expected) {
  if (Bits(value) == expected) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s is 0x%08x, not 0x%08x\n", what, unsigned(Bits(value)), unsigned(expected));
  }
}

std::string Write(const std::string& data, const char* name) {
  const std::string path = std::string("/tmp/bone_import_i686_") + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  return path;
}

}  // namespace

int main() {
  const std::uint32_t SNAN_A = 0x7F800001u, SNAN_B = 0xFFA0BEEFu, SNAN_C = 0x7F81234Fu;
  const float a = 101.0f, b = 102.0f, c = 103.0f;  // planted as the three NaNs
  try {
    // Keys: a signalling NaN as a time and as every offset coordinate.
    const std::string bones = Write(Plant_All(Bone_File()
                                                  .Length(1)
                                                  .Root("r", {{0, 0, 0, 0, a, b, c}, {1, 0, 0, 0, 1, 2, 3}})
                                                  .Bone("leaf", "r", {{0}, {b}})
                                                  .Data()),
                                    "keys.bone");
    Hierarchy h;
    h.Import(bones.c_str());
    Sequence s(h);
    s.Import(bones.c_str());
    Expect_Bits("offset x", s.Key_Offsets(0)[0].x, SNAN_A);
    Expect_Bits("offset y", s.Key_Offsets(0)[0].y, SNAN_B);
    Expect_Bits("offset z", s.Key_Offsets(0)[0].z, SNAN_C);
    Expect_Bits("key time", s.Key_Times(1)[1], SNAN_B);

    // Skin records: position and weight, raw and grouped by bone.
    const std::string skin =
        Write(Plant_All(Skin_File_Data().Bones({"r", "leaf"}).Skin("s", {{1, a, b, c, b, 7}}).Data()), "s.skin");
    Skin_File file(skin.c_str());
    std::vector<Skin_File::Vertex> records;
    file.Get_Skin(records, "s");
    Expect_Bits("record x", records[0].x, SNAN_A);
    Expect_Bits("record z", records[0].z, SNAN_C);
    Expect_Bits("record weight", records[0].weight, SNAN_B);
    Skin grouped;
    grouped.Import(file, "s", h);
    Expect_Bits("skin x", grouped.vert_pos[1][0].x, SNAN_A);
    Expect_Bits("skin y", grouped.vert_pos[1][0].y, SNAN_B);
    Expect_Bits("skin z", grouped.vert_pos[1][0].z, SNAN_C);
    Expect_Bits("skin weight", grouped.vert_weight[1][0], SNAN_B);
  } catch (const Kernel::Exception& e) {
    std::printf("FAILED: %s\n", e.what());
    ++failed;
  }
  std::printf("i686 exact values: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
