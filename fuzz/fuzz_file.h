// Fuzz input as a file: the importers read files by name. One file per
// process, in memory-backed storage when there is some.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

inline const char* Fuzz_File(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/bone_import_fuzz_" + std::to_string(getpid());
  }();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) __builtin_trap();
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  return path.c_str();
}
