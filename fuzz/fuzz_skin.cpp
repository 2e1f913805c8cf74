// Skin file open, Get_Skin of every name and Skin::Import against a fixed
// hierarchy.
#include "bone_import/bone_import.h"
#include "fuzz_file.h"
#include "support/file_data.h"

using namespace Vantorix::Bone_Import;

namespace {
Hierarchy* fixed_hierarchy = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string bytes = test_support::Bone_File()
                                .Root("root", test_support::Keys_At({0, 1}))
                                .Bone("a", "root", test_support::Keys_At({0, 1}))
                                .Data();
  const std::string path = std::string(Fuzz_File(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  fixed_hierarchy = new Hierarchy;
  fixed_hierarchy->Import(path.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = Fuzz_File(data, size);
  try {
    Skin_File file(path);
    std::vector<Skin_File::Vertex> vertices;
    for (unsigned int s = 0; s < file.Skin_Count(); ++s) {
      try {
        file.Get_Skin(vertices, file.Skin_Name(s));
      } catch (const Kernel::Exception&) {
      }
      try {
        Skin skin;
        skin.Import(file, file.Skin_Name(s), *fixed_hierarchy);
      } catch (const Kernel::Exception&) {
      }
    }
  } catch (const Kernel::Exception&) {
  }
  return 0;
}
