#include "qmkutils/fileio/internal/zipextract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <set>
#include <string_view>
#include <vector>

#include "qmkutils/platform/filesystem.h"

namespace du::zip_extract {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (const char c : name) {
    if (IsSeparator(c)) {
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty() && part != ".") parts.push_back(part);
  return parts;
}

// ASCII case folded, with "\\" as "/", as entries are looked up.
std::string FoldCase(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  return name;
}

std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text.append(part);
  return text;
}

// False with `error` set when `path` is a symbolic link or cannot be made
// a folder.
bool EnsureFolder(const std::string& path, const std::string& entry, std::string* error) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) {
      *error = Cat({"entry \"", entry, "\" passes through the symbolic link \"", path, "\""});
      return false;
    }
    if (S_ISDIR(status.st_mode)) return true;
  } else if (dp::FileSystem::Mkdir(path.c_str()) == 0 || errno == EEXIST) {
    return true;
  }
  *error = Cat({"entry \"", entry, "\": cannot create the folder \"", path, "\""});
  return false;
}

}  // namespace

const char* UnsafeNameReason(const std::string& name) {
  if (name.empty()) return "empty name";
  if (IsSeparator(name[0])) return "absolute name";
  if (name.size() >= 2 && name[1] == ':') return "name with a drive";
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (std::string_view(name).substr(start, end - start) == "..")
      return "name climbs out with \"..\"";
    start = end + 1;
  }
  return nullptr;
}

bool ExtractAll(ZipReader& reader, const std::string& destination, std::string* error) {
  std::vector<std::string> names;
  if (!reader.ListContents(names)) {
    *error = "not a readable zip archive";
    return false;
  }
  // Entries are found by name without regard to case, so two names that
  // differ only in case would both give the first one's bytes.
  std::set<std::string> folded;
  for (const std::string& name : names) {
    if (!folded.insert(FoldCase(name)).second) {
      *error = Cat({"refused entry \"", name, "\": another entry differs from it only in case"});
      return false;
    }
  }
  for (const std::string& name : names) {
    if (const char* reason = UnsafeNameReason(name)) {
      *error = Cat({"refused entry \"", name, "\": ", reason});
      return false;
    }
    const std::vector<std::string> parts = Components(name);
    if (parts.empty()) continue;
    const bool isFolder = IsSeparator(name.back());
    std::string path = destination;
    const std::size_t folders = isFolder ? parts.size() : parts.size() - 1;
    for (std::size_t i = 0; i < folders; ++i) {
      path += '/';
      path += parts[i];
      if (!EnsureFolder(path, name, error)) return false;
    }
    if (isFolder) continue;
    path += '/';
    path += parts.back();
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      *error = Cat({"entry \"", name, "\" would write through the symbolic link \"", path, "\""});
      return false;
    }
    // A FIFO or device there would block the extraction or write elsewhere.
    if (lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
      *error =
          Cat({"entry \"", name, "\" would replace \"", path, "\", which is not a regular file"});
      return false;
    }
    // An existing file is replaced, not rewritten: it may be a hard link
    // to a file outside the destination.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      *error = Cat({"entry \"", name, "\" cannot replace \"", path, "\""});
      return false;
    }
    if (!reader.Extract(name, path)) {
      *error = Cat({"entry \"", name, "\" could not be extracted to \"", path, "\""});
      return false;
    }
  }
  return true;
}

}  // namespace du::zip_extract
