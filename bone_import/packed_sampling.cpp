// Playing a packed sequence: per track the key interval that holds the time,
// from the frame's cache when it still does, else found in the key times and
// decoded; then every track's blend, as sampling a Sequence does it.
#include <algorithm>
#include <limits>

#include "bone_import.h"
#include "check.h"
#include "packed_format.h"
#include "rotation.h"
#include "simd.h"

namespace Vantorix {
namespace Bone_Import {

using namespace Packed;

namespace {

constexpr std::uint32_t NO_KEY = 0xffffffffu;
constexpr float INFINITE = std::numeric_limits<float>::infinity();

// The last grid time at or before `time`: its index + 1, or 0 when every
// grid time is later.
std::uint32_t Grid_Position(const unsigned char* block, const Header& header, float time) {
  const std::uint32_t count = header.grid_count;
  std::uint32_t lo = 0, hi = count;  // the answer lies in lo .. hi
  if (header.grid_step > 0.0f) {
    // Nearly even: start next to it and walk a few steps.
    const float guess = time / header.grid_step;
    std::uint32_t i = guess >= 0.0f ? (guess < float(count) ? std::uint32_t(guess) : count - 1) : 0;
    for (int steps = 0; steps < 4; ++steps) {
      if (Grid_Time(block, header, i) > time) {
        if (i == 0) return 0;
        hi = std::min(hi, i), --i;
      } else if (i + 1 < count && Grid_Time(block, header, i + 1) <= time) {
        lo = std::max(lo, i + 2), ++i;
      } else {
        return i + 1;
      }
    }
  }
  while (lo < hi) {  // lo: times before it are <= time; hi: times from it are > time
    const std::uint32_t middle = lo + (hi - lo) / 2;
    if (Grid_Time(block, header, middle) <= time)
      lo = middle + 1;
    else
      hi = middle;
  }
  return lo;
}

inline std::uint64_t Word(const unsigned char* block, const Track& track, std::uint32_t w) {
  return Load_64(block + track.words + std::size_t(w) * 8);
}

// The highest key position (bit of the track's set, from its first grid
// time) at or below `j`, and the lowest at or above it; both exist.
std::uint32_t Key_At_Or_Before(const unsigned char* block, const Track& track, std::uint32_t j) {
  std::uint32_t w = j / 64;
  std::uint64_t bits = Word(block, track, w) & (~std::uint64_t(0) >> (63 - j % 64));
  while (bits == 0) bits = Word(block, track, --w);
  return w * 64 + Highest_Bit(bits);
}
std::uint32_t Key_At_Or_After(const unsigned char* block, const Track& track, std::uint32_t j) {
  std::uint32_t w = j / 64;
  std::uint64_t bits = Word(block, track, w) & (~std::uint64_t(0) << (j % 64));
  while (bits == 0) bits = Word(block, track, ++w);
  return w * 64 + Lowest_Bit(bits);
}

// Keys before position j of the set (the key at j not counted).
std::uint32_t Keys_Before(const unsigned char* block, const Track& track, std::uint32_t j) {
  const std::uint32_t w = j / 64;
  const std::uint32_t before = track.wide_ranks
                                   ? reinterpret_cast<const std::uint32_t*>(block + track.ranks)[w]
                                   : reinterpret_cast<const std::uint16_t*>(block + track.ranks)[w];
  return before + Bit_Count(Word(block, track, w) & ((std::uint64_t(1) << (j % 64)) - 1));
}

// Fills `entry` with the interval that starts at key k (grid time g0) and
// ends at the key at grid time g1.
void Load_Interval(const unsigned char* block, const Header& header, const Track& track, std::uint32_t k,
                   std::uint32_t g0, std::uint32_t g1, Cache_Entry& entry) {
  entry.k = k;
  entry.g0 = g0;
  entry.g1 = g1;
  entry.t0 = Grid_Time(block, header, g0);
  entry.t1 = Grid_Time(block, header, g1);
  entry.lo = k == 0 ? -INFINITE : entry.t0;
  entry.hi = k + 2 == track.key_count ? INFINITE : entry.t1;
  entry.q0 = Rotation_Key(block, track, k);
  entry.q1 = Rotation_Key(block, track, k + 1);
  entry.o0 = Offset_Key(block, track, k);
  entry.o1 = Offset_Key(block, track, k + 1);
}

// The interval that sampling a Sequence of the same keys uses at `time`.
// `grid` is the time's grid position, found on the first call of a frame.
void Find_Interval(const unsigned char* block, const Header& header, const Track& track, float time,
                   std::uint32_t& grid, Cache_Entry& entry) {
  const std::uint32_t n = track.key_count;
  // Playing forward: the next interval usually holds the time. Only its new
  // key is decoded.
  if (entry.k != NO_KEY && time > entry.hi && entry.k + 2 < n && track.time_mode != TWO_KEYS) {
    const std::uint32_t k = entry.k + 1;
    const std::uint32_t g2 = track.time_mode == EVERY_TIME
                                 ? entry.g1 + 1
                                 : track.first_grid + Key_At_Or_After(block, track, entry.g1 - track.first_grid + 1);
    const float t2 = Grid_Time(block, header, g2);
    if (time <= t2 || k + 2 == n) {
      entry.k = k;
      entry.g0 = entry.g1;
      entry.g1 = g2;
      entry.t0 = entry.t1;
      entry.t1 = t2;
      entry.lo = entry.t0;
      entry.hi = k + 2 == n ? INFINITE : t2;
      entry.q0 = entry.q1;
      entry.o0 = entry.o1;
      entry.q1 = Rotation_Key(block, track, k + 1);
      entry.o1 = Offset_Key(block, track, k + 1);
      return;
    }
  }
  if (track.time_mode == TWO_KEYS) return Load_Interval(block, header, track, 0, track.first_grid, track.last_grid, entry);
  if (grid == NO_KEY) grid = Grid_Position(block, header, time);
  // The last key at or before the time, within the first and the last
  // interval (before or after them sampling extrapolates).
  if (grid <= track.first_grid + 1) {
    const std::uint32_t g1 = track.time_mode == EVERY_TIME ? track.first_grid + 1
                                                           : track.first_grid + Key_At_Or_After(block, track, 1);
    return Load_Interval(block, header, track, 0, track.first_grid, g1, entry);
  }
  if (grid > track.last_grid) {
    const std::uint32_t g0 = track.time_mode == EVERY_TIME
                                 ? track.last_grid - 1
                                 : track.first_grid + Key_At_Or_Before(block, track, track.last_grid - track.first_grid - 1);
    return Load_Interval(block, header, track, n - 2, g0, track.last_grid, entry);
  }
  const std::uint32_t j = grid - 1 - track.first_grid;  // the time's grid position in the track
  if (track.time_mode == EVERY_TIME) {
    const std::uint32_t k = std::min(j, n - 2);
    return Load_Interval(block, header, track, k, track.first_grid + k, track.first_grid + k + 1, entry);
  }
  // j lies before the track's last position, so the key at or before it is
  // not the last key.
  const std::uint32_t at = Key_At_Or_Before(block, track, j);
  const std::uint32_t k = Keys_Before(block, track, at);
  const std::uint32_t next = Key_At_Or_After(block, track, at + 1);
  Load_Interval(block, header, track, k, track.first_grid + at, track.first_grid + next, entry);
}

inline float Weight(const Cache_Entry& entry, float time) {
  const float span = entry.t1 - entry.t0;
  return span == 0.0f ? 1.0f : (time - entry.t0) / span;
}

}  // namespace

void Packed_Sequence::Get_Frame(Frame& frame, float fraction) const { Get_Frame_Time(frame, Lenght() * fraction); }

void Packed_Sequence::Get_Frame_Time(Frame& frame, float time) const {
  BONE_IMPORT_CHECK(frame.hier == hier, "frame.hier == hier", "bone_import/bones",
                    "Frame of another hierarchy than the packed sequence's");
  if (!(time <= length)) time = length;  // also catches NaN
  if (time < 0.0f) time = 0.0f;

  if (!frame.packed_cache) frame.packed_cache = new Packed_Cache;
  Packed_Cache& cache = *frame.packed_cache;
  if (cache.owner != this || cache.tag != content_tag || cache.entries.size() != track_count) {
    Cache_Entry unused{};
    unused.k = NO_KEY;
    unused.lo = INFINITE;
    unused.hi = -INFINITE;
    cache.entries.assign(track_count, unused);
    cache.owner = this;
    cache.tag = content_tag;
  }

  const unsigned char* block = data;
  Header header;
  std::memcpy(&header, block, sizeof header);
  const Track* tracks = reinterpret_cast<const Track*>(block + ((sizeof(Header) + 7) / 8 * 8));
  Cache_Entry* entries = cache.entries.data();
  std::uint32_t grid = NO_KEY;
  for (unsigned int i = 0; i < track_count; ++i)
    if (!(entries[i].lo <= time && time <= entries[i].hi)) Find_Interval(block, header, tracks[i], time, grid, entries[i]);

  Quaternion* rotations = frame.local_rotations;
  Vector_3<float>* offsets = frame.local_offsets;
  unsigned int i = 0;
#ifdef BONE_IMPORT_SSE
  for (; i + 4 <= track_count; i += 4) {
    const Cache_Entry* e = entries + i;
    const __m128 f = _mm_setr_ps(Weight(e[0], time), Weight(e[1], time), Weight(e[2], time), Weight(e[3], time));
    const Quaternion* from[4] = {&e[0].q0, &e[1].q0, &e[2].q0, &e[3].q0};
    const Quaternion* to[4] = {&e[0].q1, &e[1].q1, &e[2].q1, &e[3].q1};
    Quaternion* out[4] = {rotations + tracks[i].bone, rotations + tracks[i + 1].bone, rotations + tracks[i + 2].bone,
                          rotations + tracks[i + 3].bone};
    Blend_Four(from, to, f, 4, out);
    float w[4];
    _mm_storeu_ps(w, f);
    for (int lane = 0; lane < 4; ++lane)
      Template_Library::V3_S_Mul_V3_S_Mul_Add(e[lane].o0, e[lane].o1, offsets[tracks[i + lane].bone], 1.0f - w[lane],
                                              w[lane]);
  }
#endif
  for (; i < track_count; ++i) {
    const Cache_Entry& e = entries[i];
    const float f = Weight(e, time);
    rotations[tracks[i].bone] = Blend_Rotations(e.q0, e.q1, f);
    Template_Library::V3_S_Mul_V3_S_Mul_Add(e.o0, e.o1, offsets[tracks[i].bone], 1.0f - f, f);
  }
  frame.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
