#include "binary_reader.h"

#include <algorithm>

namespace Vantorix {
namespace Bone_Import {

namespace {
constexpr std::size_t BUFFER_SIZE = 64 * 1024;
}

Binary_Reader::Binary_Reader(std::istream& in) : stream(in), buffer(BUFFER_SIZE) {
  const std::istream::pos_type start = stream.tellg();
  seekable = start != std::istream::pos_type(-1);
  buffer_start = seekable ? std::uint64_t(std::streamoff(start)) : 0;
  stream.clear();
}

void Binary_Reader::Fail() {
  failed = true;
  cursor = length = 0;
}

bool Binary_Reader::Seek(std::uint64_t position) {
  if (failed) return false;
  if (position >= buffer_start && position - buffer_start <= length) {
    cursor = std::size_t(position - buffer_start);
    return true;
  }
  if (seekable) {
    stream.clear();
    stream.seekg(std::streamoff(position));
    if (stream.fail()) {
      Fail();
      return false;
    }
    buffer_start = position;
    cursor = length = 0;
    return true;
  }
  if (position < Position()) {
    Fail();
    return false;
  }
  while (Position() < position) {
    if (cursor == length && !Fill()) {
      Fail();
      return false;
    }
    cursor += std::size_t(std::min<std::uint64_t>(length - cursor, position - Position()));
  }
  return true;
}

bool Binary_Reader::Fill() {
  if (failed) return false;
  buffer_start += length;
  cursor = 0;
  stream.read(buffer.data(), std::streamsize(buffer.size()));
  length = std::size_t(stream.gcount());
  return length > 0;
}

bool Binary_Reader::Read_Bytes_Slow(void* destination, std::size_t count) {
  auto* out = static_cast<char*>(destination);
  while (count > 0) {
    if (cursor == length && !Fill()) {
      Fail();
      return false;
    }
    const std::size_t part = std::min(count, length - cursor);
    std::memcpy(out, buffer.data() + cursor, part);
    cursor += part;
    out += part;
    count -= part;
  }
  return !failed;
}

bool Binary_Reader::Read_Block(std::vector<unsigned char>& bytes, std::uint64_t count) {
  bytes.clear();
  while (count > 0) {
    const std::size_t step = std::size_t(std::min<std::uint64_t>(count, std::max(BUFFER_SIZE, bytes.size())));
    const std::size_t at = bytes.size();
    bytes.resize(at + step);
    if (!Read_Bytes(bytes.data() + at, step)) return false;
    count -= step;
  }
  return !failed;
}

void Binary_Reader::Read_String(std::string& text) {
  text.clear();
  while (!failed) {
    if (cursor == length && !Fill()) {
      Fail();
      text.clear();
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
