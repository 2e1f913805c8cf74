#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

#include "support/file_builders.h"

using namespace Vantorix::Bone_Import;
using test_support::Bone_File;
using test_support::Error_Of;
using test_support::Imported;
using test_support::Key;
using test_support::Keys_At;

namespace {

// Root keys whose x offset equals the time (times given), one child with
// keys at 0 and `length`, and a leaf.
Bone_File Ramp(std::vector<float> times, float length, float angle_step = 0.0f) {
  std::vector<Key> keys;
  for (float t : times) keys.push_back(Key{t, 0, 0, angle_step * t, t, 0, 0});
  return Bone_File()
      .Length(length)
      .Root("root", keys)
      .Bone("child", "root", {{0, 0, 0, 0, 0, 1, 0}, {length, 0, 0, 0, 0, 3, 0}})
      .Bone("leaf", "child", Keys_At({0, length}));
}

std::vector<float> Times(const Sequence& s, unsigned int bone) {
  return std::vector<float>(s.Key_Times(bone), s.Key_Times(bone) + s.Key_Count(bone));
}

float Dot(const Quaternion& a, const Quaternion& b) {
  return a.w * b.w + a.v.x * b.v.x + a.v.y * b.v.y + a.v.z * b.v.z;
}

// The sample walk and run on one hierarchy, the sources of the bound tests'
// clips; a case makes a clip from them and bounds its error at a reach.
struct Sample_Clips {
  Sample_Clips() {
    h.Import(walk_file.c_str());
    walk.Import(walk_file.c_str());
    run.Import(run_file.c_str());
  }
  const std::string walk_file = std::string(SAMPLE_DIR) + "/humanoid_walk.bone";
  const std::string run_file = std::string(SAMPLE_DIR) + "/humanoid_run.bone";
  Hierarchy h;
  Sequence walk{h}, run{h};
};

struct Bound_Case {
  const char* what;
  std::function<void(Sequence&)> make;
  float max_error, reach;
};

}  // namespace

TEST(Combine, KeyLayoutOfTwoStretchesAndATransition) {
  Imported a(Ramp({0, 1, 2, 3, 4}, 4));
  Imported b(Ramp({0, 2, 4, 6, 8}, 8));
  Sequence result(a.hierarchy);
  // a from 1 to 3 (keys 1 and 3 sit exactly on the bounds), b from 2 to 8.
  result.Combine(a.sequence, 0.25f, 0.75f, b.sequence, 0.25f, 1.0f, 0.5f);
  EXPECT_EQ(result.Lenght(), 2.0f + 6.0f + 0.5f);
  EXPECT_EQ(Times(result, 0), (std::vector<float>{0, 1, 2, 2.5f, 4.5f, 6.5f, 8.5f}));
  const Vector_3<float>* offsets = result.Key_Offsets(0);
  EXPECT_EQ(offsets[0].x, 1.0f);  // a's pose at 1
  EXPECT_EQ(offsets[1].x, 2.0f);  // a's key at 2
  EXPECT_EQ(offsets[2].x, 3.0f);  // a's pose at 3
  EXPECT_EQ(offsets[3].x, 2.0f);  // b's pose at 2
  EXPECT_EQ(offsets[4].x, 4.0f);
  EXPECT_EQ(offsets[6].x, 8.0f);
  // A bone with no key strictly inside either stretch gets exactly four keys.
  EXPECT_EQ(Times(result, 1), (std::vector<float>{0, 2, 2.5f, 8.5f}));
  EXPECT_EQ(result.Key_Offsets(1)[1].y, 2.5f);  // child at a's time 3 of 4
  // Leaf bones get the frames' initial pose: defined values.
  EXPECT_EQ(result.Key_Count(2), 4u);
  EXPECT_EQ(result.Key_Rotations(2)[3].w, 1.0f);
  EXPECT_EQ(result.Key_Offsets(2)[3].x, 0.0f);
}

TEST(Combine, TransitionBlendsFromTheEndPoseToTheStartPose) {
  Imported a(Ramp({0, 4}, 4, 0.2f));
  Sequence result(a.hierarchy);
  result.Combine(a.sequence, 0.0f, 1.0f, a.sequence, 0.0f, 0.5f, 2.0f);  // the same sequence twice
  Frame frame(a.hierarchy, false), from(a.hierarchy, false), to(a.hierarchy, false), expected(a.hierarchy, false);
  a.sequence.Get_Frame_Time(from, 4.0f);
  a.sequence.Get_Frame_Time(to, 0.0f);
  result.Get_Frame_Time(frame, 4.5f);  // a quarter into the transition
  Interpolate(expected, from, to, 0.25f);
  EXPECT_FLOAT_EQ(frame.Local_Offset(0).x, expected.Local_Offset(0).x);
  EXPECT_NEAR(Dot(frame.Local_Rotation(0), expected.Local_Rotation(0)), 1.0f, 1e-6f);
  EXPECT_EQ(result.Key_Times(0)[result.Key_Count(0) - 1], result.Lenght());
}

