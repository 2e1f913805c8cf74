#include <fstream>

#include "bench_data.h"
#include "interchange/scene_import.h"

namespace bench_data {

std::string Cmu_01_01() {
  static const std::string path = [] {
    const std::string source = "/usr/share/assimp/models/BVH/01_01.bvh";
    if (!std::ifstream(source).good()) return std::string();
    const auto scene = Vantorix::Bone_Tools::Import_Scene(source, {});
    return Write("01_01.bone", Vantorix::Bone_Tools::Encode_Bone_File(scene.animation));
  }();
  return path;
}

std::string Write_Sequence(const Vantorix::Bone_Import::Sequence& sequence, const std::string& name) {
  return Write(name, Vantorix::Bone_Tools::Encode_Bone_File(Vantorix::Bone_Tools::From_Sequence(sequence)));
}

}  // namespace bench_data
