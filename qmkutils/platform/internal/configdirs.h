// The XDG configuration directories. Internal to the library.
//
// Relative and empty entries are ignored, as the XDG base directory rules
// ask. Values are read afresh on every call.
#ifndef QMKUTILS_PLATFORM_INTERNAL_CONFIGDIRS_H_
#define QMKUTILS_PLATFORM_INTERNAL_CONFIGDIRS_H_

#include <string>
#include <vector>

namespace dp::configdirs {

// $XDG_CONFIG_HOME when absolute, else $HOME/.config; empty when $HOME is
// unset too.
std::string UserDir();

// The entries of $XDG_CONFIG_DIRS (colon-separated; unset or empty:
// /etc/xdg), in order.
std::vector<std::string> SystemDirs();

}  // namespace dp::configdirs

#endif  // QMKUTILS_PLATFORM_INTERNAL_CONFIGDIRS_H_
