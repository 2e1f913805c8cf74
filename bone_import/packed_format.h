// Private: how a Packed_Sequence lays out its keys, and how they are read.
//
// One block holds everything: a header, one track per sampled (non-leaf)
// bone, and behind them the key times and the bits of the keys.
//
// Times. The clip's key times (of every sampled bone, each once, rising) form
// the grid. Grid time i is float(i) * step with a small correction of its bit
// pattern, stored in `correction_bits` bits per time; a grid that is not
// nearly even stores its times whole (step 0, 32 bits). A track names its
// keys' grid times by a bit set over its first to its last key's grid time,
// with the count of keys before each 64-bit word beside it, so that the key
// before any time is one popcount away; a track with two keys, or with a key
// at every grid time in its range, needs neither.
//
// Values. A track has a rotation channel and an offset channel. The first and
// last key of each are stored whole, and a channel whose keys are all the
// same is stored once. The other keys (the interior ones) are stored as three
// integers each on a lattice of `step`: offsets as x, y, z; rotations as
// three of the quaternion's w, x, y, z, the fourth (the one that stays
// largest over the segment) being left out and made positive by turning the
// quaternion over, and read back as sqrt(1 - the others' squares). Interior
// keys come in segments of SEGMENT_KEYS. Each segment has a 16-byte record:
// where its keys' bits start (from `keys`), the bit width of each component
// (0 .. 21), the component left out, and the lattice point of each
// component's smallest value (lattice_bits each). Each key is the three
// components' distances from those points, in their widths. The
// step of each channel is chosen from the error bound (packed_sequence.cpp).
// A channel that cannot be stored so (values too far apart for 24 bits, a
// bone in a parent loop) stores its interior keys as whole floats.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/packed_format.h is private to the library; include bone_import/bone_import.h"
#endif

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bone_import.h"
#include "simd.h"

#if defined(BONE_IMPORT_SSE) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#endif

