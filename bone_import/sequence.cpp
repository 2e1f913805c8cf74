#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "key_groups.h"
#include "sequence_keys.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/bones";

// The time index of the solo bones (key_groups.h). About two keys of an
// average solo bone fall in a bucket, so the index costs about one byte per
// solo key, never more than two bytes per key and bone. A bone whose times
// do not rise strictly, or with more keys than an entry counts, is left out
// and searched by halving.
void Build_Time_Index(Key_Groups& groups, float length) {
  std::vector<Solo_Bone>& solos = groups.solos;
  std::size_t keys = 0;
  for (Solo_Bone& solo : solos) {
    solo.indexed = solo.increasing && solo.n <= 65536u;
    if (solo.indexed) keys += solo.n;
  }
  if (keys == 0) return;
  const std::size_t columns = solos.size();
  const unsigned int buckets = unsigned(std::min<std::size_t>(std::max<std::size_t>(keys / columns / 2, 1), 1u << 20));
  const float scale = float(buckets) / length;
  if (!(scale > 0.0f) || !std::isfinite(scale)) {  // a length of 0, below 0, not finite
    for (Solo_Bone& solo : solos) solo.indexed = false;
    return;
  }
  groups.buckets = buckets;
  groups.bucket_scale = scale;
  groups.bucket_keys.assign(std::size_t(buckets) * columns, 0);
  for (std::size_t j = 0; j < columns; ++j) {
    const Solo_Bone& solo = solos[j];
    if (!solo.indexed) continue;
    unsigned int k = 0;  // the last key in a bucket before b, or 0 if none
    for (unsigned int b = 0; b < buckets; ++b) {
      while (k + 1 < solo.n && Time_Bucket(solo.times[k + 1], scale, buckets) < b) ++k;
      groups.bucket_keys[std::size_t(b) * columns + j] = std::uint16_t(std::min(k, solo.n - 2));
    }
  }
}

}  // namespace

Sequence::Sequence(const Hierarchy& hierarchy)
    : length(0.0f),
      number_of_frames(nullptr),
      frame_times(nullptr),
      frame_rotations(nullptr),
      frame_offsets(nullptr),
      hier(&hierarchy),
      table_count(0),
      increasing_times(nullptr),
      key_groups(nullptr),
      state(Fill_State::EMPTY) {}

Sequence::~Sequence() {
  delete[] number_of_frames;
  for (unsigned int b = 0; b < table_count; ++b) {
    delete[] frame_times[b];
    delete[] frame_rotations[b];
    delete[] frame_offsets[b];
  }
  delete[] frame_times;
  delete[] frame_rotations;
  delete[] frame_offsets;
  delete[] increasing_times;
  delete key_groups;
}

float Sequence::Lenght() const { return length; }

void Sequence::Require_Filled() const {
  BONE_IMPORT_CHECK(number_of_frames, "number_of_frames", SOURCE, "Sequence is empty");
  BONE_IMPORT_CHECK(state == Fill_State::FILLED, "state == Fill_State::FILLED", SOURCE,
                    "Sequence import failed, it may only be destroyed");
}

void Sequence::Allocate_Tables(unsigned int bone_count) {
  state = Fill_State::FAILED;  // until the fill completes
  // Every entry starts null, so a fill that stops part-way can be destroyed.
  number_of_frames = new unsigned int[bone_count]();
  frame_times = new float*[bone_count]();
  frame_rotations = new Quaternion*[bone_count]();
  frame_offsets = new Vector_3<float>*[bone_count]();
  increasing_times = new unsigned char[bone_count]();
  table_count = bone_count;
}

