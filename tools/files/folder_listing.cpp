#include "files/folder_listing.h"

#include <algorithm>

namespace Vantorix {
namespace Bone_Tools {

namespace fs = std::filesystem;

Folder_Listing List_Folder(const std::string& folder, const std::function<bool(const fs::path&)>& wanted) {
  Folder_Listing listing;
  for (std::vector<fs::path> pending{folder}; !pending.empty();) {
    const fs::path dir = pending.back();
    pending.pop_back();
    std::error_code error;
    fs::directory_iterator entry(dir, error), end;
    for (; !error && entry != end; entry.increment(error)) {
      std::error_code type_error;
      if (entry->is_directory(type_error) && !entry->is_symlink(type_error))
        pending.push_back(entry->path());
      else if (entry->is_regular_file(type_error) && wanted(entry->path()))
        listing.files.push_back(entry->path().string());
    }
    if (error) listing.unreadable.push_back({dir.string(), error.message()});
  }
  std::sort(listing.files.begin(), listing.files.end());
  return listing;
}

}  // namespace Bone_Tools
}  // namespace Vantorix
