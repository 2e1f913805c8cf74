#include "binary_reader.h"

#include <algorithm>

namespace Vantorix {
namespace Bone_Import {

namespace {
constexpr std::size_t BUFFER_SIZE = 64 * 1024;
}

Binary_Reader::Binary_Reader(std::istream& in) : stream(in), buffer(BUFFER_SIZE) {
  const std::istream::pos_type start = stream.tellg();
  stream.seekg(0, std::ios::end);
  const std::istream::pos_type end = stream.tellg();
  if (start == std::istream::pos_type(-1) || end == std::istream::pos_type(-1) || end < start) {
    Fail();
    return;
  }
  size = std::uint64_t(std::streamoff(end));
  buffer_start = std::uint64_t(std::streamoff(start));
}

void Binary_Reader::Fail() {
  failed = true;
  cursor = length = 0;
}

void Binary_Reader::Seek(std::uint64_t position) {
  if (failed) return;
  if (position > size) {
    Fail();
    return;
  }
  if (position >= buffer_start && position <= buffer_start + length) {
    cursor = std::size_t(position - buffer_start);
  } else {
    buffer_start = position;
    cursor = length = 0;
  }
}

bool Binary_Reader::Fill() {
  if (failed) return false;
  const std::uint64_t position = Position();
  if (position >= size) return false;
  const std::size_t wanted = std::size_t(std::min<std::uint64_t>(BUFFER_SIZE, size - position));
  stream.clear();
  stream.seekg(std::streamoff(position));
  stream.read(buffer.data(), std::streamsize(wanted));
  buffer_start = position;
  cursor = 0;
  length = std::size_t(stream.gcount());
  return length > 0;
}

bool Binary_Reader::Read_Bytes_Slow(void* destination, std::size_t count) {
  if (failed || count > Remaining()) {
    Fail();
    return false;
  }
  auto* out = static_cast<char*>(destination);
  while (count > 0) {
    if (cursor == length && !Fill()) {
      Fail();  // the file shrank under us
      return false;
    }
    const std::size_t part = std::min(count, length - cursor);
    std::memcpy(out, buffer.data() + cursor, part);
    cursor += part;
    out += part;
    count -= part;
  }
  return true;
}

void Binary_Reader::Read_String(std::string& text) {
  text.clear();
  while (!failed) {
    if (cursor == length && !Fill()) {
      Fail();
      return;
    }
    const char* begin = buffer.data() + cursor;
    const auto* end = static_cast<const char*>(std::memchr(begin, 0, length - cursor));
    if (end != nullptr) {
      text.append(begin, end);
      cursor += std::size_t(end - begin) + 1;
      return;
    }
    text.append(begin, length - cursor);
    cursor = length;
  }
}

}  // namespace Bone_Import
}  // namespace Vantorix
