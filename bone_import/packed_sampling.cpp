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
  const std::uint32_t before = track.wide_ranks ? reinterpret_cast<const std::uint32_t*>(block + track.ranks)[w]
                                                : reinterpret_cast<const std::uint16_t*>(block + track.ranks)[w];
  return before + Bit_Count(Word(block, track, w) & ((std::uint64_t(1) << (j % 64)) - 1));
}

// One track's place in the cache: its lane of a block and its state.
struct Slot {
  Cache_Block& block;
  unsigned int lane;
  Track_State& state;
  Lattice_Read*& reads;
};

// Makes the slot hold the interval from key k (at grid time g0) to the key at
// grid time g1. Channels whose keys are all the same hold them already.
void Load_Interval(const unsigned char* block, const Header& header, const Track& track, std::uint32_t k,
                   std::uint32_t g0, std::uint32_t g1, Slot& slot) {
  Cache_Block& b = slot.block;
  const unsigned int lane = slot.lane;
  slot.state.k = k;
  slot.state.g0 = g0;
  slot.state.g1 = g1;
  b.t0[lane] = Grid_Time(block, header, g0);
  b.t1[lane] = Grid_Time(block, header, g1);
  b.lo[lane] = k == 0 ? -INFINITE : b.t0[lane];
  b.hi[lane] = k + 2 == track.key_count ? INFINITE : b.t1[lane];
  if (track.rotation.mode != CONSTANT) {
    Read_Key<true>(block, track.rotation, track.key_count, k, slot.state.rotation, &b.q0[lane].w, slot.reads);
    Read_Key<true>(block, track.rotation, track.key_count, k + 1, slot.state.rotation, &b.q1[lane].w, slot.reads);
  }
  if (track.offset.mode != CONSTANT) {
    Read_Key<false>(block, track.offset, track.key_count, k, slot.state.offset, b.o0[lane], slot.reads);
    Read_Key<false>(block, track.offset, track.key_count, k + 1, slot.state.offset, b.o1[lane], slot.reads);
  }
}

// Makes the slot hold the interval that sampling a Sequence of the same keys
// uses at `time`. `grid` is the time's grid position, found on the first call
// of a frame that needs it.
void Find_Interval(const unsigned char* block, const Header& header, const Track& track, float time,
                   std::uint32_t& grid, Slot& slot) {
  const std::uint32_t n = track.key_count;
  if (track.time_mode == TWO_KEYS)
    return Load_Interval(block, header, track, 0, track.first_grid, track.last_grid, slot);
  if (grid == NO_KEY) grid = Grid_Position(block, header, time);
  // The last key at or before the time, within the first and the last
  // interval (before or after them sampling extrapolates).
  if (grid <= track.first_grid + 1) {
    const std::uint32_t g1 =
        track.time_mode == EVERY_TIME ? track.first_grid + 1 : track.first_grid + Key_At_Or_After(block, track, 1);
    return Load_Interval(block, header, track, 0, track.first_grid, g1, slot);
  }
  if (grid > track.last_grid) {
    const std::uint32_t g0 =
        track.time_mode == EVERY_TIME
            ? track.last_grid - 1
            : track.first_grid + Key_At_Or_Before(block, track, track.last_grid - track.first_grid - 1);
    return Load_Interval(block, header, track, n - 2, g0, track.last_grid, slot);
  }
  const std::uint32_t j = grid - 1 - track.first_grid;  // the time's grid position in the track
  if (track.time_mode == EVERY_TIME) {
    const std::uint32_t k = std::min(j, n - 2);
    return Load_Interval(block, header, track, k, track.first_grid + k, track.first_grid + k + 1, slot);
  }
  // j lies before the track's last position, so the key at or before it is
  // not the last key.
  const std::uint32_t at = Key_At_Or_Before(block, track, j);
  const std::uint32_t k = Keys_Before(block, track, at);
  const std::uint32_t next = Key_At_Or_After(block, track, at + 1);
  Load_Interval(block, header, track, k, track.first_grid + at, track.first_grid + next, slot);
}

// Playing forward: the next interval usually holds the time, and only its
// new key is read. False when it does not hold it.
inline bool Step_Forward(const unsigned char* block, const Header& header, const Track& track, float time,
                         Track_State& state, Cache_Block& b, unsigned int lane, Lattice_Read*& reads) {
  const std::uint32_t n = track.key_count, k = state.k + 1;
  if (state.k == NO_KEY || k + 1 >= n || time < b.lo[lane]) return false;
  const std::uint32_t g2 = track.time_mode == EVERY_TIME
                               ? state.g1 + 1
                               : track.first_grid + Key_At_Or_After(block, track, state.g1 - track.first_grid + 1);
  const float t1 = b.t1[lane], t2 = Grid_Time(block, header, g2);
  if (!(time <= t2 || k + 2 == n)) return false;
  state.k = k;
  state.g0 = state.g1;
  state.g1 = g2;
  b.lo[lane] = b.t0[lane] = t1;
  b.t1[lane] = t2;
  b.hi[lane] = k + 2 == n ? INFINITE : t2;
  if (track.rotation.mode != CONSTANT) {
    b.q0[lane] = b.q1[lane];
    Read_Key<true>(block, track.rotation, n, k + 1, state.rotation, &b.q1[lane].w, reads);
  }
  if (track.offset.mode != CONSTANT) {
    std::memcpy(b.o0[lane], b.o1[lane], sizeof b.o0[lane]);
    Read_Key<false>(block, track.offset, n, k + 1, state.offset, b.o1[lane], reads);
  }
  return true;
}

