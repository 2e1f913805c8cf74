#include <algorithm>
#include <queue>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "packed_format.h"
#include "rotation.h"
#include "simd.h"
#include "skeleton_order.h"

namespace Vantorix {
namespace Bone_Import {

namespace {
// dirty[] values. CLEAN: up to date and read (or computed for a read).
// UNREAD: computed by the whole-frame pass but not yet read; reads see an
// up-to-date output and only clear the mark. STALE: must be computed before it
// is read. ON_WALK: on the current walk up (finds loops). The stale ones have
// bit 0 set, which is all the inline reads test.
constexpr unsigned char CLEAN = 0, STALE = 1, UNREAD = 2, ON_WALK = 3;
}  // namespace

Frame::Frame(const Hierarchy& hierarchy, bool ignore_root)
    : ignore_root_offset(ignore_root),
      all_stale(true),
      unread_left(false),
      local_rotations(nullptr),
      local_offsets(nullptr),
      output_bases(nullptr),
      output_offsets(nullptr),
      dirty(nullptr),
      hier(&hierarchy),
      bone_count(hierarchy.Bone_Count()),
      update_chain(nullptr),
      output_parents(nullptr),
      update_order(nullptr),
      group_ends(nullptr),
      root_count(0),
      group_count(0),
      key_hints(nullptr),
      marks(nullptr),
      packed_cache(nullptr) {
  BONE_IMPORT_CHECK(!hierarchy.Failed(), "!hierarchy.Failed()", "bone_import/bones",
                    "Hierarchy import failed, can't make a frame of it");
  local_rotations = new Quaternion[bone_count];
  // One spare vector each: the four-bone pass loads offsets four floats at a
  // time, reaching one float past the last bone's.
  local_offsets = new Vector_3<float>[bone_count + 1]();
  output_bases = new Matrix_3x3<float>[bone_count];
  output_offsets = new Vector_3<float>[bone_count + 1]();
  dirty = new unsigned char[bone_count];
  update_chain = new unsigned int[bone_count];
  output_parents = new unsigned int[bone_count];
  update_order = new unsigned int[bone_count];
  group_ends = new unsigned int[bone_count + 1];
  key_hints = new unsigned int[bone_count]();
  marks = new unsigned char[bone_count];
  const std::vector<unsigned int> parents = Skeleton_Order::Parents_Of(hierarchy);
  std::copy(parents.begin(), parents.end(), output_parents);
  Build_Update_Order();
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
  delete[] update_order;
  delete[] group_ends;
  delete[] key_hints;
  delete[] marks;
  delete packed_cache;
}

// The bones computed like the root first, then groups of up to four bones
// whose parents are all in earlier groups. Each step takes the ready bones
// with the longest chains below them, so that the groups stay full.
void Frame::Build_Update_Order() {
  const Skeleton_Order skeleton(std::vector<unsigned int>(output_parents, output_parents + bone_count));
  // Breadth first from the roots, then the height of each bone's subtree.
  const std::vector<unsigned int> reached = skeleton.Breadth_First();
  root_count = 0;
  while (root_count < reached.size() && output_parents[reached[root_count]] == INVALID_INDEX) ++root_count;
  std::vector<unsigned int> height(bone_count, 0);
  for (std::size_t i = reached.size(); i-- > 0;) {
    const unsigned int parent = output_parents[reached[i]];
    if (parent != INVALID_INDEX) height[parent] = std::max(height[parent], height[reached[i]] + 1);
  }

  std::copy(reached.begin(), reached.begin() + root_count, update_order);
  unsigned int listed = root_count;
  group_count = 0;
  const auto later = [&](unsigned int a, unsigned int b) {
    return height[a] != height[b] ? height[a] < height[b] : a > b;
  };
  std::priority_queue<unsigned int, std::vector<unsigned int>, decltype(later)> ready(later);
  for (unsigned int r = 0; r < root_count; ++r)
    for (const unsigned int* c = skeleton.Children_Begin(update_order[r]); c != skeleton.Children_End(update_order[r]);
         ++c)
      ready.push(*c);
  while (!ready.empty()) {
    const unsigned int start = listed;
    while (!ready.empty() && listed - start < 4) {
      update_order[listed++] = ready.top();
      ready.pop();
    }
    group_ends[group_count++] = listed;
    for (unsigned int i = start; i < listed; ++i)
      for (const unsigned int* c = skeleton.Children_Begin(update_order[i]);
           c != skeleton.Children_End(update_order[i]); ++c)
        ready.push(*c);
  }
}

#ifdef BONE_IMPORT_EXPORTED_READS
const Matrix_3x3<float>& Frame::Base(unsigned int bone) {
  if (dirty[bone] != CLEAN) Mark_Read(bone);
  return output_bases[bone];
}

const Vector_3<float>& Frame::Offset(unsigned int bone) {
  if (dirty[bone] != CLEAN) Mark_Read(bone);
  return output_offsets[bone];
}
#endif

void Frame::Set_Dirty() {
  std::fill(dirty, dirty + bone_count, STALE);
  all_stale = true;
  unread_left = false;
}

void Frame::Refresh(unsigned int bone) {
  if (all_stale) Update_All();
  if (dirty[bone] & STALE) Update_Chain(bone);
}

// The roots, then the groups, four bones at a time where SIMD is available;
// every bone computed is marked UNREAD. Bones in parent loops stay stale and
// are computed when read.
void Frame::Update_All() {
  all_stale = false;
  unread_left = true;
  for (unsigned int i = 0; i < root_count; ++i) Compute_As_Root(update_order[i]);
  unsigned int start = root_count;
  for (unsigned int g = 0; g < group_count; ++g) {
    const unsigned int end = group_ends[g];
#ifdef BONE_IMPORT_SSE
    Compute_Four(update_order + start, end - start);
#else
    for (unsigned int i = start; i < end; ++i) Compute_From_Parent(update_order[i], output_parents[update_order[i]]);
#endif
    start = end;
  }
  if (start == bone_count)
    std::fill(dirty, dirty + bone_count, UNREAD);
  else
    for (unsigned int i = 0; i < start; ++i) dirty[update_order[i]] = UNREAD;
}

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
  _mm_store_ss(out + 8, High_Half(rows[2]));
#else
  // Parent in a local: the compiler need not fear aliasing.
  const Matrix_3x3<float> parent_base = output_bases[p];
  Template_Library::M3x3_M3x3_Mul(parent_base, local, output_bases[b]);
  Template_Library::M3x3_V3_Mul_V3_Add(parent_base, local_offsets[b], output_offsets[p], output_offsets[b]);
#endif
  dirty[b] = CLEAN;
}

#ifdef BONE_IMPORT_SSE
// Up to four bones whose parents are up to date: per lane exactly the
// operations of Rotation_Matrix and Compute_From_Parent, in the same order,
// so the results are the same to the bit. Lanes past `count` repeat the last
// bone (and store the same values again). The caller marks the bones.
inline void Frame::Compute_Four(const unsigned int* group, unsigned int count) {
  const unsigned int b[4] = {group[0], group[count > 1 ? 1 : 0], group[count > 2 ? 2 : count - 1],
                             group[count > 3 ? 3 : count - 1]};
  __m128 w = _mm_loadu_ps(&local_rotations[b[0]].w), x = _mm_loadu_ps(&local_rotations[b[1]].w);
  __m128 y = _mm_loadu_ps(&local_rotations[b[2]].w), z = _mm_loadu_ps(&local_rotations[b[3]].w);
  Transpose_4(w, x, y, z);
  const __m128 two = _mm_set1_ps(2.0f), one = _mm_set1_ps(1.0f);
  const __m128 x2 = _mm_mul_ps(two, x), y2 = _mm_mul_ps(two, y), z2 = _mm_mul_ps(two, z), w2 = _mm_mul_ps(two, w);
  const __m128 xx2 = _mm_mul_ps(x2, x), yy2 = _mm_mul_ps(y2, y), zz2 = _mm_mul_ps(z2, z);
  const __m128 xy2 = _mm_mul_ps(x2, y), xz2 = _mm_mul_ps(x2, z), yz2 = _mm_mul_ps(y2, z);
  const __m128 wx2 = _mm_mul_ps(w2, x), wy2 = _mm_mul_ps(w2, y), wz2 = _mm_mul_ps(w2, z);
  const __m128 l[3][3] = {{_mm_sub_ps(_mm_sub_ps(one, yy2), zz2), _mm_sub_ps(xy2, wz2), _mm_add_ps(xz2, wy2)},
                          {_mm_add_ps(xy2, wz2), _mm_sub_ps(_mm_sub_ps(one, zz2), xx2), _mm_sub_ps(yz2, wx2)},
                          {_mm_sub_ps(xz2, wy2), _mm_add_ps(yz2, wx2), _mm_sub_ps(_mm_sub_ps(one, xx2), yy2)}};

  const unsigned int p[4] = {output_parents[b[0]], output_parents[b[1]], output_parents[b[2]], output_parents[b[3]]};
  // Parent bases: elements 0-3 and 4-7 of each as two transposed blocks, then
  // element 8.
  __m128 a0 = _mm_loadu_ps(output_bases[p[0]].m[0]), a1 = _mm_loadu_ps(output_bases[p[1]].m[0]);
  __m128 a2 = _mm_loadu_ps(output_bases[p[2]].m[0]), a3 = _mm_loadu_ps(output_bases[p[3]].m[0]);
  Transpose_4(a0, a1, a2, a3);
  __m128 c0 = _mm_loadu_ps(&output_bases[p[0]].m[1][1]), c1 = _mm_loadu_ps(&output_bases[p[1]].m[1][1]);
  __m128 c2 = _mm_loadu_ps(&output_bases[p[2]].m[1][1]), c3 = _mm_loadu_ps(&output_bases[p[3]].m[1][1]);
  Transpose_4(c0, c1, c2, c3);
  const __m128 e8 = Gather_4(output_bases[p[0]].m[2][2], output_bases[p[1]].m[2][2], output_bases[p[2]].m[2][2],
                             output_bases[p[3]].m[2][2]);
  const __m128 pb[3][3] = {{a0, a1, a2}, {a3, c0, c1}, {c2, c3, e8}};

  __m128 r[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r[i][j] = _mm_add_ps(_mm_add_ps(_mm_mul_ps(pb[i][0], l[0][j]), _mm_mul_ps(pb[i][1], l[1][j])),
                           _mm_mul_ps(pb[i][2], l[2][j]));

  // Offsets, four floats a load (the arrays have a spare vector at the end):
  // parent base * local offset + parent offset.
  __m128 vx = _mm_loadu_ps(&local_offsets[b[0]].x), vy = _mm_loadu_ps(&local_offsets[b[1]].x);
  __m128 vz = _mm_loadu_ps(&local_offsets[b[2]].x), v3 = _mm_loadu_ps(&local_offsets[b[3]].x);
  Transpose_4(vx, vy, vz, v3);
  __m128 ax = _mm_loadu_ps(&output_offsets[p[0]].x), ay = _mm_loadu_ps(&output_offsets[p[1]].x);
  __m128 az = _mm_loadu_ps(&output_offsets[p[2]].x), a_3 = _mm_loadu_ps(&output_offsets[p[3]].x);
  Transpose_4(ax, ay, az, a_3);
  const __m128 add[3] = {ax, ay, az};
  __m128 o[4];
  for (int i = 0; i < 3; ++i)
    o[i] = _mm_add_ps(
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(pb[i][0], vx), _mm_mul_ps(pb[i][1], vy)), _mm_mul_ps(pb[i][2], vz)), add[i]);
  o[3] = _mm_setzero_ps();
  Transpose_4(o[0], o[1], o[2], o[3]);

