// Synthetic data sets of the sizes the benchmarks report on, written once to
// the temporary folder.
#pragma once

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "support/file_data.h"

namespace bench_data {

inline std::string Temp_Path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/bone_import_bench_" + name;
}

inline std::string Write(const std::string& name, const std::string& bytes) {
  const std::string path = Temp_Path(name);
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  return path;
}

// A motion-capture-like clip: `animated` bones in a branching tree (each with
// children), one leaf under each of the last bones, `keys` keys per bone at
// `rate` Hz with smooth, bone-specific motion.
inline test_support::Bone_File Mocap(unsigned int animated, unsigned int keys, float rate = 120.0f) {
  using test_support::Key;
  test_support::Bone_File file;
  const float length = float(keys - 1) / rate;
  file.Length(length);
  std::mt19937 random(42);
  std::uniform_real_distribution<float> phase(0.0f, 6.28f);
  auto animate = [&](unsigned int bone) {
    std::vector<Key> out;
    out.reserve(keys);
    const float p = phase(random), q = phase(random);
    for (unsigned int k = 0; k < keys; ++k) {
      const float t = k == keys - 1 ? length : float(k) / rate;
      out.push_back(Key{t, 0.3f * std::sin(2.1f * t + p), 0.2f * std::sin(1.3f * t + q), 0.5f * std::sin(0.7f * t + p),
                        bone == 0 ? 0.5f * t : 0.1f, bone == 0 ? 1.0f + 0.05f * std::sin(4 * t) : 0.2f, 0.0f});
    }
    return out;
  };
  file.Root("bone0", animate(0));
  for (unsigned int b = 1; b < animated; ++b)
    file.Bone("bone" + std::to_string(b), "bone" + std::to_string((b - 1) / 2), animate(b));
  // Every animated bone without an animated child gets a leaf.
  for (unsigned int b = 0; b < animated; ++b)
    if (2 * b + 1 >= animated)
      file.Bone("leaf" + std::to_string(b), "bone" + std::to_string(b), test_support::Keys_At({0, length}));
  return file;
}

// CMU motion capture: BVH/01_01 from Debian's assimp-testmodels, converted
// with bonetool's converter on first use. Empty when the file is not installed.
std::string Cmu_01_01();

// Writes a sequence as a bone file in the temporary folder; returns its path
// (empty without the tools' writers, as Cmu_01_01 is).
std::string Write_Sequence(const Vantorix::Bone_Import::Sequence& sequence, const std::string& name);

}  // namespace bench_data
