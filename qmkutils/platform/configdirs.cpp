#include "qmkutils/platform/internal/configdirs.h"

#include <string_view>

#include "qmkutils/platform/environment.h"

namespace dp::configdirs {
namespace {

constexpr std::string_view kDefaultSystemDirs = "/etc/xdg";

bool IsAbsolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

}  // namespace

std::string UserDir() {
  std::string dir = Environment::Get("XDG_CONFIG_HOME");
  if (IsAbsolute(dir)) return dir;
  const std::string home = Environment::Get("HOME");
  return home.empty() ? std::string() : home + "/.config";
}

std::vector<std::string> SystemDirs() {
  std::string list = Environment::Get("XDG_CONFIG_DIRS");
  if (list.empty()) list = kDefaultSystemDirs;
  std::vector<std::string> dirs;
  std::string_view rest = list;
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (IsAbsolute(dir)) dirs.emplace_back(dir);
  }
  return dirs;
}

}  // namespace dp::configdirs
