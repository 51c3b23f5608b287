#include "qmkutils/fileio/findfile.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

namespace du {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The position just after the last separator (either kind) of `path`.
std::size_t FilePartStart(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? 0 : separator + 1;
}

}  // namespace

bool FindFile::MatchesWildcard(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*") return true;
  // Greedy matching with one back-tracking point: the last '*' seen. This is
  // linear in practice and never recurses, whatever the pattern.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starPattern = std::string::npos;
  std::size_t starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starPattern = p++;
      starName = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || LowerAscii(pattern[p]) == LowerAscii(name[n]))) {
      ++p;
      ++n;
    } else if (starPattern != std::string::npos) {
      p = starPattern + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

const dp::FileSpec& FindFile::FindFirstFileName(const du::Symbol& searchPath) {
  return FindFirstFileName(std::string(searchPath.view()));
}

const dp::FileSpec& FindFile::FindFirstFileName(const char* searchPath) {
  return FindFirstFileName(std::string(searchPath == nullptr ? "" : searchPath));
}

const dp::FileSpec& FindFile::FindFirstFileName(const std::string& searchPath) {
  searchOpen_ = false;
  matches_.clear();
  next_ = 0;
  search_ = dp::FileSpec(searchPath);
  result_.clear();
  foundName_.clear();

  const std::size_t fileStart = FilePartStart(searchPath);
  const std::string pattern = searchPath.substr(fileStart);
  const std::string directory = fileStart == 0 ? "." : searchPath.substr(0, fileStart);
  if (pattern.empty()) return result_;

  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) return result_;
  // readdir is safe on a stream that no other thread reads.
  while (const dirent* entry = readdir(dir.get())) {  // NOLINT(concurrency-mt-unsafe)
    const std::string name = entry->d_name;
    if (MatchesWildcard(pattern, name)) matches_.push_back(name);
  }
  std::sort(matches_.begin(), matches_.end());
  searchOpen_ = true;
  return GetNextFileName();
}

const dp::FileSpec& FindFile::GetNextFileName() {
  if (!searchOpen_) return result_;
  result_.clear();
  foundName_.clear();
  if (next_ < matches_.size()) SetResult(matches_[next_++]);
  return result_;
}

void FindFile::SetResult(const std::string& name) {
  foundName_ = name;
  result_ = search_;
  result_.SetFile(name);
}

}  // namespace du
