// Playback end to end on real clips, against the reference player
// (support/reference_player.h) to the bit. The SIMD build and the plain build
// (BONE_IMPORT_NO_SIMD, the ThreadSanitizer preset) both run this, so the two
// give identical poses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <set>

#include "bone_import/bone_import.h"
#include "interchange/scene_import.h"
#include "support/file_builders.h"
#include "support/reference_player.h"

using namespace Vantorix::Bone_Import;

namespace {

using test_support::Expect_Playback_Matches_Reference;

void Expect_Playback_Matches_Reference(const std::string& path) {
  SCOPED_TRACE(path);
  Hierarchy h;
  h.Import(path.c_str());
  Sequence s(h);
  s.Import(path.c_str());
  Expect_Playback_Matches_Reference(s);
}

}  // namespace

TEST(Playback, BitForBitTheReferenceOnTheSampleClips) {
  Expect_Playback_Matches_Reference(SAMPLE_DIR "/humanoid_walk.bone");
  Expect_Playback_Matches_Reference(SAMPLE_DIR "/humanoid_run.bone");
}

TEST(Playback, BitForBitTheReferenceOnCmuMotionCapture) {
  const std::string source = ASSIMP_MODELS "/BVH/01_01.bvh";
  if (!std::ifstream(source).good()) GTEST_SKIP() << source << " not installed (assimp-testmodels)";
  const auto scene = Vantorix::Bone_Tools::Import_Scene(source, {});
  test_support::Temp_File file(Vantorix::Bone_Tools::Encode_Bone_File(scene.animation), ".bone");
  Expect_Playback_Matches_Reference(file.path());
  // Reduced, every bone keeps times of its own: the solo bones' time index,
  // four weights at once, and the halving search at exact key times.
  Hierarchy h;
  h.Import(file.path());
  Sequence reduced(h);
  reduced.Import(file.path());
  reduced.Reduce(0.0177f, 1.77f);
  SCOPED_TRACE("reduced");
  Expect_Playback_Matches_Reference(reduced);
}

// Reduce on motion capture: the bound holds at several sizes, measured by an
// independent check, and the search keeps no more than it did when measured
// (75.1%, 39.9%, 6.8%). CMU units: 1 mm is 0.0177, 10 cm is 1.77.
TEST(Reduce, ReduceAndPackHoldTheirBoundsOnCmuMotionCapture) {
  const std::string source = ASSIMP_MODELS "/BVH/01_01.bvh";
  if (!std::ifstream(source).good()) GTEST_SKIP() << source << " not installed (assimp-testmodels)";
  const auto scene = Vantorix::Bone_Tools::Import_Scene(source, {});
  test_support::Temp_File file(Vantorix::Bone_Tools::Encode_Bone_File(scene.animation), ".bone");
  Hierarchy h;
  h.Import(file.path());
  Sequence original(h);
  original.Import(file.path());
  const auto keys = [&](const Sequence& s) {
    double n = 0;
    for (unsigned int b = 0; b < h.Bone_Count(); ++b) n += s.Key_Count(b);
    return n;
  };
  for (const auto& [max_error, share] : {std::pair{0.00177f, 0.752}, {0.0177f, 0.40}, {0.177f, 0.07}}) {
    Sequence reduced(h);
    reduced.Import(file.path());
    reduced.Reduce(max_error, 1.77f);
    EXPECT_LE(test_support::Largest_Point_Error(original, reduced, 1.77f), max_error) << max_error;
    EXPECT_LE(keys(reduced) / keys(original), share) << max_error;
  }
  // Packing: within its bound at several errors; reduced at 0.8 mm and packed
  // at 0.2 mm, within 1 mm (0.0177 units) of the unreduced clip in at most
  // 205,000 bytes.
  for (float max_error : {0.000177f, 0.00177f, 0.0177f}) {
    const Packed_Sequence packed(original, max_error, 1.77f);
    EXPECT_LE(test_support::Largest_Point_Error(original, packed, 1.77f), max_error) << max_error;
  }
  Sequence reduced(h);
  reduced.Import(file.path());
  reduced.Reduce(0.01417f, 1.77f);
  const Packed_Sequence packed(reduced, 0.00354f, 1.77f);
  EXPECT_LE(test_support::Largest_Point_Error(original, packed, 1.77f), 0.0177);
  EXPECT_LE(packed.Size(), 205000u);
  // A jump (a fresh frame) gives what playing forward gives, to the bit.
  Frame played(h, false);
  for (float t = 0; t < packed.Lenght(); t += 0.01f) {
    Frame jump(h, false);
    packed.Get_Frame_Time(played, t);
    packed.Get_Frame_Time(jump, t);
    for (unsigned int b = 0; b < h.Bone_Count(); ++b)
      ASSERT_EQ(std::memcmp(&played.Base(b), &jump.Base(b), sizeof(played.Base(b))), 0) << t;
  }
}