// Blends the four tracks of a block at `time` into the frame's local poses of
// `bones` (the first `count` lanes): lane by lane the operations of
// Blend_Rotations and of the offsets' V3_S_Mul_V3_S_Mul_Add, as a Sequence
// samples.
inline void Blend_Block(const Cache_Block& b, float time, const std::uint32_t* bones, unsigned int count,
                        Quaternion* rotations, Vector_3<float>* offsets) {
#ifdef BONE_IMPORT_SSE
  const __m128 t0 = _mm_loadu_ps(b.t0), span = _mm_sub_ps(_mm_loadu_ps(b.t1), t0);
  const __m128 empty = _mm_cmpeq_ps(span, _mm_setzero_ps());
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 f =
      _mm_or_ps(_mm_and_ps(empty, one), _mm_andnot_ps(empty, _mm_div_ps(_mm_sub_ps(_mm_set1_ps(time), t0), span)));
  const Quaternion* from[4] = {&b.q0[0], &b.q0[1], &b.q0[2], &b.q0[3]};
  const Quaternion* to[4] = {&b.q1[0], &b.q1[1], &b.q1[2], &b.q1[3]};
  Quaternion* out[4] = {rotations + bones[0], rotations + bones[count > 1 ? 1 : 0],
                        rotations + bones[count > 2 ? 2 : 0], rotations + bones[count > 3 ? 3 : 0]};
  Blend_Four(from, to, f, count, out);
  const __m128 p = _mm_sub_ps(one, f);
  const __m128 weights[2][4] = {{Broadcast<0>(p), Broadcast<1>(p), Broadcast<2>(p), Broadcast<3>(p)},
                                {Broadcast<0>(f), Broadcast<1>(f), Broadcast<2>(f), Broadcast<3>(f)}};
  for (unsigned int lane = 0; lane < count; ++lane) {
    const __m128 o = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(b.o0[lane]), weights[0][lane]),
                                _mm_mul_ps(_mm_loadu_ps(b.o1[lane]), weights[1][lane]));
    float* target = &offsets[bones[lane]].x;
    _mm_storel_pi(reinterpret_cast<__m64*>(target), o);
    _mm_store_ss(target + 2, High_Half(o));
  }
#else
  for (unsigned int lane = 0; lane < count; ++lane) {
    const float span = b.t1[lane] - b.t0[lane];
    const float f = span == 0.0f ? 1.0f : (time - b.t0[lane]) / span;
    rotations[bones[lane]] = Blend_Rotations(b.q0[lane], b.q1[lane], f);
    const Vector_3<float> oa{b.o0[lane][0], b.o0[lane][1], b.o0[lane][2]};
    const Vector_3<float> oz{b.o1[lane][0], b.o1[lane][1], b.o1[lane][2]};
    Template_Library::V3_S_Mul_V3_S_Mul_Add(oa, oz, offsets[bones[lane]], 1.0f - f, f);
  }
#endif
}

}  // namespace

void Packed_Sequence::Get_Frame(Frame& frame, float fraction) const { Get_Frame_Time(frame, Lenght() * fraction); }

