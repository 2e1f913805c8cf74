// Private: one channel (a bone's rotations or offsets) on its way into a
// Packed_Sequence: its keys as they will be stored, how their errors reach the
// sampled pose, and the lattice that holds them within a share of the bound.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/packed_channels.h is private to the library; include bone_import/bone_import.h"
#endif

#include <cstdint>
#include <vector>

#include "bone_import.h"
#include "packed_format.h"

namespace Vantorix {
namespace Bone_Import {
namespace Packed {

// Appends bit fields (up to 32 bits each), lowest bit first.
class Bit_Writer {
 public:
  void Put(std::uint32_t value, unsigned int width) {
    if (width == 0) return;
    pending |= std::uint64_t(value & (0xffffffffu >> (32 - width))) << filled;
    filled += width;
    for (; filled >= 8; filled -= 8, pending >>= 8) bytes.push_back(static_cast<unsigned char>(pending));
  }
  std::uint64_t Bits() const { return bytes.size() * 8 + filled; }
  // The bytes written, the last one completed with 0 bits.
  std::vector<unsigned char> Take() {
    if (filled > 0) bytes.push_back(static_cast<unsigned char>(pending));
    pending = 0, filled = 0;
    return std::move(bytes);
  }

 private:
  std::vector<unsigned char> bytes;
  std::uint64_t pending = 0;
  unsigned int filled = 0;
};

inline unsigned int Width_Of(std::uint64_t value) {
  unsigned int width = 0;
  while (width < 64 && (value >> width) != 0) ++width;
  return width;
}

// One channel (rotation or offset) of one track.
struct Channel_Plan {
  bool rotation = false;
  Channel channel{};
  const float* values = nullptr;  // key k at values + k * stride: w, x, y, z or x, y, z
  unsigned int stride = 0;
  unsigned int interior = 0;  // keys between the first and the last
  // How key errors grow on the way to the sampled pose: the blend's weights
  // summed (above 1 where sampling extrapolates), and for rotations the
  // least length of the blended quaternion and the growth of w's error.
  double spread = 1, least_norm = 1, w_growth = 0;
  double share = 0;  // the error allowed: an angle for rotations, a distance for offsets
  double error = 0;  // the error measured after storing

  // Per segment of a rotation channel, the component left out (for offsets
  // 3: they store x, y, z).
  std::vector<std::uint8_t> left_out;
  // Per interior key the three components as stored (for rotations turned
  // over when the component left out is below 0), then for rotations the
  // size of the component left out.
  std::vector<float> stored;
  // Per interior key the lattice points of the last Quantize.
  std::vector<std::uint32_t> lattice;

  const float* Stored(unsigned int i) const { return &stored[std::size_t(i) * 4]; }
};

// Fills `plan` from the keys of one channel of bone b of s (all of them, the
// first and last stored whole): its mode, and for a lattice channel the keys
// as stored and how their errors grow.
void Plan_Channel(Channel_Plan& plan, const Sequence& s, unsigned int b, bool rotation);

// A lattice channel that is to keep its keys whole.
inline void Keep_Whole(Channel_Plan& plan) {
  if (plan.channel.mode == QUANTIZED) plan.channel.mode = WHOLE;
}

// Stores a lattice channel within plan.share (or whole, when nothing else
// works); plan.error is then the measured error of its sampled pose.
void Store(Channel_Plan& plan);

// A stored lattice channel's segment records (two words each) and bits.
void Write_Lattice(Channel_Plan& plan, std::vector<std::uint64_t>& records, std::vector<unsigned char>& bits);

}  // namespace Packed
}  // namespace Bone_Import
}  // namespace Vantorix