namespace Vantorix {
namespace Bone_Import {
namespace Packed {

constexpr unsigned int SEGMENT_KEYS = 32;
constexpr unsigned int MAX_WIDTH = 21;  // wider components are stored whole
// The block ends with this many spare bytes, so that a bit field anywhere in
// it is read with one 8-byte load.
constexpr std::size_t TAIL_BYTES = 8;

enum Channel_Mode : std::uint8_t {
  CONSTANT,   // every key is `first`
  ENDS,       // two keys: `first` and `last`
  QUANTIZED,  // first, interior keys on the lattice, last
  WHOLE       // first, interior keys as floats (4 for a rotation, 3 for an offset), last
};

enum Time_Mode : std::uint8_t {
  TWO_KEYS,    // keys at the first and last grid time of the track
  EVERY_TIME,  // a key at every grid time from the first to the last
  BIT_SET      // keys where the bit set says
};

struct Header {
  std::uint32_t grid_count;
  std::uint32_t correction_bits;  // 0 .. 32
  float grid_step;                // 0: the corrections are the times' bit patterns
  std::uint32_t corrections;      // byte offset of the corrections' bits
  std::uint32_t bones;            // byte offset of the tracks' bones, in track order
};

// Where the tracks start in the block.
constexpr std::size_t TRACK_TABLE = (sizeof(Header) + 7) / 8 * 8;

struct Channel {
  std::uint8_t mode;
  std::uint8_t lattice_bits;  // of each segment's smallest lattice points
  std::uint8_t unused[2];
  float step;
  float base[4];            // lattice point 0 of each component
  std::uint32_t segments;   // byte offset of the segment records (two 64-bit words each)
  std::uint32_t keys;       // byte offset of the interior keys
  float first[4], last[4];  // rotation w, x, y, z; offset x, y, z, 0
};

// A segment record: in its first word bits 0-31 the start, then 5 bits per
// component's width, then 2 bits for the component left out (3 for offsets:
// x, y, z); in its second the lattice points, lattice_bits each.
inline void Segment_Record(std::uint32_t start, const std::uint32_t* widths, unsigned int left_out,
                           const std::uint32_t* low, unsigned int lattice_bits, std::uint64_t* record) {
  record[0] = start | std::uint64_t(widths[0] | widths[1] << 5 | widths[2] << 10 | left_out << 15) << 32;
  record[1] = low[0] | std::uint64_t(low[1]) << lattice_bits | std::uint64_t(low[2]) << (2 * lattice_bits);
}

struct Track {
  std::uint32_t bone;
  std::uint32_t key_count;
  std::uint32_t first_grid, last_grid;  // grid indices of the first and last key
  std::uint32_t words;                  // byte offset of the bit set (BIT_SET)
  std::uint32_t ranks;                  // byte offset of the keys before each word
  std::uint8_t time_mode;
  std::uint8_t wide_ranks;  // ranks are 32-bit (else 16-bit)
  std::uint8_t unused[2];
  Channel rotation, offset;
};

// One segment of a channel, as read last: where its keys' bits start (in
// bits from the block's start), each component's width, the value of its
// smallest lattice point and its place in the quaternion, and a key's width.
struct Segment_View {
  std::uint64_t start = 0;
  std::uint32_t segment = 0xffffffffu;
  float low[3] = {0, 0, 0};
  std::uint8_t width[3] = {0, 0, 0};
  std::uint8_t component[3] = {0, 0, 0};
  std::uint8_t left_out = 3;
  std::uint8_t key_width = 0;
};

// What a frame keeps of one track between calls: its interval starts at key
// k (at grid time g0) and ends at the key at grid time g1.
struct Track_State {
  std::uint32_t k, g0, g1;
  Segment_View rotation, offset;
};

// The intervals of four tracks, lane by lane: the times each serves (lo ..
// hi, open to either side at a track's first or last interval), its key
// times and its keys, each key in 16 bytes of its own.
struct Cache_Block {
  float lo[4], hi[4], t0[4], t1[4];
  Quaternion q0[4], q1[4];
  float o0[4][4], o1[4][4];  // [lane][x, y, z, unused]
};

// Keys to read from the lattice, read together once all are known: each read
// is a chain of dependent steps, and reads of different tracks overlap when
// nothing else comes between them.
struct Lattice_Read {
  const Channel* channel;
  Segment_View* view;
  float* out;
  std::uint32_t interior;
  std::uint32_t rotation;
};

}  // namespace Packed

// A frame's record of the last packed clip sampled into it.
struct Packed_Cache {
  const Packed_Sequence* owner = nullptr;
  unsigned long long tag = 0;
  std::vector<Packed::Cache_Block> blocks;
  std::vector<Packed::Track_State> states;
  std::vector<Packed::Lattice_Read> reads;  // room for four per track
  std::vector<std::uint32_t> moving;        // the tracks whose interval moves
};

namespace Packed {

inline std::uint64_t Load_64(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ || defined(_M_IX86) || defined(_M_X64)
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
#else
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
#endif
}

// `width` (0 .. 32) bits at bit `position` of the block, lowest bit first.
inline std::uint32_t Read_Bits(const unsigned char* block, std::uint64_t position, unsigned int width) {
  const std::uint64_t word = Load_64(block + (position >> 3)) >> (position & 7);
  return std::uint32_t(word & ((std::uint64_t(1) << width) - 1));
}

inline unsigned int Bit_Count(std::uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555ull);
  v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return unsigned((v * 0x0101010101010101ull) >> 56);
}

// Index of the highest and lowest set bit of a word that is not 0.
inline unsigned int Highest_Bit(std::uint64_t v) {
#if defined(__GNUC__)
  return 63u - unsigned(__builtin_clzll(v));
#else
  unsigned int i = 0;
  while (v >>= 1) ++i;
  return i;
#endif
}
inline unsigned int Lowest_Bit(std::uint64_t v) {
#if defined(__GNUC__)
  return unsigned(__builtin_ctzll(v));
#else
  unsigned int i = 0;
  while (!(v & 1)) v >>= 1, ++i;
  return i;
#endif
}

// Grid time i.
inline float Grid_Time(const unsigned char* block, const Header& header, std::uint32_t i) {
  const float approximate = float(i) * header.grid_step;
  if (header.correction_bits == 0) return approximate;
  std::uint32_t bits;
  std::memcpy(&bits, &approximate, sizeof bits);
  std::uint32_t correction = Read_Bits(
      block, std::uint64_t(header.corrections) * 8 + std::uint64_t(i) * header.correction_bits, header.correction_bits);
  // Sign-extend the stored correction.
  if (header.correction_bits > 0 && header.correction_bits < 32) {
    const std::uint32_t sign = std::uint32_t(1) << (header.correction_bits - 1);
    correction = (correction ^ sign) - sign;
  }
  bits += correction;
  float time;
  std::memcpy(&time, &bits, sizeof time);
  return time;
}

// A segment's keys are read as `low` + float(distance) * step, where `low`
// is the value of the segment's smallest lattice point of the component,
// base + float(point) * step. Packing measures its errors with these too.
inline float Lattice_Value(const Channel& channel, unsigned int c, std::uint32_t point) {
  return channel.base[c] + float(std::int32_t(point)) * channel.step;  // at most MAX_WIDTH bits
}
inline float Segment_Value(float low, std::uint32_t distance, float step) {
  return low + float(std::int32_t(distance)) * step;  // distances have at most MAX_WIDTH bits
}

inline float Square_Root(float x) {
#ifdef BONE_IMPORT_SSE
  return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x)));