TEST(Combine, KeyTimesRiseStrictlyWhenShiftedTimesRoundOntoABoundary) {
  // From 0.375 s of the run, one of Neck's copied keys rounds onto the
  // boundary key at 2.2: it is dropped, and no interval has length 0.
  const std::string walk_file = std::string(SAMPLE_DIR) + "/humanoid_walk.bone";
  const std::string run_file = std::string(SAMPLE_DIR) + "/humanoid_run.bone";
  Hierarchy h;
  h.Import(walk_file.c_str());
  Sequence walk(h), run(h), result(h);
  walk.Import(walk_file.c_str());
  run.Import(run_file.c_str());
  result.Combine(walk, 0, 1, run, 0.375f / 1.4f, 1, 0.2f);
  Frame frame(h, false);
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
    const std::vector<float> times = Times(result, b);
    for (std::size_t k = 0; k < times.size(); ++k) {
      if (k > 0) {
        EXPECT_LT(times[k - 1], times[k]) << h.Bone_Name(b) << " key " << k;
      }
      result.Get_Frame_Time(frame, times[k]);
      for (unsigned int c = 0; c < h.Bone_Count(); ++c)
        ASSERT_TRUE(std::isfinite(frame.Local_Rotation(c).w) && std::isfinite(frame.Local_Offset(c).x))
            << h.Bone_Name(c) << " at " << times[k];
    }
  }
}

TEST(Combine, EveryBoneKeepsTwoKeysWhenTheStretchTimesAreNotNumbers) {
  // A source of infinite length: 0 * inf gives stretch bounds that are NaN.
  Imported endless(Ramp({0, 1, 2}, INFINITY));
  Sequence result(endless.hierarchy);
  result.Combine(endless.sequence, 0.0f, 0.5f, endless.sequence, 0.25f, 1.0f, 0.1f);
  Frame frame(endless.hierarchy, false);
  for (unsigned int b = 0; b < endless.hierarchy.Bone_Count(); ++b) EXPECT_GE(result.Key_Count(b), 2u);
  for (float fraction : {0.0f, 0.5f, 1.0f}) result.Get_Frame(frame, fraction);
}

