// Private: the two forms of a failed check, both ending in Kernel::Throw_Error.
#pragma once
#ifndef BONE_IMPORT_BUILDING
#error "bone_import/check.h is private to the library; include bone_import/bone_import.h"
#endif

#include "kernel.h"

// A check with message: `pieces` is a chain of operator<< operands, e.g.
//   BONE_IMPORT_CHECK(!file.fail(), "!file.fail()", SOURCE, "Can't open file " << file_name);
#define BONE_IMPORT_CHECK(condition, condition_text, source, pieces)                   \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      Kernel::Inserter bone_import_inserter = Kernel::Error::Tmp_Str_Inserter();       \
      bone_import_inserter << pieces << '\0';                                          \
      Kernel::Throw_Error(condition_text, Kernel::Error::Tmp_Str(), source, __LINE__); \
    }                                                                                  \
  } while (0)

// A plain check: no message, only the condition text.
#define BONE_IMPORT_PLAIN_CHECK(condition, condition_text, source)                    \
  do {                                                                                \
    if (!(condition)) Kernel::Throw_Error(nullptr, condition_text, source, __LINE__); \
  } while (0)
