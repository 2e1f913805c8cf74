// Python bindings of the library (module bone_import._bone_import); the
// package's __init__ re-exports them. Arrays are numpy arrays; every library
// error becomes bone_import.Error; wrong shapes, types, values and indices
// become ValueError, TypeError and IndexError before anything reaches the
// library, a file that cannot be opened the OSError open() raises
// (FileNotFoundError, PermissionError, IsADirectoryError), and a name that is
// not there a KeyError. Paths are str, bytes or any os.PathLike. Names and
// messages are decoded as UTF-8 with surrogateescape, as os.fsdecode does: a
// byte that is not UTF-8 comes back as a lone surrogate, and a name passed
// back in is encoded to the same bytes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"
#include "files/output_files.h"
#include "validate/validator.h"
#include "writers/animation_data.h"
#include "writers/bone_poses.h"
#ifdef BONE_IMPORT_PYTHON_CONVERT
#include "interchange/batch_convert.h"
#endif

namespace py = pybind11;
using namespace Vantorix::Bone_Import;
using namespace pybind11::literals;
namespace Tools = Vantorix::Bone_Tools;
using Path = std::filesystem::path;

namespace {

// A bone or skin name as the files store it: bytes, usually UTF-8.
struct Name {
  std::string bytes;
};

}  // namespace

namespace pybind11 {
namespace detail {

// str (encoded as UTF-8 with surrogateescape) or bytes, both ways.
template <>
struct type_caster<Name> {
  PYBIND11_TYPE_CASTER(Name, const_name("str"));
  bool load(handle source, bool) {
    if (PyBytes_Check(source.ptr())) {
      value.bytes.assign(PyBytes_AS_STRING(source.ptr()), std::size_t(PyBytes_GET_SIZE(source.ptr())));
      return true;
    }
    if (!PyUnicode_Check(source.ptr())) return false;
    object encoded = reinterpret_steal<object>(PyUnicode_AsEncodedString(source.ptr(), "utf-8", "surrogateescape"));
    if (!encoded) {
      PyErr_Clear();
      return false;
    }
    value.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), std::size_t(PyBytes_GET_SIZE(encoded.ptr())));
    return true;
  }
  static handle cast(const Name& name, return_value_policy, handle) {
    return PyUnicode_DecodeUTF8(name.bytes.data(), ssize_t(name.bytes.size()), "surrogateescape");
  }
};

}  // namespace detail
}  // namespace pybind11

namespace {

PyObject* error_type = nullptr;

template <class T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

py::object Text(const std::string& bytes) { return py::cast(Name{bytes}); }

[[noreturn]] void Raise(PyObject* type, const std::string& text) {
  PyErr_SetObject(type, Text(text).ptr());
  throw py::error_already_set();
}

// The path as the operating system takes it; raises the OSError that open()
// raises when the file cannot be read, before the library tries.
std::string Readable(const Path& path) {
  const std::string name = path.string();
  std::error_code error;
  int failure = 0;
  if (std::filesystem::is_directory(path, error))
    failure = EISDIR;
  else if (std::FILE* file = std::fopen(name.c_str(), "rb"))
    std::fclose(file);
  else
    failure = errno;
  if (!failure) return name;
  const py::object filename = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(name.c_str()));
  errno = failure;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
  throw py::error_already_set();
}

// Bytes of a bone or skin file, read the way the library reads files: from a
// temporary file, removed afterwards.
struct Temporary_File {
  explicit Temporary_File(const std::string& bytes) {
    const py::tuple made = py::module_::import("tempfile").attr("mkstemp")("suffix"_a = ".tmp");
    py::module_::import("os").attr("close")(made[0]);
    path = made[1].cast<std::string>();
    std::ofstream file(path, std::ios::binary);
    if (!file.write(bytes.data(), std::streamsize(bytes.size())).flush()) {
      std::remove(path.c_str());
      Raise(PyExc_OSError, "cannot write the temporary file " + path);
    }
  }
  ~Temporary_File() { std::remove(path.c_str()); }
  Temporary_File(const Temporary_File&) = delete;
  Temporary_File& operator=(const Temporary_File&) = delete;
  std::string path;
};

// Values the library would take without a word but that mean nothing.
void Require(bool condition, const std::string& message) {
  if (!condition) throw py::value_error(message);
}
bool Finite(float value) { return std::isfinite(value); }

// Words for the library's plain checks, whose condition text is all they say.
const char* Plain_Check_Words(const std::string& condition) {
  if (condition == "bone_count == hier.Bone_Count()")
    return "The bone file holds another number of bones than the hierarchy";
  if (condition == "a.hier == b.hier" || condition == "hier == b.hier")
    return "The sequences belong to hierarchies with other bones";
  if (condition == "worst <= limit") return "The packed keys came out beyond max_error (a fault of the library)";
  return "A check of the library failed";
}

// A hierarchy kept alive by the sequences, frames and skins made from it.
struct Py_Hierarchy {
  explicit Py_Hierarchy(const std::string& path) { hierarchy.Import(path.c_str()); }
  Hierarchy hierarchy;
};

struct Py_Sequence {
  explicit Py_Sequence(std::shared_ptr<Py_Hierarchy> h) : owner(std::move(h)), sequence(owner->hierarchy) {}
  std::shared_ptr<Py_Hierarchy> owner;
  Sequence sequence;
};

// The reach that Reduce and packing take when the caller gives none.
float Reach_Or_Default(const Sequence& sequence, std::optional<float> reach) {
  if (reach) return *reach;
  const float found = Tools::Default_Reach(sequence);
  Require(found > 0,
          "every bone stays at one point throughout the clip, so there is no reach to take from it; give one");
  return found;
}

struct Py_Packed_Sequence {
  Py_Packed_Sequence(const Py_Sequence& source, float max_error, std::optional<float> reach)
      : owner(source.owner), packed(source.sequence, max_error, Reach_Or_Default(source.sequence, reach)) {}
  std::shared_ptr<Py_Hierarchy> owner;
  Packed_Sequence packed;
};

struct Py_Skin_File {
  explicit Py_Skin_File(const std::string& path) : file(path.c_str()) {}
  Skin_File file;
};