TEST(Combine, RefusalsInTheirOrderChangeNothing) {
  Imported a(Ramp({0, 4}, 4));
  Imported copy(Ramp({0, 4}, 4));  // another hierarchy object, equal by value
  Imported other(Ramp({0, 4}, 4).Bone("extra", "root", Keys_At({0, 4})));
  Sequence empty_source(a.hierarchy);
  Imported backwards(Ramp({0, 4}, -4));  // a damaged file: a negative length
  struct Case {
    const char* condition;
    std::function<void(Sequence&)> call;
  };
  Sequence& s = a.sequence;
  const std::vector<Case> cases = {
      {"!number_of_frames", [&](Sequence&) { s.Combine(s, 0, 1, s, 0, 1, 1); }},
      {"a.hier == b.hier", [&](Sequence& r) { r.Combine(other.sequence, 0, 1, s, 0, 1, 1); }},
      {"hier == b.hier", [&](Sequence& r) { r.Combine(other.sequence, 0, 1, other.sequence, 0, 1, 1); }},
      {"a_start_index < a_end_index", [&](Sequence& r) { r.Combine(s, 0.5f, 0.5f, s, 0, 1, 1); }},
      {"b_start_index < b_end_index", [&](Sequence& r) { r.Combine(s, 0, 1, s, 0.7f, 0.2f, 1); }},
      {"a_start_index >= 0.0f", [&](Sequence& r) { r.Combine(s, -0.1f, 1, s, 0, 1, 1); }},
      {"b_start_index >= 0.0f", [&](Sequence& r) { r.Combine(s, 0, 1, s, -1, 1, 1); }},
      {"a_end_index <= 1.0f", [&](Sequence& r) { r.Combine(s, 0, 1.5f, s, 0, 1, 1); }},
      {"b_end_index <= 1.0f", [&](Sequence& r) { r.Combine(s, 0, 1, s, 0, 1.01f, 1); }},
      {"transition_time > 0.0f", [&](Sequence& r) { r.Combine(s, 0, 1, s, 0, 1, 0); }},
      {"transition_time > 0.0f", [&](Sequence& r) { r.Combine(s, 0, 1, s, 0, 1, -2); }},
      {"a.number_of_frames && b.number_of_frames", [&](Sequence& r) { r.Combine(empty_source, 0, 1, s, 0, 1, 1); }},
      {"!(a.Lenght() < 0.0f) && !(b.Lenght() < 0.0f)",
       [&](Sequence& r) { r.Combine(s, 0, 1, backwards.sequence, 0, 1, 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    Sequence result(a.hierarchy);
    const auto e = Error_Of([&] { c.call(result); });
    EXPECT_STREQ(e.Condition(), c.condition);
    EXPECT_STREQ(e.File(), "bone_import/bones");
    EXPECT_TRUE(result.Is_Empty());
  }
  EXPECT_STREQ(Error_Of([&] { s.Combine(s, 0, 1, s, 0, 1, 1); }).Message(), "Sequence has already some data!!");
  Sequence by_value(copy.hierarchy);
  by_value.Combine(s, 0, 1, s, 0, 1, 1);  // hierarchies compared by value
  EXPECT_EQ(by_value.Lenght(), 9.0f);
}

TEST(Copy, TakesEveryKeyToTheBitAndNothingAfter) {
  Imported a(Ramp({0, 1, 2.5f, 4}, 4, 0.3f));
  Imported equal(Ramp({0, 4}, 4));  // another hierarchy object, equal by value
  Sequence copy(equal.hierarchy);
  copy.Copy(a.sequence);
  Imported before(Ramp({0, 1, 2.5f, 4}, 4, 0.3f));
  a.sequence.Flip();
  EXPECT_EQ(copy.Lenght(), 4.0f);
  for (unsigned int b = 0; b < 3; ++b) {
    const unsigned int n = before.sequence.Key_Count(b);
    ASSERT_EQ(copy.Key_Count(b), n);
    EXPECT_EQ(std::memcmp(copy.Key_Times(b), before.sequence.Key_Times(b), n * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(copy.Key_Rotations(b), before.sequence.Key_Rotations(b), n * sizeof(Quaternion)), 0);
    EXPECT_EQ(std::memcmp(copy.Key_Offsets(b), before.sequence.Key_Offsets(b), n * sizeof(Vector_3<float>)), 0);
  }
  Imported other(Ramp({0, 4}, 4).Bone("extra", "root", Keys_At({0, 4})));
  Sequence empty(a.hierarchy), target(a.hierarchy);
  EXPECT_STREQ(Error_Of([&] { copy.Copy(a.sequence); }).Message(), "Sequence has already some data!!");
  EXPECT_STREQ(Error_Of([&] { target.Copy(empty); }).Message(), "Sequence is empty");
  EXPECT_STREQ(Error_Of([&] { target.Copy(other.sequence); }).Message(),
               "Copy source sequence belongs to another hierarchy");
  EXPECT_TRUE(target.Is_Empty());
}

// Optimize tests each key against the span to the next original key, with a
// rotation dot product and an offset distance; what stays, case by case.
TEST(Optimize, KeepsWhatItsTolerancesSay) {
  // Turns about x on either side of 4/3 pi: the matrix conversion flips the
  // sign of the middle key, which then is the interpolated rotation negated.
  const float a = float(4 * M_PI / 3);
  const std::vector<Key> negated = {{0, a - 0.1f}, {1, a + 0.1f}, {2, a + 0.3f}};
  // x offsets 1, 2, 3.5, 4: key 1 goes (0.25 off the span to key 2); key 2 is
  // then tested against keys 0 and 3 (0.5 off) and stays.
  const std::vector<Key> bend = {{0, 0, 0, 0, 1}, {1, 0, 0, 0, 2}, {2, 0, 0, 0, 3.5f}, {3, 0, 0, 0, 4}};
  const auto root = [](float length, std::vector<Key> keys) {
    return Bone_File().Length(length).Root("r", keys).Bone("l", "r", Keys_At({0, length}));
  };
  struct Case {
    const char* what;
    Bone_File file;
    float rotation_tolerance, offset_tolerance;
    std::vector<float> kept;
  };
  const std::vector<Case> cases = {
      {"a straight line", Ramp({0, 1, 2, 3, 4, 5, 6, 7, 8}, 8, 0.1f), 0.99f, 0.0f, {0, 8}},
      {"negative tolerances", Ramp({0, 1, 2, 3}, 3), -2.0f, -1e-9f, {0, 1, 2, 3}},
      {"keys on the path: equality passes", root(3, Keys_At({0, 1, 2, 3})), 1.0f, 0.0f, {0, 3}},
      {"a steady turn about x", root(2, {{0, 0}, {1, 0.2f}, {2, 0.4f}}), 0.99f, 1.0f, {0, 2}},
      {"a kink about x", root(2, {{0, 0}, {1, 0.4f}, {2, 0.4f}}), 0.999f, 1.0f, {0, 1, 2}},
      {"a negated quaternion", root(2, negated), 0.5f, 1.0f, {0, 1, 2}},
      {"a negated quaternion, negative tolerance", root(2, negated), -1.5f, 1.0f, {0, 2}},
      {"no retest against the wider span", root(3, bend), 0.0f, 0.3f, {0, 2, 3}},
      {"equal neighbour times", root(1, {{0}, {0}, {0}, {1}}), 0.0f, 100.0f, {0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Imported file(c.file), original(c.file);
    file.sequence.Optimize(c.rotation_tolerance, c.offset_tolerance);
    EXPECT_EQ(Times(file.sequence, 0), c.kept);
    EXPECT_EQ(file.sequence.Lenght(), original.sequence.Lenght());
    // The keys that stay are the original keys at those times.
    for (unsigned int k = 0, j = 0; k < file.sequence.Key_Count(0); ++k, ++j) {
      while (original.sequence.Key_Times(0)[j] != file.sequence.Key_Times(0)[k]) ++j;
      EXPECT_EQ(file.sequence.Key_Offsets(0)[k].x, original.sequence.Key_Offsets(0)[j].x) << k;
    }
  }
}

TEST(Optimize, ResultIsASubsequenceWithEndsKept) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  std::vector<Key> keys;
  for (int k = 0; k <= 200; ++k)
    keys.push_back(Key{k * 0.1f, noise(random), noise(random), 0.01f * k, k * 0.1f + noise(random)});
  Imported file(Bone_File().Length(20).Root("r", keys).Bone("l", "r", Keys_At({0, 20})));
  const std::vector<float> before = Times(file.sequence, 0);
  file.sequence.Optimize(0.999f, 0.04f);
  const std::vector<float> after = Times(file.sequence, 0);
  EXPECT_LT(after.size(), before.size());
  EXPECT_GT(after.size(), 2u);
  EXPECT_EQ(after.front(), before.front());
  EXPECT_EQ(after.back(), before.back());
  EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end()));
}

// Reduce: the bound holds (measured independently), across its inputs.
TEST(Reduce, EveryPointStaysWithinTheBound) {
  Sample_Clips clips;
  const std::string& walk_file = clips.walk_file;
  Hierarchy& h = clips.h;
  Sequence &walk = clips.walk, &run = clips.run;
  const std::vector<Bound_Case> cases = {
      {"walk, 1 mm at 10 cm", [&](Sequence& s) { s.Import(walk_file.c_str()); }, 0.001f, 0.1f},
      {"walk, 1 cm at 10 cm", [&](Sequence& s) { s.Import(walk_file.c_str()); }, 0.01f, 0.1f},
      {"walk, 1 mm, no reach", [&](Sequence& s) { s.Import(walk_file.c_str()); }, 0.001f, 0.0f},
      {"after Combine", [&](Sequence& s) { s.Combine(walk, 0, 0.5f, run, 0.2f, 1, 0.3f); }, 0.002f, 0.1f},
      {"after Combine and Flip",
       [&](Sequence& s) {
         s.Combine(run, 0, 1, walk, 0, 1, 0.25f);
         s.Flip();
       },
       0.002f, 0.1f},
  };
  for (const Bound_Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sequence original(h), reduced(h);
    c.make(original);
    c.make(reduced);
    reduced.Reduce(c.max_error, c.reach);
    const double independent = test_support::Largest_Point_Error(original, reduced, c.reach);
    EXPECT_LE(independent, c.max_error);
    std::size_t before = 0, after = 0;
    for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
      before += original.Key_Count(b), after += reduced.Key_Count(b);
      ASSERT_GE(reduced.Key_Count(b), 2u);
      EXPECT_EQ(reduced.Key_Times(b)[0], original.Key_Times(b)[0]);
      EXPECT_EQ(reduced.Key_Times(b)[reduced.Key_Count(b) - 1], original.Key_Times(b)[original.Key_Count(b) - 1]);
      for (unsigned int k = 1; k < reduced.Key_Count(b); ++k)
        ASSERT_LT(reduced.Key_Times(b)[k - 1], reduced.Key_Times(b)[k]);
    }
    EXPECT_LT(after, before);
    const std::vector<double> own = Sequence::Reduction_Errors(original, reduced, c.reach);
    EXPECT_NEAR(*std::max_element(own.begin(), own.end()), independent, 1e-9);
  }
}

TEST(Reduce, KeepsTheKeysItMustAndNoMore) {
  std::vector<Key> line, zigzag, arc;
  for (int k = 0; k <= 20; ++k) {
    line.push_back(Key{k * 0.1f, 0, 0, 0, k * 0.1f, 1, 0});
    zigzag.push_back(Key{k * 0.1f, 0, 0, k % 2 ? 0.5f : -0.5f, 0, k % 2 ? 1.0f : 0.0f, 0});
    if (k >= 5 && k <= 15) arc.push_back(Key{k * 0.1f, 0, 0, 0, 0, (k - 10) * (k - 10) * 5e-4f, 0});
  }
  Imported straight(Bone_File().Length(2).Root("r", line).Bone("a", "r", line).Bone("leaf", "a", line));
  straight.sequence.Reduce(1e-4f, 0.1f);
  for (unsigned int b = 0; b < 3; ++b) EXPECT_EQ(straight.sequence.Key_Count(b), 2u) << b;
  Imported turns(Bone_File().Length(2).Root("r", zigzag).Bone("a", "r", zigzag).Bone("leaf", "a", Keys_At({0, 2})));
  turns.sequence.Reduce(1e-3f, 0.1f);
  EXPECT_EQ(turns.sequence.Key_Count(0), 21u);
  EXPECT_EQ(turns.sequence.Key_Count(1), 21u);
  // A key that is not a number places nothing, so it bounds nothing: it goes.
  std::vector<Key> broken = line;
  broken[10].x = NAN;
  Imported unmeasurable(Bone_File().Length(2).Root("r", broken).Bone("leaf", "r", Keys_At({0, 2})));
  unmeasurable.sequence.Reduce(1e-4f, 0.1f);
  EXPECT_EQ(Times(unmeasurable.sequence, 0), (std::vector<float>{0, 2}));
  // Keys over part of the clip: outside them sampling extrapolates from the
  // first or last span, which dropping keys changes too.
  Imported part(Bone_File().Length(2).Root("r", line).Bone("a", "r", arc).Bone("leaf", "a", Keys_At({0, 2})));
  Imported original(Bone_File().Length(2).Root("r", line).Bone("a", "r", arc).Bone("leaf", "a", Keys_At({0, 2})));
  part.sequence.Reduce(1e-3f, 0.1f);
  EXPECT_LT(part.sequence.Key_Count(1), 11u);
  EXPECT_LE(test_support::Largest_Point_Error(original.sequence, part.sequence, 0.1f), 1e-3);
}

// Packing: the bound holds (measured independently) on clips made in several
// ways; where keys are stored whole, the pose is the source's to the bit; the
// packed clip needs nothing of its source.
TEST(Packed_Sequence, HoldsItsBoundAndIsExactWhereStoredWhole) {
  Sample_Clips clips;
  const std::string& walk_file = clips.walk_file;
  Hierarchy& h = clips.h;
  Sequence &walk = clips.walk, &run = clips.run;
  const std::vector<Bound_Case> cases = {
      {"walk, 1 mm at 10 cm", [&](Sequence& s) { s.Import(walk_file.c_str()); }, 0.001f, 0.1f},
      {"walk, 0.01 mm at 10 cm", [&](Sequence& s) { s.Import(walk_file.c_str()); }, 1e-5f, 0.1f},
      {"walk, 1 cm, no reach", [&](Sequence& s) { s.Import(walk_file.c_str()); }, 0.01f, 0.0f},
      {"walk reduced first",
       [&](Sequence& s) {
         s.Import(walk_file.c_str());
         s.Reduce(0.001f, 0.1f);
       },
       0.001f, 0.1f},
      {"after Combine", [&](Sequence& s) { s.Combine(walk, 0, 0.5f, run, 0.2f, 1, 0.3f); }, 0.002f, 0.1f},
  };
  Frame a(h, false), b(h, false);
  for (const Bound_Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto source = std::make_unique<Sequence>(h);
    c.make(*source);
    const Packed_Sequence packed(*source, c.max_error, c.reach);
    EXPECT_LE(test_support::Largest_Point_Error(*source, packed, c.reach), c.max_error);
    std::size_t keys = 0;
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) keys += source->Key_Count(bone);
    EXPECT_EQ(packed.Key_Count(), keys);
    EXPECT_LT(packed.Size(), keys * 32);  // a key of a Sequence: time, quaternion, offset
    EXPECT_EQ(packed.Lenght(), source->Lenght());
    // The first and last key are stored whole: at their times each bone's
    // local rotation (as a matrix: the quaternion may come out negated) and
    // offset are the source's to the bit.
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) {
      if (h.Is_Leaf(bone)) continue;
      for (float t : {source->Key_Times(bone)[0], source->Key_Times(bone)[source->Key_Count(bone) - 1]}) {
        if (!(t >= 0 && t <= source->Lenght())) continue;  // sampled at the clamped time, between keys
        source->Get_Frame_Time(a, t);
        packed.Get_Frame_Time(b, t);
        Matrix_3x3<float> ma, mb;
        a.Local_Rotation(bone).To_Matrix(ma);
        b.Local_Rotation(bone).To_Matrix(mb);
        ASSERT_EQ(std::memcmp(&ma, &mb, sizeof ma), 0) << bone << " at " << t;
        ASSERT_EQ(std::memcmp(&a.Local_Offset(bone), &b.Local_Offset(bone), sizeof(Vector_3<float>)), 0) << bone << t;
      }
    }
    // The source goes; the packed clip plays on.
    const float middle = source->Lenght() / 3;
    source->Get_Frame_Time(a, middle);
    std::vector<Vector_3<float>> before;
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone) before.push_back(a.Offset(bone));
    source.reset();
    packed.Get_Frame(b, 1.0f / 3);
    for (unsigned int bone = 0; bone < h.Bone_Count(); ++bone)
      EXPECT_LE(std::sqrt(Template_Library::V3_V3_Sub_Norm(before[bone], b.Offset(bone))), c.max_error);
  }
  // A channel whose keys are all the same is exact at every time.
  std::vector<Key> moving, still;
  for (int k = 0; k <= 40; ++k) {
    moving.push_back(Key{k * 0.05f, 0.01f * k, 0.3f, -0.02f * k, 0.1f * k, 1, 0});
    still.push_back(Key{k * 0.05f, 0.3f, -0.2f, 0.1f, 0.5f, 0.25f, 0.125f});
  }
  Imported clip(Bone_File().Length(2).Root("r", moving).Bone("s", "r", still).Bone("leaf", "s", Keys_At({0, 2})));
  const Packed_Sequence packed(clip.sequence, 1e-3f, 0.1f);
  Frame c(clip.hierarchy, false), d(clip.hierarchy, false);
  for (float t = 0; t < 2; t += 0.013f) {
    clip.sequence.Get_Frame_Time(c, t);
    packed.Get_Frame_Time(d, t);
    EXPECT_EQ(std::memcmp(&c.Local_Rotation(1), &d.Local_Rotation(1), sizeof(Quaternion)), 0) << t;
    EXPECT_EQ(std::memcmp(&c.Local_Offset(1), &d.Local_Offset(1), sizeof(Vector_3<float>)), 0) << t;
  }
  // Keys far apart at a fine bound: keys wider than 57 bits, read in two loads.
  std::mt19937 random(3);
  std::uniform_real_distribution<float> angle(-3, 3), place(-100, 100);
  std::vector<Key> wild;
  for (int k = 0; k <= 40; ++k)
    wild.push_back(Key{k * 0.05f, angle(random), angle(random), angle(random), place(random), 0.5f * place(random),
                       place(random)});
  Imported far(Bone_File().Length(2).Root("r", wild).Bone("leaf", "r", Keys_At({0, 2})));
  const Packed_Sequence fine(far.sequence, 1.5e-3f, 1.0f);
  EXPECT_LE(test_support::Largest_Point_Error(far.sequence, fine, 1.0f), 1.5e-3);
  // A clip packed where another of the same size was is not taken for it by
  // a frame that played the other.
  Imported turn_left(Ramp({0, 1, 2, 3, 4}, 4, 0.1f)), turn_right(Ramp({0, 1, 2, 3, 4}, 4, -0.1f));
  std::optional<Packed_Sequence> at_one_place;
  Frame played(turn_left.hierarchy, false), fresh(turn_left.hierarchy, false);
  at_one_place.emplace(turn_left.sequence, 1e-3f, 0.1f);
  const std::size_t size = at_one_place->Size();
  at_one_place->Get_Frame_Time(played, 0.5f);
  at_one_place.reset();
  Sequence right(turn_left.hierarchy);
  right.Import(turn_right.file.path());
  at_one_place.emplace(right, 1e-3f, 0.1f);
  ASSERT_EQ(at_one_place->Size(), size);
  at_one_place->Get_Frame_Time(played, 0.5f);
  at_one_place->Get_Frame_Time(fresh, 0.5f);
  EXPECT_EQ(std::memcmp(&played.Local_Rotation(0), &fresh.Local_Rotation(0), sizeof(Quaternion)), 0);
}

