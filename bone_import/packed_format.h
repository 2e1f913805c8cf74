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
// keys come in segments of SEGMENT_KEYS; each segment has a header of fixed
// width per channel: the bit width of each component (0 .. 31), the
// component left out, the lattice point of each component's smallest value,
// and where its keys' bits start. The step of each channel is chosen from the
// error bound (packed_sequence.cpp). A channel that cannot be stored so
// (values too far apart for 24 bits, a bone in a parent loop) stores its
// interior keys as whole floats.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/packed_format.h is private to the library; include bone_import/bone_import.h"
#endif

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bone_import.h"

namespace Vantorix {
namespace Bone_Import {
namespace Packed {

constexpr unsigned int SEGMENT_KEYS = 32;
constexpr unsigned int WIDTH_BITS = 5;  // per component in a segment header
constexpr unsigned int LEFT_OUT_BITS = 2;
constexpr unsigned int MAX_WIDTH = 24;  // wider components are stored whole
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
};

struct Channel {
  std::uint8_t mode;
  std::uint8_t lattice_bits;  // of each segment's smallest lattice point
  std::uint8_t offset_bits;   // of each segment's start, in bits from `keys`
  std::uint8_t header_bits;   // 3 * WIDTH_BITS + LEFT_OUT_BITS + 3 * lattice_bits + offset_bits
  float step;
  float base[4];              // lattice point 0 of each component
  std::uint32_t segments;     // byte offset of the segment headers' bits
  std::uint32_t keys;         // byte offset of the interior keys
  float first[4], last[4];    // rotation w, x, y, z; offset x, y, z, 0
};

struct Track {
  std::uint32_t bone;
  std::uint32_t key_count;
  std::uint32_t first_grid, last_grid;  // grid indices of the first and last key
  std::uint32_t words;                  // byte offset of the bit set (BIT_SET)
  std::uint32_t ranks;                  // byte offset of the keys before each word
  std::uint8_t time_mode;
  std::uint8_t wide_ranks;              // ranks are 32-bit (else 16-bit)
  std::uint8_t unused[2];
  Channel rotation, offset;
};

// The keys a frame decoded last time for one track: the interval from key k
// (at grid time g0, time t0) to key k + 1 (g1, t1), which serves the times
// lo .. hi (open to either side at the track's first or last interval).
struct Cache_Entry {
  float lo, hi, t0, t1;
  std::uint32_t k, g0, g1, unused;
  Quaternion q0, q1;
  Vector_3<float> o0, o1;
};

}  // namespace Packed

// A frame's record of the last packed clip sampled into it.
struct Packed_Cache {
  const Packed_Sequence* owner = nullptr;
  unsigned long long tag = 0;
  std::vector<Packed::Cache_Entry> entries;
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
#if defined(__GNUC__)
  return unsigned(__builtin_popcountll(v));
#else
  v = v - ((v >> 1) & 0x5555555555555555ull);
  v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return unsigned((v * 0x0101010101010101ull) >> 56);
#endif
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
  std::uint32_t bits;
  std::memcpy(&bits, &approximate, sizeof bits);
  std::uint32_t correction =
      Read_Bits(block, std::uint64_t(header.corrections) * 8 + std::uint64_t(i) * header.correction_bits,
                header.correction_bits);
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

// Component c of lattice point q; packing measures its errors with this too.
inline float Lattice_Value(const Channel& channel, unsigned int c, std::uint32_t q) {
  return channel.base[c] + float(q) * channel.step;
}

// The rotation of three stored components, the fourth (`left_out`) >= 0.
inline Quaternion Rotation_Of(const float* v, unsigned int left_out) {
  const float rest = 1.0f - (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  float q[4];
  for (unsigned int c = 0, i = 0; c < 4; ++c) q[c] = c == left_out ? (rest > 0.0f ? std::sqrt(rest) : 0.0f) : v[i++];
  return Quaternion(q[0], q[1], q[2], q[3]);
}

// Interior key i (0 = the channel's second key) of a QUANTIZED channel: its
// three stored components into `out`; returns the component left out (3 for
// an offset, whose components are x, y, z).
inline unsigned int Read_Lattice_Key(const unsigned char* block, const Channel& channel, std::uint32_t i, float* out) {
  const std::uint32_t segment = i / SEGMENT_KEYS, j = i % SEGMENT_KEYS;
  std::uint64_t at = std::uint64_t(channel.segments) * 8 + std::uint64_t(segment) * channel.header_bits;
  const std::uint32_t fields = Read_Bits(block, at, 3 * WIDTH_BITS + LEFT_OUT_BITS);
  at += 3 * WIDTH_BITS + LEFT_OUT_BITS;
  const unsigned int w0 = fields & 31, w1 = (fields >> 5) & 31, w2 = (fields >> 10) & 31, left_out = fields >> 15;
  const unsigned int c0 = left_out == 0 ? 1 : 0, c1 = left_out <= 1 ? 2 : 1, c2 = left_out <= 2 ? 3 : 2;
  const std::uint32_t low0 = Read_Bits(block, at, channel.lattice_bits);
  const std::uint32_t low1 = Read_Bits(block, at + channel.lattice_bits, channel.lattice_bits);
  const std::uint32_t low2 = Read_Bits(block, at + 2u * channel.lattice_bits, channel.lattice_bits);
  const std::uint32_t start = Read_Bits(block, at + 3u * channel.lattice_bits, channel.offset_bits);
  std::uint64_t key = std::uint64_t(channel.keys) * 8 + start + std::uint64_t(j) * (w0 + w1 + w2);
  out[0] = Lattice_Value(channel, c0, low0 + Read_Bits(block, key, w0));
  key += w0;
  out[1] = Lattice_Value(channel, c1, low1 + Read_Bits(block, key, w1));
  key += w1;
  out[2] = Lattice_Value(channel, c2, low2 + Read_Bits(block, key, w2));
  return left_out;
}

// Key k (0 .. key_count - 1) of a track's rotation channel.
inline Quaternion Rotation_Key(const unsigned char* block, const Track& track, std::uint32_t k) {
  const Channel& channel = track.rotation;
  const float* whole = channel.first;
  if (channel.mode != CONSTANT && k != 0) {
    if (k + 1 == track.key_count) {
      whole = channel.last;
    } else if (channel.mode == QUANTIZED) {
      float v[3];
      const unsigned int left_out = Read_Lattice_Key(block, channel, k - 1, v);
      return Rotation_Of(v, left_out);
    } else {
      whole = reinterpret_cast<const float*>(block + channel.keys) + std::size_t(k - 1) * 4;
    }
  }
  Quaternion q;
  std::memcpy(&q, whole, sizeof q);
  return q;
}

// Key k of a track's offset channel.
inline Vector_3<float> Offset_Key(const unsigned char* block, const Track& track, std::uint32_t k) {
  const Channel& channel = track.offset;
  const float* whole = channel.first;
  if (channel.mode != CONSTANT && k != 0) {
    if (k + 1 == track.key_count) {
      whole = channel.last;
    } else if (channel.mode == QUANTIZED) {
      Vector_3<float> v;
      Read_Lattice_Key(block, channel, k - 1, &v.x);
      return v;
    } else {
      whole = reinterpret_cast<const float*>(block + channel.keys) + std::size_t(k - 1) * 3;
    }
  }
  Vector_3<float> v;
  std::memcpy(&v, whole, sizeof v);
  return v;
}

}  // namespace Packed
}  // namespace Bone_Import
}  // namespace Vantorix