#else
  return std::sqrt(x);
#endif
}

// The rotation of three stored components: component[j] of q (w, x, y, z,
// `stride` floats apart) is v[j], and `left_out` sqrt(1 - their squares).
template <class Index>
inline void Rotation_Of(const float* v, const Index* component, unsigned int left_out, float* q, unsigned int stride) {
  const float rest = 1.0f - (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  q[component[0] * stride] = v[0];
  q[component[1] * stride] = v[1];
  q[component[2] * stride] = v[2];
  q[left_out * stride] = rest > 0.0f ? Square_Root(rest) : 0.0f;
}

// The slots of the three stored components when `left_out` is not stored.
inline const std::uint32_t* Components_Without(std::uint32_t left_out) {
  static const std::uint32_t slots[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
  return slots[left_out];
}

// Makes `view` describe the segment of interior key i.
inline void View_Segment(const unsigned char* block, const Channel& channel, std::uint32_t i, Segment_View& view) {
  const std::uint32_t segment = i / SEGMENT_KEYS;
  if (segment == view.segment) return;
  std::uint64_t record[2];
  std::memcpy(record, block + channel.segments + std::size_t(segment) * 16, sizeof record);
  const std::uint32_t fields = std::uint32_t(record[0] >> 32);
  view.segment = segment;
  view.width[0] = std::uint8_t(fields & 31);
  view.width[1] = std::uint8_t((fields >> 5) & 31);
  view.width[2] = std::uint8_t((fields >> 10) & 31);
  view.left_out = std::uint8_t((fields >> 15) & 3);
  view.key_width = std::uint8_t(view.width[0] + view.width[1] + view.width[2]);
  const std::uint32_t* component = Components_Without(view.left_out);
  const unsigned int lb = channel.lattice_bits;
  const std::uint64_t low_mask = (std::uint64_t(1) << lb) - 1;
  for (int j = 0; j < 3; ++j) {
    view.component[j] = std::uint8_t(component[j]);
    view.low[j] = Lattice_Value(channel, component[j], std::uint32_t((record[1] >> (j * lb)) & low_mask));
  }
  view.start = std::uint64_t(channel.keys) * 8 + std::uint32_t(record[0]);
}

// The distances of interior key i's three components from its segment's
// smallest lattice points, through `view`.
inline void Read_Distances(const unsigned char* block, const Channel& channel, std::uint32_t i, Segment_View& view,
                           std::int32_t* out) {
  View_Segment(block, channel, i, view);
  const std::uint64_t at = view.start + std::uint64_t(i % SEGMENT_KEYS) * view.key_width;
  // Components 0 and 1 lie within 48 bits of the key's start, so one load
  // holds them; component 2 too unless the key is wider than 57 bits.
  const unsigned int w0 = view.width[0], w1 = view.width[1], w2 = view.width[2];
  const std::uint64_t bits = Load_64(block + (at >> 3)) >> (at & 7);
  const std::uint64_t last =
      view.key_width <= 57 ? bits >> (w0 + w1) : Load_64(block + ((at + w0 + w1) >> 3)) >> ((at + w0 + w1) & 7);
  out[0] = std::int32_t(bits & ((std::uint64_t(1) << w0) - 1));
  out[1] = std::int32_t((bits >> w0) & ((std::uint64_t(1) << w1) - 1));
  out[2] = std::int32_t(last & ((std::uint64_t(1) << w2) - 1));
}

// Interior key i of a QUANTIZED channel, read through `view`: its three
// stored components.
inline void Read_Lattice_Key(const unsigned char* block, const Channel& channel, std::uint32_t i, Segment_View& view,
                             float* out) {
  std::int32_t d[3];
  Read_Distances(block, channel, i, view, d);
  for (unsigned int c = 0; c < 3; ++c) out[c] = Segment_Value(view.low[c], std::uint32_t(d[c]), channel.step);
}

// Key k (0 .. key_count - 1) of a channel into out: w, x, y, z of a rotation,
// or x, y, z of an offset. Whole keys are copied at once; lattice keys are
// added to `reads` (Read_All reads them).
template <bool ROTATION>
inline void Read_Key(const unsigned char* block, const Channel& channel, std::uint32_t key_count, std::uint32_t k,
                     Segment_View& view, float* out, Lattice_Read*& reads) {
  constexpr unsigned int SIZE = ROTATION ? 4 : 3;
  const float* whole = channel.first;
  if (channel.mode != CONSTANT && k != 0) {
    if (k + 1 == key_count) {
      whole = channel.last;
    } else if (channel.mode == QUANTIZED) {
      *reads++ = Lattice_Read{&channel, &view, out, k - 1, ROTATION};
      return;
    } else {
      whole = reinterpret_cast<const float*>(block + channel.keys) + std::size_t(k - 1) * SIZE;
    }
  }
  std::memcpy(out, whole, SIZE * sizeof(float));
}

// Reads every queued key: lane by lane the operations of Segment_Value and
// Rotation_Of, four keys at a time where SSE2 is available.
inline void Read_All(const unsigned char* block, const Lattice_Read* from, const Lattice_Read* to) {
#if defined(BONE_IMPORT_SSE) && (defined(__SSE2__) || defined(_M_X64))
  for (; to - from >= 4; from += 4) {
    alignas(16) std::int32_t distance[3][4];
    alignas(16) float low[3][4], step[4];
    // Where each lane's components go, taken before a later lane of the same
    // channel moves the view to another segment.
    std::uint8_t slot[4][4];
    for (int lane = 0; lane < 4; ++lane) {
      const Lattice_Read& read = from[lane];
      std::int32_t d[3];
      Read_Distances(block, *read.channel, read.interior, *read.view, d);
      for (int j = 0; j < 3; ++j) distance[j][lane] = d[j], low[j][lane] = read.view->low[j];
      std::memcpy(slot[lane], read.view->component, 3);
      slot[lane][3] = read.view->left_out;
      step[lane] = read.channel->step;
    }
    const __m128 s = _mm_load_ps(step);
    __m128 v[3];
    for (int j = 0; j < 3; ++j)
      v[j] = _mm_add_ps(_mm_load_ps(low[j]),
                        _mm_mul_ps(_mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(distance[j]))), s));
    const __m128 rest =
        _mm_sub_ps(_mm_set1_ps(1.0f),
                   _mm_add_ps(_mm_add_ps(_mm_mul_ps(v[0], v[0]), _mm_mul_ps(v[1], v[1])), _mm_mul_ps(v[2], v[2])));
    const __m128 left = _mm_and_ps(_mm_cmpgt_ps(rest, _mm_setzero_ps()), _mm_sqrt_ps(rest));
    alignas(16) float value[4][4];
    for (int j = 0; j < 3; ++j) _mm_store_ps(value[j], v[j]);
    _mm_store_ps(value[3], left);
    for (int lane = 0; lane < 4; ++lane) {
      const Lattice_Read& read = from[lane];
      float* out = read.out;
      if (read.rotation) {
        for (int j = 0; j < 4; ++j) out[slot[lane][j]] = value[j][lane];
      } else {
        for (int j = 0; j < 3; ++j) out[j] = value[j][lane];
      }
    }
  }
#endif
  for (; from != to; ++from) {
    float v[3];
    Read_Lattice_Key(block, *from->channel, from->interior, *from->view, v);
    if (from->rotation)
      Rotation_Of(v, from->view->component, from->view->left_out, from->out, 1);
    else
      std::memcpy(from->out, v, sizeof v);
  }
}

}  // namespace Packed
}  // namespace Bone_Import
}  // namespace Vantorix
