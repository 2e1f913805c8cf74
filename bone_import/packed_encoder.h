// Private: the encoder that makes a Packed_Sequence's block: the error
// allocation that chooses each channel's precision (packed_allocation.cpp)
// and the writing of the layout (packed_sequence.cpp, packed_format.h).
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/packed_encoder.h is private to the library; include bone_import/bone_import.h"
#endif

#include <cstdint>
#include <vector>

#include "bone_import.h"
#include "packed_channels.h"
#include "packed_format.h"

namespace Vantorix {
namespace Bone_Import {
namespace Packed {

// The skeleton as poses are composed: per sampled bone the sampled bone its
// world pose is composed from (INVALID_INDEX for a root and bones computed
// like it), in an order with parents first. Bones that no root reaches (in or
// below a parent loop) are left out: the frame computes them from whichever
// of them is read first, so they are stored whole.
struct Model_Bone {
  unsigned int bone, parent;  // parent: index into the model list, or INVALID_INDEX
  double offset_length;       // the largest length of its local offset
  Channel_Plan* rotation;
  Channel_Plan* offset;
  double weight_sum, weighted_depth, depth;  // dual ascent scratch
  double multiplier;
  double theta, distance;  // world errors
};

class Encoder {
 public:
  Encoder(const Sequence& source, double max_error, double reach)
      : s(source), h(source.Get_Hierarchy()), bound(max_error), reach(reach) {}

  // The block, and the number of its tracks.
  std::vector<unsigned char> Run(unsigned int& track_count);

 private:
  struct Track_Plan {
    unsigned int bone;
    std::vector<std::uint32_t> grid_index;  // per key
    Channel_Plan rotation, offset;
  };

  // One track per sampled bone; refuses keys that do not rise or are not finite.
  void Collect_Tracks();
  // Every sampled key time once, rising; then the corrections that make
  // float(i) * step exact.
  void Build_Grid();
  // The skeleton model, parents first, and every channel's plan.
  void Plan_Channels();
  // Shares of the bound for every lattice channel, by dual ascent on the
  // bones' constraints; then storage, and shares scaled to the room left.
  void Allocate();
  // The largest error of any bone's points when every channel's pose error
  // is `error_of` it (0 for channels stored exactly); per bone into `errors`.
  template <class Error_Of>
  double Worst_Error(Error_Of error_of, std::vector<double>* errors);
  // The block as packed_format.h lays it out.
  std::vector<unsigned char> Assemble();

  const Sequence& s;
  const Hierarchy& h;
  const double bound, reach;
  std::vector<Track_Plan> tracks;
  std::vector<Model_Bone> model;
  std::vector<float> grid;
  Bit_Writer grid_bits;
  Header header{};
};

}  // namespace Packed
}  // namespace Bone_Import
}  // namespace Vantorix
