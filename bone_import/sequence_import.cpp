#include <fstream>

#include "bone_file.h"
#include "bone_import.h"
#include "check.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// Decodes `count` key records from `bytes` into the bone's arrays. Times and
// offsets are copied bit for bit.
void Decode_Keys(const unsigned char* bytes, unsigned int count, float* times, Quaternion* rotations,
                 Vector_3<float>* offsets) {
  for (unsigned int k = 0; k < count; ++k, bytes += KEY_RECORD_SIZE) {
    Binary_Reader::Decode_Float(bytes, times[k]);
    float r0, r1, r2;
    Binary_Reader::Decode_Float(bytes + 4, r0);
    Binary_Reader::Decode_Float(bytes + 8, r1);
    Binary_Reader::Decode_Float(bytes + 12, r2);
    Matrix_3x3<float> m;
    Template_Library::M3x3_S_S_S_Rot_ZYX(m, r2, r1, r0);  // the file's first angle turns first
    rotations[k] = Quaternion(m);
    Binary_Reader::Decode_Float(bytes + 16, offsets[k].x);
    Binary_Reader::Decode_Float(bytes + 20, offsets[k].y);
    Binary_Reader::Decode_Float(bytes + 24, offsets[k].z);
  }
}

}  // namespace

void Sequence::Import(const char* file_name) {
  BONE_IMPORT_CHECK(!number_of_frames, "!number_of_frames", SOURCE, "Sequence data already imported");
  BONE_IMPORT_CHECK(!hier->Failed(), "!hier->Failed()", SOURCE,
                    "Hierarchy import failed, can't import sequence file " << file_name);
  std::ifstream file(file_name, std::ios::in | std::ios::binary);
  BONE_IMPORT_CHECK(!file.fail(), "!file.fail()", SOURCE, "Can't open file " << file_name);

  Binary_Reader reader(file);
  std::string str;
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == BONE_FILE_HEADER, "str==BONE_FILE_HEADER", SOURCE,
                    "Invalid sequence file (wrong header string) " << file_name);
  unsigned int bone_count;
  reader.Read_U32(bone_count);
  reader.Read_Float(length);
  BONE_IMPORT_PLAIN_CHECK(bone_count == hier->Bone_Count(), "bone_count == hier.Bone_Count()", SOURCE);
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == END_SIGN, "str==END_SIGN", SOURCE, "Invalid sequence file " << file_name);

  Allocate_Tables(bone_count);
  Bone_Record_Head head;
  std::vector<unsigned char> block;
  for (unsigned int record = 0; record < bone_count; ++record) {
    reader.Read_String(head.name);
    const unsigned int bone_index = hier->Bone_Index(head.name.c_str());
    reader.Read_String(head.parent_name);
    reader.Read_U32(number_of_frames[bone_index]);
    reader.Read_U32(head.root_flag);
    const unsigned int n = number_of_frames[bone_index];
    BONE_IMPORT_CHECK(n > 1, "number_of_frames[bone_index] > 1", SOURCE,
                      "There must be atleast 2 frames in sequence, file " << file_name);
    // A bone named twice gets the later record's keys. Until they are all in,
    // the bone counts as having none, so a failed import never pairs a count
    // with arrays it does not describe. Keys that the data cannot hold make
    // the end sign below unreadable.
    Release_Bone(bone_index);
    number_of_frames[bone_index] = 0;
    if (reader.Read_Block(block, std::uint64_t(n) * KEY_RECORD_SIZE)) {
      frame_times[bone_index] = new float[n];
      frame_rotations[bone_index] = new Quaternion[n];
      frame_offsets[bone_index] = new Vector_3<float>[n];
      Decode_Keys(block.data(), n, frame_times[bone_index], frame_rotations[bone_index], frame_offsets[bone_index]);
      number_of_frames[bone_index] = n;
      Note_Key_Order(bone_index);
    }

    reader.Read_String(str);
    BONE_IMPORT_CHECK(str == END_SIGN, "str==END_SIGN", SOURCE, "Invalid sequence file " << file_name);
  }
  // Only a file that names some bone twice can leave another without keys;
  // sampling could not work on that bone.
  for (unsigned int bone = 0; bone < bone_count; ++bone)
    BONE_IMPORT_CHECK(number_of_frames[bone] != 0, "number_of_frames[bone] != 0", SOURCE,
                      "Bone " << hier->Bone_Name(bone) << " has no keys in sequence file " << file_name);
  reader.Read_String(str);
  BONE_IMPORT_CHECK(str == END_SIGN, "str==END_SIGN", SOURCE, "Invalid sequence file " << file_name);
  Build_Key_Groups();
  state = Fill_State::FILLED;
}

}  // namespace Bone_Import
}  // namespace Vantorix