// Keys that are not numbers (x of key 8 of a bone keyed at 0 .. 29): the
// result is not a number only where the original is, at every moment (at a
// key's own time sampling may take the interval on either side of it), the
// bound holds, and they cost no more keys than zeros in their place would.
// Leaves keep just their ends.
TEST(Reduce, KeysThatAreNotNumbersBoundNothing) {
  const auto clip = [](unsigned int seed, unsigned int bones, float broken) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> offset(0.0f, 1.0f);
    Bone_File file = Bone_File().Length(29).Root("root", {{0, 0, 0, 0, 1000}, {29, 0, 0, 0, 1000}});
    for (unsigned int b = 1; b <= bones; ++b) {
      std::vector<Key> keys;
      for (int k = 0; k < 30; ++k)
        keys.push_back(Key{float(k), 0, 0, 0.3f * offset(random), offset(random), offset(random)});
      keys[8].x = broken;
      file.Bone("b" + std::to_string(b), b == 1 ? "root" : "b" + std::to_string(b - 1), keys);
    }
    std::vector<Key> leaf;
    for (int k = 0; k < 30; ++k) leaf.push_back(Key{float(k)});
    return file.Bone("leaf", "b" + std::to_string(bones), leaf);
  };
  for (const auto& [seed, bones] : {std::pair{48u, 1u}, {34u, 4u}}) {
    SCOPED_TRACE(seed);
    Imported original(clip(seed, bones, NAN)), reduced(clip(seed, bones, NAN)), zeros(clip(seed, bones, 0));
    reduced.sequence.Reduce(0.1f, 0.0f);
    zeros.sequence.Reduce(0.1f, 0.0f);
    Frame a(original.hierarchy, false), b(original.hierarchy, false);
    for (float time = 0; time <= 29; time += 0.25f) {
      original.sequence.Get_Frame_Time(a, time);
      reduced.sequence.Get_Frame_Time(b, time);
      for (unsigned int bone = 1; bone <= bones; ++bone)
        EXPECT_TRUE(!std::isnan(b.Offset(bone).x) || std::isnan(a.Offset(bone).x)) << bone << " at " << time;
    }
    for (double e : Sequence::Reduction_Errors(original.sequence, reduced.sequence, 0.0f)) EXPECT_LE(e, 0.1);
    std::size_t kept = 0, kept_with_zeros = 0;
    for (unsigned int bone = 0; bone <= bones; ++bone)
      kept += reduced.sequence.Key_Count(bone), kept_with_zeros += zeros.sequence.Key_Count(bone);
    EXPECT_LE(kept, kept_with_zeros);
    EXPECT_EQ(reduced.sequence.Key_Count(bones + 1), 2u);
  }
}

