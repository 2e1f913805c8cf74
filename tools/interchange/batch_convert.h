// Converting scene files, one or many, each read in a worker process of its
// own (process/worker_pool.h): a file that crashes its reader, makes it
// allocate without bound or never end costs that file, not the batch. Folders
// are searched for every format Assimp reads and mirrored under the output
// folder; every input is accounted for (converted, or why not); outputs follow
// files/output_files.h: never over an input, written whole or not at all, and
// never two inputs to one name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "interchange/scene_import.h"
#include "process/worker_pool.h"

namespace Vantorix {
namespace Bone_Tools {

struct Convert_Options {
  Scene_Import_Options import;  // import.animation "all": every clip, one file each
  std::string skin;             // also write the skins here (single file only)
};

// What one source converts into: made by a worker, written by the parent.
struct Converted_Clip {
  std::string name;   // the clip's name with every clip; empty for one clip
  std::string bytes;  // the bone file
  std::string note;   // what it holds
};
struct Converted_Source {
  std::vector<Converted_Clip> clips;
  std::string skin, skin_note;  // the skin file, when asked for
  std::vector<std::string> warnings;
};

// Reads `input` once and converts the chosen clip, or every clip, and the
// skins when options.skin is set. Throws std::runtime_error ("INPUT: ...")
// when the file is refused. Runs in the calling process.
Converted_Source Convert_Source(const std::string& input, const Convert_Options& options);

// The files `source` is written to: `output`, or with every clip
// OUTPUT_STEM_CLIP.bone per clip (the clip's name made safe, `_2` and on for
// names that repeat).
std::vector<std::string> Output_Names(const std::string& output, const Converted_Source& source);

// A name made safe for a file name: letters, digits, '-', '_' and '.' stay,
// anything else becomes '_'.
std::string Safe_File_Name(const std::string& name);

// One input of a batch and the bone file it becomes.
struct Batch_Input {
  std::string path;
  std::string output;   // the .bone file (with every clip, the stem of the clips' files)
  std::string failure;  // set when it cannot be converted at all: "cannot read", "cannot write", "skipped"
  std::string reason;
};

// The inputs of `paths` with their outputs under `out_dir`: a file named
// goes to OUT_DIR/STEM.bone; the files found below a folder FOLDER keep their
// place relative to it, under OUT_DIR/FOLDER_NAME/. Where two inputs would
// get one name, each gets its extension too (STEM_EXT.bone); where they still
// would, they are refused. Unreadable files and folders, and folders without
// a file to convert, become inputs with a failure, in place.
std::vector<Batch_Input> Plan_Batch(const std::vector<std::string>& paths, const std::string& out_dir);

struct Convert_Result {
  std::string input;
  std::vector<std::string> written;   // bone (and skin) files
  std::vector<std::string> notes;     // "FILE: what it holds", per file written
  std::vector<std::string> warnings;  // losses worth telling the user
  // Empty when converted; else "refused" (the converter's reason), "failed"
  // (the importer crashed, ran out of memory or time), "cannot read",
  // "cannot write", "skipped".
  std::string failure;
  std::string reason;  // why, without the input's path
};

struct Batch_Settings {
  Worker_Pool_Settings workers;  // jobs 0: one per core
  bool create_folders = true;    // make the output folders that are missing
};

// Converts every input in a worker of its own and writes each one's outputs
// as soon as it is done (several at once with settings.workers.jobs). `done`
// gets each input's result, in the order they finish (inputs with a failure
// first). Returns the signal that interrupted the batch (SIGINT, SIGTERM;
// the workers are stopped, nothing half-written is left, and what finished
// stays), or 0.
int Convert_Batch(const std::vector<Batch_Input>& inputs, const Convert_Options& options,
                  const Batch_Settings& settings,
                  const std::function<void(std::size_t input, const Convert_Result& result)>& done);

// Reads a scene in a worker: its contents. Throws Scene_Refused when Assimp
// cannot read the file ("PATH: Assimp cannot read it: ..."), std::runtime_error
// when the worker did not finish ("PATH: the importer crashed (signal 11)"),
// Interrupted_Error when SIGINT or SIGTERM stopped it.
Scene_Contents Inspect_In_Worker(const std::string& path, const Worker_Pool_Settings& settings);

struct Scene_Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// "interrupted by SIGINT" and what became of the work (`detail`).
struct Interrupted_Error : std::runtime_error {
  explicit Interrupted_Error(int number, const std::string& detail = "");
  int signal;
};

// The worker's side: `PROGRAM --worker inspect PATH` or `PROGRAM --worker
// convert PATH ...` as Run_Workers starts it. Returns the exit status. A tool
// that converts calls it first thing in main when its first argument is
// WORKER_OPTION.
int Run_Worker(int argc, char** argv);

}  // namespace Bone_Tools
}  // namespace Vantorix
