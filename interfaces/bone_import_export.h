// Symbol export macro shared by the library and its interface layers.
#pragma once

#if defined(BONE_IMPORT_STATIC)
#define BONE_IMPORT_API
#elif defined(_WIN32)
#if defined(BONE_IMPORT_BUILDING)
#define BONE_IMPORT_API __declspec(dllexport)
#else
#define BONE_IMPORT_API __declspec(dllimport)
#endif
#else
#define BONE_IMPORT_API __attribute__((visibility("default")))
#endif
