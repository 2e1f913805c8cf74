// Sequence import against the file's own hierarchy and against a fixed one,
// then sampling, reading every output, the edits and packing.
#include "bone_import/bone_import.h"
#include "fuzz_file.h"
#include "support/file_data.h"

using namespace Vantorix::Bone_Import;

namespace {

Hierarchy* fixed_hierarchy = nullptr;

// `Clip` is a Sequence or a Packed_Sequence.
template <class Clip>
void Play(const Clip& sequence, const Hierarchy& hierarchy) {
  Frame frame(hierarchy, false), other(hierarchy, true), blend(hierarchy, false);
  for (float fraction : {-0.5f, 0.0f, 0.37f, 1.0f, 3.0f}) {
    sequence.Get_Frame(frame, fraction);
    for (unsigned int b = 0; b < hierarchy.Bone_Count(); ++b) frame.Offset(b);
  }
  sequence.Get_Frame(other, 0.5f);
  Interpolate(blend, frame, other, 0.5f);
  blend.Flip_Output_X();
  if (hierarchy.Bone_Count() > 0) blend.Rotate_Base(Matrix_3x3<float>::Identity(), hierarchy.Bone_Count() - 1);
}

void Edit(const char* path, const Hierarchy& hierarchy) {
  Sequence sequence(hierarchy);
  sequence.Import(path);
  Play(sequence, hierarchy);
  Sequence combined(hierarchy);
  try {
    combined.Combine(sequence, 0.0f, 0.5f, sequence, 0.25f, 1.0f, 0.1f);
    Play(combined, hierarchy);
  } catch (const Kernel::Exception&) {
  }
  try {
    sequence.Reduce(0.01f, 0.1f);
    Play(sequence, hierarchy);
  } catch (const Kernel::Exception&) {
  }
  try {
    const Packed_Sequence packed(sequence, 0.001f, 0.1f);
    Play(packed, hierarchy);
  } catch (const Kernel::Exception&) {
  }
  sequence.Optimize(0.999f, 0.01f);
  sequence.Flip();
  sequence.Rotate(Matrix_3x3<float>::Identity());
  try {
    sequence.Normalize();
  } catch (const Kernel::Exception&) {
  }
  Play(sequence, hierarchy);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string bytes = test_support::Bone_File()
                                .Root("root", test_support::Keys_At({0, 1}))
                                .Bone("a", "root", test_support::Keys_At({0, 1}))
                                .Bone("b", "a", test_support::Keys_At({0, 1}))
                                .Data();
  const char* path = Fuzz_File(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  fixed_hierarchy = new Hierarchy;
  fixed_hierarchy->Import(path);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = Fuzz_File(data, size);
  try {
    Hierarchy own;
    own.Import(path);
    Edit(path, own);
  } catch (const Kernel::Exception&) {
  }
  try {
    Edit(path, *fixed_hierarchy);
  } catch (const Kernel::Exception&) {
  }
  return 0;
}