  // Back to one matrix per bone: elements 0-3 and 4-7 transposed, then 8.
  __m128 s0 = r[0][0], s1 = r[0][1], s2 = r[0][2], s3 = r[1][0];
  Transpose_4(s0, s1, s2, s3);
  __m128 t0 = r[1][1], t1 = r[1][2], t2 = r[2][0], t3 = r[2][1];
  Transpose_4(t0, t1, t2, t3);
  float last[4];
  _mm_storeu_ps(last, r[2][2]);
  const __m128 first_half[4] = {s0, s1, s2, s3}, second_half[4] = {t0, t1, t2, t3};
  for (unsigned int k = 0; k < count; ++k) {
    float* out = output_bases[b[k]].m[0];
    _mm_storeu_ps(out, first_half[k]);
    _mm_storeu_ps(out + 4, second_half[k]);
    out[8] = last[k];
    float* offset = &output_offsets[b[k]].x;
    _mm_storel_pi(reinterpret_cast<__m64*>(offset), o[k]);
    _mm_store_ss(offset + 2, High_Half(o[k]));
  }
}
#endif

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
    if (dirty[parent] == CLEAN || dirty[parent] == UNREAD) {
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
  for (unsigned int b = 0; b < bone_count; ++b) Base(b);
  for (unsigned int b = 0; b < bone_count; ++b) {
    Template_Library::M3x3_M3x3_Mul(m, output_bases[b], output_bases[b]);
    Template_Library::M3x3_V3_Mul(m, output_offsets[b], output_offsets[b]);
  }
}

