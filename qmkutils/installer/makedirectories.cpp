#include "qmkutils/installer/internal/makedirectories.h"

#include <sys/stat.h>

#include <cerrno>

#include "qmkutils/installer/internal/bomtext.h"
#include "qmkutils/platform/filesystem.h"

namespace installer {

namespace {

// The path less its last component: "/a/b" gives "/a", "/a" gives "/", and
// a single relative name gives ".".
std::string ParentOf(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  end = path.find_last_not_of('/', slash);
  return end == std::string::npos ? "/" : path.substr(0, end + 1);
}

}  // namespace

bool MakeDirectoryWithParents(const std::string& path) {
  const dp::QMTracer& trace = bom_text::Trace();
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    trace(dp::Debug, "Stat of %s  succeded %x\n", path.c_str(), status.st_mode);
    if (!S_ISDIR(status.st_mode)) {
      trace(dp::Error, "Quill home is not a directory so lets fail\n");
      return false;
    }
    trace(dp::Debug, "Its a directory so we are ok\n");
    return true;
  }
  trace(dp::Debug, "Stat of %s failed try to make parent\n", path.c_str());
  const std::string parent = ParentOf(path);
  // A parent that cannot be stat'ed either ("/" or "." unreadable) ends the
  // climb instead of looping on itself.
  if (parent == path || !MakeDirectoryWithParents(parent)) {
    trace(dp::Error, "Creation of parent failed so we have to fail\n");
    return false;
  }
  // Another process may have made it meanwhile.
  if (dp::FileSystem::Mkdir(path.c_str()) != 0 &&
      !(errno == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
    trace(dp::Error, "Failed to make directory \"%s\".\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace installer
