// bone_import: skeletal-animation import for hosts that animate skinned meshes.
//
// Two binary formats are read (their layout is in docs/formats.md):
//   * a bone file: a skeleton and one animation of it (per bone, keys of a
//     time, three angles and an offset);
//   * a skin file: a bone table and named skins of vertex bindings.
//
// Typical use:
//
//   Hierarchy hierarchy;            hierarchy.Import("walk.bone");
//   Sequence walk(hierarchy);       walk.Import("walk.bone");
//   Frame frame(hierarchy, false);
//   walk.Get_Frame_Time(frame, t);  // every displayed moment
//   frame.Base(bone); frame.Offset(bone);
//
// Errors: every failure throws Kernel::Exception (interfaces/kernel.h) with
// the condition text, the message, the source path ("bone_import/hier",
// "bone_import/bones" or "bone_import/skin") and the line of the check. The
// library catches nothing and keeps no global state. Objects are not
// copyable (a Sequence takes another's keys with Copy). A host owns every
// object it creates; a Sequence or Frame refers to its Hierarchy, which must
// outlive it and must not be imported again while they exist.
//
// Threads: the library creates none. The const sampling operations of
// Sequence may run on one sequence from several threads into distinct frames;
// everything else changes its object and needs exclusive use.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "bone_import_export.h"
#include "kernel.h"
#include "template_library.h"

// The Windows DLL also exports Frame::Base and Frame::Offset out of line, for
// hosts that call them by name; every host built with this header reads
// inline.
#if defined(BONE_IMPORT_BUILDING) && defined(_WIN32)
#define BONE_IMPORT_EXPORTED_READS 1
#endif

// Branch hint for the inline read path.
#if defined(__GNUC__) || defined(__clang__)
#define BONE_IMPORT_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#else
#define BONE_IMPORT_UNLIKELY(condition) (condition)
#endif

namespace Vantorix {
namespace Bone_Import {

using Template_Library::Matrix_3x3;
using Template_Library::Vector_3;

// "No bone": the parent index of the root and the root index of a hierarchy
// that has not been imported. Not 0xFFFFFFFF.
constexpr unsigned int INVALID_INDEX = 0xBEFFA;

// The fixed strings of the two formats, each stored with a terminating 0 byte.
inline constexpr char BONE_FILE_HEADER[] = "BONE";
inline constexpr char SKIN_FILE_HEADER[] = "SKIN";
inline constexpr char END_SIGN[] = "SIGN";

// ---------------------------------------------------------------------------
// Hierarchy: the skeleton. Bones are numbered from 0 in the order of the bone
// records of the file it was imported from.
class BONE_IMPORT_API Hierarchy {
 public:
  // An empty hierarchy: no bones, Root_Index() == INVALID_INDEX.
  Hierarchy();
  ~Hierarchy();
  Hierarchy(const Hierarchy&) = delete;
  Hierarchy& operator=(const Hierarchy&) = delete;

  // Reads the skeleton of a bone file; the keys are stepped over. Refuses a
  // file that cannot be opened ("Can't open sequence file NAME"), a wrong
  // header or end sign ("Invalid sequence file NAME[ str STRING]"), a file
  // with no root-flagged record ("No root node in file NAME") and a parent
  // name that matches no bone ("Invalid bone name NAME"). Accepted as the
  // format allows: names repeated without regard to case, several root flags
  // (the last one is the root), parent loops. The file is read twice, so it
  // must be one that can seek: a pipe is refused ("Can't read sequence file
  // NAME twice: ..."). Import is allowed once: a second call is refused
  // ("Hierarchy already imported, can't import file NAME"), unless the first
  // failed before reading the bone count (a missing file, a wrong header).
  // After a later failure the object may only be destroyed: Failed() tells,
  // and a Frame, Sequence::Import or Skin::Import refuses such a hierarchy.
  void Import(const char* file_name);
  // True when an Import failed part-way.
  bool Failed() const { return state == Import_State::FAILED; }

