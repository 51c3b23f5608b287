#include "qmkutils/platform/internal/registry.h"

#include <cstddef>

#include "qmkutils/platform/internal/asciitext.h"
#include "qmkutils/platform/internal/configdirs.h"
#include "qmkutils/platform/internal/filesystem.h"

namespace dp::registry {
namespace {

constexpr std::size_t kMaxFileSize = std::size_t{1} << 20;
constexpr std::string_view kStoreFile = "/zembra/registry.ini";
constexpr std::string_view kClassesSection = "Classes\\";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDefaultValueName = "@";

using ascii::EqualsIgnoringCase;

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string SectionOf(Root root, std::string_view key) {
  std::string section;
  if (root == Root::kClassesRoot) section = kClassesSection;
  return section.append(key);
}

// Calls visit(name, data) for every value line of the sections named
// `section`. The default value is reported with an empty name. True when
// such a section exists.
template <typename Visit>
bool ForEachValue(std::string_view text, std::string_view section, Visit visit) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  bool inSection = false;
  bool seen = false;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    const bool hasNul = line.find('\0') != std::string_view::npos;
    if (line.front() == '[') {
      inSection = !hasNul && line.size() >= 2 && line.back() == ']' &&
                  EqualsIgnoringCase(Trim(line.substr(1, line.size() - 2)), section);
      seen = seen || inSection;
      continue;
    }
    const auto equals = line.find('=');
    if (!inSection || hasNul || equals == std::string_view::npos) continue;
    const std::string_view name = Trim(line.substr(0, equals));
    if (name.empty()) continue;
    visit(name == kDefaultValueName ? std::string_view() : name, Trim(line.substr(equals + 1)));
  }
  return seen;
}

}  // namespace

bool ReadValueFromText(std::string_view text, std::string_view key, std::string_view name,
                       std::string* data) {
  if (name == kDefaultValueName) name = {};
  bool found = false;
  std::string_view last;
  ForEachValue(text, key, [&](std::string_view valueName, std::string_view value) {
    if (!EqualsIgnoringCase(valueName, name)) return;
    found = true;
    last = value;
  });
  if (found) data->assign(last);
  return found;
}

StoreLocation LocateStore(Root root) {
  StoreLocation location;
  if (root == Root::kCurrentUser) {
    const std::string dir = configdirs::UserDir();
    if (!dir.empty()) location.candidates.push_back(dir + std::string(kStoreFile));
  } else {
    for (const std::string& dir : configdirs::SystemDirs()) {
      location.candidates.push_back(dir + std::string(kStoreFile));
    }
  }
  for (const std::string& candidate : location.candidates) {
    if (fsutil::IsRegularFile(candidate)) {
      location.file = candidate;
      break;
    }
  }
  return location;
}

bool ReadStore(const std::string& file, std::string* text) {
  return !file.empty() && fsutil::ReadSmallFile(file, kMaxFileSize, text);
}

bool ReadValue(Root root, std::string_view key, std::string_view name, std::string* data) {
  std::string text;
  return ReadStore(LocateStore(root).file, &text) &&
         ReadValueFromText(text, SectionOf(root, key), name, data);
}

bool ReadValues(Root root, std::string_view key,
                std::vector<std::pair<std::string, std::string>>* values) {
  std::string text;
  return ReadStore(LocateStore(root).file, &text) &&
         ForEachValue(text, SectionOf(root, key),
                      [&](std::string_view name, std::string_view data) {
                        values->emplace_back(name, data);
                      });
}

bool KeyExists(Root root, std::string_view key) {
  std::string text;
  return ReadStore(LocateStore(root).file, &text) &&
         ForEachValue(text, SectionOf(root, key), [](std::string_view, std::string_view) {});
}

}  // namespace dp::registry