void Packed_Sequence::Get_Frame_Time(Frame& frame, float time) const {
  BONE_IMPORT_CHECK(frame.hier == hier, "frame.hier == hier", "bone_import/bones",
                    "Frame of another hierarchy than the packed sequence's");
  if (!(time <= length)) time = length;  // also catches NaN
  if (time < 0.0f) time = 0.0f;

  const unsigned char* block = data;
  Header header;
  std::memcpy(&header, block, sizeof header);
  const Track* tracks = reinterpret_cast<const Track*>(block + TRACK_TABLE);
  const std::size_t bone_list = header.bones;
  const unsigned int block_count = (track_count + 3) / 4;
  if (!frame.packed_cache) frame.packed_cache = new Packed_Cache;
  Packed_Cache& cache = *frame.packed_cache;
  if (cache.owner != this || cache.tag != content_tag || cache.states.size() != track_count) {
    // Nothing held: every lane serves no time. Lanes past the last track
    // serve every time and blend identities.
    Cache_Block empty{};
    for (unsigned int lane = 0; lane < 4; ++lane) {
      empty.lo[lane] = INFINITE;
      empty.hi[lane] = -INFINITE;
      empty.q0[lane] = empty.q1[lane] = Quaternion::Identity();
    }
    cache.blocks.assign(block_count, empty);
    for (unsigned int i = track_count; i < block_count * 4; ++i)
      cache.blocks[i / 4].lo[i % 4] = -INFINITE, cache.blocks[i / 4].hi[i % 4] = INFINITE;
    Track_State unused{};
    unused.k = NO_KEY;
    cache.states.assign(track_count, unused);
    cache.reads.resize(std::size_t(track_count) * 4);
    cache.moving.resize(std::size_t(block_count) * 4);  // block g writes entries up to 4 * g + 3
    cache.owner = this;
    cache.tag = content_tag;
    // Channels whose keys are all the same, and tracks of two keys, hold
    // their keys from here on.
    for (unsigned int i = 0; i < track_count; ++i) {
      const Track& track = tracks[i];
      Cache_Block& b = cache.blocks[i / 4];
      const unsigned int lane = i % 4;
      if (track.rotation.mode == CONSTANT) {
        std::memcpy(&b.q0[lane], track.rotation.first, sizeof(Quaternion));
        b.q1[lane] = b.q0[lane];
      }
      if (track.offset.mode == CONSTANT) {
        std::memcpy(b.o0[lane], track.offset.first, sizeof b.o0[lane]);
        std::memcpy(b.o1[lane], track.offset.first, sizeof b.o1[lane]);
      }
      if (track.time_mode == TWO_KEYS) {
        Lattice_Read* none = cache.reads.data();
        Slot slot{b, lane, cache.states[i], none};
        Load_Interval(block, header, track, 0, track.first_grid, track.last_grid, slot);
      }
    }
  }

  // First every interval that no longer holds the time, then the blends in
  // one straight run. The tracks to move are listed first without a branch
  // per block: which tracks move changes from frame to frame, and branches
  // on it are mispredicted.
  Lattice_Read* reads = cache.reads.data();
  Cache_Block* blocks = cache.blocks.data();
  Track_State* states = cache.states.data();
  std::uint32_t* moving = cache.moving.data();
  unsigned int moving_count = 0;
  // The lanes of each four-bit mask, lowest first, and how many there are.
  static const std::uint8_t lanes_of[16][4] = {
      {0, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}, {2, 0, 0, 0}, {0, 2, 0, 0}, {1, 2, 0, 0}, {0, 1, 2, 0},
      {3, 0, 0, 0}, {0, 3, 0, 0}, {1, 3, 0, 0}, {0, 1, 3, 0}, {2, 3, 0, 0}, {0, 2, 3, 0}, {1, 2, 3, 0}, {0, 1, 2, 3}};
  static const std::uint8_t lane_count[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
  for (unsigned int g = 0; g < block_count; ++g) {
    Cache_Block& b = blocks[g];
#ifdef BONE_IMPORT_SSE
    const __m128 t = _mm_set1_ps(time);
    unsigned int stale = ~unsigned(_mm_movemask_ps(
                             _mm_and_ps(_mm_cmple_ps(_mm_loadu_ps(b.lo), t), _mm_cmple_ps(t, _mm_loadu_ps(b.hi))))) &
                         15u;
#else
    unsigned int stale = 0;
    for (unsigned int lane = 0; lane < 4; ++lane)
      stale |= !(b.lo[lane] <= time && time <= b.hi[lane]) ? 1u << lane : 0u;
#endif
    // Only the block's tracks (a time that is not a number is outside every
    // interval, the unused lanes' too).
    if (4 * g + 4 > track_count) stale &= (1u << (track_count - 4 * g)) - 1u;
    for (int j = 0; j < 4; ++j) moving[moving_count + j] = 4 * g + lanes_of[stale][j];
    moving_count += lane_count[stale];
  }
  std::uint32_t grid = NO_KEY;
  for (unsigned int m = 0; m < moving_count; ++m) {
    const unsigned int i = moving[m], lane = i % 4;
    Cache_Block& b = blocks[i / 4];
    if (!Step_Forward(block, header, tracks[i], time, states[i], b, lane, reads)) {
      Slot slot{b, lane, states[i], reads};
      Find_Interval(block, header, tracks[i], time, grid, slot);
    }
  }
  Read_All(block, cache.reads.data(), reads);
  const std::uint32_t* bones = reinterpret_cast<const std::uint32_t*>(block + bone_list);
  for (unsigned int g = 0; g < block_count; ++g)
    Blend_Block(blocks[g], time, bones + 4 * g, std::min(4u, track_count - 4 * g), frame.local_rotations,
                frame.local_offsets);
  frame.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
