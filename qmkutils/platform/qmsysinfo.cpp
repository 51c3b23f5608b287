#include "qmkutils/platform/qmsysinfo.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/internal/registry.h"

namespace dp {
namespace {

constexpr std::size_t kHostnameBuffer = 260;
constexpr std::size_t kPasswordBuffer = 16384;
constexpr const char* kOsReleaseFiles[] = {"/etc/os-release", "/usr/lib/os-release"};
constexpr std::string_view kPrettyName = "PRETTY_NAME=";
constexpr const char* kDefaultOsName = "Linux";
constexpr const char* kTessalineKey =
    "CLSID\\{6E1F3C2A-8B4D-4F7E-9A51-3D2C7B8E0F14}\\InprocServer32";
constexpr const char* kTessalineVersionValue = "Version";

// A value of os-release: shell-style, optionally in single or double quotes,
// where a backslash escapes the next character inside double quotes.
std::string Unquote(std::string_view value) {
  if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') ||
      value.back() != value.front()) {
    return std::string(value);
  }
  const char quote = value.front();
  value = value.substr(1, value.size() - 2);
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (quote == '"' && value[i] == '\\' && i + 1 < value.size()) ++i;
    text.push_back(value[i]);
  }
  return text;
}

// Reads up to `count` dot-separated decimal numbers from the start of
// `text`: how many were read, and where the text after the last one starts.
std::pair<int, std::size_t> ReadNumbers(std::string_view text, int* numbers, int count) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* position = begin;
  int read = 0;
  while (read < count) {
    const char* start = position;
    if (read > 0) {
      if (start == end || *start != '.') break;
      ++start;
    }
    const auto [stop, failure] = std::from_chars(start, end, numbers[read]);
    if (failure != std::errc() || stop == start) break;
    position = stop;
    ++read;
  }
  return {read, static_cast<std::size_t>(position - begin)};
}

std::string JoinNumbers(const int* numbers, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text.append(i == 0 ? "" : ".").append(std::to_string(numbers[i]));
  return text;
}

// Opened close-on-exec, like every file the library opens.
bool ReadPrettyName(std::string* name) {
  for (const char* file : kOsReleaseFiles) {
    std::FILE* in = std::fopen(file, "re");
    if (in == nullptr) continue;
    char* buffer = nullptr;
    std::size_t capacity = 0;
    bool found = false;
    for (ssize_t length; !found && (length = ::getline(&buffer, &capacity, in)) >= 0;) {
      std::string_view line(buffer, static_cast<std::size_t>(length));
      if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
      if (line.substr(0, kPrettyName.size()) != kPrettyName) continue;
      *name = Unquote(line.substr(kPrettyName.size()));
      found = true;
    }
    std::free(buffer);
    (void)std::fclose(in);  // read-only: nothing to lose
    return found && !name->empty();
  }
  return false;
}

}  // namespace

bool QmSysInfo::GetHostname(std::string& hostname) {
  char buffer[kHostnameBuffer] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return false;
  hostname = buffer;
  return true;
}

bool QmSysInfo::GetUsername(std::string& username) {
  std::vector<char> buffer(kPasswordBuffer);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
    username = found->pw_name;
    return true;
  }
  std::string fromEnvironment = Environment::Get("USER");
  if (fromEnvironment.empty()) return false;
  username = std::move(fromEnvironment);
  return true;
}

bool QmSysInfo::GetOSName(std::string& name) {
  if (!ReadPrettyName(&name)) name = kDefaultOsName;
  return true;
}

bool QmSysInfo::GetOSVersion(std::string& version) {
  utsname system{};
  if (::uname(&system) != 0) return false;
  const std::string_view release = system.release;
  int numbers[3] = {0, 0, 0};
  const std::size_t position = ReadNumbers(release, numbers, 3).second;
  std::string_view rest = release.substr(position);
  if (!rest.empty() &&
      (rest.front() == '-' || rest.front() == '.' || rest.front() == '+' || rest.front() == '_')) {
    rest.remove_prefix(1);
  }
  version = JoinNumbers(numbers, 3).append(" ").append(rest);
  return true;
}

bool QmSysInfo::GetResolution(int& /*width*/, int& /*height*/, int& /*bitsPerPixel*/) {
  return false;
}

bool QmSysInfo::GetDisplayType(std::string& /*type*/) { return false; }

bool QmSysInfo::IsTessalineInstalled() {
  return registry::KeyExists(registry::Root::kClassesRoot, kTessalineKey);
}

bool QmSysInfo::GetTessalineInfo(std::string& version, std::string& directory) {
  std::string module;
  if (!registry::ReadValue(registry::Root::kClassesRoot, kTessalineKey, "", &module)) return false;
  std::string text;
  int parts[4] = {0, 0, 0, 0};
  if (!registry::ReadValue(registry::Root::kClassesRoot, kTessalineKey, kTessalineVersionValue,
                           &text) ||
      ReadNumbers(text, parts, 4).first != 4) {
    return false;
  }
  const auto separator = module.find_last_of("/\\");
  directory = separator == std::string::npos ? std::string() : module.substr(0, separator);
  version = JoinNumbers(parts, 4);
  return true;
}

}  // namespace dp