  // Bone_Count, Root_Index, Bone_Index and == answer in every state. A
  // hierarchy that was never imported, or whose import failed, holds 0 bones
  // or a count its file may never have backed, and Root_Index may be
  // INVALID_INDEX. The per-bone queries Is_Leaf, Parent_Index and Bone_Name
  // answer only an imported hierarchy; otherwise they refuse ("Hierarchy not
  // imported, can't answer QUERY", "Hierarchy import failed, can't answer
  // QUERY").
  unsigned int Bone_Count() const { return bone_count; }
  unsigned int Root_Index() const { return root_index; }
  // True when no bone names this bone as its parent. No range check.
  bool Is_Leaf(unsigned int bone) const {
    if (BONE_IMPORT_UNLIKELY(leaf_flags == nullptr)) Refuse_Query("Is_Leaf");
    return leaf_flags[bone] != 0;
  }
  // The parent of `bone`; INVALID_INDEX for a root-flagged bone. No range check.
  unsigned int Parent_Index(unsigned int bone) const;
  // The first bone in file order whose name equals `name` without regard to
  // ASCII letter case. Throws "Invalid bone name NAME" (condition "0") when
  // there is none.
  unsigned int Bone_Index(const char* name) const;
  // The bone's name as stored in the file; never null. No range check.
  const char* Bone_Name(unsigned int bone) const;

  // Same bone count, names (exact case), parents and root. Two hierarchies
  // that were never imported are equal.
  bool operator==(const Hierarchy& other) const;
  bool operator!=(const Hierarchy& other) const { return !(*this == other); }

 private:
  // Throws the refusal of a per-bone query on a hierarchy not imported.
  [[noreturn]] void Refuse_Query(const char* query) const;

  unsigned int bone_count;
  unsigned int root_index;
  unsigned int* parents;
  unsigned char* leaf_flags;
  std::vector<std::string> bone_names;
  // Open-addressing table over the names without regard to case: slot value
  // bone + 1 of the first bone of each name, 0 for a free slot. Keeps a whole
  // import linear in the bone count.
  std::vector<unsigned int> name_slots;
  unsigned int name_hash_seed;
  enum class Import_State : unsigned char { EMPTY, FAILED, IMPORTED } state;
};

// ---------------------------------------------------------------------------
// Quaternion (w, then the vector part x, y, z). Rotation keys and local
// rotations are unit quaternions; q and -q stand for the same rotation.
class BONE_IMPORT_API Quaternion {
 public:
  float w;
  Vector_3<float> v;

  Quaternion() = default;
  Quaternion(float w_, float x, float y, float z) : w(w_), v{x, y, z} {}
  // The quaternion of a rotation matrix; w >= 0 when the trace is >= 0. Not
  // normalised further.
  Quaternion(const Matrix_3x3<float>& m);  // NOLINT(google-explicit-constructor): a plain conversion

  static Quaternion Identity() { return Quaternion(1.0f, 0.0f, 0.0f, 0.0f); }
  // The rotation matrix of this (unit) quaternion.
  void To_Matrix(Matrix_3x3<float>& m) const;
};

// Normalised linear blend on the shorter arc: weights 1 - f and f (-f when the
// dot product is below 0), normalised. Shared by sampling, Interpolate,
// Combine and Optimize.
BONE_IMPORT_API Quaternion Blend(const Quaternion& a, const Quaternion& b, float f);

class Frame;
class Packed_Sequence;
class Skinned_Mesh;
struct Key_Groups;
struct Packed_Cache;
struct Sequence_Keys;

// ---------------------------------------------------------------------------
// Sequence: one animation of all bones of a hierarchy. Per bone an
// independent list of keys (time, rotation, offset). A sequence is empty
// until Import or Combine fills it, once.
class BONE_IMPORT_API Sequence {
 public:
  // Refers to `hier` (not owned). Reads nothing from it.
  explicit Sequence(const Hierarchy& hier);
  ~Sequence();
  Sequence(const Sequence&) = delete;
  Sequence& operator=(const Sequence&) = delete;

  // Duration in the time unit of the keys (the exported spelling).
  float Lenght() const;