TEST(KeyReduction, OptimizeReduceAndPackingRefuseWhatTheyCannotDo) {
  Imported file(Ramp({0, 1, 2}, 2));
  Imported backwards(Ramp({0, 2, 1}, 2));
  Imported other(Ramp({0, 1, 2}, 2));
  std::vector<Key> broken = {{0, 0, 0, 0, 0, 0, 0}, {1, NAN, 0, 0, 0, 0, 0}, {2, 0, 0, 0, 0, 0, 0}};
  Imported not_a_number(Bone_File().Length(2).Root("r", broken).Bone("leaf", "r", Keys_At({0, 2})));
  Sequence empty(file.hierarchy);
  const Packed_Sequence packed(file.sequence, 0.1f, 0.1f);
  Frame of_other(other.hierarchy, false);
  struct Case {
    std::function<void()> call;
    const char* condition;
  };
  const std::vector<Case> cases = {
      {[&] { empty.Optimize(0.9f, 0.1f); }, "number_of_frames"},
      {[&] { empty.Reduce(0.1f, 0.1f); }, "number_of_frames"},
      {[&] { file.sequence.Reduce(0.0f, 0.1f); }, "max_error > 0.0f && std::isfinite(max_error)"},
      {[&] { file.sequence.Reduce(NAN, 0.1f); }, "max_error > 0.0f && std::isfinite(max_error)"},
      {[&] { file.sequence.Reduce(INFINITY, 0.1f); }, "max_error > 0.0f && std::isfinite(max_error)"},
      {[&] { file.sequence.Reduce(0.1f, -1.0f); }, "reach >= 0.0f && std::isfinite(reach)"},
      {[&] { backwards.sequence.Reduce(0.1f, 0.1f); }, "increasing_times[bone]"},
      {[&] { Sequence::Reduction_Errors(file.sequence, not_a_number.sequence, 0.1f); },
       "original.Get_Hierarchy() == edited.Get_Hierarchy()"},
      {[&] { Packed_Sequence(empty, 0.1f, 0.1f); }, "number_of_frames"},
      {[&] { Packed_Sequence(file.sequence, 0.0f, 0.1f); }, "max_error > 0.0f && std::isfinite(max_error)"},
      {[&] { Packed_Sequence(file.sequence, INFINITY, 0.1f); }, "max_error > 0.0f && std::isfinite(max_error)"},
      {[&] { Packed_Sequence(file.sequence, 0.1f, NAN); }, "reach >= 0.0f && std::isfinite(reach)"},
      {[&] { Packed_Sequence(backwards.sequence, 0.1f, 0.1f); }, "rising"},
      {[&] { Packed_Sequence(not_a_number.sequence, 0.1f, 0.1f); }, "finite"},
      {[&] { packed.Get_Frame_Time(of_other, 0.5f); }, "frame.hier == hier"},
  };
  for (const Case& c : cases) EXPECT_STREQ(Error_Of(c.call).Condition(), c.condition);
  EXPECT_EQ(file.sequence.Key_Count(0), 3u);
  // A length that is not a number is no refusal: the clip packs, and playing
  // it at that time reads the clip's tracks and nothing past them.
  Imported no_length(Ramp({0, 1, 2}, 2).Length(NAN));
  const Packed_Sequence packed_no_length(no_length.sequence, 0.1f, 0.1f);
  Frame frame(no_length.hierarchy, false);
  packed_no_length.Get_Frame(frame, 0.5f);
}