// A skin and the hierarchy it was imported against (for pickling).
struct Py_Skin {
  explicit Py_Skin(std::shared_ptr<Py_Hierarchy> h) : owner(std::move(h)) {}
  std::shared_ptr<Py_Hierarchy> owner;
  Skin skin;
};

unsigned int Bone_Of(const Hierarchy& h, long bone) {
  if (bone < 0 || bone >= long(h.Bone_Count()))
    throw py::index_error("bone " + std::to_string(bone) + " is out of range: the hierarchy has " +
                          std::to_string(h.Bone_Count()) + " bones");
  return unsigned(bone);
}

// What a sample gives: output bases and positions, the same as 4x4
// transforms, or the local poses that sampling wrote into the frame.
enum class Pose { WORLD, MATRIX_4X4, LOCAL };

Pose World_Pose(const std::string& matrices) {
  if (matrices == "3x3") return Pose::WORLD;
  if (matrices == "4x4") return Pose::MATRIX_4X4;
  throw py::value_error("matrices must be \"3x3\" or \"4x4\", not \"" + matrices + "\"");
}

// Every bone at each time, as `pose` says; with `leaves_of`, leaves are
// placed by their first key (writers/bone_poses.h). `Clip` is a Sequence or
// a Packed_Sequence.
template <class Owner, class Clip>
py::object Sample_Clip(const Owner& self, const Clip& clip, Array<float> times, bool ignore_root_offset,
                       const Sequence* leaves_of, Pose pose) {
  if (times.ndim() > 1)
    throw py::value_error("times must be a number or a 1-D array, not " + std::to_string(times.ndim()) + "-D");
  const float* t = times.data();
  for (py::ssize_t i = 0; i < times.size(); ++i)
    Require(!std::isnan(t[i]), "times must be numbers: time " + std::to_string(i) + " is NaN");
  const Hierarchy& h = self.owner->hierarchy;
  const py::ssize_t count = times.size(), bones = h.Bone_Count();
  const py::ssize_t width = pose == Pose::LOCAL ? 4 : 9;
  Array<float> first = pose == Pose::MATRIX_4X4 ? Array<float>({count, bones, py::ssize_t(4), py::ssize_t(4)})
                       : pose == Pose::LOCAL    ? Array<float>({count, bones, width})
                                                : Array<float>({count, bones, py::ssize_t(3), py::ssize_t(3)});
  Array<float> second({pose == Pose::MATRIX_4X4 ? py::ssize_t(0) : count, bones, py::ssize_t(3)});
  float* first_out = first.mutable_data();
  float* second_out = second.mutable_data();
  {
    py::gil_scoped_release release;
    Frame frame(h, ignore_root_offset);
    std::vector<Matrix_3x3<float>> placed_bases(leaves_of ? std::size_t(bones) : 0);
    std::vector<Vector_3<float>> placed_positions(placed_bases.size());
    for (py::ssize_t i = 0; i < count; ++i) {
      clip.Get_Frame_Time(frame, t[i]);
      if (leaves_of && pose != Pose::LOCAL)
        Tools::Placed_Poses(*leaves_of, frame, placed_bases.data(), placed_positions.data());
      for (unsigned int bone = 0; bone < unsigned(bones); ++bone) {
        if (pose == Pose::LOCAL) {
          Quaternion q = frame.Local_Rotation(bone);
          Vector_3<float> o = frame.Local_Offset(bone);
          if (leaves_of) Tools::Placed_Local_Pose(*leaves_of, frame, bone, q, o);
          const float wxyz[4] = {q.w, q.v.x, q.v.y, q.v.z};
          std::memcpy(first_out, wxyz, sizeof wxyz);
          std::memcpy(second_out, &o.x, 3 * sizeof(float));
          first_out += 4;
          second_out += 3;
          continue;
        }
        const float* base = leaves_of ? &placed_bases[bone].m[0][0] : &frame.Base(bone).m[0][0];
        const float* position = leaves_of ? &placed_positions[bone].x : &frame.Offset(bone).x;
        if (pose == Pose::WORLD) {
          std::memcpy(first_out, base, 9 * sizeof(float));
          std::memcpy(second_out, position, 3 * sizeof(float));
          first_out += 9;
          second_out += 3;
          continue;
        }
        for (int row = 0; row < 3; ++row) {
          std::memcpy(first_out + 4 * row, base + 3 * row, 3 * sizeof(float));
          first_out[4 * row + 3] = position[row];
        }
        const float last_row[4] = {0, 0, 0, 1};
        std::memcpy(first_out + 12, last_row, sizeof last_row);
        first_out += 16;
      }
    }
  }
  if (pose == Pose::MATRIX_4X4) return std::move(first);
  return py::make_tuple(first, second);
}

py::object Sample(const Py_Sequence& self, Array<float> times, bool ignore_root_offset, bool place_leaves,
                  const std::string& matrices) {
  return Sample_Clip(self, self.sequence, std::move(times), ignore_root_offset, place_leaves ? &self.sequence : nullptr,
                     World_Pose(matrices));
}

py::tuple Keys(const Py_Sequence& self, long bone) {
  const unsigned int b = Bone_Of(self.owner->hierarchy, bone);
  if (!self.sequence.Is_Filled()) throw py::value_error("the sequence holds no keys");
  const py::ssize_t n = self.sequence.Key_Count(b);
  Array<float> times(n), rotations({n, py::ssize_t(4)}), offsets({n, py::ssize_t(3)});
  std::memcpy(times.mutable_data(), self.sequence.Key_Times(b), std::size_t(n) * sizeof(float));
  std::memcpy(rotations.mutable_data(), self.sequence.Key_Rotations(b), std::size_t(n) * 4 * sizeof(float));
  std::memcpy(offsets.mutable_data(), self.sequence.Key_Offsets(b), std::size_t(n) * 3 * sizeof(float));
  return py::make_tuple(times, rotations, offsets);
}

std::size_t Total_Keys(const Sequence& s) {
  std::size_t total = 0;
  for (unsigned int b = 0; b < s.Get_Hierarchy().Bone_Count(); ++b) total += s.Key_Count(b);
  return total;
}

