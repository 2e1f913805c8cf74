#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bone_import.h"
#include "check.h"
#include "simd.h"

namespace Vantorix {
namespace Bone_Import {

namespace {

const char* const SOURCE = "bone_import/skin";

// A weight as the rule counts it: itself when finite and above 0, else 0.
double Counted(float weight) { return std::isfinite(weight) && weight > 0 ? double(weight) : 0.0; }

}  // namespace

Skinned_Mesh::Skinned_Mesh(const Skin& skin)
    : bone_count(0),
      point_count(0),
      renormalised_count(0),
      vertex_indices(nullptr),
      bone_first(nullptr),
      bindings(nullptr),
      binding_points(nullptr) {
  std::size_t total = 0;
  unsigned int bones = 0;
  for (unsigned int b = 0; skin.vert_count && b < skin.bone_count; ++b) {
    total += skin.vert_count[b];
    if (skin.vert_count[b] != 0) bones = b + 1;
  }

  // (vertex index, binding): sorted, the bindings of each vertex lie together,
  // in the order their point sums them.
  std::vector<std::pair<unsigned int, std::size_t>> by_vertex;
  by_vertex.reserve(total);
  std::size_t binding = 0;
  for (unsigned int b = 0; b < bones; ++b)
    for (unsigned int k = 0; k < skin.vert_count[b]; ++k) by_vertex.emplace_back(skin.vert_index[b][k], binding++);
  std::sort(by_vertex.begin(), by_vertex.end());
  std::size_t points = 0;
  for (std::size_t i = 0; i < total; ++i) points += i == 0 || by_vertex[i].first != by_vertex[i - 1].first;

  // Everything is allocated before any member takes it, so a failed
  // allocation leaves nothing behind.
  std::vector<std::size_t> first(std::size_t(bones) + 1, 0);
  std::vector<float> values(4 * total), raw(total);
  std::vector<unsigned int> targets(total), indices(points);
  for (unsigned int b = 0; b < bones; ++b) {
    first[b + 1] = first[b] + skin.vert_count[b];
    for (unsigned int k = 0; k < skin.vert_count[b]; ++k) {
      // Bits, not float values: positions go through as stored.
      std::memcpy(&values[4 * (first[b] + k)], &skin.vert_pos[b][k], 3 * sizeof(float));
      std::memcpy(&raw[first[b] + k], &skin.vert_weight[b][k], sizeof(float));
    }
  }

  unsigned int renormalised = 0, point = 0;
  for (std::size_t start = 0; start < total; ++point) {
    std::size_t end = start;
    double sum = 0;
    for (; end < total && by_vertex[end].first == by_vertex[start].first; ++end)
      sum += Counted(raw[by_vertex[end].second]);
    indices[point] = by_vertex[start].first;
    renormalised += !(std::fabs(sum - 1.0) <= 1e-4);
    for (std::size_t i = start; i < end; ++i) {
      binding = by_vertex[i].second;
      values[4 * binding + 3] = float(sum > 0 ? Counted(raw[binding]) / sum : 1.0 / double(end - start));
      targets[binding] = point;
    }
    start = end;
  }

  vertex_indices = new unsigned int[points];
  bone_first = new std::size_t[first.size()];
  bindings = new float[values.size()];
  binding_points = new unsigned int[total];
  std::copy(indices.begin(), indices.end(), vertex_indices);
  std::copy(first.begin(), first.end(), bone_first);
  std::copy(values.begin(), values.end(), bindings);
  std::copy(targets.begin(), targets.end(), binding_points);
  bone_count = bones;
  point_count = unsigned(points);
  renormalised_count = renormalised;
}

Skinned_Mesh::~Skinned_Mesh() {
  delete[] vertex_indices;
  delete[] bone_first;
  delete[] bindings;
  delete[] binding_points;
}

void Skinned_Mesh::Deform(Frame& frame, Vector_3<float>* points) const {
  BONE_IMPORT_CHECK(frame.bone_count >= bone_count, "frame.bone_count >= bone_count", SOURCE,
                    "Frame of " << std::to_string(frame.bone_count) << " bones, the skin binds bone "
                                << std::to_string(bone_count - 1));
  for (unsigned int b = 0; b < bone_count; ++b) {
    frame.Base(b);
    frame.Offset(b);
  }
  Deform(frame.output_bases, frame.output_offsets, points);
}

// Per binding, in the order of the plain code: p = Base * position + Offset
// with each row summed left to right, then point += weight * p. The SSE path
// keeps a row in each of three lanes and performs the same operations.
void Skinned_Mesh::Deform(const Matrix_3x3<float>* bases, const Vector_3<float>* offsets,
                          Vector_3<float>* points) const {
  if (point_count == 0) return;
  std::memset(static_cast<void*>(points), 0, std::size_t(point_count) * sizeof(Vector_3<float>));
  for (unsigned int b = 0; b < bone_count; ++b) {
    const std::size_t end = bone_first[b + 1];
    const float(*m)[3] = bases[b].m;
    const Vector_3<float>& o = offsets[b];
#ifdef BONE_IMPORT_SSE
    const __m128 c0 = _mm_setr_ps(m[0][0], m[1][0], m[2][0], 0.0f);
    const __m128 c1 = _mm_setr_ps(m[0][1], m[1][1], m[2][1], 0.0f);
    const __m128 c2 = _mm_setr_ps(m[0][2], m[1][2], m[2][2], 0.0f);
    const __m128 add = _mm_setr_ps(o.x, o.y, o.z, 0.0f);
    for (std::size_t i = bone_first[b]; i < end; ++i) {
      const __m128 v = _mm_loadu_ps(bindings + 4 * i);
      const __m128 x = Broadcast<0>(v);
      const __m128 y = Broadcast<1>(v);
      const __m128 z = Broadcast<2>(v);
      const __m128 w = Broadcast<3>(v);
      const __m128 p = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(c0, x), _mm_mul_ps(c1, y)), _mm_mul_ps(c2, z)), add);
      // Exactly the point's three floats are read and written.
      float* out = &points[binding_points[i]].x;
      const __m128 xy = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(out));
      const __m128 sum = _mm_add_ps(_mm_movelh_ps(xy, _mm_load_ss(out + 2)), _mm_mul_ps(w, p));
      _mm_storel_pi(reinterpret_cast<__m64*>(out), sum);
      _mm_store_ss(out + 2, High_Half(sum));
    }
#else
    for (std::size_t i = bone_first[b]; i < end; ++i) {
      const float* v = bindings + 4 * i;
      const float w = v[3];
      Vector_3<float>& out = points[binding_points[i]];
      out.x = out.x + w * (m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2] + o.x);
      out.y = out.y + w * (m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2] + o.y);
      out.z = out.z + w * (m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2] + o.z);
    }
#endif
  }
}

}  // namespace Bone_Import
}  // namespace Vantorix
