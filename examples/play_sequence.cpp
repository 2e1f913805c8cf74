// A small host program: imports a bone file, prints its hierarchy as a tree
// and the world position of every bone at a few moments of its animation.
//
//   play_sequence FILE.bone
#include <cstdio>

#include "bone_import/bone_import.h"

using namespace Vantorix::Bone_Import;

static void Print_Tree(const Hierarchy& hierarchy, unsigned int bone, int depth) {
  std::printf("%*s%s%s\n", 2 * depth, "", hierarchy.Bone_Name(bone), hierarchy.Is_Leaf(bone) ? " (leaf)" : "");
  for (unsigned int child = 0; child < hierarchy.Bone_Count(); ++child)
    if (hierarchy.Parent_Index(child) == bone && child != bone) Print_Tree(hierarchy, child, depth + 1);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.bone\n", argv[0]);
    return 2;
  }
  try {
    Hierarchy hierarchy;
    hierarchy.Import(argv[1]);
    Sequence sequence(hierarchy);
    sequence.Import(argv[1]);

    std::printf("%u bones, %.3f s\n", hierarchy.Bone_Count(), sequence.Lenght());
    Print_Tree(hierarchy, hierarchy.Root_Index(), 0);

    Frame frame(hierarchy, false);
    for (float fraction : {0.0f, 0.25f, 0.5f}) {
      sequence.Get_Frame(frame, fraction);
      std::printf("\nat %.3f s:\n", sequence.Lenght() * fraction);
      for (unsigned int bone = 0; bone < hierarchy.Bone_Count(); ++bone) {
        const Vector_3<float>& p = frame.Offset(bone);
        std::printf("  %-12s % .3f % .3f % .3f\n", hierarchy.Bone_Name(bone), p.x, p.y, p.z);
      }
    }
  } catch (const Kernel::Exception& error) {
    std::fprintf(stderr, "play_sequence: error: %s\n", error.what());
    return 1;
  }
  return 0;
}
