// Template library layer: 3x3 matrix and vector arithmetic, an inverse square
// root and an intrusive string-keyed hash table.
//
// Conventions: Matrix_3x3 stores element [i][j] (row i, column j) at 3i + j.
// Vectors are columns, so M3x3_M3x3_Mul(a, b, out) applies b first. Every
// function that writes an output may be given one of its inputs as that
// output: results are computed in full before they are stored.
#pragma once

#include <cmath>
#include <string>
#include <type_traits>

#include "bone_import_export.h"

namespace Template_Library {

template <class T>
struct Vector_3 {
  T x, y, z;

  operator T*() { return &x; }
  operator const T*() const { return &x; }
};

template <class T>
struct Matrix_3x3 {
  using Row = T[3];
  T m[3][3];

  operator Row*() { return m; }
  operator const Row*() const { return m; }

  static Matrix_3x3 Identity() { return Matrix_3x3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }
};

static_assert(std::is_standard_layout<Vector_3<float>>::value && sizeof(Vector_3<float>) == 3 * sizeof(float),
              "Vector_3 must be three packed floats");
static_assert(sizeof(Matrix_3x3<float>) == 9 * sizeof(float), "Matrix_3x3 must be nine packed floats");

// Scalars take their type from the matrices and vectors, so a double or an
// int converts as it would for a plain float parameter.
template <class T>
struct Scalar_Of {
  using type = T;
};
template <class T>
using Scalar = typename Scalar_Of<T>::type;

// out = a * b
template <class T>
inline void M3x3_M3x3_Mul(const Matrix_3x3<T>& a, const Matrix_3x3<T>& b, Matrix_3x3<T>& out) {
  Matrix_3x3<T> r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
  out = r;
}

// out = transpose(a) * b
template <class T>
inline void M3x3_Trn_M3x3_Mul(const Matrix_3x3<T>& a, const Matrix_3x3<T>& b, Matrix_3x3<T>& out) {
  Matrix_3x3<T> r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[0][i] * b.m[0][j] + a.m[1][i] * b.m[1][j] + a.m[2][i] * b.m[2][j];
  out = r;
}

// out = m * v
template <class T>
inline void M3x3_V3_Mul(const Matrix_3x3<T>& m, const Vector_3<T>& v, Vector_3<T>& out) {
  const Vector_3<T> r{m.m[0][0] * v.x + m.m[0][1] * v.y + m.m[0][2] * v.z,
                      m.m[1][0] * v.x + m.m[1][1] * v.y + m.m[1][2] * v.z,
                      m.m[2][0] * v.x + m.m[2][1] * v.y + m.m[2][2] * v.z};
  out = r;
}

// out = m * v + a
template <class T>
inline void M3x3_V3_Mul_V3_Add(const Matrix_3x3<T>& m, const Vector_3<T>& v, const Vector_3<T>& a, Vector_3<T>& out) {
  const Vector_3<T> r{m.m[0][0] * v.x + m.m[0][1] * v.y + m.m[0][2] * v.z + a.x,
                      m.m[1][0] * v.x + m.m[1][1] * v.y + m.m[1][2] * v.z + a.y,
                      m.m[2][0] * v.x + m.m[2][1] * v.y + m.m[2][2] * v.z + a.z};
  out = r;
}

// out = Rz(s1) * Ry(s2) * Rx(s3): angles in radians, right-handed rotations of
// column vectors. Applied to a vector, x turns first, then y, then z. Zero
// angles give the identity exactly.
template <class T>
inline void M3x3_S_S_S_Rot_ZYX(Matrix_3x3<T>& out, Scalar<T> s1, Scalar<T> s2, Scalar<T> s3) {
  const double sa = std::sin(double(s1)), ca = std::cos(double(s1));
  const double sb = std::sin(double(s2)), cb = std::cos(double(s2));
  const double sc = std::sin(double(s3)), cc = std::cos(double(s3));
  out.m[0][0] = T(ca * cb);
  out.m[0][1] = T(ca * sb * sc - sa * cc);
  out.m[0][2] = T(ca * sb * cc + sa * sc);
  out.m[1][0] = T(sa * cb);
  out.m[1][1] = T(sa * sb * sc + ca * cc);
  out.m[1][2] = T(sa * sb * cc - ca * sc);
  out.m[2][0] = T(-sb);
  out.m[2][1] = T(cb * sc);
  out.m[2][2] = T(cb * cc);
}

// out = a * s + b * t
template <class T>
inline void V3_S_Mul_V3_S_Mul_Add(const Vector_3<T>& a, const Vector_3<T>& b, Vector_3<T>& out, Scalar<T> s,
                                  Scalar<T> t) {
  const Vector_3<T> r{a.x * s + b.x * t, a.y * s + b.y * t, a.z * s + b.z * t};
  out = r;
}

// Squared length of a - b.
template <class T>
inline T V3_V3_Sub_Norm(const Vector_3<T>& a, const Vector_3<T>& b) {
  const T dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz;
}

// 1 / sqrt(x), exactly as the two operations give it (no approximation).
template <class T>
inline T Inv_Sqrt(T x) {
  return T(1) / std::sqrt(x);
}

// ---------------------------------------------------------------------------
// The same operations on raw arrays: a matrix as `const float (*)[3]` (input)
// or `float (*)[3]` (output), for example a `float m[3][3]`, and a vector as
// `const float*` or `float*`. Typed and raw arguments mix freely, since
// Matrix_3x3<float> and Vector_3<float> convert to these pointers.

namespace Raw {
inline Matrix_3x3<float> Matrix(const float (*m)[3]) {
  Matrix_3x3<float> r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = m[i][j];
  return r;
}
inline Vector_3<float> Vector(const float* v) { return Vector_3<float>{v[0], v[1], v[2]}; }
inline void Store(const Matrix_3x3<float>& m, float (*out)[3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = m.m[i][j];
}
inline void Store(const Vector_3<float>& v, float* out) {
  out[0] = v.x;
  out[1] = v.y;
  out[2] = v.z;
}
}  // namespace Raw

inline void M3x3_M3x3_Mul(const float (*a)[3], const float (*b)[3], float (*out)[3]) {
  Matrix_3x3<float> r;
  M3x3_M3x3_Mul(Raw::Matrix(a), Raw::Matrix(b), r);
  Raw::Store(r, out);
}
inline void M3x3_Trn_M3x3_Mul(const float (*a)[3], const float (*b)[3], float (*out)[3]) {
  Matrix_3x3<float> r;
  M3x3_Trn_M3x3_Mul(Raw::Matrix(a), Raw::Matrix(b), r);
  Raw::Store(r, out);
}
inline void M3x3_V3_Mul(const float (*m)[3], const float* v, float* out) {
  Vector_3<float> r;
  M3x3_V3_Mul(Raw::Matrix(m), Raw::Vector(v), r);
  Raw::Store(r, out);
}
inline void M3x3_V3_Mul_V3_Add(const float (*m)[3], const float* v, const float* a, float* out) {
  Vector_3<float> r;
  M3x3_V3_Mul_V3_Add(Raw::Matrix(m), Raw::Vector(v), Raw::Vector(a), r);
  Raw::Store(r, out);
}
inline void M3x3_S_S_S_Rot_ZYX(float (*out)[3], float s1, float s2, float s3) {
  Matrix_3x3<float> r;
  M3x3_S_S_S_Rot_ZYX(r, s1, s2, s3);
  Raw::Store(r, out);
}
inline void V3_S_Mul_V3_S_Mul_Add(const float* a, const float* b, float* out, float s, float t) {
  Vector_3<float> r;
  V3_S_Mul_V3_S_Mul_Add(Raw::Vector(a), Raw::Vector(b), r, s, t);
  Raw::Store(r, out);
}
inline float V3_V3_Sub_Norm(const float* a, const float* b) { return V3_V3_Sub_Norm(Raw::Vector(a), Raw::Vector(b)); }

// ---------------------------------------------------------------------------
// Intrusive doubly linked list.

class BONE_IMPORT_API DLIL_Node_Base {
 public:
  DLIL_Node_Base() : prev(this), next(this) {}
  DLIL_Node_Base(const DLIL_Node_Base&) = delete;
  DLIL_Node_Base& operator=(const DLIL_Node_Base&) = delete;