  // Fills an empty sequence from a bone file whose records name the
  // hierarchy's bones (any order, letter case ignored). Refuses a filled
  // sequence ("Sequence data already imported"), a hierarchy whose import
  // failed, an unreadable file ("Can't open file NAME"), a wrong header, a bone count other than the
  // hierarchy's (plain check), a bone with fewer than 2 keys ("There must be
  // atleast 2 frames in sequence, file NAME"), damaged end signs ("Invalid
  // sequence file NAME"), an unknown bone name ("Invalid bone name NAME"),
  // and a file that names one bone twice and so leaves another without keys
  // ("Bone NAME has no keys in sequence file FILE"). A failure before the
  // bone records leaves the sequence empty; a later one leaves it refusing
  // further imports, fit only to be destroyed. The file is read once, front
  // to back, so a pipe or standard input serves as well as a file.
  void Import(const char* file_name);

  // Samples at Lenght() * fraction.
  void Get_Frame(Frame& frame, float fraction) const;
  // Writes every non-leaf bone's local pose at `time` into `frame` and marks
  // the frame dirty. The time is clamped to 0 .. Lenght() (NaN samples at
  // the length). Allocates nothing; safe from several threads into distinct
  // frames. The frame must belong to this sequence's hierarchy (one of
  // another is written only within its own bones, with poses that mean
  // nothing). Two keys at
  // one time (an interval of length 0) give the later key's pose, never NaN.
  // Refuses an empty sequence ("Sequence is empty") and one whose import
  // failed ("Sequence import failed, ..."), as Combine (for its sources),
  // Flip, Normalize and Rotate do too.
  void Get_Frame_Time(Frame& frame, float time) const;

  // Fills this empty sequence with a stretch of `a` (fractions a_start_index
  // .. a_end_index of its length), a transition of `transition_time` and a
  // stretch of `b`. Refuses a filled result ("Sequence has already some
  // data!!"), an empty source ("Combine source sequence is empty") or one
  // whose import failed, and with plain checks: unequal hierarchies, empty or
  // out-of-range stretches, a transition time that is not positive. A refusal
  // changes nothing. Every bone's key times rise strictly: a copied source key
  // whose shifted time rounds onto (or past) a neighbouring key is dropped,
  // the sampled stretch-boundary keys always stay, and of two boundary keys
  // that round onto one time the earlier stays.
  void Combine(Sequence& a, float a_start_index, float a_end_index, Sequence& b, float b_start_index, float b_end_index,
               float transition_time);
  // Fills this empty sequence with the length and keys of `source`, to the
  // bit: a copy that later edits of either leave alone. Refuses a filled
  // sequence ("Sequence has already some data!!"), an empty source or one
  // whose import failed (as Get_Frame_Time), and a source of a hierarchy not
  // equal to this one's ("Copy source sequence belongs to another
  // hierarchy"). A refusal changes nothing.
  void Copy(const Sequence& source);
  // Drops every key that interpolation between the last kept key and the next
  // key reproduces within both tolerances (quaternion dot product >=
  // rotation_tolerance, offset distance <= offset_tolerance), one forward pass
  // per bone; first and last keys always stay. Refuses an empty sequence
  // ("Sequence is empty").
  //
  // The tolerances are tests of each key against the next original key, not
  // bounds on the error of the result: errors of dropped keys pile up along a
  // bone and down the skeleton, so a small tolerance per test can leave a
  // large error at the end of a limb. Reduce bounds the result instead.
  void Optimize(float rotation_tolerance, float offset_tolerance);
  // Drops keys so that no point of the skeleton moves more than max_error
  // from where the original puts it. The points are every bone's output
  // position (Offset, root offset included) and the three points at distance
  // `reach` along its output axes (Offset + Base * reach * e_i), which catch
  // rotation errors of bones whose children sit at their own position. They
  // are checked at every key time of the original (of any bone) and at every
  // midpoint between two neighbouring key times, for the whole skeleton at
  // once: errors of parents and children add up, and the result is measured
  // through this library's own sampling, not estimated. Every bone keeps its
  // first and last key (leaves, which sampling never reads, only those), and
  // its times still rise strictly. A point the original does not place (not
  // finite) bounds nothing there. A key with a component that is not finite
  // never stays between a bone's first and last key; a bone whose first or
  // last key is not finite keeps all its keys (and samples as the original),
  // so the result is not a number only where the original is. Refuses an
  // empty sequence, one whose import failed, a bone whose key times do not
  // rise strictly, a max_error that is not a finite number above 0, a reach
  // that is negative or not finite, and a sequence whose model would pass
  // 2 GiB (sampled bones times check times times 288 bytes). How it works,
  // and what it costs: docs/library.md.
  void Reduce(float max_error, float reach);
  // Per bone, the largest distance at Reduce's check points (of `original`)
  // between `original` and `edited`: 0 where the original places no point,
  // NaN where only `edited` places none. Refuses a sequence that is empty or
  // whose import failed, and two sequences whose hierarchies are not equal
  // (Hierarchy::operator==): "Sequences of different hierarchies can't be
  // compared".
  static std::vector<double> Reduction_Errors(const Sequence& original, const Sequence& edited, float reach);
  // Reverses the sequence in time. Refuses an empty sequence.
  void Flip();
  // Divides every key time by the length and sets the length to 1. Refuses an
  // empty sequence and one of length 0 ("Sequence length is 0, can't
  // normalize"); an infinite or NaN length divides as it is.
  void Normalize();
  // Replaces every rotation key R of the root bone by r * R (r a rotation).
  // Refuses an empty sequence ("Sequence is empty") and a hierarchy without
  // a root.
  void Rotate(const Matrix_3x3<float>& r);

