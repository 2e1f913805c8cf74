#include <algorithm>

#include "bone_import.h"
#include "check.h"
#include "rotation.h"
#include "simd.h"

namespace Vantorix {
namespace Bone_Import {

namespace {
// dirty[] values: clean, stale, and "on the current walk up" (finds loops).
constexpr unsigned char CLEAN = 0, STALE = 1, ON_WALK = 2;
}  // namespace

Frame::Frame(const Hierarchy& hierarchy, bool ignore_root)
    : ignore_root_offset(ignore_root),
      local_rotations(nullptr),
      local_offsets(nullptr),
      output_bases(nullptr),
      output_offsets(nullptr),
      dirty(nullptr),
      hier(&hierarchy),
      bone_count(hierarchy.Bone_Count()),
      update_chain(nullptr),
      output_parents(nullptr) {
  BONE_IMPORT_CHECK(!hierarchy.Failed(), "!hierarchy.Failed()", "bone_import/bones",
                    "Hierarchy import failed, can't make a frame of it");
  local_rotations = new Quaternion[bone_count];
  local_offsets = new Vector_3<float>[bone_count];
  output_bases = new Matrix_3x3<float>[bone_count];
  output_offsets = new Vector_3<float>[bone_count];
  dirty = new unsigned char[bone_count];
  update_chain = new unsigned int[bone_count];
  output_parents = new unsigned int[bone_count];
  const unsigned int root = hierarchy.Root_Index();
  for (unsigned int b = 0; b < bone_count; ++b) {
    const unsigned int parent = b == root ? INVALID_INDEX : hierarchy.Parent_Index(b);
    output_parents[b] = parent < bone_count ? parent : INVALID_INDEX;
  }
  std::fill(local_rotations, local_rotations + bone_count, Quaternion::Identity());
  std::fill(local_offsets, local_offsets + bone_count, Vector_3<float>{0.0f, 0.0f, 0.0f});
  std::fill(output_bases, output_bases + bone_count, Matrix_3x3<float>::Identity());
  std::fill(output_offsets, output_offsets + bone_count, Vector_3<float>{0.0f, 0.0f, 0.0f});
  Set_Dirty();
}

Frame::~Frame() {
  delete[] local_rotations;
  delete[] local_offsets;
  delete[] output_bases;
  delete[] output_offsets;
  delete[] dirty;
  delete[] update_chain;
  delete[] output_parents;
}

// The usual case inline: the parent was read first and is clean.
inline void Frame::Update_Output(unsigned int bone) {
  if (dirty[bone] == CLEAN) return;
  const unsigned int parent = output_parents[bone];
  if (parent != INVALID_INDEX && dirty[parent] == CLEAN)
    Compute_From_Parent(bone, parent);
  else
    Update_Chain(bone);
}

const Matrix_3x3<float>& Frame::Base(unsigned int bone) {
  Update_Output(bone);
  return output_bases[bone];
}

const Vector_3<float>& Frame::Offset(unsigned int bone) {
  Update_Output(bone);
  return output_offsets[bone];
}

void Frame::Set_Dirty() { std::fill(dirty, dirty + bone_count, STALE); }

inline void Frame::Compute_From_Parent(unsigned int b, unsigned int p) {
  Matrix_3x3<float> local;
  Rotation_Matrix(local_rotations[b], local);
#ifdef BONE_IMPORT_SSE
  // Row i of the product is parent[i][0] * local row 0 + parent[i][1] * local
  // row 1 + parent[i][2] * local row 2: per element the plain product's sum.
  const float* parent = output_bases[p].m[0];
  const __m128 l0 = _mm_setr_ps(local.m[0][0], local.m[0][1], local.m[0][2], 0.0f);
  const __m128 l1 = _mm_setr_ps(local.m[1][0], local.m[1][1], local.m[1][2], 0.0f);
  const __m128 l2 = _mm_setr_ps(local.m[2][0], local.m[2][1], local.m[2][2], 0.0f);
  __m128 rows[3];
  for (int i = 0; i < 3; ++i) {
    const float* pi = parent + 3 * i;
    rows[i] = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(pi[0]), l0), _mm_mul_ps(_mm_set1_ps(pi[1]), l1)),
                         _mm_mul_ps(_mm_set1_ps(pi[2]), l2));
  }
  Template_Library::M3x3_V3_Mul_V3_Add(output_bases[p], local_offsets[b], output_offsets[p], output_offsets[b]);
  // Rows are 3 floats apart: each 4-float store spills one float into the
  // next row, which the next store then overwrites; the last row stores 3.
  float* out = output_bases[b].m[0];
  _mm_storeu_ps(out, rows[0]);
  _mm_storeu_ps(out + 3, rows[1]);
  _mm_storel_pi(reinterpret_cast<__m64*>(out + 6), rows[2]);
  _mm_store_ss(out + 8, _mm_movehl_ps(rows[2], rows[2]));
