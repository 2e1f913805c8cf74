// Skin weights as hosts and glTF expect them: per mesh vertex, summing to 1.
//
// A skin file stores weights as authored, and exporters disagree about them
// (some FBX rigs sum to 0.94 .. 1.38 per vertex). Everything that places skin
// points (render, export) normalises them the same way: weights below 0 count
// as 0, each vertex's weights are divided by their sum, and a vertex whose
// weights sum to 0 shares equally among its bindings.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace Vantorix {
namespace Bone_Tools {

class Vertex_Weights {
 public:
  // First pass: every binding of the skin.
  void Add(unsigned int vertex, float weight);
  // Second pass: the normalised weight of one binding.
  double Normalised(unsigned int vertex, float weight) const;
  // Vertices whose weights did not sum to 1 (within 1e-4).
  std::size_t Off_One() const;
  std::size_t Vertices() const { return sums_.size(); }
  // "N of M vertices of skin NAME have weights that do not sum to 1; they are
  // normalised", or "" when every vertex sums to 1.
  std::string Note(const std::string& skin_name) const;

 private:
  struct Sum {
    double total = 0;
    unsigned int bindings = 0;
  };
  std::unordered_map<unsigned int, Sum> sums_;
};

}  // namespace Bone_Tools
}  // namespace Vantorix
