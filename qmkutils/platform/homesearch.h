// How the installation home is found, step by step.
//
// `dp::SearchHome` runs the lookup of `dp::QmInfo::GetHomePath` and reports
// what it looked at: the environment variable and its value, then, when that
// is empty, the registry store files of the current user and the local
// machine (where each was looked for and which one was read) and the keys
// tried. It is what `GetHomePath` itself runs, so the report and the getter
// never disagree. Diagnostic tools print it when a program cannot find its
// installation.
//
// The registry store is a pair of INI files on Linux (there is no registry):
// `$XDG_CONFIG_HOME/zembra/registry.ini` for the current user, the first
// `zembra/registry.ini` of `$XDG_CONFIG_DIRS` for the local machine.
//
// Thread-safe; reads the environment through `dp::Environment`. Never throws
// except std::bad_alloc.
#ifndef QMKUTILS_PLATFORM_HOMESEARCH_H_
#define QMKUTILS_PLATFORM_HOMESEARCH_H_

#include <string>
#include <vector>

#include "qmkutils/platform/export.h"

namespace dp {

struct HomeSearchStore {
  std::vector<std::string> candidates;  // the files looked for, in order
  std::string file;                     // the file read; empty when there was none
};

struct HomeSearch {
  std::string variable;       // the variable read first
  std::string variableValue;  // its value; empty when unset
  // Filled only when the variable is empty.
  HomeSearchStore currentUser;
  HomeSearchStore localMachine;
  std::vector<std::string> keys;  // the keys tried, each for the current user first
  std::string valueName;          // the value read in each key
  std::string foundKey;           // the key that gave the home; empty otherwise
  bool foundForCurrentUser = false;
  bool found = false;
  std::string home;  // as GetHomePath writes it; empty when not found
};

// An empty `product` means "Quillmark Station"; an empty `envVar` means
// "QUILL_HOME".
QMK_EXPORT HomeSearch SearchHome(const std::string& product, const std::string& envVar);

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_HOMESEARCH_H_
