// Checks what the importers accept but hosts must not meet.
//
// The importers check only the structure that they need (header, end signs,
// a root, known bone names). A host also relies on strictly increasing key
// times from 0 to the length, unique names, one tree, finite values and, for
// skins, bone table entries that exist and follow the hierarchy's order. The
// validator parses a file on its own, tolerantly, and reports every finding
// with the byte offset at which it was found. It never throws on file data.
#pragma once

#include <string>
#include <vector>

#include "bone_import/bone_import.h"

namespace Vantorix {
namespace Bone_Tools {

struct Finding {
  unsigned long long offset;  // byte offset in the file
  std::string bone;           // empty when no bone is concerned
  long long key = -1;         // key (or record) number, -1 when none
  std::string message;
};

// Findings for the bytes of a bone file; empty when the file is clean.
std::vector<Finding> Validate_Bone_File(const std::string& bytes);

// Findings for the bytes of a skin file. With a hierarchy, also checks that the
// bone table names the hierarchy's bones in its order.
std::vector<Finding> Validate_Skin_File(const std::string& bytes, const Bone_Import::Hierarchy* hierarchy);

// "FILE: offset N: bone B: key K: MESSAGE", leaving out what is not known.
std::string Format_Finding(const std::string& file, const Finding& finding);

}  // namespace Bone_Tools
}  // namespace Vantorix