// Same hierarchy, length and keys, to the bit.
bool Same_Keys(const Sequence& a, const Sequence& b) {
  const auto same = [](const void* x, const void* y, std::size_t size) { return std::memcmp(x, y, size) == 0; };
  const float length_a = a.Lenght(), length_b = b.Lenght();
  if (!(a.Get_Hierarchy() == b.Get_Hierarchy()) || !same(&length_a, &length_b, sizeof(float))) return false;
  for (unsigned int bone = 0; bone < a.Get_Hierarchy().Bone_Count(); ++bone) {
    const std::size_t n = a.Key_Count(bone);
    if (n != b.Key_Count(bone) || !same(a.Key_Times(bone), b.Key_Times(bone), n * sizeof(float)) ||
        !same(a.Key_Rotations(bone), b.Key_Rotations(bone), n * sizeof(Quaternion)) ||
        !same(a.Key_Offsets(bone), b.Key_Offsets(bone), n * sizeof(Vector_3<float>)))
      return false;
  }
  return true;
}

std::shared_ptr<Py_Sequence> Copy_Of(const Py_Sequence& source) {
  auto copy = std::make_shared<Py_Sequence>(source.owner);
  copy->sequence.Copy(source.sequence);
  return copy;
}

// A rotation matrix: finite, orthonormal and of determinant 1 within float
// rounding.
Matrix_3x3<float> Rotation_Of(Array<float> m) {
  if (m.ndim() != 2 || m.shape(0) != 3 || m.shape(1) != 3) throw py::value_error("a rotation must be a 3x3 array");
  Matrix_3x3<float> out;
  std::memcpy(out.m, m.data(), sizeof out.m);
  const float* r = &out.m[0][0];
  for (int i = 0; i < 9; ++i) Require(Finite(r[i]), "the rotation holds a value that is not a finite number");
  double worst = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double dot =
          double(r[3 * i]) * r[3 * j] + double(r[3 * i + 1]) * r[3 * j + 1] + double(r[3 * i + 2]) * r[3 * j + 2];
      worst = std::max(worst, std::abs(dot - (i == j ? 1.0 : 0.0)));
    }
  const double determinant = double(r[0]) * (double(r[4]) * r[8] - double(r[5]) * r[7]) -
                             double(r[1]) * (double(r[3]) * r[8] - double(r[5]) * r[6]) +
                             double(r[2]) * (double(r[3]) * r[7] - double(r[4]) * r[6]);
  Require(worst < 1e-4 && determinant > 0, "the matrix is not a rotation (orthonormal, determinant 1)");
  return out;
}

// A file of the given bytes, written whole or not at all (output_files.h).
void Write_Output(const Path& path, const char* extension, const std::string& bytes) {
  Tools::Output_Files files;
  files.Output(path.string(), {extension});
  files.Set(path.string(), bytes);
  files.Commit();
}

// The hierarchy alone as a bone file: every bone with two identity keys.
std::string Hierarchy_Bytes(const Hierarchy& h) {
  Tools::Animation_Data animation;
  animation.length = 1;
  for (unsigned int b = 0; b < h.Bone_Count(); ++b) {
    Tools::Bone_Data bone;
    bone.name = h.Bone_Name(b);
    const unsigned int parent = h.Parent_Index(b);
    bone.root = parent == INVALID_INDEX;
    if (!bone.root) bone.parent = h.Bone_Name(parent);
    for (float time : {0.0f, 1.0f}) bone.keys.push_back(Tools::Key_Data{time, Quaternion::Identity(), {0, 0, 0}});
    animation.bones.push_back(std::move(bone));
  }
  return Tools::Encode_Bone_File(animation);
}

// A skin as a skin file of one skin, "skin", whose bone table is the first
// names of its hierarchy: imported against it, it gives the same arrays.
std::string Skin_Bytes(const Py_Skin& self) {
  Tools::Skin_File_Data data;
  const Skin& skin = self.skin;
  for (unsigned int b = 0; b < skin.bone_count; ++b) data.bones.push_back(self.owner->hierarchy.Bone_Name(b));
  Tools::Skin_Data records;
  records.name = "skin";
  for (unsigned int b = 0; b < skin.bone_count; ++b)
    for (unsigned int k = 0; k < skin.vert_count[b]; ++k) {
      const Vector_3<float>& p = skin.vert_pos[b][k];
      records.vertices.push_back(Skin_File::Vertex{b, p.x, p.y, p.z, skin.vert_weight[b][k], skin.vert_index[b][k]});
    }
  data.skins.push_back(std::move(records));
  return Tools::Encode_Skin_File(data);
}

py::bytes Bytes(const std::string& s) { return py::bytes(s.data(), s.size()); }
// [T, V, 3]: every vertex at every time by the library's skinning
// (Skinned_Mesh: weights normalised per vertex); V is one more than the
// largest vertex index, and a vertex without bindings stays at 0.
Array<float> Deform(const Py_Skin& self, Array<float> bases, Array<float> positions) {
  if (bases.ndim() != 4 || bases.shape(2) != 3 || bases.shape(3) != 3)
    throw py::value_error("bases must have the shape [T, B, 3, 3]");
  if (positions.ndim() != 3 || positions.shape(2) != 3 || positions.shape(0) != bases.shape(0) ||
      positions.shape(1) != bases.shape(1))
    throw py::value_error("positions must have the shape [T, B, 3], with T and B of the bases");
  const py::ssize_t count = bases.shape(0), bones = bases.shape(1);
  const Skinned_Mesh mesh(self.skin);
  if (py::ssize_t(mesh.Bone_Count()) > bones)
    throw py::value_error("the skin binds bone " + std::to_string(mesh.Bone_Count() - 1) + ", the poses hold " +
                          std::to_string(bones) + " bones");
  const unsigned int* vertices = mesh.Vertex_Indices();
  const py::ssize_t width = mesh.Point_Count() ? py::ssize_t(vertices[mesh.Point_Count() - 1]) + 1 : 0;
  Array<float> out({count, width, py::ssize_t(3)});
  std::fill(out.mutable_data(), out.mutable_data() + out.size(), 0.0f);
  const float* B = bases.data();
  const float* P = positions.data();
  float* o = out.mutable_data();
  {
    py::gil_scoped_release release;
    const std::size_t pose_size = std::size_t(bones);
    std::vector<Matrix_3x3<float>> pose_bases(pose_size);
    std::vector<Vector_3<float>> pose_offsets(pose_size), points(mesh.Point_Count());
    for (py::ssize_t t = 0; t < count; ++t) {
      if (bones) {
        std::memcpy(static_cast<void*>(pose_bases.data()), B + t * bones * 9, std::size_t(bones) * 9 * sizeof(float));
        std::memcpy(static_cast<void*>(pose_offsets.data()), P + t * bones * 3, std::size_t(bones) * 3 * sizeof(float));
      }
      mesh.Deform(pose_bases.data(), pose_offsets.data(), points.data());
      for (unsigned int p = 0; p < mesh.Point_Count(); ++p)
        std::memcpy(o + (t * width + vertices[p]) * 3, &points[p].x, 3 * sizeof(float));
    }
  }
  return out;
}

