// Test helpers: temporary files, imported bone files and caught kernel errors.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"
#include "support/file_data.h"

namespace test_support {

// A file in the temporary folder, removed when the object goes.
class Temp_File {
 public:
  explicit Temp_File(const std::string& data, const std::string& suffix = ".bin") {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test_name = info ? info->name() : "x";
    for (char& c : test_name)
      if (c == '/') c = '_';
    path_ = ::testing::TempDir() + "bone_import_" + test_name + "_" + std::to_string(counter++) + suffix;
    Write(data);
  }
  ~Temp_File() { std::remove(path_.c_str()); }
  Temp_File(const Temp_File&) = delete;
  Temp_File& operator=(const Temp_File&) = delete;

  void Write(const std::string& data) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
  }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// A bone file written to disk and imported: its hierarchy and its sequence.
struct Imported {
  explicit Imported(const Bone_File& data) : file(data.Data()), sequence(hierarchy) {
    hierarchy.Import(file.path());
    sequence.Import(file.path());
  }
  Temp_File file;
  Vantorix::Bone_Import::Hierarchy hierarchy;
  Vantorix::Bone_Import::Sequence sequence;
};

// Runs `action`, expects a Kernel::Exception and returns it.
inline Kernel::Exception Error_Of(const std::function<void()>& action) {
  try {
    action();
  } catch (const Kernel::Exception& error) {
    return error;
  }
  ADD_FAILURE() << "expected a Kernel::Exception";
  return Kernel::Exception("", "", "", 0);
}

}  // namespace test_support
