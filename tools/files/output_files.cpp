#include "files/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace Vantorix {
namespace Bone_Tools {

namespace {

std::string Reason(int error) { return std::strerror(error); }

std::string Folder_Of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Name_Of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool Ends_With_Ignoring_Case(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && std::equal(end.rbegin(), end.rend(), text.rbegin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

void Check_Readable(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) throw File_Error("cannot read " + path + ": " + Reason(errno));
  if (S_ISDIR(status.st_mode)) throw File_Error("cannot read " + path + ": " + Reason(EISDIR));
  if (access(path.c_str(), R_OK) != 0) throw File_Error("cannot read " + path + ": " + Reason(errno));
}

bool Output_Files::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && name == other.name;
}

Output_Files::Identity Output_Files::Identify(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0) return Identity{status.st_dev, status.st_ino, ""};
  const std::string folder = Folder_Of(path);
  if (stat(folder.c_str(), &status) != 0) return Identity{0, 0, path};  // checked and refused later
  return Identity{status.st_dev, status.st_ino, Name_Of(path)};
}

Output_Files::~Output_Files() {
  for (const Planned& output : outputs_)
    if (!output.temporary.empty()) std::remove(output.temporary.c_str());
}

void Output_Files::Input(const std::string& path) {
  Check_Readable(path);
  inputs_.emplace_back(path, Identify(path));
}

void Output_Files::Output(const std::string& path, std::initializer_list<const char*> extensions) {
  if (std::none_of(extensions.begin(), extensions.end(),
                   [&](const char* extension) { return Ends_With_Ignoring_Case(path, extension); })) {
    std::string list;
    for (const char* extension : extensions) list += (list.empty() ? "" : " or ") + std::string(extension);
    throw Usage_Error("cannot write " + path + ": this command writes " + list + " files");
  }
  const Identity identity = Identify(path);
  for (const auto& input : inputs_)
    if (input.second == identity)
      throw Usage_Error("cannot write " + path + ": it is the input " + input.first + "; choose another output");
  for (const Planned& output : outputs_)
    if (output.identity == identity)
      throw Usage_Error("cannot write " + path + ": it is also the output " + output.path);

  const std::string folder = Folder_Of(path);
  struct stat status;
  if (stat(folder.c_str(), &status) != 0) throw File_Error("cannot write " + path + ": " + Reason(errno));
  if (!S_ISDIR(status.st_mode)) throw File_Error("cannot write " + path + ": " + Reason(ENOTDIR));
  if (access(folder.c_str(), W_OK | X_OK) != 0) throw File_Error("cannot write " + path + ": " + Reason(errno));
  if (stat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) throw File_Error("cannot write " + path + ": " + Reason(EISDIR));
    // Like cp without -f, a read-only target is left alone; root too.
    if ((status.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) throw File_Error(path + " is read-only");
  }
  outputs_.push_back(Planned{path, "", identity});
}

Output_Files::Planned& Output_Files::Find(const std::string& path) {
  for (Planned& output : outputs_)
    if (output.path == path) return output;
  throw std::logic_error("output " + path + " was not declared");
}

void Output_Files::Set(const std::string& path, const std::string& bytes) {
  Planned& output = Find(path);
  std::string name = Folder_Of(path) + "/." + Name_Of(path) + ".XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) throw File_Error("cannot write " + path + ": " + Reason(errno));
  if (!output.temporary.empty()) std::remove(output.temporary.c_str());
  output.temporary = name;

  // The permission bits the file will have: a replaced file's own, or what a
  // new file gets under the process's umask.
  struct stat status;
  mode_t mode;
  if (stat(path.c_str(), &status) == 0) {
    mode = status.st_mode & 07777;
  } else {
    // Asking for the umask sets it: ask once, before any other thread can see
    // the moment it is 0 (batches write from several threads).
    static const mode_t mask = [] {
      const mode_t current = umask(0);
      umask(current);
      return current;
    }();
    mode = 0666 & ~mask;
  }
  std::size_t written = 0;
  int error = 0;
  while (written < bytes.size() && error == 0) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) written += std::size_t(n);
  }
  if (error == 0 && fchmod(fd, mode) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) throw File_Error("cannot write " + path + ": " + Reason(error));
}

void Output_Files::Drop(const std::string& path) {
  Planned& output = Find(path);
  if (!output.temporary.empty()) std::remove(output.temporary.c_str());
  outputs_.erase(outputs_.begin() + (&output - outputs_.data()));
}

void Output_Files::Commit() {
  for (const Planned& output : outputs_)
    if (output.temporary.empty()) throw std::logic_error("output " + output.path + " was never written");
  for (Planned& output : outputs_) {
    if (std::rename(output.temporary.c_str(), output.path.c_str()) != 0)
      throw File_Error("cannot write " + output.path + ": " + Reason(errno));
    output.temporary.clear();
  }
}

}  // namespace Bone_Tools
}  // namespace Vantorix
