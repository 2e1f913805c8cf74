// Where tools place every bone, leaves included, and the size of a clip's
// skeleton that follows from it.
//
// The library never samples a leaf bone: a frame keeps a leaf's local pose at
// the identity, so that its output is its parent's. A leaf still holds keys,
// and they say where it ends its chain: render and the other drawings, the
// glTF export, the Blender add-on and Python's Sequence.sample(...,
// place_leaves=True) all place a leaf that has a parent by its first key,
// below its parent's output. Every other bone (and a leaf without a parent)
// is where the frame puts it.
#pragma once

#include "bone_import/bone_import.h"

namespace Vantorix {
namespace Bone_Tools {

// Whether tools place `bone` by its first key: a leaf with a parent, in a
// filled sequence.
bool Placed_By_First_Key(const Bone_Import::Sequence& sequence, unsigned int bone);

// The local pose of `bone` as tools place it: its first key where
// Placed_By_First_Key, else the frame's local pose (the frame belongs to the
// sequence's hierarchy).
void Placed_Local_Pose(const Bone_Import::Sequence& sequence, const Bone_Import::Frame& frame, unsigned int bone,
                       Bone_Import::Quaternion& rotation, Template_Library::Vector_3<float>& offset);

// Every bone's output rotation and position as tools place them, into
// arrays of the hierarchy's bone count: the frame's Base and Offset, except
// that a leaf with a parent gets its parent's output times its first key.
void Placed_Poses(const Bone_Import::Sequence& sequence, Bone_Import::Frame& frame,
                  Template_Library::Matrix_3x3<float>* bases, Template_Library::Vector_3<float>* positions);

// The reach Reduce and packing take when none is given (bonetool reduce and
// info --packed, Python's Sequence.reduce and PackedSequence): a tenth of the
// skeleton's size, the largest diagonal of the box around its bone positions
// (placed as Placed_Poses places them) at 101 times evenly spread over the
// clip; 0 when every bone stays at one point. The sequence must be filled.
float Default_Reach(const Bone_Import::Sequence& sequence);

}  // namespace Bone_Tools
}  // namespace Vantorix
