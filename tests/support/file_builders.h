// Test helpers: temporary files, imported bone files and caught kernel errors.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
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
    // The process id keeps two test runs on one machine apart.
    path_ = ::testing::TempDir() + "bone_import_" + test_name + "_" + std::to_string(getpid()) + "_" +
            std::to_string(counter++) + suffix;
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

// A named pipe that serves `data` once to the first reader: input that
// cannot seek, like a shell's process substitution or standard input.
class Pipe {
 public:
  explicit Pipe(std::string data) : data_(std::move(data)) {
    static int counter = 0;
    path_ = ::testing::TempDir() + "bone_import_pipe_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    ::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the test
    EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    writer_ = std::thread([this] {
      const int fd = ::open(path_.c_str(), O_WRONLY);
      for (std::size_t at = 0; fd >= 0 && at < data_.size();) {
        const ssize_t n = ::write(fd, data_.data() + at, data_.size() - at);
        if (n <= 0) break;
        at += std::size_t(n);
      }
      if (fd >= 0) ::close(fd);
      done_ = true;
    });
  }
  ~Pipe() {
    // Unblocks a writer still waiting for its reader and drains what it has
    // left to write.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    char sink[4096];
    while (fd >= 0 && !done_)
      if (::read(fd, sink, sizeof sink) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    writer_.join();
    if (fd >= 0) ::close(fd);
    std::remove(path_.c_str());
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  std::string data_, path_;
  std::atomic<bool> done_{false};
  std::thread writer_;
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

// The largest distance, at every key time of `original` and every midpoint
// between neighbouring key times, between the two sequences' bone positions
// and the points at `reach` along each bone's axes. Written apart from the
// library's own measure, to check it.
// `edited` is a Sequence or a Packed_Sequence of the same hierarchy.
template <class Edited>
inline double Largest_Point_Error(const Vantorix::Bone_Import::Sequence& original, const Edited& edited, float reach) {
  using namespace Vantorix::Bone_Import;
  const Hierarchy& h = original.Get_Hierarchy();
  std::vector<float> keys;
  for (unsigned int b = 0; b < h.Bone_Count(); ++b)
    keys.insert(keys.end(), original.Key_Times(b), original.Key_Times(b) + original.Key_Count(b));
  std::sort(keys.begin(), keys.end());
  std::vector<float> times = keys;
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) times.push_back(float(0.5 * (double(keys[i]) + keys[i + 1])));
  Frame a(h, false), b(h, false);
  double worst = 0;
  for (float t : times) {
    original.Get_Frame_Time(a, t);
    edited.Get_Frame_Time(b, t);
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone)
      for (int point = 0; point < 4; ++point) {  // the position, then the three axis points
        double d2 = 0;
        for (int i = 0; i < 3; ++i) {
          double pa = a.Offset(bone)[i], pb = b.Offset(bone)[i];
          if (point > 0)
            pa += double(reach) * a.Base(bone).m[i][point - 1], pb += double(reach) * b.Base(bone).m[i][point - 1];
          d2 += (pa - pb) * (pa - pb);
        }
        worst = std::max(worst, std::sqrt(d2));
      }
  }
  return worst;
}

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