  bool Is_Linked() const { return next != this; }
  // Links this node in front of `position`.
  void Link_Before(DLIL_Node_Base* position);
  // Takes this node out of its list; a node in no list stays as it is.
  void Unlink();

  DLIL_Node_Base* prev;
  DLIL_Node_Base* next;
};

template <class T>
class DLIL_Node : public DLIL_Node_Base {
 public:
  T* Next() const { return static_cast<T*>(static_cast<DLIL_Node*>(next)); }
  T* Prev() const { return static_cast<T*>(static_cast<DLIL_Node*>(prev)); }
};

// ---------------------------------------------------------------------------
// Hash table of nodes that carry their own key. The table owns every node
// added to it and destroys them through their virtual destructor.

class BONE_IMPORT_API HTSC_Node_Base : public DLIL_Node<HTSC_Node_Base> {
 public:
  virtual ~HTSC_Node_Base();
  // True when `other` has the same key as this node.
  virtual bool Match(HTSC_Node_Base* other) const = 0;
  // Bucket of this node's key, below `buckets`.
  virtual unsigned int Index(unsigned int buckets) const = 0;
};

// A node keyed by its own copy of a string. Keys compare exactly: letter case
// is significant.
class BONE_IMPORT_API HTSC_Node_String : public HTSC_Node_Base {
 public:
  explicit HTSC_Node_String(const char* s);
  ~HTSC_Node_String() override;
  bool Match(HTSC_Node_Base* other) const override;
  unsigned int Index(unsigned int buckets) const override;

  const std::string& Key() const { return key; }

 private:
  std::string key;
};

class BONE_IMPORT_API HTSC_Table_Base {
 public:
  explicit HTSC_Table_Base(unsigned int buckets);
  ~HTSC_Table_Base();
  HTSC_Table_Base(const HTSC_Table_Base&) = delete;
  HTSC_Table_Base& operator=(const HTSC_Table_Base&) = delete;

  // Stores a heap node; the table owns it from now on. Nodes with equal keys
  // are all kept; Find returns the one added first.
  void Add(HTSC_Node_Base* node);
  // The stored node whose Match with `key` holds, or null.
  HTSC_Node_Base* Find(HTSC_Node_Base& key) const;
  unsigned int Bucket_Count() const { return bucket_count; }

 private:
  unsigned int bucket_count;
  DLIL_Node_Base* buckets;  // one list head per bucket
};

}  // namespace Template_Library