// One of a skin's per-bone arrays as a list of numpy arrays ([n] or [n, width]).
template <class T, class Source>
py::list Per_Bone(const Skin& skin, Source* const* arrays, py::ssize_t width) {
  py::list out;
  for (unsigned int b = 0; b < skin.bone_count; ++b) {
    const py::ssize_t n = skin.vert_count[b];
    Array<T> a = width == 1 ? Array<T>(n) : Array<T>({n, width});
    if (n) std::memcpy(a.mutable_data(), arrays[b], std::size_t(n * width) * sizeof(T));
    out.append(a);
  }
  return out;
}

py::array Get_Skin(Py_Skin_File& self, const Name& name) {
  std::vector<Skin_File::Vertex> records;
  if (!self.file.Get_Skin(records, name.bytes.c_str())) {
    std::string names;
    for (unsigned int s = 0; s < self.file.Skin_Count(); ++s)
      names += (s ? ", " : "") + std::string(self.file.Skin_Name(s));
    Raise(PyExc_KeyError, "no skin \"" + name.bytes + "\" in the file; it has: " + (names.empty() ? "none" : names));
  }
  py::array_t<Skin_File::Vertex> out(py::ssize_t(records.size()));
  if (!records.empty()) std::memcpy(out.mutable_data(), records.data(), records.size() * sizeof(Skin_File::Vertex));
  return out;
}

// Refuses, before anything is written, a file that the library would refuse
// or read otherwise, or that a host must not meet (tools/validate).
void Write_Bone_File(const Path& path, const std::vector<Name>& names, const std::vector<long>& parents, long root,
                     const std::vector<Array<float>>& times, const std::vector<Array<float>>& rotations,
                     const std::vector<Array<float>>& offsets, float length) {
  const std::size_t bones = names.size();
  if (parents.size() != bones || times.size() != bones || rotations.size() != bones || offsets.size() != bones)
    throw py::value_error("names, parents, times, rotations and offsets need one entry per bone");
  if (root < 0 || std::size_t(root) >= bones) throw py::index_error("root " + std::to_string(root) + " is not a bone");
  Require(parents[std::size_t(root)] == -1, "the root (bone " + std::to_string(root) + ") has parent " +
                                                std::to_string(parents[std::size_t(root)]) + "; a root has none (-1)");
  Tools::Animation_Data animation;
  animation.length = length;
  float last = 0;
  for (std::size_t b = 0; b < bones; ++b) {
    if (parents[b] < -1 || parents[b] >= long(bones))
      throw py::index_error("parent " + std::to_string(parents[b]) + " of bone " + std::to_string(b) +
                            " is not a bone");
    const py::ssize_t n = times[b].size();
    if (times[b].ndim() != 1 || rotations[b].ndim() != 2 || rotations[b].shape(0) != n || rotations[b].shape(1) != 4 ||
        offsets[b].ndim() != 2 || offsets[b].shape(0) != n || offsets[b].shape(1) != 3)
      throw py::value_error("bone " + std::to_string(b) + ": times [n], rotations [n, 4] (w first) and offsets [n, 3]");
    Tools::Bone_Data bone;
    bone.name = names[b].bytes;
    Require(bone.name.find('\0') == std::string::npos, "bone " + std::to_string(b) + "'s name holds a zero byte");
    bone.root = long(b) == root;
    bone.parent = parents[b] < 0 || bone.root ? "" : names[std::size_t(parents[b])].bytes;
    for (py::ssize_t k = 0; k < n; ++k) {
      const float* q = rotations[b].data() + 4 * k;
      const float* o = offsets[b].data() + 3 * k;
      bone.keys.push_back(
          Tools::Key_Data{times[b].data()[k], Quaternion(q[0], q[1], q[2], q[3]), Vector_3<float>{o[0], o[1], o[2]}});
      last = std::max(last, times[b].data()[k]);
    }
    animation.bones.push_back(std::move(bone));
  }
  if (std::isnan(animation.length)) animation.length = last;
  const std::string bytes = Tools::Encode_Bone_File(animation);
  // Findings about a bone record as a whole (its name, its place in the tree,
  // its key count) are what the reader refuses or reads otherwise; those about
  // single keys (times that do not rise, values that are not finite, a length
  // past the last key) read back as given.
  std::string findings;
  for (const Tools::Finding& finding : Tools::Validate_Bone_File(bytes))
    if (!finding.bone.empty() && finding.key < 0) findings += "\n" + Tools::Format_Finding(path.string(), finding);
  if (!findings.empty()) Raise(PyExc_ValueError, "not written, the file would not read back as given:" + findings);
  Write_Output(path, ".bone", bytes);
}

void Write_Skin_File(const Path& path, const std::vector<Name>& bone_names, const py::dict& skins) {
  Tools::Skin_File_Data data;
  for (const Name& name : bone_names) data.bones.push_back(name.bytes);
  const py::dtype dtype = py::dtype::of<Skin_File::Vertex>();
  for (const auto& item : skins) {
    Tools::Skin_Data skin;
    skin.name = py::cast<Name>(item.first).bytes;
    const py::array records = py::array::ensure(item.second);
    if (!records || records.ndim() != 1 || !records.dtype().equal(dtype))
      Raise(PyExc_TypeError, "skin " + skin.name + ": a 1-D array of the dtype SKIN_RECORD, as SkinFile.get returns");
    skin.vertices.resize(std::size_t(records.size()));
    if (records.size())
      std::memcpy(skin.vertices.data(), records.data(), skin.vertices.size() * sizeof(Skin_File::Vertex));
    data.skins.push_back(std::move(skin));
  }
  Write_Output(path, ".skin", Tools::Encode_Skin_File(data));
}

