#include "skeleton_order.h"

#include <utility>

namespace Vantorix {
namespace Bone_Import {

std::vector<unsigned int> Skeleton_Order::Parents_Of(const Hierarchy& h) {
  const unsigned int bones = h.Bone_Count(), root = h.Root_Index();
  std::vector<unsigned int> parents(bones, INVALID_INDEX);
  for (unsigned int b = 0; b < bones; ++b) {
    const unsigned int p = b == root ? INVALID_INDEX : h.Parent_Index(b);
    if (p < bones) parents[b] = p;
  }
  return parents;
}

Skeleton_Order::Skeleton_Order(std::vector<unsigned int> parents_) : parents(std::move(parents_)) {
  const unsigned int bones = Bone_Count();
  child_start.assign(bones + 1, 0);
  children.resize(bones);
  for (unsigned int b = 0; b < bones; ++b)
    if (parents[b] != INVALID_INDEX) ++child_start[parents[b] + 1];
  for (unsigned int b = 0; b < bones; ++b) child_start[b + 1] += child_start[b];
  std::vector<unsigned int> fill(child_start.begin(), child_start.end() - 1);
  for (unsigned int b = 0; b < bones; ++b)
    if (parents[b] != INVALID_INDEX) children[fill[parents[b]]++] = b;
}

std::vector<unsigned int> Skeleton_Order::Breadth_First() const {
  std::vector<unsigned int> order;
  for (unsigned int b = 0; b < Bone_Count(); ++b)
    if (parents[b] == INVALID_INDEX) order.push_back(b);
  for (std::size_t i = 0; i < order.size(); ++i)
    order.insert(order.end(), Children_Begin(order[i]), Children_End(order[i]));
  return order;
}

std::vector<unsigned int> Skeleton_Order::Depth_First() {
  const unsigned int bones = Bone_Count();
  std::vector<unsigned char> placed(bones, 0);
  std::vector<unsigned int> order, stack;
  const auto place_from = [&](unsigned int top) {
    stack.assign(1, top);
    placed[top] = 1;
    while (!stack.empty()) {
      const unsigned int b = stack.back();
      stack.pop_back();
      order.push_back(b);
      for (const unsigned int* c = Children_End(b); c-- != Children_Begin(b);)
        if (!placed[*c]) placed[*c] = 1, stack.push_back(*c);
    }
  };
  for (unsigned int b = 0; b < bones; ++b)
    if (parents[b] == INVALID_INDEX) place_from(b);
  for (unsigned int b = 0; b < bones; ++b)
    if (!placed[b]) parents[b] = INVALID_INDEX, place_from(b);
  return order;
}

}  // namespace Bone_Import
}  // namespace Vantorix
