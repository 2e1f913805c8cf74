// Private: a hierarchy's bones in the order poses are composed, parents
// before children; for the frame, Reduce and packing.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/skeleton_order.h is private to the library; include bone_import/bone_import.h"
#endif

#include <vector>

#include "bone_import.h"

namespace Vantorix {
namespace Bone_Import {

class Skeleton_Order {
 public:
  // Per bone the parent its pose is composed from: INVALID_INDEX for the
  // root and for a bone whose parent index names no bone.
  static std::vector<unsigned int> Parents_Of(const Hierarchy& h);

  explicit Skeleton_Order(const Hierarchy& h) : Skeleton_Order(Parents_Of(h)) {}
  // From such parents, one per bone.
  explicit Skeleton_Order(std::vector<unsigned int> parents);

  unsigned int Bone_Count() const { return unsigned(parents.size()); }
  unsigned int Parent(unsigned int b) const { return parents[b]; }
  // b's children, in index order.
  const unsigned int* Children_Begin(unsigned int b) const { return children.data() + child_start[b]; }
  const unsigned int* Children_End(unsigned int b) const { return children.data() + child_start[b + 1]; }

  // The bones without a parent (the tops), then breadth first from them,
  // children in index order. Bones in or below a parent loop, which no top
  // reaches, are left out.
  std::vector<unsigned int> Breadth_First() const;
  // Every bone depth first, so that each subtree is one run: from each top,
  // then from the lowest bone of each parent loop, whose parent becomes
  // INVALID_INDEX (so Parent then names a bone placed before, or none).
  std::vector<unsigned int> Depth_First();

 private:
  std::vector<unsigned int> parents, child_start, children;
};

}  // namespace Bone_Import
}  // namespace Vantorix
