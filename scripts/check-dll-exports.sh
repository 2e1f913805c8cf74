#!/usr/bin/env bash
# Checks that the 32-bit Windows DLL exports every class operation hosts link
# against. Usage: scripts/check-dll-exports.sh build/mingw/libbone_import.dll
set -euo pipefail
dll=${1:-build/mingw/libbone_import.dll}
exports=$(i686-w64-mingw32-objdump -p "$dll" | grep -E '^\s+\[ *[0-9]+\]' | awk '{print $NF}')
required=(
  _ZN8Vantorix11Bone_Import9HierarchyC1Ev _ZN8Vantorix11Bone_Import9HierarchyD1Ev
  _ZN8Vantorix11Bone_Import9Hierarchy6ImportEPKc _ZNK8Vantorix11Bone_Import9Hierarchy12Parent_IndexEj
  _ZNK8Vantorix11Bone_Import9Hierarchy10Bone_IndexEPKc _ZNK8Vantorix11Bone_Import9Hierarchy9Bone_NameEj
  _ZNK8Vantorix11Bone_Import9HierarchyeqERKS1_
  _ZN8Vantorix11Bone_Import8SequenceC1ERKNS0_9HierarchyE _ZN8Vantorix11Bone_Import8SequenceD1Ev
  _ZNK8Vantorix11Bone_Import8Sequence6LenghtEv _ZN8Vantorix11Bone_Import8Sequence6ImportEPKc
  _ZNK8Vantorix11Bone_Import8Sequence9Get_FrameERNS0_5FrameEf
  _ZNK8Vantorix11Bone_Import8Sequence14Get_Frame_TimeERNS0_5FrameEf
  _ZN8Vantorix11Bone_Import8Sequence7CombineERS1_ffS2_fff _ZN8Vantorix11Bone_Import8Sequence8OptimizeEff
  _ZN8Vantorix11Bone_Import8Sequence4FlipEv _ZN8Vantorix11Bone_Import8Sequence9NormalizeEv
  _ZN8Vantorix11Bone_Import8Sequence6RotateERKN16Template_Library10Matrix_3x3IfEE
  _ZN8Vantorix11Bone_Import5FrameC1ERKNS0_9HierarchyEb _ZN8Vantorix11Bone_Import5FrameD1Ev
  _ZN8Vantorix11Bone_Import5Frame9Set_DirtyEv _ZN8Vantorix11Bone_Import5Frame4BaseEj
  _ZN8Vantorix11Bone_Import5Frame6OffsetEj
  _ZN8Vantorix11Bone_Import5Frame16Transform_OutputERKN16Template_Library10Matrix_3x3IfEE
  _ZN8Vantorix11Bone_Import5Frame13Flip_Output_XEv _ZN8Vantorix11Bone_Import5Frame13Flip_Output_YEv
  _ZN8Vantorix11Bone_Import5Frame13Flip_Output_ZEv
  _ZN8Vantorix11Bone_Import5Frame11Rotate_BaseERKN16Template_Library10Matrix_3x3IfEEj
  _ZN8Vantorix11Bone_Import11InterpolateERNS0_5FrameERKS1_S4_f
  _ZN8Vantorix11Bone_Import9Skin_FileC1EPKc _ZN8Vantorix11Bone_Import9Skin_FileD1Ev
  _ZN8Vantorix11Bone_Import9Skin_File8Get_SkinERSt6vectorINS1_6VertexESaIS3_EEPKc
  _ZN8Vantorix11Bone_Import4SkinC1Ev _ZN8Vantorix11Bone_Import4SkinD1Ev
  _ZN8Vantorix11Bone_Import4Skin6ImportERNS0_9Skin_FileEPKcRKNS0_9HierarchyE
  _ZN6Kernel11Throw_ErrorEPKcS1_S1_i _ZN6Kernel5Error16Tmp_Str_InserterEv _ZN6Kernel5Error7Tmp_StrEv
)
missing=0
for symbol in "${required[@]}"; do
  if ! grep -qx "$symbol" <<<"$exports"; then
    echo "missing export: $symbol" >&2
    missing=1
  fi
done
[ $missing -eq 0 ] && echo "DLL exports: all ${#required[@]} required symbols present ($(wc -l <<<"$exports") in all)"
exit $missing
