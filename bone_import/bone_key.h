// Private: one key of one bone while the editing operations rebuild keys.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/bone_key.h is private to the library; include bone_import/bone_import.h"
#endif

#include "bone_import.h"

namespace Vantorix {
namespace Bone_Import {

struct Bone_Key {
  float time;
  Vector_3<float> offset;
  Quaternion rotation;
};

}  // namespace Bone_Import
}  // namespace Vantorix