py::list Names(unsigned int count, const std::function<const char*(unsigned int)>& name_of) {
  py::list out;
  for (unsigned int i = 0; i < count; ++i) out.append(Text(name_of(i)));
  return out;
}

#ifdef BONE_IMPORT_PYTHON_CONVERT
// bonetool convert IN OUT.bone [--skin OUT.skin] for one clip, in this
// process: the bone file (and skin file), written together or not at all.
// Returns what was written and the warnings of the conversion.
py::tuple Convert(const Path& input, const Path& output, const std::optional<Path>& skin, const std::string& animation,
                  double fps, double scale, bool z_up, bool rest_pose) {
  Require(animation != "all", "convert writes one clip; bonetool convert --animation all writes every clip");
  Require(fps >= 0 && std::isfinite(fps), "fps must be a finite rate of 0 (the source's key times) or more");
  Require(scale >= 1e-6 && scale <= 1e6, "scale must be from 1e-6 to 1e6");
  const std::string in = Readable(input), out = output.string(), skin_out = skin ? skin->string() : "";
  Tools::Output_Files files;
  files.Input(in);
  files.Output(out, {".bone"});
  if (skin) files.Output(skin_out, {".skin"});
  Tools::Convert_Options options;
  options.import.animation = animation;
  options.import.fps = fps;
  options.import.scale = scale;
  options.import.z_up = z_up;
  options.import.rest_pose = rest_pose;
  options.skin = skin_out;
  Tools::Converted_Source source;
  try {
    py::gil_scoped_release release;
    source = Tools::Convert_Source(in, options);
  } catch (const std::runtime_error& refused) {
    Raise(PyExc_ValueError, refused.what());
  }
  files.Set(out, source.clips.at(0).bytes);
  py::list notes, warnings;
  notes.append(Text(out + ": " + source.clips[0].note));
  if (skin) {
    files.Set(skin_out, source.skin);
    notes.append(Text(skin_out + ": " + source.skin_note));
  }
  files.Commit();
  for (const std::string& warning : source.warnings) warnings.append(Text(warning));
  return py::make_tuple(notes, warnings);
}
#endif

}  // namespace

