// Kernel layer: error reporting.
//
// Every failed check of the library ends in Kernel::Throw_Error, which throws
// Kernel::Exception and never returns. A check with a message composes its
// text first:
//
//   Kernel::Inserter ins = Kernel::Error::Tmp_Str_Inserter();
//   ins << "Can't open file " << file_name << '\0';
//   Kernel::Throw_Error("!file.fail()", Kernel::Error::Tmp_Str(), "bone_import/bones", __LINE__);
//
// A plain check passes no message: Throw_Error(nullptr, "condition", source, line).
#pragma once

#include <exception>
#include <ostream>
#include <string>

#include "bone_import_export.h"

namespace Kernel {

// Writes message pieces into the calling thread's message buffer.
class BONE_IMPORT_API Inserter {
 public:
  std::ostream* stream;

  template <class T>
  Inserter& operator<<(const T& piece) {
    *stream << piece;
    return *this;
  }
};

class BONE_IMPORT_API Error {
 public:
  // Empties the calling thread's message buffer and returns an inserter on it.
  static Inserter Tmp_Str_Inserter();
  // The text composed through the most recent inserter of this thread. Valid
  // until the next Tmp_Str_Inserter() on the same thread.
  static char* Tmp_Str();
};

// What every failure of the library throws. It owns copies of all its texts,
// so it stays valid after the message buffer is reused.
class BONE_IMPORT_API Exception : public std::exception {
 public:
  Exception(const char* condition, const char* message, const char* file, int line);

  // The source text of the condition that failed, e.g. "str == END_SIGN".
  const char* Condition() const noexcept { return condition_.c_str(); }
  // The composed message; an empty string for a plain check.
  const char* Message() const noexcept { return message_.c_str(); }
  // The source path of the check, e.g. "bone_import/hier".
  const char* File() const noexcept { return file_.c_str(); }
  int Line() const noexcept { return line_; }
  // One line with all four: "MESSAGE (CONDITION, FILE:LINE)"; a plain check
  // reads "check failed (CONDITION, FILE:LINE)".
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string condition_;
  std::string message_;
  std::string file_;
  int line_;
  std::string what_;
};

// Raises a Kernel::Exception. For a check with message: (condition, message,
// source, line); for a plain check: (nullptr, condition, source, line).
[[noreturn]] BONE_IMPORT_API void Throw_Error(const char* condition_or_null, const char* message_or_condition,
                                              const char* source, int line);

}  // namespace Kernel
