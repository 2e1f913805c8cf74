#include <memory>

#include "binary_reader.h"
#include "bone_import.h"
#include "check.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/skin";
constexpr unsigned int SKIN_INDEX_BUCKETS = 739;
constexpr unsigned int VERTEX_RECORD_SIZE = 24;

}  // namespace

Skin_File::Skin_File(const char* name)
    : skin_count(0), bone_count(0), skin_index(SKIN_INDEX_BUCKETS), file(nullptr), file_name(name), file_size(0) {
  // Owned by `owner` until the constructor succeeds, so a refused file is
  // closed as the error leaves.
  std::unique_ptr<std::ifstream> owner(new std::ifstream(name, std::ios::in | std::ios::binary));
  std::ifstream& stream = *owner;
  BONE_IMPORT_CHECK(!stream.fail(), "!file.fail()", SOURCE, "Can't open skinfile " << name);

  Binary_Reader reader(stream);
  std::string ts;
  reader.Read_String(ts);
  BONE_IMPORT_CHECK(ts == SKIN_FILE_HEADER, "ts == SKIN_FILE_HEADER", SOURCE,
                    "Invalid skinfile (wrong header) " << name);
  reader.Read_U32(skin_count);
  reader.Read_U32(bone_count);
  // Each entry holds at least 5 bytes; a count the data cannot hold stops at
  // the end of the data instead of growing the table.
  for (unsigned int i = 0; i < bone_count && !reader.Failed(); ++i) {
    unsigned int unused;
    reader.Read_U32(unused);
    reader.Read_String(ts);
    if (!reader.Failed()) bone_names.push_back(ts);
  }
  reader.Read_String(ts);
  BONE_IMPORT_CHECK(ts == END_SIGN, "ts == END_SIGN", SOURCE, "Invalid skinfile (can't find end sign) " << name);

  for (unsigned int i = 0; i < skin_count; ++i) {
    std::string skin_name;
    reader.Read_String(skin_name);
    const std::uint64_t position = reader.Position();
    skin_index.Add(new Position(skin_name.c_str(), std::streampos(std::streamoff(position))));
    skin_names.push_back(skin_name);
    unsigned int vertex_count;
    reader.Read_U32(vertex_count);
    reader.Seek(position + 4 + std::uint64_t(VERTEX_RECORD_SIZE) * vertex_count);
    reader.Read_String(ts);
    BONE_IMPORT_CHECK(ts == END_SIGN, "ts == END_SIGN", SOURCE,
                      "Invalid skinfile (can't find end sign aftes skin) " << name);
  }
  file_size = reader.Size();
  file = owner.release();
}

Skin_File::~Skin_File() { delete file; }

bool Skin_File::Get_Skin(std::vector<Vertex>& vertices, const char* name) {
  const Position* found;
  {
    Template_Library::HTSC_Node_String probe(name);
    found = static_cast<const Position*>(skin_index.Find(probe));
  }
  if (found == nullptr) return false;

  vertices.clear();
  file->clear();
  file->seekg(0);
  Binary_Reader reader(*file);
  reader.Seek(std::uint64_t(std::streamoff(found->pos)));
  unsigned int count = 0;
  reader.Read_U32(count);
  // The constructor saw every record; data missing now means the file
  // changed on disk since.
  BONE_IMPORT_CHECK(!reader.Failed() && std::uint64_t(count) * VERTEX_RECORD_SIZE <= reader.Remaining(),
                    "std::uint64_t(count) * VERTEX_RECORD_SIZE <= reader.Remaining()", SOURCE,
                    "Skinfile changed after opening, can't read skin " << name << " of " << file_name);
  vertices.reserve(count);
  unsigned char record[VERTEX_RECORD_SIZE];
  for (unsigned int k = 0; k < count; ++k) {
    if (!reader.Read_Bytes(record, VERTEX_RECORD_SIZE)) {
      vertices.clear();
      BONE_IMPORT_CHECK(0, "reader.Read_Bytes(record, VERTEX_RECORD_SIZE)", SOURCE,
                        "Skinfile changed after opening, can't read skin " << name << " of " << file_name);
    }
    const Vertex vertex{Binary_Reader::Decode_U32(record),        Binary_Reader::Decode_Float(record + 4),
                        Binary_Reader::Decode_Float(record + 8),  Binary_Reader::Decode_Float(record + 12),
                        Binary_Reader::Decode_Float(record + 16), Binary_Reader::Decode_U32(record + 20)};
    if (vertex.bone >= bone_count) {
      vertices.clear();
      BONE_IMPORT_CHECK(
          0, "vertex.bone < bone_count", SOURCE,
          "Bone out of range in skinfile " << file_name << " skin " << name << " record " << std::to_string(k));
    }
    vertices.push_back(vertex);
  }
  return true;
}

}  // namespace Bone_Import
}  // namespace Vantorix
