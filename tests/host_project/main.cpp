#include <bone_import/bone_import.h>

#include <cstdio>

using namespace Vantorix::Bone_Import;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    Hierarchy hierarchy;
    hierarchy.Import(argv[1]);
    Sequence sequence(hierarchy);
    sequence.Import(argv[1]);
    Frame frame(hierarchy, false);
    sequence.Get_Frame(frame, 0.5f);
    const Vector_3<float>& root = frame.Offset(hierarchy.Root_Index());
    std::printf("%u bones, root at (%g %g %g) halfway\n", hierarchy.Bone_Count(), root.x, root.y, root.z);
    Hierarchy missing;
    missing.Import("no such file");
  } catch (const Kernel::Exception& error) {
    std::printf("caught as expected: %s\n", error.what());
    return 0;
  }
  return 1;
}
