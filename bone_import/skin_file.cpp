#include <algorithm>
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
    : skin_count(0), bone_count(0), skin_index(SKIN_INDEX_BUCKETS), file(nullptr), file_name(name) {
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

  // Records are read only now, from the skin's place: input that cannot
  // seek (a pipe) has gone past it.
  file->clear();
  file->seekg(found->pos);
  BONE_IMPORT_CHECK(!file->fail(), "!file->fail()", SOURCE,
                    "Can't read skin " << name << " of skinfile " << file_name
                                       << ": skins are read from a file that can seek, not a pipe");
  Binary_Reader reader(*file);
  unsigned int count = 0;
  reader.Read_U32(count);
  // The constructor saw every record; data missing now means the file
  // changed on disk since. The vector grows only as records arrive.
  std::vector<Vertex> records;
  records.reserve(std::min(count, 65536u));
  unsigned char bytes[VERTEX_RECORD_SIZE];
  bool complete = !reader.Failed();
  for (unsigned int k = 0; k < count && complete; ++k) {
    complete = reader.Read_Bytes(bytes, VERTEX_RECORD_SIZE);
    // Decoded in place: a float copied as a value could pass through the x87
    // unit on 32-bit builds and lose a signalling NaN.
    Vertex& vertex = records.emplace_back();
    vertex.bone = Binary_Reader::Decode_U32(bytes);
    Binary_Reader::Decode_Float(bytes + 4, vertex.x);
    Binary_Reader::Decode_Float(bytes + 8, vertex.y);
    Binary_Reader::Decode_Float(bytes + 12, vertex.z);
    Binary_Reader::Decode_Float(bytes + 16, vertex.weight);
    vertex.vertex_index = Binary_Reader::Decode_U32(bytes + 20);
  }
  BONE_IMPORT_CHECK(complete, "complete", SOURCE,
                    "Skinfile changed after opening, can't read skin " << name << " of " << file_name);
  vertices.swap(records);
  return true;
}

}  // namespace Bone_Import
}  // namespace Vantorix