TEST(Flip, ReversesKeysInTime) {
  Imported file(Ramp({0, 1, 4}, 4, 0.3f));
  const Quaternion last = file.sequence.Key_Rotations(0)[2];
  file.sequence.Flip();
  EXPECT_EQ(Times(file.sequence, 0), (std::vector<float>{0, 3, 4}));
  EXPECT_EQ(file.sequence.Key_Offsets(0)[0].x, 4.0f);
  EXPECT_EQ(file.sequence.Key_Offsets(0)[1].x, 1.0f);
  EXPECT_EQ(file.sequence.Key_Rotations(0)[0].w, last.w);
  EXPECT_EQ(file.sequence.Lenght(), 4.0f);
  file.sequence.Flip();
  EXPECT_EQ(Times(file.sequence, 0), (std::vector<float>{0, 1, 4}));
  EXPECT_EQ(file.sequence.Key_Offsets(0)[2].x, 4.0f);
}

TEST(Normalize, ScalesTimesToLengthOneAndIsIdempotent) {
  Imported file(Ramp({0, 0.5f, 2}, 2));
  file.sequence.Normalize();
  EXPECT_EQ(Times(file.sequence, 0), (std::vector<float>{0, 0.25f, 1}));
  EXPECT_EQ(file.sequence.Lenght(), 1.0f);
  file.sequence.Normalize();
  EXPECT_EQ(Times(file.sequence, 0), (std::vector<float>{0, 0.25f, 1}));
}

