#include <algorithm>
#include <cstring>
#include <string>

#include "bone_import.h"
#include "check.h"

namespace Vantorix {
namespace Bone_Import {

namespace {
const char* const SOURCE = "bone_import/skin";
}

Skin::Skin() : bone_count(0), vert_count(nullptr), vert_index(nullptr), vert_pos(nullptr), vert_weight(nullptr) {}

Skin::~Skin() {
  delete[] vert_count;
  for (unsigned int b = 0; b < bone_count; ++b) {
    if (vert_index) delete[] vert_index[b];
    if (vert_pos) delete[] vert_pos[b];
    if (vert_weight) delete[] vert_weight[b];
  }
  delete[] vert_index;
  delete[] vert_pos;
  delete[] vert_weight;
}

// Every record's bone is resolved to a hierarchy bone before anything is
// stored, and both passes bin by that hierarchy bone, so a bone table in
// another order than the hierarchy still lands each record on its bone and a
// refused skin stays empty.
void Skin::Import(Skin_File& skin_file, const char* name, const Hierarchy& hierarchy) {
  BONE_IMPORT_CHECK(!vert_count, "!vert_count", SOURCE, "Skin data already imported!");
  BONE_IMPORT_CHECK(!hierarchy.Failed(), "!hierarchy.Failed()", SOURCE,
                    "Hierarchy import failed, can't import skin " << name);
  std::vector<Skin_File::Vertex> records;
  const bool ok = skin_file.Get_Skin(records, name);
  BONE_IMPORT_CHECK(ok, "ok", SOURCE, "Can't find skin " << name);

  // Table entry -> hierarchy bone, looked up once per entry that is used.
  std::vector<unsigned int> table_to_bone(skin_file.bone_count, INVALID_INDEX);
  unsigned int slots = skin_file.bone_count;
  for (std::size_t k = 0; k < records.size(); ++k) {
    const Skin_File::Vertex& record = records[k];
    BONE_IMPORT_CHECK(
        record.bone < skin_file.bone_count, "record.bone < skin_file.bone_count", SOURCE,
        "Bone out of range in skinfile " << skin_file.file_name << " skin " << name << " record " << std::to_string(k));
    unsigned int& bone = table_to_bone[record.bone];
    if (bone == INVALID_INDEX) bone = hierarchy.Bone_Index(skin_file.bone_names[record.bone].c_str());
    slots = std::max(slots, bone + 1);
  }

  std::vector<unsigned int> counts(slots, 0u);
  for (const Skin_File::Vertex& record : records) ++counts[table_to_bone[record.bone]];

  // Filled only once every allocation has succeeded.
  unsigned int* new_count = new unsigned int[slots];
  std::copy(counts.begin(), counts.end(), new_count);
  vert_index = new unsigned int*[slots]();
  vert_pos = new Vector_3<float>*[slots]();
  vert_weight = new float*[slots]();
  bone_count = slots;
  vert_count = new_count;
  for (unsigned int b = 0; b < slots; ++b) {
    if (counts[b] == 0) continue;
    vert_index[b] = new unsigned int[counts[b]];
    vert_pos[b] = new Vector_3<float>[counts[b]];
    vert_weight[b] = new float[counts[b]];
  }

  std::fill(counts.begin(), counts.end(), 0u);
  for (const Skin_File::Vertex& record : records) {
    const unsigned int h = table_to_bone[record.bone];
    const unsigned int k = counts[h]++;
    vert_index[h][k] = record.vertex_index;
    // Bits, not float values: stored exactly as read on every platform.
    std::memcpy(&vert_weight[h][k], &record.weight, sizeof(float));
    std::memcpy(&vert_pos[h][k], &record.x, sizeof(Vector_3<float>));
  }
}

}  // namespace Bone_Import
}  // namespace Vantorix
