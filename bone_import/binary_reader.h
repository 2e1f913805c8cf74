// Private: buffered little-endian reader shared by both file formats.
//
// Reads go through a 64 KiB buffer, front to back, so the importers read large
// blocks rather than one byte at a time, and input that cannot seek (a pipe,
// standard input) reads like a file. A read that runs past the end of the data
// marks the reader failed; a failed reader reads nothing more (numbers come
// back 0, strings empty), so the end-sign check that follows reports the
// damage. The reader never asks for the size of its input: counts read from a
// file are trusted only as far as data actually arrives.
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
  // Starts at the stream's current position.
  explicit Binary_Reader(std::istream& stream);

  bool Failed() const { return failed; }
  // False for input that cannot go back (a pipe): moving backwards fails.
  bool Can_Seek() const { return seekable; }
  // Bytes from the start of the input to the read position.
  std::uint64_t Position() const { return buffer_start + cursor; }

  // Moves the read position and returns whether the reader is still good.
  // Forward moves on input that cannot seek read and drop the bytes between.
  // A position past the end of the data fails the reader (at the next read on
  // a seekable file), and so does a backward move on input that cannot seek.
  bool Seek(std::uint64_t position);

  void Read_U32(unsigned int& value) {
    unsigned char bytes[4];
    value = Read_Bytes(bytes, 4) ? Decode_U32(bytes) : 0u;
  }
  void Read_Float(float& value) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    Read_Bytes(bytes, 4);
    Decode_Float(bytes, value);
  }
  // Reads bytes up to a 0 byte, which is consumed and not stored. When the
  // data ends first the reader fails and `text` is left empty, so a cut end
  // sign never compares equal to "SIGN".
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
  // Replaces `bytes` with the next `count` bytes. The vector grows in steps no
  // larger than what has already arrived, so a count far beyond the data
  // fails having taken memory in proportion to the data, not to the count.
  bool Read_Block(std::vector<unsigned char>& bytes, std::uint64_t count);

  static unsigned int Decode_U32(const unsigned char* bytes) {
    return unsigned(bytes[0]) | unsigned(bytes[1]) << 8 | unsigned(bytes[2]) << 16 | unsigned(bytes[3]) << 24;
  }
  // Writes the float's bits straight into `value`: never through a float
  // register, which on x87 would quiet a signalling NaN.
  static void Decode_Float(const unsigned char* bytes, float& value) {
    const unsigned int bits = Decode_U32(bytes);
    std::memcpy(&value, &bits, sizeof value);
  }

 private:
  bool Read_Bytes_Slow(void* destination, std::size_t count);
  // Loads the next bytes of the stream after the buffer; false at the end.
  bool Fill();
  void Fail();

  std::istream& stream;
  std::vector<char> buffer;
  std::uint64_t buffer_start = 0;  // input offset of buffer[0]
  std::size_t cursor = 0;          // read position within the buffer
  std::size_t length = 0;          // valid bytes in the buffer
  bool seekable = false;
  bool failed = false;
};

}  // namespace Bone_Import
}  // namespace Vantorix
