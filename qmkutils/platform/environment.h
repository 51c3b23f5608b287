// Reading and writing the process's environment variables.
//
// `dp::Environment` reads and sets variables as UTF-8 byte strings or as wide
// strings of UTF-16 code units (one unit per `wchar_t`, surrogate pairs as two
// elements); text that is invalid in its encoding converts to U+FFFD.
//
// Thread safety: the C library's getenv/setenv may not run concurrently with
// each other. Every access the library makes to the environment goes through
// these operations, which hold one process-wide lock and copy values out
// under it, so any number of threads may call them at once. Code that calls
// getenv/setenv directly bypasses the lock.
//
// Fork: the lock is held across fork(), so a child forked while other threads
// use the environment finds it free. Not async-signal-safe.
//
// An unset variable reads as an empty string, and so does a name that no
// variable can have (one containing '=' or a NUL). Putting an empty value
// removes the variable. An empty or null name throws std::invalid_argument;
// a name or value the C library cannot store (a name containing '=', a NUL
// inside either) throws std::runtime_error, as a failed update does.
#ifndef QMKUTILS_PLATFORM_ENVIRONMENT_H_
#define QMKUTILS_PLATFORM_ENVIRONMENT_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT Environment {
 public:
  Environment() = delete;

  static std::wstring Get(const std::wstring& name);
  static std::string Get(const char* name);
  static std::string Get(const std::string& name);

  // A null `value` counts as empty and removes the variable.
  static void Put(const std::wstring& name, const std::wstring& value);
  static void Put(const char* name, const char* value);
  static void Put(const std::string& name, const std::string& value);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_ENVIRONMENT_H_
