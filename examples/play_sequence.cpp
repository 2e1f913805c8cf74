// A small host program: imports a bone file, prints its bones with their
// parents and the world position of every bone at a few moments of its animation.
//
//   play_sequence FILE.bone
#include <cstdio>

#include "bone_import/bone_import.h"

using namespace Vantorix::Bone_Import;

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
    for (unsigned int bone = 0; bone < hierarchy.Bone_Count(); ++bone) {
      const unsigned int parent = hierarchy.Parent_Index(bone);
      std::printf("  %s%s, parent %s\n", hierarchy.Bone_Name(bone), hierarchy.Is_Leaf(bone) ? " (leaf)" : "",
                  parent == INVALID_INDEX ? "none" : hierarchy.Bone_Name(parent));
    }

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