PYBIND11_MODULE(_bone_import, m) {
  m.doc() = "Skeletal-animation import: bone files (a skeleton and one animation) and skin files.";
  m.attr("__version__") = BONE_IMPORT_VERSION;
  error_type = PyErr_NewExceptionWithDoc(
      "bone_import.Error",
      "An error of the library: a file it refuses or a call it cannot make.\n\n"
      "Attributes: condition (the check that failed, as source text), message, file (the library's source\n"
      "path) and line.",
      PyExc_Exception, nullptr);
  m.attr("Error") = py::handle(error_type);
  // The one declaration of a skin record's numpy type.
  PYBIND11_NUMPY_DTYPE(Skin_File::Vertex, bone, x, y, z, weight, vertex_index);
  m.attr("SKIN_RECORD") = py::dtype::of<Skin_File::Vertex>();
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const Kernel::Exception& e) {
      std::string message = e.Message(), text = e.what();
      if (message.empty()) {
        message = Plain_Check_Words(e.Condition());
        text = message + " (" + e.Condition() + ", " + e.File() + ":" + std::to_string(e.Line()) + ")";
      }
      py::object error = py::reinterpret_borrow<py::object>(error_type)(Text(text));
      error.attr("condition") = Text(e.Condition());
      error.attr("message") = Text(message);
      error.attr("file") = Text(e.File());
      error.attr("line") = e.Line();
      PyErr_SetObject(error_type, error.ptr());
    } catch (const Tools::Usage_Error& e) {
      PyErr_SetObject(PyExc_ValueError, Text(e.what()).ptr());
    } catch (const Tools::File_Error& e) {
      PyErr_SetObject(PyExc_OSError, Text(e.what()).ptr());
    }
  });

  py::class_<Py_Hierarchy, std::shared_ptr<Py_Hierarchy>>(m, "Hierarchy", "The skeleton of a bone file.")
      .def(py::init([](const Path& path) { return std::make_shared<Py_Hierarchy>(Readable(path)); }), py::arg("path"),
           "Reads the skeleton of the bone file at `path` (keys are stepped over).")
      .def_property_readonly(
          "bone_count", [](const Py_Hierarchy& h) { return h.hierarchy.Bone_Count(); },
          "Number of bones; bones are numbered in file order.")
      .def("__len__", [](const Py_Hierarchy& h) { return h.hierarchy.Bone_Count(); })
      .def_property_readonly(
          "names",
          [](const Py_Hierarchy& h) {
            return Names(h.hierarchy.Bone_Count(), [&h](unsigned int b) { return h.hierarchy.Bone_Name(b); });
          },
          "Bone names as the file spells them.")
      .def_property_readonly(
          "parents",
          [](const Py_Hierarchy& h) {
            Array<long long> out(h.hierarchy.Bone_Count());
            for (unsigned int b = 0; b < h.hierarchy.Bone_Count(); ++b) {
              const unsigned int p = h.hierarchy.Parent_Index(b);
              out.mutable_data()[b] = p == INVALID_INDEX ? -1 : (long long)(p);
            }
            return out;
          },
          "Each bone's parent index, -1 for a root.")
      .def_property_readonly(
          "root", [](const Py_Hierarchy& h) { return h.hierarchy.Root_Index(); }, "The root bone.")
      .def_property_readonly(
          "is_leaf",
          [](const Py_Hierarchy& h) {
            Array<bool> out(h.hierarchy.Bone_Count());
            for (unsigned int b = 0; b < h.hierarchy.Bone_Count(); ++b) out.mutable_data()[b] = h.hierarchy.Is_Leaf(b);
            return out;
          },
          "Whether each bone has no child; sampling never moves a leaf.")
      .def(
          "index",
          [](const Py_Hierarchy& h, const Name& name) {
            try {
              return h.hierarchy.Bone_Index(name.bytes.c_str());
            } catch (const Kernel::Exception&) {
              Raise(PyExc_KeyError, "no bone \"" + name.bytes + "\" in the hierarchy");
            }
          },
          py::arg("name"), "The first bone whose name equals `name`, letter case ignored; KeyError when there is none.")
      .def(
          "__eq__", [](const Py_Hierarchy& a, const Py_Hierarchy& b) { return a.hierarchy == b.hierarchy; },
          py::is_operator(), "Same bones: names (exact case), parents and root.")
      .def(
          "__hash__",
          [](const Py_Hierarchy& h) {
            return py::hash(py::make_tuple(
                h.hierarchy.Root_Index(),
                py::tuple(Names(h.hierarchy.Bone_Count(), [&h](unsigned int b) { return h.hierarchy.Bone_Name(b); }))));
          })
      .def("__repr__",
           [](const Py_Hierarchy& h) {
             const unsigned int root = h.hierarchy.Root_Index();
             return "<bone_import.Hierarchy: " + std::to_string(h.hierarchy.Bone_Count()) + " bones, root " +
                    (root == INVALID_INDEX ? "none" : std::string(py::repr(Text(h.hierarchy.Bone_Name(root))))) + ">";
           })
      // Nothing changes a hierarchy, so a copy is the hierarchy itself.
      .def("__copy__", [](std::shared_ptr<Py_Hierarchy> h) { return h; })
      .def(
          "__deepcopy__", [](std::shared_ptr<Py_Hierarchy> h, py::dict) { return h; }, py::arg("memo"))
      .def(py::pickle([](const Py_Hierarchy& h) { return py::make_tuple(Bytes(Hierarchy_Bytes(h.hierarchy))); },
                      [](const py::tuple& state) {
                        const Temporary_File file(state[0].cast<std::string>());
                        return std::make_shared<Py_Hierarchy>(file.path);
                      }));

  py::class_<Py_Sequence, std::shared_ptr<Py_Sequence>>(m, "Sequence", "One animation of a hierarchy.")
      .def(py::init([](std::shared_ptr<Py_Hierarchy> h, const Path& path) {
             const std::string name = Readable(path);
             auto s = std::make_shared<Py_Sequence>(std::move(h));
             s->sequence.Import(name.c_str());
             return s;
           }),
           py::arg("hierarchy"), py::arg("path"),
           "Reads the animation of the bone file at `path`, whose bones are matched to `hierarchy` by name.")
      .def_property_readonly(
          "length", [](const Py_Sequence& s) { return s.sequence.Lenght(); }, "Duration in the file's time unit.")
      .def_property_readonly("hierarchy", [](const Py_Sequence& s) { return s.owner; })
      .def_property_readonly(
          "key_count", [](const Py_Sequence& s) { return Total_Keys(s.sequence); }, "Keys held, of every bone.")
      .def("__len__", [](const Py_Sequence& s) { return s.owner->hierarchy.Bone_Count(); })
      .def("__repr__",
           [](const Py_Sequence& s) {
             return "<bone_import.Sequence: " + std::to_string(s.owner->hierarchy.Bone_Count()) + " bones, length " +
                    std::string(py::repr(py::float_(s.sequence.Lenght()))) + ", " +
                    std::to_string(Total_Keys(s.sequence)) + " keys>";
           })
      .def(
          "__eq__", [](const Py_Sequence& a, const Py_Sequence& b) { return Same_Keys(a.sequence, b.sequence); },
          py::is_operator(), "Equal hierarchies, and the same length and keys to the bit.")
      .def("__copy__", &Copy_Of)
      .def(
          "__deepcopy__", [](const Py_Sequence& s, py::dict) { return Copy_Of(s); }, py::arg("memo"))
      .def("copy", &Copy_Of, "An independent sequence with the same keys to the bit, on the same hierarchy.")
      // Pickled as a bone file, which stores rotations as angles: the copy
      // samples as the original up to float rounding.
      .def(py::pickle(
          [](const Py_Sequence& s) {
            return py::make_tuple(s.owner, Bytes(Tools::Encode_Bone_File(Tools::From_Sequence(s.sequence))));
          },
          [](const py::tuple& state) {
            const Temporary_File file(state[1].cast<std::string>());
            auto s = std::make_shared<Py_Sequence>(state[0].cast<std::shared_ptr<Py_Hierarchy>>());
            s->sequence.Import(file.path.c_str());
            return s;
          }))
      .def(
          "save",
          [](const Py_Sequence& s, const Path& path) {
            Write_Output(path, ".bone", Tools::Encode_Bone_File(Tools::From_Sequence(s.sequence)));
          },
          py::arg("path"),
          "Writes the sequence and its hierarchy as a bone file (rotations as the file's angles), whole or not\n"
          "at all, never over a read-only file.")
      .def("keys", &Keys, py::arg("bone"),
           "The keys of one bone: (times [n], rotations [n, 4] as quaternions w, x, y, z, offsets [n, 3]).")
      .def("sample", &Sample, py::arg("times"), py::arg("ignore_root_offset") = false, py::arg("place_leaves") = false,
           py::arg("matrices") = "3x3",
           "Samples the sequence at every time (clamped to 0 .. length; NaN is refused) and returns (bases\n"
           "[T, B, 3, 3], positions [T, B, 3]) as float32: every bone's output rotation and position, exactly\n"
           "what a Frame's Base and Offset give. With matrices=\"4x4\", one array [T, B, 4, 4] of transforms\n"
           "instead (the base, the position in the last column, column vectors). The library never samples a\n"
           "leaf bone, so a leaf sits at its parent; with place_leaves, a leaf that has a parent is placed by its\n"
           "first key below it, as bonetool draws and exports it. Runs in C++ with the GIL released.")
      .def(
          "sample_local",
          [](const Py_Sequence& s, Array<float> times, bool place_leaves) {
            return Sample_Clip(s, s.sequence, std::move(times), false, place_leaves ? &s.sequence : nullptr,
                               Pose::LOCAL);
          },
          py::arg("times"), py::arg("place_leaves") = false,
          "The local poses at every time: (rotations [T, B, 4] as quaternions w, x, y, z, offsets [T, B, 3])\n"
          "relative to each bone's parent, as sampling writes them into a Frame (a leaf keeps the identity,\n"
          "or its first key with place_leaves).")
      .def_static(
          "combine",
          [](std::shared_ptr<Py_Sequence> a, float a_start, float a_end, std::shared_ptr<Py_Sequence> b, float b_start,
             float b_end, float transition) {
            for (const float fraction : {a_start, a_end, b_start, b_end})
              Require(fraction >= 0 && fraction <= 1, "the stretches' ends must be fractions from 0 to 1");
            Require(a_start < a_end && b_start < b_end, "each stretch must start before it ends");
            Require(transition > 0 && Finite(transition), "the transition must be a finite time above 0");
            auto out = std::make_shared<Py_Sequence>(a->owner);
            out->sequence.Combine(a->sequence, a_start, a_end, b->sequence, b_start, b_end, transition);
            return out;
          },
          py::arg("a"), py::arg("a_start"), py::arg("a_end"), py::arg("b"), py::arg("b_start"), py::arg("b_end"),
          py::arg("transition"),
          "A new sequence: the stretch a_start .. a_end (fractions of a's length) of a, a transition of\n"
          "`transition` time units, and the stretch of b.")
      .def(
          "optimize",
          [](Py_Sequence& s, float r, float o) {
            Require(r >= 0 && r <= 1, "rotation_tolerance must be a quaternion dot product from 0 to 1");
            Require(o >= 0 && Finite(o), "offset_tolerance must be a finite distance of 0 or more");
            s.sequence.Optimize(r, o);
          },
          py::arg("rotation_tolerance"), py::arg("offset_tolerance"),
          "Drops keys that interpolation reproduces within the two tolerances, one key at a time (not an\n"
          "error bound; see reduce).")
      .def(
          "reduce",
          [](Py_Sequence& s, float e, std::optional<float> r) {
            s.sequence.Reduce(e, Reach_Or_Default(s.sequence, r));
          },
          py::arg("max_error"), py::arg("reach") = py::none(),
          "Drops keys so that no bone position, and no point at `reach` along a bone's axes, moves more than\n"
          "max_error from the original at any key time or midpoint. The reach defaults to bonetool's: a tenth\n"
          "of the skeleton's size over the clip.")
      .def(
          "flip", [](Py_Sequence& s) { s.sequence.Flip(); }, "Reverses the sequence in time.")
      .def(
          "normalize", [](Py_Sequence& s) { s.sequence.Normalize(); }, "Rescales time to a length of 1.")
      .def(
          "rotate", [](Py_Sequence& s, Array<float> r) { s.sequence.Rotate(Rotation_Of(std::move(r))); },
          py::arg("rotation"), "Turns the animation about its root by a 3x3 rotation matrix.");

  py::class_<Py_Packed_Sequence, std::shared_ptr<Py_Packed_Sequence>>(
      m, "PackedSequence", "A sequence stored in a few bits per key for playback, within an error bound.")
      .def(py::init([](const Py_Sequence& source, float max_error, std::optional<float> reach) {
             return std::make_shared<Py_Packed_Sequence>(source, max_error, reach);
           }),
           py::arg("source"), py::arg("max_error"), py::arg("reach") = py::none(),
           "Packs `source` so that no bone position, and no point at `reach` along a bone's axes, moves more\n"
           "than max_error from it at any key time or midpoint (the reach defaults as for Sequence.reduce).\n"
           "Reduce first to drop keys; packing keeps them all.")
      .def_property_readonly(
          "length", [](const Py_Packed_Sequence& s) { return s.packed.Lenght(); }, "Duration in the file's time unit.")
      .def_property_readonly("hierarchy", [](const Py_Packed_Sequence& s) { return s.owner; })
      .def_property_readonly(
          "size", [](const Py_Packed_Sequence& s) { return s.packed.Size(); }, "Bytes the packed keys take.")
      .def_property_readonly(
          "key_count", [](const Py_Packed_Sequence& s) { return s.packed.Key_Count(); }, "Keys held, of every bone.")
      .def("__len__", [](const Py_Packed_Sequence& s) { return s.owner->hierarchy.Bone_Count(); })
      .def("__repr__",
           [](const Py_Packed_Sequence& s) {
             return "<bone_import.PackedSequence: " + std::to_string(s.owner->hierarchy.Bone_Count()) +
                    " bones, length " + std::string(py::repr(py::float_(s.packed.Lenght()))) + ", " +
                    std::to_string(s.packed.Key_Count()) + " keys in " + std::to_string(s.packed.Size()) + " bytes>";
           })
      .def(
          "sample",
          [](const Py_Packed_Sequence& s, Array<float> times, bool ignore_root_offset, const std::string& matrices) {
            return Sample_Clip(s, s.packed, std::move(times), ignore_root_offset, nullptr, World_Pose(matrices));
          },
          py::arg("times"), py::arg("ignore_root_offset") = false, py::arg("matrices") = "3x3",
          "As Sequence.sample, from the packed keys.")
      .def(
          "sample_local",
          [](const Py_Packed_Sequence& s, Array<float> times) {
            return Sample_Clip(s, s.packed, std::move(times), false, nullptr, Pose::LOCAL);
          },
          py::arg("times"), "As Sequence.sample_local, from the packed keys.");

  py::class_<Py_Skin_File, std::shared_ptr<Py_Skin_File>>(m, "SkinFile", "An opened skin file, indexed by skin name.")
      .def(py::init([](const Path& path) { return std::make_shared<Py_Skin_File>(Readable(path)); }), py::arg("path"))
      .def_property_readonly(
          "skin_names",
          [](const Py_Skin_File& f) {
            return Names(f.file.Skin_Count(), [&f](unsigned int s) { return f.file.Skin_Name(s); });
          },
          "The skins' names in file order.")
      .def_property_readonly(
          "bone_names",
          [](const Py_Skin_File& f) {
            return Names(f.file.Bone_Count(), [&f](unsigned int b) { return f.file.Bone_Name(b); });
          },
          "The file's bone table.")
      .def("__repr__",
           [](const Py_Skin_File& f) {
             const unsigned int skins = f.file.Skin_Count();
             return "<bone_import.SkinFile: " + std::to_string(skins) + (skins == 1 ? " skin, " : " skins, ") +
                    std::to_string(f.file.Bone_Count()) + " bones>";
           })
      .def("get", &Get_Skin, py::arg("name"),
           "The records of one skin as stored: a structured array with fields bone, x, y, z, weight, vertex_index;\n"
           "KeyError when the file has no skin of that name.");

  py::class_<Py_Skin, std::shared_ptr<Py_Skin>>(m, "Skin", "One skin grouped by the bones of a hierarchy.")
      .def(py::init([](std::shared_ptr<Py_Skin_File> file, const Name& name, std::shared_ptr<Py_Hierarchy> h) {
             auto skin = std::make_shared<Py_Skin>(std::move(h));
             skin->skin.Import(file->file, name.bytes.c_str(), skin->owner->hierarchy);
             return skin;
           }),
           py::arg("skin_file"), py::arg("name"), py::arg("hierarchy"))
      .def_property_readonly("bone_count", [](const Py_Skin& s) { return s.skin.bone_count; })
      .def_property_readonly("hierarchy", [](const Py_Skin& s) { return s.owner; })
      .def("__len__", [](const Py_Skin& s) { return s.skin.bone_count; })
      .def("__repr__",
           [](const Py_Skin& s) {
             std::size_t bindings = 0;
             for (unsigned int b = 0; b < s.skin.bone_count; ++b) bindings += s.skin.vert_count[b];
             return "<bone_import.Skin: " + std::to_string(s.skin.bone_count) + " bones, " + std::to_string(bindings) +
                    " bindings>";
           })
      // Nothing changes a skin, so a copy is the skin itself.
      .def("__copy__", [](std::shared_ptr<Py_Skin> s) { return s; })
      .def(
          "__deepcopy__", [](std::shared_ptr<Py_Skin> s, py::dict) { return s; }, py::arg("memo"))
      .def(py::pickle([](const Py_Skin& s) { return py::make_tuple(s.owner, Bytes(Skin_Bytes(s))); },
                      [](const py::tuple& state) {
                        auto skin = std::make_shared<Py_Skin>(state[0].cast<std::shared_ptr<Py_Hierarchy>>());
                        const Temporary_File file(state[1].cast<std::string>());
                        Skin_File records(file.path.c_str());
                        skin->skin.Import(records, "skin", skin->owner->hierarchy);
                        return skin;
                      }))
      .def_property_readonly(
          "vertex_indices", [](const Py_Skin& s) { return Per_Bone<unsigned int>(s.skin, s.skin.vert_index, 1); },
          "Per bone, the mesh vertex index of each binding.")
      .def_property_readonly(
          "positions", [](const Py_Skin& s) { return Per_Bone<float>(s.skin, s.skin.vert_pos, 3); },
          "Per bone, each binding's position in the bone's space [n, 3].")
      .def_property_readonly(
          "weights", [](const Py_Skin& s) { return Per_Bone<float>(s.skin, s.skin.vert_weight, 1); },
          "Per bone, each binding's weight as stored.")
      .def_property_readonly(
          "skinning_weights",
          [](const Py_Skin& self) {
            const Skin& s = self.skin;
            const Skinned_Mesh mesh(s);
            py::list out;
            for (unsigned int b = 0; b < s.bone_count; ++b) {
              Array<float> a(py::ssize_t(s.vert_count[b]));
              for (unsigned int k = 0; k < s.vert_count[b]; ++k) a.mutable_data()[k] = mesh.Weight(b, k);
              out.append(a);
            }
            return out;
          },
          "Per bone, each binding's weight under the library's rule, as deform uses it: weights that are not\n"
          "finite numbers above 0 count as 0, each vertex's weights are divided by their sum, and a vertex\n"
          "whose weights sum to 0 shares equally among its bindings.");

  m.def("deform", &Deform, py::arg("skin"), py::arg("bases"), py::arg("positions"),
        "The skinned points [T, V, 3] by the library's skinning: per vertex the sum over its bindings of\n"
        "weight * (Base * position + Offset), with the weights of Skin.skinning_weights and bases and positions\n"
        "from Sequence.sample (place_leaves=True for the pose bonetool render draws); V is one more than the\n"
        "largest vertex index, and a vertex that no binding names stays at 0.");
  m.def("write_bone_file", &Write_Bone_File, py::arg("path"), py::arg("names"), py::arg("parents"), py::arg("root"),
        py::arg("times"), py::arg("rotations"), py::arg("offsets"), py::arg("length") = NAN,
        "Writes a bone file from per-bone lists: names, parent indices (-1 for none), the root's index, and\n"
        "per bone times [n], rotations [n, 4] (w first) and offsets [n, 3]. The length defaults to the last\n"
        "key time. Refuses (ValueError, nothing written) what would not read back as given: a root with a\n"
        "parent, another bone without one, a parent loop, a bone that is its own parent, names that repeat\n"
        "(letter case ignored) or hold a zero byte, fewer than 2 keys. Written whole or not at all, never over\n"
        "a read-only file.");
#ifdef BONE_IMPORT_PYTHON_CONVERT
  m.def("convert", &Convert, py::arg("input"), py::arg("output"), py::arg("skin") = py::none(),
        py::arg("animation") = "", py::arg("fps") = 0.0, py::arg("scale") = 1.0, py::arg("z_up") = false,
        py::arg("rest_pose") = false,
        "Converts one clip of a scene file that Assimp reads (BVH, glTF, FBX, Collada, ...) into a bone file,\n"
        "and its skinned meshes into a skin file when `skin` is given, as bonetool convert does: `animation`\n"
        "by name or index (default the first), resampled at `fps` when above 0, scaled, turned from Z-up, or\n"
        "the rig in its rest pose. Returns (notes, warnings): what each file holds, and what the conversion\n"
        "lost. A file the converter refuses raises ValueError. Only in a module built with the tools.");
#endif
  m.def("write_skin_file", &Write_Skin_File, py::arg("path"), py::arg("bone_names"), py::arg("skins"),
        "Writes a skin file: the bone table and a dict of skin name -> records (arrays of SKIN_RECORD).");
}