void Frame::Flip_Output_X() { Flip_Output(0); }
void Frame::Flip_Output_Y() { Flip_Output(1); }
void Frame::Flip_Output_Z() { Flip_Output(2); }

void Frame::Flip_Output(unsigned int axis) {
  for (unsigned int b = 0; b < bone_count; ++b) Base(b);
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
  // Reading the bone computed its ancestors; the descendants that nothing has
  // read since the whole-frame pass are stale and follow the new rotation.
  for (unsigned int p = parent; p != INVALID_INDEX && dirty[p] == UNREAD; p = output_parents[p]) dirty[p] = CLEAN;
  if (unread_left) Restale_Unread_Below(bone);
  dirty[bone] = STALE;
}

// A bone that the whole-frame pass computed counts as read once it, or a bone
// below it, has been read: such a bone keeps its output, as it would have had
// it been computed for that read. The others below `bone` become stale.
void Frame::Restale_Unread_Below(unsigned int bone) {
  constexpr unsigned char READ_BELOW = 1, UNDER_BONE = 2;
  const unsigned int listed = root_count == 0 ? 0 : group_count == 0 ? root_count : group_ends[group_count - 1];
  for (unsigned int i = 0; i < listed; ++i) marks[update_order[i]] = dirty[update_order[i]] == CLEAN ? READ_BELOW : 0;
  for (unsigned int i = listed; i-- > root_count;) {
    const unsigned int b = update_order[i];
    marks[output_parents[b]] |= marks[b] & READ_BELOW;
  }
  for (unsigned int i = 0; i < listed; ++i) {
    const unsigned int b = update_order[i], p = output_parents[b];
    if (b == bone || (p != INVALID_INDEX && (marks[p] & UNDER_BONE))) marks[b] |= UNDER_BONE;
    if (b != bone && (marks[b] & UNDER_BONE) && dirty[b] == UNREAD) dirty[b] = marks[b] & READ_BELOW ? CLEAN : STALE;
  }
}

}  // namespace Bone_Import
}  // namespace Vantorix
