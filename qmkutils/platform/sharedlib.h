// Dynamic libraries loaded at run time and the symbols they export.
//
// `dp::SharedLib` loads a library with dlopen(RTLD_NOW | RTLD_LOCAL): every
// undefined symbol is bound at load, and the library's own symbols do not
// serve libraries loaded later. A name with a '/' is a path; a bare name is
// searched for as dlopen does (LD_LIBRARY_PATH, the caller's run path, the
// system's library directories).
//
// Linux differs: a library's dependencies are found through its own run path
// (plug-ins carry $ORIGIN in theirs), not by searching the directory the
// library was loaded from. `GetProcAddress` searches the main program and
// the libraries loaded with it (the global scope); a symbol of the main
// program is found only when the program exports it (-rdynamic).
//
// A failed load or lookup returns false or null and traces the dynamic
// loader's text (key "dp", sub-key "SharedLib"). Lookups on one object may
// run on any number of threads at once; `Reset` must not run concurrently
// with other calls on the same object.
#ifndef QMKUTILS_PLATFORM_SHAREDLIB_H_
#define QMKUTILS_PLATFORM_SHAREDLIB_H_

#include <memory>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT SharedLib {
 public:
  SharedLib() = default;
  // A null or empty name loads nothing.
  explicit SharedLib(const char* name);
  ~SharedLib();
  SharedLib(const SharedLib&) = delete;
  SharedLib& operator=(const SharedLib&) = delete;

  bool IsGood() const { return module_ != nullptr; }
  // The name the library was loaded with, or null.
  const char* GetName() const { return name_.get(); }
  // The symbol's address in the loaded library, or null.
  void* GetSymbolAddress(const char* symbol) const;
  static void* GetProcAddress(const char* symbol);

  // Loads `name` first, then unloads the library held before (also when
  // `name` failed to load). True when `name` loaded.
  bool Reset(const char* name);

 private:
  std::unique_ptr<char[]> name_;
  void* module_ = nullptr;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_SHAREDLIB_H_
