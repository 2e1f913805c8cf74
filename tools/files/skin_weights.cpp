#include "files/skin_weights.h"

#include <algorithm>
#include <cmath>

namespace Vantorix {
namespace Bone_Tools {

void Vertex_Weights::Add(unsigned int vertex, float weight) {
  Sum& sum = sums_[vertex];
  sum.total += std::max(0.0, double(weight));
  ++sum.bindings;
}

double Vertex_Weights::Normalised(unsigned int vertex, float weight) const {
  const auto found = sums_.find(vertex);
  if (found == sums_.end()) return 0.0;
  const Sum& sum = found->second;
  return sum.total > 0 ? std::max(0.0, double(weight)) / sum.total : 1.0 / sum.bindings;
}

std::size_t Vertex_Weights::Off_One() const {
  return std::size_t(std::count_if(sums_.begin(), sums_.end(),
                                   [](const auto& entry) { return !(std::fabs(entry.second.total - 1.0) <= 1e-4); }));
}

std::string Vertex_Weights::Note(const std::string& skin_name) const {
  const std::size_t off = Off_One();
  if (off == 0) return "";
  return std::to_string(off) + " of " + std::to_string(Vertices()) + " vertices of skin " + skin_name +
         " have weights that do not sum to 1; they are normalised";
}

}  // namespace Bone_Tools
}  // namespace Vantorix