void Sequence::Build_Key_Groups() {
  const unsigned int bone_count = hier->Bone_Count();
  // Members of each group, the first bone (in index order) leading.
  std::vector<std::vector<unsigned int>> lists;
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_hash;
  for (unsigned int b = 0; b < bone_count; ++b) {
    // Sampling needs an interval; a bone without two keys is left as it is.
    if (hier->Is_Leaf(b) || number_of_frames[b] < 2) continue;
    const unsigned int n = number_of_frames[b];
    std::uint64_t hash = 14695981039346656037ull ^ n;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame_times[b]);
    for (std::size_t i = 0; i < std::size_t(n) * sizeof(float); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    std::vector<std::size_t>& candidates = by_hash[hash];
    bool placed = false;
    for (std::size_t list : candidates) {
      const unsigned int leader = lists[list][0];
      if (number_of_frames[leader] == n && std::memcmp(frame_times[leader], frame_times[b], n * sizeof(float)) == 0) {
        lists[list].push_back(b);
        placed = true;
        break;
      }
    }
    if (!placed) {
      candidates.push_back(lists.size());
      lists.push_back({b});
    }
  }

  auto groups = std::make_unique<Key_Groups>();
  std::size_t copied = 0;
  for (const auto& list : lists)
    if (list.size() > 1) {
      copied += std::size_t(number_of_frames[list[0]]) * list.size();
      groups->members.insert(groups->members.end(), list.begin(), list.end());
    }
  groups->rotations.resize(copied);
  groups->offsets.resize(copied);
  std::size_t member_at = 0, copy_at = 0;
  for (const auto& list : lists) {
    const unsigned int leader = list[0], n = number_of_frames[leader], count = unsigned(list.size());
    if (count == 1) {
      groups->solos.push_back(Solo_Bone{leader, n, increasing_times[leader] != 0, false, frame_times[leader],
                                        frame_rotations[leader], frame_offsets[leader]});
      continue;
    }
    Quaternion* rotations = groups->rotations.data() + copy_at;
    Vector_3<float>* offsets = groups->offsets.data() + copy_at;
    for (unsigned int j = 0; j < count; ++j)
      for (unsigned int k = 0; k < n; ++k) {
        rotations[std::size_t(k) * count + j] = frame_rotations[list[j]][k];
        offsets[std::size_t(k) * count + j] = frame_offsets[list[j]][k];
      }
    groups->groups.push_back(Key_Group{leader, count, list.back(), groups->members.data() + member_at,
                                       frame_times[leader], n, increasing_times[leader] != 0, rotations, offsets});
    member_at += count;
    copy_at += std::size_t(n) * count;
  }
  Build_Time_Index(*groups, length);
  delete key_groups;
  key_groups = groups.release();
}

void Sequence::Note_Key_Order(unsigned int bone) {
  const float* times = frame_times[bone];
  const unsigned int n = number_of_frames[bone];
  bool increasing = n > 1;
  for (unsigned int k = 1; k < n && increasing; ++k) increasing = times[k - 1] < times[k];
  increasing_times[bone] = increasing ? 1 : 0;
}

void Sequence::Release_Bone(unsigned int bone) {
  delete[] frame_times[bone];
  delete[] frame_rotations[bone];
  delete[] frame_offsets[bone];
  frame_times[bone] = nullptr;
  frame_rotations[bone] = nullptr;
  frame_offsets[bone] = nullptr;
}

void Sequence_Keys::Keep(Sequence& s, const Kept_Keys& kept) {
  const auto shrink = [](auto*& keys, unsigned int count) {
    auto* exact = new std::remove_reference_t<decltype(*keys)>[count];
    std::copy(keys, keys + count, exact);
    delete[] keys;
    keys = exact;
  };
  const Sequence::Fill_State was = s.state;
  if (s.state == Sequence::Fill_State::FILLED) s.state = Sequence::Fill_State::FAILED;
  for (unsigned int bone = 0; bone < s.hier->Bone_Count(); ++bone) {
    unsigned int count = 0;
    for (unsigned int k = 0; k < s.number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        s.frame_times[bone][count] = s.frame_times[bone][k];
        s.frame_rotations[bone][count] = s.frame_rotations[bone][k];
        s.frame_offsets[bone][count] = s.frame_offsets[bone][k];
        ++count;
      }
    if (count == s.number_of_frames[bone]) continue;
    shrink(s.frame_times[bone], count);
    shrink(s.frame_rotations[bone], count);
    shrink(s.frame_offsets[bone], count);
    s.number_of_frames[bone] = count;
  }
  s.Build_Key_Groups();
  s.state = was;
}

void Sequence_Keys::Copy(Sequence& s, const Sequence& source, const Kept_Keys& kept) {
  const unsigned int bone_count = s.hier->Bone_Count();
  s.Allocate_Tables(bone_count);
  s.length = source.length;
  for (unsigned int bone = 0; bone < bone_count; ++bone) {
    unsigned int n = 0;
    for (unsigned char k : kept[bone]) n += k;
    s.frame_times[bone] = new float[n];
    s.frame_rotations[bone] = new Quaternion[n];
    s.frame_offsets[bone] = new Vector_3<float>[n];
    for (unsigned int k = 0, j = 0; k < source.number_of_frames[bone]; ++k)
      if (kept[bone][k]) {
        s.frame_times[bone][j] = source.frame_times[bone][k];
        s.frame_rotations[bone][j] = source.frame_rotations[bone][k];
        s.frame_offsets[bone][j] = source.frame_offsets[bone][k];
        ++j;
      }
    s.number_of_frames[bone] = n;
    s.Note_Key_Order(bone);
  }
  s.Build_Key_Groups();
  s.state = Sequence::Fill_State::FILLED;
}

}  // namespace Bone_Import
}  // namespace Vantorix
