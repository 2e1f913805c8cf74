// Hierarchy import: any bytes end in success or a kernel error.
#include "bone_import/bone_import.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = Fuzz_File(data, size);
  try {
    Vantorix::Bone_Import::Hierarchy hierarchy;
    hierarchy.Import(path);
    for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) hierarchy.Bone_Index(hierarchy.Bone_Name(b));
    if (!(hierarchy == hierarchy)) __builtin_trap();
  } catch (const Kernel::Exception&) {
  }
  return 0;
}