TEST(Normalize, RefusesOnlyLengthZero) {
  Imported zero(Ramp({0, 0}, 0));
  const auto e = Error_Of([&] { zero.sequence.Normalize(); });
  EXPECT_STREQ(e.Condition(), "length != 0.0f");
  EXPECT_STREQ(e.Message(), "Sequence length is 0, can't normalize");
  EXPECT_EQ(zero.sequence.Key_Times(0)[1], 0.0f);
  // An infinite length divides as it is.
  Imported endless(Ramp({0, 3}, INFINITY));
  endless.sequence.Normalize();
  EXPECT_EQ(Times(endless.sequence, 0), (std::vector<float>{0, 0}));
  EXPECT_EQ(endless.sequence.Lenght(), 1.0f);
}

TEST(Rotate, TurnsOnlyTheRootRotations) {
  Imported file(Ramp({0, 1, 2}, 2, 0.4f));
  const Quaternion before = file.sequence.Key_Rotations(0)[1];
  const Quaternion child_before = file.sequence.Key_Rotations(1)[1];
  Matrix_3x3<float> r;
  Template_Library::M3x3_S_S_S_Rot_ZYX(r, 0.5f, 0.0f, 0.0f);
  file.sequence.Rotate(r);
  // Angles about z add up: 0.4 + 0.5 at the key at time 1.
  EXPECT_NEAR(file.sequence.Key_Rotations(0)[1].w, std::cos(0.45f), 1e-6f);
  EXPECT_NEAR(file.sequence.Key_Rotations(0)[1].v.z, std::sin(0.45f), 1e-6f);
  EXPECT_NE(file.sequence.Key_Rotations(0)[1].w, before.w);
  EXPECT_EQ(file.sequence.Key_Offsets(0)[1].x, 1.0f);
  EXPECT_EQ(file.sequence.Key_Rotations(1)[1].w, child_before.w);
  file.sequence.Rotate(Matrix_3x3<float>::Identity());
  EXPECT_NEAR(file.sequence.Key_Rotations(0)[1].v.z, std::sin(0.45f), 1e-6f);
}