  // Read-only access to the keys (the sequence must be filled; no range check).
  bool Is_Empty() const { return number_of_frames == nullptr; }
  // True once Import or Combine has completed; false while empty and after a
  // failed import.
  bool Is_Filled() const { return state == Fill_State::FILLED; }
  const Hierarchy& Get_Hierarchy() const { return *hier; }
  unsigned int Key_Count(unsigned int bone) const { return number_of_frames[bone]; }
  const float* Key_Times(unsigned int bone) const { return frame_times[bone]; }
  const Quaternion* Key_Rotations(unsigned int bone) const { return frame_rotations[bone]; }
  const Vector_3<float>* Key_Offsets(unsigned int bone) const { return frame_offsets[bone]; }

 private:
  void Allocate_Tables(unsigned int bone_count);
  void Release_Bone(unsigned int bone);
  // Records whether the bone's key times increase strictly, which lets
  // sampling take a shortcut to the one interval that holds a time.
  void Note_Key_Order(unsigned int bone);
  // Groups the sampled bones by key times that are the same to the bit, for
  // sampling (key_groups.h). Run after every fill or edit of the keys.
  void Build_Key_Groups();
  friend class Packed_Sequence;
  // Throws unless the sequence is filled: "Sequence is empty", or the
  // failed-import message.
  void Require_Filled() const;
  friend struct Sequence_Keys;  // which keys stay (Optimize, Reduce, Copy)

