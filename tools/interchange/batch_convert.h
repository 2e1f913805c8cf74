// Converting many scene files at once: folders searched for every format
// Assimp reads, files converted on several threads, every input accounted
// for (converted or refused with its reason), nothing stopping at the first
// failure. Outputs follow files/output_files.h: never over an input, written
// whole or not at all.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "interchange/scene_import.h"

namespace Vantorix {
namespace Bone_Tools {

struct Convert_Options {
  Scene_Import_Options import;  // import.animation "all": every clip, one file each
  std::string skin;             // also write the skins here (single file only)
};

struct Convert_Result {
  std::string input;
  std::vector<std::string> written;  // bone (and skin) files
  std::vector<std::string> notes;    // what each written clip holds, and warnings
  std::string refused;               // why nothing was written; empty when converted
};

// The files named, with folders replaced by the files below them that Assimp
// can read, in name order. Throws File_Error for a path that does not exist.
std::vector<std::string> Expand_Inputs(const std::vector<std::string>& paths);

// A name made safe for a file name: letters, digits, '-', '_' and '.' stay,
// anything else becomes '_'.
std::string Safe_File_Name(const std::string& name);

// Converts `input` to `output` (a .bone path). With every clip, the clips go
// to OUTPUT_STEM_NAME.bone. Throws on refusal; returns what was written.
Convert_Result Convert_File(const std::string& input, const std::string& output, const Convert_Options& options);

// Converts every file to OUT_DIR/STEM.bone (STEM_CLIP.bone with every clip),
// on `jobs` threads (0: one per core). `progress` is called after each file
// with the count done, from the converting threads, one call at a time.
std::vector<Convert_Result> Convert_Batch(const std::vector<std::string>& files, const std::string& out_dir,
                                          const Convert_Options& options, unsigned int jobs,
                                          const std::function<void(std::size_t done)>& progress);

}  // namespace Bone_Tools
}  // namespace Vantorix
