// The files that one command reads and writes, with the rules that keep a
// user's data safe:
//
//   Output_Files files;
//   files.Input("walk.bone");                 // must be readable
//   files.Output("fast.bone", {".bone"});     // checked now, before any work
//   ... the work ...
//   files.Set("fast.bone", bytes);            // into a temporary beside it
//   files.Commit();                           // every output appears at once
//
// An output may not be an input or another output of the same call (compared
// by file identity: links and other spellings of a path are seen through),
// must end in one of the extensions the command writes, must lie in a folder
// that exists and can be written, and may not replace a read-only file. A
// replaced file keeps its permission bits. Until Commit nothing is replaced;
// temporaries left by a failure are removed.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vantorix {
namespace Bone_Tools {

// A command line that cannot be carried out as given (exit status 2).
struct Usage_Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A file that cannot be read or written, with the reason (exit status 1).
struct File_Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws File_Error "cannot read PATH: REASON" unless `path` is a readable
// file (not a folder).
void Check_Readable(const std::string& path);

// Whether `text` ends in `end`, letter case ignored (".GLB" ends in ".glb").
bool Ends_With_Ignoring_Case(const std::string& text, const std::string& end);

class Output_Files {
 public:
  Output_Files() = default;
  ~Output_Files();
  Output_Files(const Output_Files&) = delete;
  Output_Files& operator=(const Output_Files&) = delete;

  // An input of the command: checked readable, and never written.
  void Input(const std::string& path);
  // An output; `extensions` (".bone", ...) are compared without regard to case.
  void Output(const std::string& path, std::initializer_list<const char*> extensions);
  // Writes the bytes of a declared output to its temporary.
  void Set(const std::string& path, const std::string& bytes);
  // Gives up a declared output (its temporary too): Commit leaves it alone.
  void Drop(const std::string& path);
  // Moves every output into place. Every declared output must have been Set.
  void Commit();

 private:
  struct Identity {
    unsigned long long device = 0, inode = 0;
    std::string name;  // for a file that does not exist yet: its name in the folder
    bool operator==(const Identity& other) const;
  };
  struct Planned {
    std::string path, temporary;
    Identity identity;
  };
  static Identity Identify(const std::string& path);
  Planned& Find(const std::string& path);

  std::vector<std::pair<std::string, Identity>> inputs_;
  std::vector<Planned> outputs_;
};

}  // namespace Bone_Tools
}  // namespace Vantorix