  float length;
  unsigned int* number_of_frames;
  float** frame_times;
  Quaternion** frame_rotations;
  Vector_3<float>** frame_offsets;
  const Hierarchy* hier;
  // Entries of the per-bone tables, once allocated: the hierarchy's bone count
  // then. The destructor walks these, never a count that no data backed.
  unsigned int table_count;
  unsigned char* increasing_times;  // per bone: 1 when key times increase strictly
  struct Key_Groups* key_groups;    // how sampling reads the keys
  // EMPTY until a fill starts, FAILED while it runs and after it failed,
  // FILLED once it completed. Every operation that reads keys checks this one
  // value.
  enum class Fill_State : unsigned char { EMPTY, FAILED, FILLED } state;
};

// ---------------------------------------------------------------------------
// Frame: one pose of every bone. Sampling writes local poses; Base and Offset
// return a bone's output (rotation matrix and position in the host's space),
// computed from the local poses when first read after the frame was marked
// dirty, parent before child. The first read of a frame that sampling (or
// Interpolate, or Set_Dirty) left dirty brings every bone up to date in one
// pass, four bones at a time where SIMD is available; later reads are a load
// and a test (a bone's first read also stores a byte that notes it, see
// Rotate_Base).
class BONE_IMPORT_API Frame {
 public:
  // Reads the hierarchy's bone count once. Every bone starts at the identity
  // rotation and a zero offset. With ignore_root_offset the root's output
  // position is always (0, 0, 0). Refuses a hierarchy whose import failed
  // ("Hierarchy import failed, can't make a frame of it").
  Frame(const Hierarchy& hier, bool ignore_root_offset);
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // Marks every bone's output stale.
  void Set_Dirty();
  // Output rotation of `bone`: parent's output base * local rotation. No
  // range check. The reference stays valid while the frame lives.
  // Output position of `bone`: parent base * local offset + parent position.
#ifdef BONE_IMPORT_EXPORTED_READS
  const Matrix_3x3<float>& Base(unsigned int bone);
  const Vector_3<float>& Offset(unsigned int bone);
#else
  const Matrix_3x3<float>& Base(unsigned int bone) {
    if (dirty[bone] != 0) Mark_Read(bone);
    return output_bases[bone];
  }
  const Vector_3<float>& Offset(unsigned int bone) {
    if (dirty[bone] != 0) Mark_Read(bone);
    return output_offsets[bone];
  }
#endif

  // Brings every bone up to date, then applies m to every output (B -> m*B,
  // o -> m*o). The result stands until the next Set_Dirty.
  void Transform_Output(const Matrix_3x3<float>& m);
  // Mirrors every output in the plane normal to one axis.
  void Flip_Output_X();
  void Flip_Output_Y();
  void Flip_Output_Z();
  // Changes the bone's local rotation so that its output base becomes
  // rotation * (its current output base), and marks the bone stale.
  // Descendants already computed are left as they are until the next
  // Set_Dirty: one that was read since the frame was last marked dirty (or
  // has a read bone below it, or went through Transform_Output or a flip)
  // keeps its output, not following the new rotation. The other descendants
  // follow it when read; the whole-frame pass of the first read does not
  // count as reading the bones it computes. So a host that adjusts bones
  // after sampling does so before reading their descendants; reading other
  // bones first changes nothing.
  void Rotate_Base(const Matrix_3x3<float>& rotation, unsigned int bone);

  // The local pose as sampling or Interpolate left it. No range check.
  const Quaternion& Local_Rotation(unsigned int bone) const { return local_rotations[bone]; }
  const Vector_3<float>& Local_Offset(unsigned int bone) const { return local_offsets[bone]; }

 private:
  friend class Sequence;
  friend class Packed_Sequence;
  friend class Skinned_Mesh;
  friend BONE_IMPORT_API void Interpolate(Frame& out, const Frame& a, const Frame& b, float t);

  // Brings `bone` up to date: every bone at once after Set_Dirty, else the
  // bone and its stale ancestors.
  void Refresh(unsigned int bone);
  // A read of a bone that is stale or not yet read: computes it if stale, then
  // marks it read (see Rotate_Base).
  void Mark_Read(unsigned int bone) {
    if (BONE_IMPORT_UNLIKELY(dirty[bone] & 1)) Refresh(bone);
    dirty[bone] = 0;
  }
  void Update_All();
  void Update_Chain(unsigned int bone);
  void Restale_Unread_Below(unsigned int bone);
  void Build_Update_Order();
  // The inline ones are defined, and only used, in the library's frame code.
  inline void Compute_From_Parent(unsigned int bone, unsigned int parent);
  inline void Compute_As_Root(unsigned int bone);
  inline void Compute_Four(const unsigned int* bones, unsigned int count);
  void Flip_Output(unsigned int axis);

