#include "qmkutils/platform/qminfo.h"

#include <unistd.h>

#include <algorithm>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/internal/registry.h"

namespace dp {
namespace {

constexpr const char* kHomeVariable = "QUILL_HOME";
constexpr const char* kProductKeyPrefix = "Software\\Zembra\\";
constexpr const char* kStationKey = "Software\\Zembra\\Quillmark Station";
constexpr const char* kPocketKey = "Software\\Zembra\\Quillmark Pocket";
constexpr const char* kCourierKey = "Software\\Zembra\\Quillmark Courier";
constexpr const char* kInstallationPathValue = "InstallationPath";
constexpr const char* kTraceStyleSheet = "/qmtrace/qmtrace.xsl";
constexpr const char* kFileUrlPrefix = "file:///";
// An absolute path's own leading '/' serves as the URL's third slash.
constexpr const char* kFileUrlPrefixOfAbsolutePath = "file://";

bool ReadInstallationPath(const std::string& product, std::string* path) {
  const std::string keys[] = {product.empty() ? kStationKey : kProductKeyPrefix + product,
                              kPocketKey, kCourierKey};
  for (const std::string& key : keys) {
    for (const auto root : {registry::Root::kCurrentUser, registry::Root::kLocalMachine}) {
      if (registry::ReadValue(root, key, kInstallationPathValue, path) && !path->empty()) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool QmInfo::GetHomePath(std::string* out, const std::string& product, const std::string& envVar) {
  if (out == nullptr) return false;
  std::string home = Environment::Get(envVar.empty() ? kHomeVariable : envVar);
  if (home.empty() && !ReadInstallationPath(product, &home)) return false;
  std::replace(home.begin(), home.end(), '\\', '/');
  if (!home.empty() && home.back() == '/') home.pop_back();
  *out = std::move(home);
  return true;
}

bool QmInfo::GetQmTraceXslFile(std::string* out) {
  std::string home;
  if (out == nullptr || !GetHomePath(&home, std::string(), std::string())) return false;
  const std::string path = home + kTraceStyleSheet;
  *out = (path.front() == '/' ? kFileUrlPrefixOfAbsolutePath : kFileUrlPrefix) + path;
  return true;
}

int QmInfo::GetNumberOfProcessors() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1 : static_cast<int>(online);
}

}  // namespace dp
