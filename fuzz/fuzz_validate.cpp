// bonetool validate's checks: any bytes give findings, never a crash.
#include "validate/validator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Vantorix::Bone_Tools::Validate_Bone_File(bytes);
  Vantorix::Bone_Tools::Validate_Skin_File(bytes, nullptr);
  return 0;
}
