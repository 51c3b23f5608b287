// The registry store: read-only, text-valued keys kept in INI files.
//
// Where the files are:
//   current user   $XDG_CONFIG_HOME/zembra/registry.ini ($XDG_CONFIG_HOME
//                  unset, empty or relative: $HOME/.config).
//   local machine  the first `zembra/registry.ini` that is a regular file in
//                  the directories of $XDG_CONFIG_DIRS (colon-separated;
//                  unset or empty: /etc/xdg; empty and relative entries are
//                  ignored). Later directories are not consulted, even when
//                  the file found holds nothing usable.
//   classes root   the local-machine file; key K is the section `Classes\K`.
//
// File format: a section header names a key path as written,
// `[Software\Zembra\Quillmark Station]`; below it, `Name=Value` lines, where
// `@=Value` is the key's default value. Lines whose first non-blank character
// is ';' or '#' are comments. Blanks and tabs around section names, value
// names and values are dropped, as is one trailing CR per line and a UTF-8
// byte order mark. Key and value names compare without regard to ASCII case.
// A name given twice takes its last value; a key given in several sections
// holds the values of all of them.
//
// Malformed input is tolerated, never fatal: a line without '=', with an
// empty name or with a NUL byte is skipped; an unterminated section header
// ends the current section, so the lines after it belong to no key. Files
// over 1 MiB and anything that is not a regular file are ignored (read as
// absent). The file is read afresh on every query: there is no cache.
//
// Internal to the library: not installed, not exported.
#ifndef QMKUTILS_PLATFORM_INTERNAL_REGISTRY_H_
#define QMKUTILS_PLATFORM_INTERNAL_REGISTRY_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dp::registry {

enum class Root { kCurrentUser, kLocalMachine, kClassesRoot };

// Where the store file of a root is looked for and which one is used.
struct StoreLocation {
  std::vector<std::string> candidates;  // in order; the current user has one at most
  std::string file;                     // the first that is a regular file; empty: none
};
StoreLocation LocateStore(Root root);

// Reads a whole store file; false when it is absent, not a regular file or
// too large.
bool ReadStore(const std::string& file, std::string* text);

// Reads the value `name` of `key`; an empty name or "@" reads the default
// value. False, with `data` untouched, when the file, key or value is absent.
bool ReadValue(Root root, std::string_view key, std::string_view name, std::string* data);

// Appends every value of `key` as (name, data) in file order: the default
// value with an empty name, a name given twice each time. False when the
// file or key is absent.
bool ReadValues(Root root, std::string_view key,
                std::vector<std::pair<std::string, std::string>>* values);

// True when a section names `key`, even one without values.
bool KeyExists(Root root, std::string_view key);

// The same lookup in the text of a store file, where `key` is the section
// name as written there (a classes-root key with its `Classes\` prefix).
// Takes any bytes; a value found is always a part of `text`.
bool ReadValueFromText(std::string_view text, std::string_view key, std::string_view name,
                       std::string* data);

}  // namespace dp::registry

#endif  // QMKUTILS_PLATFORM_INTERNAL_REGISTRY_H_
