// Python bindings of the library (module bone_import._bone_import); the
// package's __init__ re-exports them. Arrays are numpy arrays; every library
// error becomes bone_import.Error; wrong shapes, types and indices become
// ValueError, TypeError and IndexError before anything reaches the library.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bone_import/bone_import.h"
#include "files/output_files.h"
#include "writers/animation_data.h"
#include "writers/bone_poses.h"

namespace py = pybind11;
using namespace Vantorix::Bone_Import;
namespace Tools = Vantorix::Bone_Tools;

namespace {

PyObject* error_type = nullptr;

template <class T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

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

struct Py_Packed_Sequence {
  Py_Packed_Sequence(const Py_Sequence& source, float max_error, float reach)
      : owner(source.owner), packed(source.sequence, max_error, reach) {}
  std::shared_ptr<Py_Hierarchy> owner;
  Packed_Sequence packed;
};

struct Py_Skin_File {
  explicit Py_Skin_File(const std::string& path) : file(path.c_str()) {}
  Skin_File file;
};

unsigned int Bone_Of(const Hierarchy& h, long bone) {
  if (bone < 0 || bone >= long(h.Bone_Count()))
    throw py::index_error("bone " + std::to_string(bone) + " is out of range: the hierarchy has " +
                          std::to_string(h.Bone_Count()) + " bones");
  return unsigned(bone);
}

// The per-frame output of every bone at each time: bases [T, B, 3, 3] and
// positions [T, B, 3], exactly as Frame::Base and Frame::Offset give them, or
// with leaves placed by their first key (`leaves_of`, writers/bone_poses.h).
// `Clip` is a Sequence or a Packed_Sequence.
template <class Owner, class Clip>
py::tuple Sample_Clip(const Owner& self, const Clip& clip, Array<float> times, bool ignore_root_offset,
                      const Sequence* leaves_of = nullptr) {
  if (times.ndim() > 1)
    throw py::value_error("times must be a number or a 1-D array, not " + std::to_string(times.ndim()) + "-D");
  const Hierarchy& h = self.owner->hierarchy;
  const py::ssize_t count = times.size(), bones = h.Bone_Count();
  Array<float> bases({count, bones, py::ssize_t(3), py::ssize_t(3)}), positions({count, bones, py::ssize_t(3)});
  const float* t = times.data();
  float* base_out = bases.mutable_data();
  float* position_out = positions.mutable_data();
  {
    py::gil_scoped_release release;
    Frame frame(h, ignore_root_offset);
    std::vector<Matrix_3x3<float>> placed_bases(leaves_of ? std::size_t(bones) : 0);
    std::vector<Vector_3<float>> placed_positions(placed_bases.size());
    for (py::ssize_t i = 0; i < count; ++i) {
      clip.Get_Frame_Time(frame, t[i]);
      if (leaves_of) Tools::Placed_Poses(*leaves_of, frame, placed_bases.data(), placed_positions.data());
      for (py::ssize_t b = 0; b < bones; ++b) {
        const unsigned int bone = unsigned(b);
        std::memcpy(base_out, leaves_of ? placed_bases[bone].m : frame.Base(bone).m, 9 * sizeof(float));
        std::memcpy(position_out, leaves_of ? &placed_positions[bone].x : &frame.Offset(bone).x, 3 * sizeof(float));
        base_out += 9;
        position_out += 3;
      }
    }
  }
  return py::make_tuple(bases, positions);
}

py::tuple Sample(const Py_Sequence& self, Array<float> times, bool ignore_root_offset, bool place_leaves) {
  return Sample_Clip(self, self.sequence, std::move(times), ignore_root_offset,
                     place_leaves ? &self.sequence : nullptr);
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

Matrix_3x3<float> Matrix_Of(Array<float> m) {
  if (m.ndim() != 2 || m.shape(0) != 3 || m.shape(1) != 3) throw py::value_error("a rotation must be a 3x3 array");
  Matrix_3x3<float> out;
  std::memcpy(out.m, m.data(), sizeof out.m);
  return out;
}

// [T, V, 3]: every vertex at every time by the library's skinning
// (Skinned_Mesh: weights normalised per vertex); V is one more than the
// largest vertex index, and a vertex without bindings stays at 0.
Array<float> Deform(const Skin& skin, Array<float> bases, Array<float> positions) {
  if (bases.ndim() != 4 || bases.shape(2) != 3 || bases.shape(3) != 3)
    throw py::value_error("bases must have the shape [T, B, 3, 3]");
  if (positions.ndim() != 3 || positions.shape(2) != 3 || positions.shape(0) != bases.shape(0) ||
      positions.shape(1) != bases.shape(1))
    throw py::value_error("positions must have the shape [T, B, 3], with T and B of the bases");
  const py::ssize_t count = bases.shape(0), bones = bases.shape(1);
  const Skinned_Mesh mesh(skin);
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

py::array Get_Skin(Py_Skin_File& self, const std::string& name) {
  std::vector<Skin_File::Vertex> records;
  if (!self.file.Get_Skin(records, name.c_str())) {
    std::string names;
    for (unsigned int s = 0; s < self.file.Skin_Count(); ++s)
      names += (s ? ", " : "") + std::string(self.file.Skin_Name(s));
    throw py::key_error("no skin \"" + name + "\" in the file; it has: " + (names.empty() ? "none" : names));
  }
  py::array_t<Skin_File::Vertex> out(py::ssize_t(records.size()));
  if (!records.empty()) std::memcpy(out.mutable_data(), records.data(), records.size() * sizeof(Skin_File::Vertex));
  return out;
}

void Write_Bone_File(const std::string& path, const std::vector<std::string>& names, const std::vector<long>& parents,
                     long root, const std::vector<Array<float>>& times, const std::vector<Array<float>>& rotations,
                     const std::vector<Array<float>>& offsets, float length) {
  const std::size_t bones = names.size();
  if (parents.size() != bones || times.size() != bones || rotations.size() != bones || offsets.size() != bones)
    throw py::value_error("names, parents, times, rotations and offsets need one entry per bone");
  if (root < 0 || std::size_t(root) >= bones) throw py::index_error("root " + std::to_string(root) + " is not a bone");
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
    bone.name = names[b];
    bone.root = long(b) == root;
    bone.parent = parents[b] < 0 || bone.root ? "" : names[std::size_t(parents[b])];
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
  Tools::Output_Files files;
  files.Output(path, {".bone"});
  files.Set(path, Tools::Encode_Bone_File(animation));
  files.Commit();
}

void Write_Skin_File(const std::string& path, const std::vector<std::string>& bone_names, const py::dict& skins) {
  Tools::Skin_File_Data data;
  data.bones = bone_names;
  const py::dtype dtype = py::dtype::of<Skin_File::Vertex>();
  for (const auto& item : skins) {
    Tools::Skin_Data skin;
    skin.name = py::cast<std::string>(item.first);
    const py::array records = py::array::ensure(item.second);
    if (!records || records.ndim() != 1 || !records.dtype().equal(dtype))
      throw py::type_error("skin " + skin.name + ": a 1-D array of the dtype SKIN_RECORD, as SkinFile.get returns");
    skin.vertices.resize(std::size_t(records.size()));
    if (records.size())
      std::memcpy(skin.vertices.data(), records.data(), skin.vertices.size() * sizeof(Skin_File::Vertex));
    data.skins.push_back(std::move(skin));
  }
  Tools::Output_Files files;
  files.Output(path, {".skin"});
  files.Set(path, Tools::Encode_Skin_File(data));
  files.Commit();
}

}  // namespace

PYBIND11_MODULE(_bone_import, m) {
  m.doc() = "Skeletal-animation import: bone files (a skeleton and one animation) and skin files.";
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
      py::object error = py::reinterpret_borrow<py::object>(error_type)(e.what());
      error.attr("condition") = e.Condition();
      error.attr("message") = e.Message();
      error.attr("file") = e.File();
      error.attr("line") = e.Line();
      PyErr_SetObject(error_type, error.ptr());
    } catch (const Tools::Usage_Error& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Tools::File_Error& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    }
  });

  py::class_<Py_Hierarchy, std::shared_ptr<Py_Hierarchy>>(m, "Hierarchy", "The skeleton of a bone file.")
      .def(py::init<const std::string&>(), py::arg("path"),
           "Reads the skeleton of the bone file at `path` (keys are stepped over).")
      .def_property_readonly(
          "bone_count", [](const Py_Hierarchy& h) { return h.hierarchy.Bone_Count(); },
          "Number of bones; bones are numbered in file order.")
      .def_property_readonly(
          "names",
          [](const Py_Hierarchy& h) {
            std::vector<std::string> names;
            for (unsigned int b = 0; b < h.hierarchy.Bone_Count(); ++b) names.push_back(h.hierarchy.Bone_Name(b));
            return names;
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
          "index", [](const Py_Hierarchy& h, const std::string& name) { return h.hierarchy.Bone_Index(name.c_str()); },
          py::arg("name"), "The first bone whose name equals `name`, letter case ignored; Error when there is none.");

  py::class_<Py_Sequence, std::shared_ptr<Py_Sequence>>(m, "Sequence", "One animation of a hierarchy.")
      .def(py::init([](std::shared_ptr<Py_Hierarchy> h, const std::string& path) {
             auto s = std::make_shared<Py_Sequence>(std::move(h));
             s->sequence.Import(path.c_str());
             return s;
           }),
           py::arg("hierarchy"), py::arg("path"),
           "Reads the animation of the bone file at `path`, whose bones are matched to `hierarchy` by name.")
      .def_property_readonly(
          "length", [](const Py_Sequence& s) { return s.sequence.Lenght(); }, "Duration in the file's time unit.")
      .def_property_readonly("hierarchy", [](const Py_Sequence& s) { return s.owner; })
      .def("keys", &Keys, py::arg("bone"),
           "The keys of one bone: (times [n], rotations [n, 4] as quaternions w, x, y, z, offsets [n, 3]).")
      .def("sample", &Sample, py::arg("times"), py::arg("ignore_root_offset") = false, py::arg("place_leaves") = false,
           "Samples the sequence at every time (clamped to 0 .. length) and returns (bases [T, B, 3, 3],\n"
           "positions [T, B, 3]) as float32: every bone's output rotation and position, exactly what a Frame's\n"
           "Base and Offset give. The library never samples a leaf bone, so a leaf sits at its parent; with\n"
           "place_leaves, a leaf that has a parent is placed by its first key below it, as bonetool draws and\n"
           "exports it. Runs in C++ with the GIL released.")
      .def_static(
          "combine",
          [](std::shared_ptr<Py_Sequence> a, float a_start, float a_end, std::shared_ptr<Py_Sequence> b, float b_start,
             float b_end, float transition) {
            auto out = std::make_shared<Py_Sequence>(a->owner);
            out->sequence.Combine(a->sequence, a_start, a_end, b->sequence, b_start, b_end, transition);
            return out;
          },
          py::arg("a"), py::arg("a_start"), py::arg("a_end"), py::arg("b"), py::arg("b_start"), py::arg("b_end"),
          py::arg("transition"),
          "A new sequence: the stretch a_start .. a_end (fractions of a's length) of a, a transition of\n"
          "`transition` time units, and the stretch of b.")
      .def(
          "optimize", [](Py_Sequence& s, float r, float o) { s.sequence.Optimize(r, o); },
          py::arg("rotation_tolerance"), py::arg("offset_tolerance"),
          "Drops keys that interpolation reproduces within the two tolerances, one key at a time (not an\n"
          "error bound; see reduce).")
      .def(
          "reduce", [](Py_Sequence& s, float e, float r) { s.sequence.Reduce(e, r); }, py::arg("max_error"),
          py::arg("reach"),
          "Drops keys so that no bone position, and no point at `reach` along a bone's axes, moves more than\n"
          "max_error from the original at any key time or midpoint.")
      .def(
          "flip", [](Py_Sequence& s) { s.sequence.Flip(); }, "Reverses the sequence in time.")
      .def(
          "normalize", [](Py_Sequence& s) { s.sequence.Normalize(); }, "Rescales time to a length of 1.")
      .def(
          "rotate", [](Py_Sequence& s, Array<float> r) { s.sequence.Rotate(Matrix_Of(r)); }, py::arg("rotation"),
          "Turns the animation about its root by a 3x3 rotation matrix.");

  py::class_<Py_Packed_Sequence, std::shared_ptr<Py_Packed_Sequence>>(
      m, "PackedSequence", "A sequence stored in a few bits per key for playback, within an error bound.")
      .def(py::init([](const Py_Sequence& source, float max_error, float reach) {
             return std::make_shared<Py_Packed_Sequence>(source, max_error, reach);
           }),
           py::arg("source"), py::arg("max_error"), py::arg("reach"),
           "Packs `source` so that no bone position, and no point at `reach` along a bone's axes, moves more\n"
           "than max_error from it at any key time or midpoint. Reduce first to drop keys; packing keeps them all.")
      .def_property_readonly(
          "length", [](const Py_Packed_Sequence& s) { return s.packed.Lenght(); }, "Duration in the file's time unit.")
      .def_property_readonly("hierarchy", [](const Py_Packed_Sequence& s) { return s.owner; })
      .def_property_readonly(
          "size", [](const Py_Packed_Sequence& s) { return s.packed.Size(); }, "Bytes the packed keys take.")
      .def_property_readonly(
          "key_count", [](const Py_Packed_Sequence& s) { return s.packed.Key_Count(); }, "Keys held, of every bone.")
      .def(
          "sample",
          [](const Py_Packed_Sequence& s, Array<float> times, bool ignore_root_offset) {
            return Sample_Clip(s, s.packed, std::move(times), ignore_root_offset);
          },
          py::arg("times"), py::arg("ignore_root_offset") = false,
          "As Sequence.sample: (bases [T, B, 3, 3], positions [T, B, 3]) as float32, from the packed keys.");

  py::class_<Py_Skin_File, std::shared_ptr<Py_Skin_File>>(m, "SkinFile", "An opened skin file, indexed by skin name.")
      .def(py::init<const std::string&>(), py::arg("path"))
      .def_property_readonly(
          "skin_names",
          [](const Py_Skin_File& f) {
            std::vector<std::string> names;
            for (unsigned int s = 0; s < f.file.Skin_Count(); ++s) names.push_back(f.file.Skin_Name(s));
            return names;
          },
          "The skins' names in file order.")
      .def_property_readonly(
          "bone_names",
          [](const Py_Skin_File& f) {
            std::vector<std::string> names;
            for (unsigned int b = 0; b < f.file.Bone_Count(); ++b) names.push_back(f.file.Bone_Name(b));
            return names;
          },
          "The file's bone table.")
      .def("get", &Get_Skin, py::arg("name"),
           "The records of one skin as stored: a structured array with fields bone, x, y, z, weight, vertex_index.");

  py::class_<Skin, std::shared_ptr<Skin>>(m, "Skin", "One skin grouped by the bones of a hierarchy.")
      .def(py::init([](std::shared_ptr<Py_Skin_File> file, const std::string& name, std::shared_ptr<Py_Hierarchy> h) {
             auto skin = std::make_shared<Skin>();
             skin->Import(file->file, name.c_str(), h->hierarchy);
             return skin;
           }),
           py::arg("skin_file"), py::arg("name"), py::arg("hierarchy"))
      .def_property_readonly("bone_count", [](const Skin& s) { return s.bone_count; })
      .def_property_readonly(
          "vertex_indices", [](const Skin& s) { return Per_Bone<unsigned int>(s, s.vert_index, 1); },
          "Per bone, the mesh vertex index of each binding.")
      .def_property_readonly(
          "positions", [](const Skin& s) { return Per_Bone<float>(s, s.vert_pos, 3); },
          "Per bone, each binding's position in the bone's space [n, 3].")
      .def_property_readonly(
          "weights", [](const Skin& s) { return Per_Bone<float>(s, s.vert_weight, 1); },
          "Per bone, each binding's weight as stored.")
      .def_property_readonly(
          "skinning_weights",
          [](const Skin& s) {
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
        "key time. Written whole or not at all, never over a read-only file.");
  m.def("write_skin_file", &Write_Skin_File, py::arg("path"), py::arg("bone_names"), py::arg("skins"),
        "Writes a skin file: the bone table and a dict of skin name -> records (arrays of SKIN_RECORD).");
}