  bool ignore_root_offset;
  bool all_stale;    // Set_Dirty since the last whole update
  bool unread_left;  // the whole update ran since Set_Dirty: some bones may be UNREAD
  Quaternion* local_rotations;
  Vector_3<float>* local_offsets;
  Matrix_3x3<float>* output_bases;
  Vector_3<float>* output_offsets;
  unsigned char* dirty;
  const Hierarchy* hier;
  unsigned int bone_count;
  unsigned int* update_chain;  // scratch for the walk up to a clean ancestor
  // Per bone the parent its output is computed from; INVALID_INDEX for the
  // root and for bones computed like it.
  unsigned int* output_parents;
  // The bones reachable from a root: root_count bones computed like the
  // root, then groups of up to four whose parents are in earlier groups;
  // group_ends[g] is one past group g's last entry. Bones in a parent loop
  // are not listed and are updated when read.
  unsigned int* update_order;
  unsigned int* group_ends;
  unsigned int root_count;
  unsigned int group_count;
  // Per bone, the key interval sampling found last time: where the next
  // sequential sample most likely lies. Only a hint; results never depend on it.
  unsigned int* key_hints;
  unsigned char* marks;  // scratch of Rotate_Base
  // The keys a Packed_Sequence decoded last time into this frame, made on its
  // first use; likewise only a hint.
  Packed_Cache* packed_cache;
};

// Writes into `out` the blend of the local poses of `a` and `b` with weight t
// on b (not clamped: values outside 0 .. 1 extrapolate), skipping leaf bones,
// and marks `out` dirty. All three frames belong to one hierarchy.
BONE_IMPORT_API void Interpolate(Frame& out, const Frame& a, const Frame& b, float t);

// ---------------------------------------------------------------------------
// Packed_Sequence: a sequence stored in a few bits per key for playback, with
// an error bound. Every key of the source stays (Sequence::Reduce chooses
// which keys to keep; reduce first, then pack); each key's rotation and offset
// are stored with the fewest bits that the bound allows. The bound is the one
// Reduce keeps: at every key time of the source and every midpoint between
// neighbouring key times, every bone's output position and the three points
// at `reach` along its output axes stay within max_error of what the source
// gives there (frames with ignore_root_offset false; errors of a chain add
// up, and the precision of each bone is chosen so that they stay within it).
// A bone whose keys are all the same is stored exactly, and so are every
// bone's first and last key: at any time for the former, at its first and last
// key time for the latter, the bone's local pose is the source's to the bit
// (the quaternion may come out negated, the same rotation). How the keys are
// stored: docs/library.md.
//
// Immutable once made: the const sampling operations may run on one packed
// sequence from several threads into distinct frames. It refers to the
// source's hierarchy, which must outlive it; the source itself is no longer
// needed.
class BONE_IMPORT_API Packed_Sequence {
 public:
  // Packs a filled sequence. Refuses an empty source ("Sequence is empty") or
  // one whose import failed, a max_error that is not a finite number above 0,
  // a reach that is negative or not finite, a sampled bone whose key times do
  // not rise strictly, and keys (times, rotations, offsets) that are not
  // finite. Takes about as long as importing the source's file.
  Packed_Sequence(const Sequence& source, float max_error, float reach);
  ~Packed_Sequence();
  Packed_Sequence(const Packed_Sequence&) = delete;
  Packed_Sequence& operator=(const Packed_Sequence&) = delete;

  // The source's length.
  float Lenght() const;
  // Samples at Lenght() * fraction.
  void Get_Frame(Frame& frame, float fraction) const;
  // As Sequence::Get_Frame_Time, from the packed keys: the time clamped to
  // 0 .. Lenght(), every non-leaf bone's local pose written, the frame marked
  // dirty. Refuses a frame of another hierarchy ("Frame of another hierarchy
  // than the packed sequence's"). The frame keeps the keys decoded last time
  // (a cache made on the frame's first packed sampling), so that playing
  // forward decodes each key once; results never depend on it.
  void Get_Frame_Time(Frame& frame, float time) const;

  // Bytes this object holds, its own and on the heap.
  std::size_t Size() const;
  // Keys stored, of every bone (leaves included), as in the source.
  std::size_t Key_Count() const { return key_count; }
  const Hierarchy& Get_Hierarchy() const { return *hier; }

