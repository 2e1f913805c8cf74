// Hostile input: every prefix of the sample files and extreme count fields go
// through every importer (arbitrary changes are the fuzzers' job). Each must
// end in success or a kernel error, never anything else, without allocating
// far more than the file's size; the objects are destroyed either way (leaks
// are LeakSanitizer's to find in the sanitizer build).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>

#include "support/file_builders.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Keys_At;
using test_support::Temp_File;

// Counting allocator for this test program: live and peak bytes.
namespace {
std::atomic<std::size_t> live_bytes{0}, peak_bytes{0};

void* Counted_Allocate(std::size_t size) {
  void* block = std::malloc(size + 16);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  const std::size_t now = live_bytes += size;
  std::size_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + 16;
}

void Counted_Release(void* pointer) {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - 16;
  live_bytes -= *static_cast<std::size_t*>(block);
  std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return Counted_Allocate(size); }
void* operator new[](std::size_t size) { return Counted_Allocate(size); }
void operator delete(void* pointer) noexcept { Counted_Release(pointer); }
void operator delete[](void* pointer) noexcept { Counted_Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Counted_Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { Counted_Release(pointer); }

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string SAMPLES = SAMPLE_DIR;

// Every importer on the file, then sampling of whatever imported. Returns how
// many of the three imports (hierarchy, its sequence, a sequence on `fixed`)
// succeeded.
int Import_Bone_File(const char* path, const Hierarchy& fixed) {
  int imported = 0;
  try {
    Hierarchy h;
    Sequence s(h);  // before the import, as a host may: destroyed whatever the hierarchy holds
    h.Import(path);
    ++imported;
    s.Import(path);
    ++imported;
    Frame frame(h, false);
    for (float fraction : {-1.0f, 0.3f, 2.0f}) {
      s.Get_Frame(frame, fraction);
      for (unsigned int b = 0; b < h.Bone_Count(); ++b) frame.Base(b);
    }
  } catch (const Kernel::Exception&) {
  }
  try {
    Sequence s(fixed);
    s.Import(path);
    ++imported;
    Frame frame(fixed, true);
    s.Get_Frame(frame, 0.5f);
    frame.Transform_Output(Matrix_3x3<float>::Identity());
  } catch (const Kernel::Exception&) {
  }
  return imported;
}

// Whether the skin file opened; then every skin is read and imported.
bool Import_Skin_File(const char* path, const Hierarchy& fixed) {
  try {
    Skin_File file(path);
    std::vector<Skin_File::Vertex> vertices;
    for (unsigned int i = 0; i < file.Skin_Count(); ++i) {
      try {
        file.Get_Skin(vertices, file.Skin_Name(i));
        Skin skin;
        skin.Import(file, file.Skin_Name(i), fixed);
      } catch (const Kernel::Exception&) {
      }
    }
    return true;
  } catch (const Kernel::Exception&) {
    return false;
  }
}

struct Fixture {
  Fixture() : skeleton(Slurp(SAMPLES + "/humanoid_walk.bone")) { hierarchy.Import(skeleton.path()); }
  Temp_File skeleton;
  Hierarchy hierarchy;
};

Bone_File Small_Bone_File() {
  return Bone_File()
      .Length(1)
      .Root("r", {{0, 0.1f, 0, 0, 1, 2, 3}, {1, 0, 0.2f, 0, 1, 2, 3}})
      .Bone("a", "R", Keys_At({0, 0.5f, 1}))
      .Bone("b", "a", Keys_At({0, 1}));
}

std::string Small_Skin_File() {
  return test_support::Skin_File_Data()
      .Bones({"r", "a", "b"})
      .Skin("s", {{0, 1, 2, 3, 0.5f, 0}, {2, 1, 1, 1, 0.5f, 0}})
      .Skin("t", {{1, 0, 0, 0, 1, 1}})
      .Data();
}

}  // namespace

// Every file cut short is refused by every importer.
TEST(HostileInput, EveryPrefixIsRefused) {
  Fixture fixture;
  Temp_File file("");
  const auto check_bones = [&](const std::string& bytes, std::size_t step_divisor) {
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + cut / step_divisor) {
      file.Write(bytes.substr(0, cut));
      EXPECT_EQ(Import_Bone_File(file.path(), fixture.hierarchy), 0) << "cut at " << cut;
    }
  };
  const auto check_skin = [&](const std::string& bytes, std::size_t step_divisor) {
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + cut / step_divisor) {
      file.Write(bytes.substr(0, cut));
      EXPECT_FALSE(Import_Skin_File(file.path(), fixture.hierarchy)) << "cut at " << cut;
    }
  };
  check_bones(Small_Bone_File().Data(), std::size_t(-1));  // every byte
  check_skin(Small_Skin_File(), std::size_t(-1));
  check_bones(Slurp(SAMPLES + "/humanoid_walk.bone"), 4096);
  check_bones(Slurp(SAMPLES + "/humanoid_run.bone"), 4096);
  check_skin(Slurp(SAMPLES + "/humanoid.skin"), 2048);

  // A cut final end sign fails the hierarchy's own final check, not a later
  // one with a misleading name.
  const std::string bones = Small_Bone_File().Data();
  file.Write(bones.substr(0, bones.size() - 1));
  Hierarchy h;
  const auto e = test_support::Error_Of([&] { h.Import(file.path()); });
  EXPECT_STREQ(e.Condition(), "str == END_SIGN");
  EXPECT_EQ(std::string(e.Message()), "Invalid sequence file " + std::string(file.path()));
}

