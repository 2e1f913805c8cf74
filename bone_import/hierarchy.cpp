#include <cstdlib>
#include <fstream>

#include "bone_file.h"
#include "bone_import.h"
#include "check.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/hier";

// Upper case as toupper gives it in the default locale: only a-z change.
inline unsigned char Upper(unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c; }

bool Equal_Ignoring_Case(const char* a, const std::string& b) {
  std::size_t i = 0;
  for (; a[i] != 0; ++i)
    if (i == b.size() || Upper(static_cast<unsigned char>(a[i])) != Upper(static_cast<unsigned char>(b[i])))
      return false;
  return i == b.size();
}

unsigned int Hash_Ignoring_Case(const char* text, unsigned int seed) {
  unsigned int hash = 2166136261u ^ seed;
  for (; *text != 0; ++text) {
    hash ^= Upper(static_cast<unsigned char>(*text));
    hash *= 16777619u;
  }
  hash ^= hash >> 16;
  return hash;
}

}  // namespace

Hierarchy::Hierarchy()
    : bone_count(0),
      root_index(INVALID_INDEX),
      parents(nullptr),
      leaf_flags(nullptr),
      name_hash_seed(0),
      state(Import_State::EMPTY) {}

Hierarchy::~Hierarchy() {
  delete[] parents;
  delete[] leaf_flags;
}

void Hierarchy::Import(const char* file_name) {
  BONE_IMPORT_CHECK(state == Import_State::EMPTY, "state == Import_State::EMPTY", SOURCE,
                    "Hierarchy already imported, can't import file " << file_name);
  std::ifstream file(file_name, std::ios::in | std::ios::binary);
  BONE_IMPORT_CHECK(!file.fail(), "!file.fail()", SOURCE, "Can't open sequence file " << file_name);

  Binary_Reader reader(file);
  std::string str;
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == BONE_FILE_HEADER, "str == BONE_FILE_HEADER", SOURCE, "Invalid sequence file " << file_name);
  // From here on the object holds what it read; a failure leaves it fit
  // only to be destroyed.
  state = Import_State::FAILED;
  reader.Read_U32(bone_count);
  float length;
  reader.Read_Float(length);
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == END_SIGN, "str == END_SIGN", SOURCE, "Invalid sequence file " << file_name);
  const std::uint64_t start = reader.Position();

  // First pass: structure and names. Every record that passes holds at least
  // its end sign, so a huge bone count runs into a failed check, not memory.
  Bone_Record_Head head;
  for (unsigned int i = 0; i < bone_count; ++i) {
    Read_Record_Head(reader, head);
    Skip_Keys(reader, head.key_count);
    reader.Read_String(str);
    BONE_IMPORT_CHECK(str == END_SIGN, "str == END_SIGN", SOURCE,
                      "Invalid sequence file " << file_name << " str " << str);
    bone_names.push_back(head.name);
  }
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == END_SIGN, "str == END_SIGN", SOURCE, "Invalid sequence file " << file_name);

  // Index the names once; the first bone of each name (case ignored) wins.
  std::size_t slot_count = 1;
  while (slot_count < 2 * std::size_t(bone_count)) slot_count *= 2;
  name_slots.assign(slot_count, 0u);
  name_hash_seed = static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(this) >> 4) * 2654435761u;
  for (unsigned int i = 0; i < bone_count; ++i) {
    const char* name = bone_names[i].c_str();
    for (std::size_t slot = Hash_Ignoring_Case(name, name_hash_seed) & (slot_count - 1);;
         slot = (slot + 1) & (slot_count - 1)) {
      if (name_slots[slot] == 0) {
        name_slots[slot] = i + 1;
        break;
      }
      if (Equal_Ignoring_Case(name, bone_names[name_slots[slot] - 1])) break;
    }
  }

  // Second pass: parents and root. Input that cannot seek (a pipe) cannot
  // go back for it, even when the buffer happens to still hold the start.
  const bool returned = reader.Can_Seek() && reader.Seek(start);
  BONE_IMPORT_CHECK(
      returned, "returned", SOURCE,
      "Can't read sequence file " << file_name << " twice: the hierarchy needs a file it can seek in, not a pipe");
  parents = new unsigned int[bone_count];
  for (unsigned int i = 0; i < bone_count; ++i) parents[i] = INVALID_INDEX;
  for (unsigned int i = 0; i < bone_count; ++i) {
    Read_Record_Head(reader, head);
    const unsigned int bone = Bone_Index(head.name.c_str());
    if (head.root_flag != 0) {
      root_index = bone;
      parents[bone] = INVALID_INDEX;
    } else {
      parents[bone] = Bone_Index(head.parent_name.c_str());
    }
    Skip_Keys(reader, head.key_count);
    reader.Read_String(str);
    BONE_IMPORT_CHECK(str == END_SIGN, "str == END_SIGN", SOURCE,
                      "Invalid sequence file " << file_name << " str " << str);
  }
  BONE_IMPORT_CHECK(root_index != INVALID_INDEX, "root_index != INVALID_INDEX", SOURCE,
                    "No root node in file " << file_name);
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == END_SIGN, "str == END_SIGN", SOURCE,
                    "Invalid sequence file " << file_name << " str " << str);

  leaf_flags = new unsigned char[bone_count];
  for (unsigned int i = 0; i < bone_count; ++i) leaf_flags[i] = 1;
  for (unsigned int i = 0; i < bone_count; ++i)
    if (parents[i] != INVALID_INDEX) leaf_flags[parents[i]] = 0;
  state = Import_State::IMPORTED;
}

unsigned int Hierarchy::Bone_Index(const char* name) const {
  if (!name_slots.empty()) {
    const std::size_t mask = name_slots.size() - 1;
    for (std::size_t slot = Hash_Ignoring_Case(name, name_hash_seed) & mask; name_slots[slot] != 0;
         slot = (slot + 1) & mask) {
      const unsigned int bone = name_slots[slot] - 1;
      if (Equal_Ignoring_Case(name, bone_names[bone])) return bone;
    }
  }
  BONE_IMPORT_CHECK(0, "0", SOURCE, "Invalid bone name " << name);
  return INVALID_INDEX;  // not reached: the check throws
}

// Only an imported hierarchy holds every array and name that these read.
unsigned int Hierarchy::Parent_Index(unsigned int bone) const {
  if (state != Import_State::IMPORTED) Refuse_Query("Parent_Index");
  return parents[bone];
}

const char* Hierarchy::Bone_Name(unsigned int bone) const {
  if (state != Import_State::IMPORTED) Refuse_Query("Bone_Name");
  return bone_names[bone].c_str();
}

void Hierarchy::Refuse_Query(const char* query) const {
  BONE_IMPORT_CHECK(
      state == Import_State::IMPORTED, "state == Import_State::IMPORTED", SOURCE,
      "Hierarchy " << (state == Import_State::FAILED ? "import failed" : "not imported") << ", can't answer " << query);
  std::abort();  // not reached: the check throws
}

bool Hierarchy::operator==(const Hierarchy& other) const {
  if (bone_count != other.bone_count) return false;
  if (parents == nullptr || other.parents == nullptr)  // an import failed part-way
    return parents == other.parents && bone_names == other.bone_names && root_index == other.root_index;
  for (unsigned int i = 0; i < bone_count; ++i)
    if (bone_names[i] != other.bone_names[i] || parents[i] != other.parents[i]) return false;
  return root_index == other.root_index;
}

}  // namespace Bone_Import
}  // namespace Vantorix