 private:
  const Hierarchy* hier;
  float length;
  std::size_t key_count;
  // Everything else lies in one block (packed_format.h): the tracks, the key
  // times and the bits of the keys.
  unsigned char* data;
  std::size_t data_size;
  unsigned int track_count;
  // Tells this clip's keys in a frame's cache from another's.
  unsigned long long content_tag;
};

// ---------------------------------------------------------------------------
// Skin_File: an open skin file indexed by skin name. The constructor checks
// the structure and reads no vertex record; Get_Skin reads one skin's records
// on demand, in any order, as often as asked. The file stays open until the
// object is destroyed. One caller at a time (Get_Skin moves the read
// position).
class BONE_IMPORT_API Skin_File {
 public:
  // One vertex record as stored in the file.
  struct Vertex {
    unsigned int bone;  // index into this file's bone table
    float x, y, z;
    float weight;
    unsigned int vertex_index;
  };

  // A skin's place in the file: just after its name, where its count stands.
  class BONE_IMPORT_API Position : public Template_Library::HTSC_Node_String {
   public:
    Position(const char* name, std::streampos position) : HTSC_Node_String(name), pos(position) {}
    std::streampos pos;
  };

  // Opens and indexes the file, reading it front to back: a pipe or standard
  // input opens too, but its skins cannot be read afterwards (Get_Skin needs
  // to go back). Refuses an unreadable file ("Can't open skinfile NAME"), a wrong header ("Invalid skinfile (wrong
  // header) NAME") and a missing end sign after the bone table or after a skin ("Invalid skinfile (can't find end sign)
  // NAME", "Invalid skinfile (can't find end sign aftes skin) NAME"). A failed constructor leaves nothing open.
  explicit Skin_File(const char* file_name);
  ~Skin_File();
  Skin_File(const Skin_File&) = delete;
  Skin_File& operator=(const Skin_File&) = delete;

  // Replaces the contents of `vertices` with the records of the skin called
  // `name` (exact match, letter case significant), exactly as stored, and
  // returns true; returns false and leaves `vertices` untouched when there is
  // no such skin. A record's bone is not checked against the bone table
  // (Skin::Import does that). Throws, leaving `vertices` untouched, when the
  // file can no longer be read or cannot seek back to the skin (a pipe).
  bool Get_Skin(std::vector<Vertex>& vertices, const char* name);

  unsigned int Skin_Count() const { return skin_count; }
  unsigned int Bone_Count() const { return bone_count; }
  // Bone table entry `bone`, as stored. No range check.
  const char* Bone_Name(unsigned int bone) const { return bone_names[bone].c_str(); }
  // Name of skin `skin` in file order. No range check.
  const char* Skin_Name(unsigned int skin) const { return skin_names[skin].c_str(); }

 private:
  friend class Skin;

  unsigned int skin_count;
  unsigned int bone_count;
  std::vector<std::string> bone_names;
  Template_Library::HTSC_Table_Base skin_index;
  std::ifstream* file;
  std::string file_name;
  std::vector<std::string> skin_names;
};

// ---------------------------------------------------------------------------
// Skin: one skin grouped by the bones of a hierarchy, in exactly sized
// per-bone arrays that the host reads directly. Keeps no link to the skin
// file or the hierarchy.
class BONE_IMPORT_API Skin {
 public:
  // Entries of each per-bone array (the skin file's bone table count, or more
  // when a table entry maps to a higher hierarchy bone).
  unsigned int bone_count;
  // Bindings per bone; non-null once imported.
  unsigned int* vert_count;
  // Per bone: the mesh vertex indices, positions and weights of its bindings,
  // in file order; null for a bone without bindings.
  unsigned int** vert_index;
  Vector_3<float>** vert_pos;
  float** vert_weight;

  Skin();
  virtual ~Skin();
  Skin(const Skin&) = delete;
  Skin& operator=(const Skin&) = delete;

