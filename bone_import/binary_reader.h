// Private: buffered little-endian reader shared by both file formats.
//
// Reads go through a 64 KiB buffer, so the importers read large blocks rather
// than one byte at a time. A read that runs past the end of the data marks the
// reader failed; a failed reader reads nothing more (numbers come back 0,
// strings empty), so the end-sign check that follows reports the damage.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/binary_reader.h is private to the library; include bone_import/bone_import.h"
#endif

#include <cstdint>
#include <cstring>
#include <istream>
#include <string>
#include <vector>

namespace Vantorix {
namespace Bone_Import {

class Binary_Reader {
 public:
  // Starts at the stream's current position; the data ends at the stream's end.
  explicit Binary_Reader(std::istream& stream);

  bool Failed() const { return failed; }
  std::uint64_t Position() const { return buffer_start + cursor; }
  std::uint64_t Size() const { return size; }
  // Bytes left from the read position to the end of the data.
  std::uint64_t Remaining() const { return failed || Position() >= size ? 0 : size - Position(); }

  // Moves the read position; a position past the end fails the reader.
  void Seek(std::uint64_t position);

  void Read_U32(unsigned int& value) {
    unsigned char bytes[4];
    value = Read_Bytes(bytes, 4) ? Decode_U32(bytes) : 0u;
  }
  void Read_Float(float& value) {
    unsigned int bits;
    Read_U32(bits);
    std::memcpy(&value, &bits, sizeof value);
  }
  // Reads bytes up to a 0 byte, which is consumed and not stored. Stops at the
  // end of the data, failing the reader, with the bytes read so far in `text`.
  void Read_String(std::string& text);
  // Copies `count` bytes; false (and the reader failed) if the data ends first.
  bool Read_Bytes(void* destination, std::size_t count) {
    if (count <= length - cursor) {
      std::memcpy(destination, buffer.data() + cursor, count);
      cursor += count;
      return true;
    }
    return Read_Bytes_Slow(destination, count);
  }

  static unsigned int Decode_U32(const unsigned char* bytes) {
    return unsigned(bytes[0]) | unsigned(bytes[1]) << 8 | unsigned(bytes[2]) << 16 | unsigned(bytes[3]) << 24;
  }
  static float Decode_Float(const unsigned char* bytes) {
    const unsigned int bits = Decode_U32(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  bool Read_Bytes_Slow(void* destination, std::size_t count);
  // Loads the buffer from the current read position; false at the end of data.
  bool Fill();
  void Fail();

  std::istream& stream;
  std::vector<char> buffer;
  std::uint64_t size = 0;
  std::uint64_t buffer_start = 0;  // file offset of buffer[0]
  std::size_t cursor = 0;          // read position within the buffer
  std::size_t length = 0;          // valid bytes in the buffer
  bool failed = false;
};

}  // namespace Bone_Import
}  // namespace Vantorix