TEST(HostileInput, ExtremeCountsAllocateLittleAndTakeNoTime) {
  Fixture fixture;
  Temp_File file("");
  const std::uint32_t counts[] = {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu};
  // Each case sets one count field of a small valid file.
  std::vector<std::pair<std::string, std::function<std::string(std::uint32_t)>>> cases = {
      {"bone count",
       [](std::uint32_t c) {
         Bone_File f = Small_Bone_File();
         f.bone_count = c;
         return f.Data();
       }},
      {"key count",
       [](std::uint32_t c) {
         Bone_File f = Small_Bone_File();
         f.bones[1].key_count = c;
         return f.Data();
       }},
      {"skin count",
       [](std::uint32_t c) {
         auto s = test_support::Skin_File_Data().Bones({"r"}).Skin("s", {});
         s.skin_count = c;
         return s.Data();
       }},
      {"bone table count",
       [](std::uint32_t c) {
         auto s = test_support::Skin_File_Data().Bones({"r"}).Skin("s", {});
         s.bone_count = c;
         return s.Data();
       }},
      {"vertex count",
       [](std::uint32_t c) {
         auto s = test_support::Skin_File_Data().Bones({"r"}).Skin("s", {{0, 1, 1, 1, 1, 0}});
         s.skins[0].count = c;
         return s.Data();
       }},
  };
  for (const auto& c : cases)
    for (std::uint32_t count : counts) {
      SCOPED_TRACE(c.first + " " + std::to_string(count));
      const std::string bytes = c.second(count);
      file.Write(bytes);
      const std::size_t before = live_bytes.load();
      peak_bytes = before;
      const auto start = std::chrono::steady_clock::now();
      if (bytes.compare(0, 4, "SKIN") == 0)
        Import_Skin_File(file.path(), fixture.hierarchy);
      else
        Import_Bone_File(file.path(), fixture.hierarchy);
      // The reader's 64 KiB buffer and the streams' own buffers, plus a small
      // multiple of the file.
      EXPECT_LT(peak_bytes.load() - before, 512 * 1024 + 16 * bytes.size());
      // Nothing walks a count that no data backed (milliseconds; a walk of
      // 2^32 bones takes seconds).
      EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    }
}

TEST(HostileInput, AHugeKeyCountThroughAPipeFailsHavingTakenLittle) {
  Temp_File skeleton(Small_Bone_File().Data());
  Hierarchy h;
  h.Import(skeleton.path());
  Bone_File f = Small_Bone_File();
  f.bones[1].key_count = 0x7FFFFFFFu;
  const std::string bytes = f.Data();
  test_support::Pipe pipe(bytes);
  const std::size_t before = live_bytes.load();
  peak_bytes = before;
  Sequence s(h);
  EXPECT_STREQ(test_support::Error_Of([&] { s.Import(pipe.path()); }).Condition(), "str==END_SIGN");
  EXPECT_LT(peak_bytes.load() - before, 512 * 1024 + 16 * bytes.size());
}