  // Imports the skin called `name`, mapping each bone table name to the
  // hierarchy's bone (letter case ignored). Refuses a second import ("Skin
  // data already imported!"), a hierarchy whose import failed ("Hierarchy
  // import failed, can't import skin NAME"), an unknown skin ("Can't find skin NAME"), a
  // record whose bone lies past the file's bone table ("Bone out of range in
  // skinfile ...") and a table name the hierarchy lacks ("Invalid bone name
  // NAME"); on any refusal the skin stays as it was and a later Import may
  // succeed.
  void Import(Skin_File& skin_file, const char* name, const Hierarchy& hierarchy);
};

// ---------------------------------------------------------------------------
// Skinned_Mesh: a skin's points placed by a pose, with one rule for weights.
//
// A skin stores weights as authored, and authoring tools disagree about them
// (some rigs sum to anything from 0.94 to 1.38 per vertex). The rule: a
// binding's weight counts as itself when it is a finite number above 0, and
// as 0 otherwise (negative, NaN, infinite); each vertex's counted weights are
// divided by their sum, so that they sum to 1; a vertex whose counted weights
// sum to 0 shares equally among its bindings. A vertex's point is the sum over
// its bindings of weight * (Base(bone) * position + Offset(bone)), the
// bindings taken by bone, then in file order.
//
// The points: one per vertex index that the skin binds, in ascending order of
// the index, so a mesh whose vertices 0 .. n - 1 are all bound gets them in
// its own order; a vertex index that no binding names has no point.
//
// Made once per skin, it deforms any number of poses: it copies what it needs,
// so the skin may go afterwards. Deform allocates nothing and changes nothing
// of the mesh, so one Skinned_Mesh serves any number of threads at once, each
// with its own frame and points. Deform uses SSE where the library does and
// gives the same points to the bit either way.
class BONE_IMPORT_API Skinned_Mesh {
 public:
  // Applies the weight rule to every binding of `skin`. A skin that was never
  // imported has no bindings and makes a mesh of no points.
  explicit Skinned_Mesh(const Skin& skin);
  ~Skinned_Mesh();
  Skinned_Mesh(const Skinned_Mesh&) = delete;
  Skinned_Mesh& operator=(const Skinned_Mesh&) = delete;

  // Points of the mesh: the vertex indices the skin binds.
  unsigned int Point_Count() const { return point_count; }
  // The vertex index of each point, ascending (Point_Count() entries).
  const unsigned int* Vertex_Indices() const { return vertex_indices; }
  // The bones a pose must hold: one more than the highest bone with a
  // binding, 0 for a skin without bindings.
  unsigned int Bone_Count() const { return bone_count; }
  // The weight of binding k of `bone` (the skin's vert_weight[bone][k]) under
  // the rule. No range check.
  float Weight(unsigned int bone, unsigned int k) const { return bindings[4 * (bone_first[bone] + k) + 3]; }
  // Bound vertices whose counted weights do not sum to 1 within 1e-4: those
  // the rule visibly changes.
  unsigned int Renormalised_Count() const { return renormalised_count; }

  // Writes the points of the frame's pose into points[0 .. Point_Count()),
  // bringing the frame's outputs up to date as Base and Offset do. A leaf
  // bone is where the frame puts it (at its parent: sampling never poses a
  // leaf); a host that places leaves itself passes its pose as arrays. Refuses
  // a frame of fewer bones than Bone_Count() ("Frame of N bones, the skin
  // binds bone B"), writing nothing.
  void Deform(Frame& frame, Vector_3<float>* points) const;
  // The same for a pose given as output rotations and positions per bone
  // (Bone_Count() entries or more, as Frame::Base and Frame::Offset give
  // them). No range check.
  void Deform(const Matrix_3x3<float>* bases, const Vector_3<float>* offsets, Vector_3<float>* points) const;

 private:
  unsigned int bone_count;
  unsigned int point_count;
  unsigned int renormalised_count;
  unsigned int* vertex_indices;
  // The bindings by bone, then in file order: bone b's are bone_first[b]
  // .. bone_first[b + 1] - 1, each four floats (x, y, z and the weight
  // under the rule) and the point it adds to.
  std::size_t* bone_first;
  float* bindings;
  unsigned int* binding_points;
};

}  // namespace Bone_Import
}  // namespace Vantorix
