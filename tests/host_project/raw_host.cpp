// A host in the raw-array style: plain float arrays handed to the template
// library, a matrix turned into a quaternion by plain conversion.
#include <bone_import/bone_import.h>

#include <cstdio>

using namespace Vantorix::Bone_Import;
using namespace Template_Library;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  Hierarchy hierarchy;
  hierarchy.Import(argv[1]);
  Sequence sequence(hierarchy);
  sequence.Import(argv[1]);

  float turn[3][3];
  M3x3_S_S_S_Rot_ZYX(turn, 0.0, 1.5707963267948966, 0.0);  // a quarter turn about y, angles as doubles
  Matrix_3x3<float> typed_turn;
  M3x3_M3x3_Mul(turn, Matrix_3x3<float>::Identity(), typed_turn);
  const Quaternion q = typed_turn;  // plain conversion
  sequence.Rotate(typed_turn);

  Frame frame(hierarchy, false);
  sequence.Get_Frame(frame, 0.5f);
  const unsigned int root = hierarchy.Root_Index();
  float position[3];
  const float lift[3] = {0.0f, 1.0f, 0.0f};
  M3x3_V3_Mul_V3_Add(frame.Base(root), lift, frame.Offset(root), position);
  std::printf("root base lifted to (%g %g %g); turn quaternion w %g\n", position[0], position[1], position[2], q.w);
  return 0;
}
