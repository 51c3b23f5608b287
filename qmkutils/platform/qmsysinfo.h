// Facts about the machine and about the optional sibling product Tessaline.
//
// `dp::QmSysInfo` answers with static getters that return false when the
// answer cannot be found and leave their outputs untouched then. They never
// throw (std::bad_alloc aside) and are thread-safe.
//
// On Linux:
// - the user name is the effective user's account name (getpwuid_r), else
//   $USER;
// - the OS name is PRETTY_NAME of /etc/os-release (of /usr/lib/os-release
//   when the first is missing), unquoted, else "Linux";
// - the OS version is "%d.%d.%d %s" of the kernel release: its first three
//   numbers (missing ones read as 0), then what follows them in the release
//   with its leading separator dropped, the distribution's build mark, which
//   stands where the service-pack text stood: "6.1.0-18-amd64" gives
//   "6.1.0 18-amd64", "6.5.0" gives "6.5.0 " (the blank stays, as with no
//   service pack);
// - there is no display dependency: GetResolution and GetDisplayType return
//   false.
//
// Tessaline registers its server module below the registry store's classes
// root, in the local-machine file, under the section
// `[Classes\CLSID\{6E1F3C2A-8B4D-4F7E-9A51-3D2C7B8E0F14}\InprocServer32]`
// (its class id), the module's path as the default value `@=`. An ELF module
// carries no version resource, so its version is the value `Version` of the
// same section, four numbers joined by dots.
#ifndef QMKUTILS_PLATFORM_QMSYSINFO_H_
#define QMKUTILS_PLATFORM_QMSYSINFO_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT QmSysInfo {
 public:
  QmSysInfo() = delete;

  static bool GetHostname(std::string& hostname);
  static bool GetUsername(std::string& username);
  static bool GetOSName(std::string& name);
  static bool GetOSVersion(std::string& version);
  static bool GetResolution(int& width, int& height, int& bitsPerPixel);
  static bool GetDisplayType(std::string& type);

  // The section of Tessaline's class exists.
  static bool IsTessalineInstalled();
  // `directory` is the module's path up to its last separator ('/' or '\',
  // not included); `version` is "%d.%d.%d.%d" of the `Version` value
  // (leading zeros and trailing text dropped). Both are set, and the result
  // is true, only when the path is read and the version holds four numbers.
  static bool GetTessalineInfo(std::string& version, std::string& directory);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_QMSYSINFO_H_