#else
  // Parent in a local: the compiler need not fear aliasing.
  const Matrix_3x3<float> parent_base = output_bases[p];
  Template_Library::M3x3_M3x3_Mul(parent_base, local, output_bases[b]);
  Template_Library::M3x3_V3_Mul_V3_Add(parent_base, local_offsets[b], output_offsets[p], output_offsets[b]);
#endif
  dirty[b] = CLEAN;
}

inline void Frame::Compute_As_Root(unsigned int b) {
  Rotation_Matrix(local_rotations[b], output_bases[b]);
  output_offsets[b] = ignore_root_offset ? Vector_3<float>{0.0f, 0.0f, 0.0f} : local_offsets[b];
  dirty[b] = CLEAN;
}

// Walks up from `bone` to the first clean ancestor (or a bone computed like
// the root), then recomputes the walked bones parent before child. Iterative,
// so a deep chain cannot exhaust the stack; a parent loop, which the format
// does not exclude, ends the walk and its top bone is computed like the root.
void Frame::Update_Chain(unsigned int bone) {
  unsigned int depth = 0;
  unsigned int top = bone;
  bool top_has_parent;
  for (;;) {
    update_chain[depth++] = top;
    dirty[top] = ON_WALK;
    const unsigned int parent = output_parents[top];
    if (parent == INVALID_INDEX || dirty[parent] == ON_WALK) {
      top_has_parent = false;
      break;
    }
    if (dirty[parent] == CLEAN) {
      top_has_parent = true;
      break;
    }
    top = parent;
  }
  while (depth > 0) {
    const unsigned int b = update_chain[--depth];
    if (b == top && !top_has_parent)
      Compute_As_Root(b);
    else
      Compute_From_Parent(b, output_parents[b]);
  }
}

void Frame::Transform_Output(const Matrix_3x3<float>& m) {
  for (unsigned int b = 0; b < bone_count; ++b) Update_Output(b);
  for (unsigned int b = 0; b < bone_count; ++b) {
    Template_Library::M3x3_M3x3_Mul(m, output_bases[b], output_bases[b]);
    Template_Library::M3x3_V3_Mul(m, output_offsets[b], output_offsets[b]);
  }
}

void Frame::Flip_Output_X() { Flip_Output(0); }
void Frame::Flip_Output_Y() { Flip_Output(1); }
void Frame::Flip_Output_Z() { Flip_Output(2); }

void Frame::Flip_Output(unsigned int axis) {
  for (unsigned int b = 0; b < bone_count; ++b) Update_Output(b);
  for (unsigned int b = 0; b < bone_count; ++b) {
    float* row = output_bases[b].m[axis];
    row[0] *= -1.0f;
    row[1] *= -1.0f;
    row[2] *= -1.0f;
    static_cast<float*>(output_offsets[b])[axis] *= -1.0f;
  }
}

void Frame::Rotate_Base(const Matrix_3x3<float>& rotation, unsigned int bone) {
  Matrix_3x3<float> target = Base(bone);
  Template_Library::M3x3_M3x3_Mul(rotation, target, target);
  const unsigned int parent = output_parents[bone];
  if (parent != INVALID_INDEX) Template_Library::M3x3_Trn_M3x3_Mul(Base(parent), target, target);
  local_rotations[bone] = Quaternion(target);
  dirty[bone] = STALE;
}

void Interpolate(Frame& out, const Frame& a, const Frame& b, float t) {
  const unsigned int bone_count = std::min({out.hier->Bone_Count(), out.bone_count, a.bone_count, b.bone_count});
  for (unsigned int i = 0; i < bone_count; ++i) {
    if (out.hier->Is_Leaf(i)) continue;
    out.local_rotations[i] = Blend_Rotations(a.local_rotations[i], b.local_rotations[i], t);
    Template_Library::V3_S_Mul_V3_S_Mul_Add(b.local_offsets[i], a.local_offsets[i], out.local_offsets[i], t, 1.0f - t);
  }
  out.Set_Dirty();
}

}  // namespace Bone_Import
}  // namespace Vantorix
