// The files below a folder, for the commands that take folders (validate,
// convert): every subfolder is searched, links to folders are not followed,
// and a folder that cannot be read is reported, not a reason to stop.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace Vantorix {
namespace Bone_Tools {

struct Folder_Listing {
  std::vector<std::string> files;  // in name order
  struct Unreadable {
    std::string folder, reason;  // reason: the system's ("Permission denied")
  };
  std::vector<Unreadable> unreadable;
};

// The regular files below `folder` that `wanted` accepts.
Folder_Listing List_Folder(const std::string& folder, const std::function<bool(const std::filesystem::path&)>& wanted);

}  // namespace Bone_Tools
}  // namespace Vantorix
