// Private: pieces of the bone file layout shared by the hierarchy and
// sequence readers.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/bone_file.h is private to the library; include bone_import/bone_import.h"
#endif

#include <string>

#include "binary_reader.h"

namespace Vantorix {
namespace Bone_Import {

// Bytes of one key record: time, three angles, offset x, y, z.
constexpr unsigned int KEY_RECORD_SIZE = 28;

struct Bone_Record_Head {
  std::string name;
  std::string parent_name;
  unsigned int key_count = 0;
  unsigned int root_flag = 0;
};

inline void Read_Record_Head(Binary_Reader& reader, Bone_Record_Head& head) {
  reader.Read_String(head.name);
  reader.Read_String(head.parent_name);
  reader.Read_U32(head.key_count);
  reader.Read_U32(head.root_flag);
}

// Steps over a record's keys. The distance wraps in unsigned 32-bit
// arithmetic, as the format defines it, on every platform.
inline void Skip_Keys(Binary_Reader& reader, unsigned int key_count) {
  const unsigned int distance = KEY_RECORD_SIZE * key_count;
  reader.Seek(reader.Position() + distance);
}

}  // namespace Bone_Import
}  // namespace Vantorix
