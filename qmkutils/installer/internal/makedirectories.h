// Creating a directory together with its missing parents, as the installer
// does for the installation home and for every archive entry's folder.
#ifndef QMKUTILS_INSTALLER_INTERNAL_MAKEDIRECTORIES_H_
#define QMKUTILS_INSTALLER_INTERNAL_MAKEDIRECTORIES_H_

#include <string>

namespace installer {

// True when `path` is (or now is) a directory. An existing path that is not
// a directory fails; so does one whose parent cannot be made. Each step is
// traced. Symbolic links on the way are followed.
bool MakeDirectoryWithParents(const std::string& path);

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_INTERNAL_MAKEDIRECTORIES_H_
