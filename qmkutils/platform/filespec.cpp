#include "qmkutils/platform/filespec.h"

#include <stdexcept>
#include <string_view>
#include <utility>

namespace dp {
namespace {

bool IsSeparator(char c) { return c == FileSpec::DIR_SEP_CHAR || c == FileSpec::ALT_DIR_SEP_CHAR; }

// Only ASCII letters name drives, whatever the locale.
bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool StartsWithDrive(std::string_view path, PathStyle style) {
  return style == PathStyle::Windows && path.size() >= 2 && IsDriveLetter(path[0]) &&
         path[1] == FileSpec::DRIVE_SEP_CHAR;
}

// A path taken apart at its separators, before the last name is given a role.
struct SplitPath {
  std::string drive;
  bool absolute = false;
  std::list<std::string> dirs;  // every name that a separator follows
  std::string last;             // the text after the last separator
};

SplitPath Split(std::string_view path, PathStyle style) {
  SplitPath split;
  if (StartsWithDrive(path, style)) {
    split.drive.assign(1, path.front());
    path.remove_prefix(2);
  }
  if (!path.empty() && IsSeparator(path.front())) {
    split.absolute = true;
    path.remove_prefix(1);
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) {
      split.dirs.emplace_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  split.last.assign(path.substr(start));
  return split;
}

void SplitFileName(std::string_view name, std::string* baseName, std::string* extension) {
  const std::size_t dot = name.find(FileSpec::EXT_SEP_CHAR);
  if (dot == std::string_view::npos) {
    baseName->assign(name);
    extension->clear();
  } else {
    baseName->assign(name.substr(0, dot));
    extension->assign(name.substr(dot + 1));
  }
}

bool StartsAbsolute(std::string_view path, PathStyle style) {
  return (!path.empty() && IsSeparator(path.front())) || StartsWithDrive(path, style);
}

// Reaching past either end of the list is a caller's bug, never a crash.
void RequireDirs(const std::list<std::string>& dirs, const char* operation) {
  if (dirs.empty()) {
    throw std::out_of_range(std::string("dp::FileSpec::") + operation +
                            " on an empty directory list");
  }
}

bool CopyIfNotEmpty(const std::string& value, std::string* out) {
  if (out == nullptr || value.empty()) return false;
  *out = value;
  return true;
}

}  // namespace

FileSpec::FileSpec(PathStyle style) : style_(style) {}

FileSpec::FileSpec(const char* path, PathStyle style) : style_(style) {
  if (path != nullptr) SetFileSpec(path);
}

FileSpec::FileSpec(const std::string& path, PathStyle style) : style_(style) { SetFileSpec(path); }

FileSpec& FileSpec::operator=(const char* path) {
  if (path != nullptr) SetFileSpec(path);
  return *this;
}

FileSpec& FileSpec::operator=(const std::string& path) {
  SetFileSpec(path);
  return *this;
}

bool FileSpec::SetFileSpec(const std::string& path) {
  if (path.empty()) return false;
  SplitPath split = Split(path, style_);
  drive_ = std::move(split.drive);
  absolute_ = split.absolute;
  dirs_ = std::move(split.dirs);
  SplitFileName(split.last, &baseName_, &extension_);
  return true;
}

bool FileSpec::SetDirPath(const std::string& path) {
  if (path.empty()) return false;
  SplitPath split = Split(path, style_);
  if (!split.last.empty()) split.dirs.push_back(std::move(split.last));
  drive_ = std::move(split.drive);
  absolute_ = split.absolute;
  dirs_ = std::move(split.dirs);
  return true;
}

bool FileSpec::SetLocation(const std::string& path) { return SetDirPath(path); }

bool FileSpec::SetFile(const std::string& path) {
  if (path.empty()) return false;
  SplitFileName(Split(path, style_).last, &baseName_, &extension_);
  return true;
}

char FileSpec::Separator() const {
  return style_ == PathStyle::Windows ? ALT_DIR_SEP_CHAR : DIR_SEP_CHAR;
}

// The location text of a root already ends in its separator.
bool FileSpec::LocationIsRoot() const { return absolute_ && dirs_.empty(); }

std::string FileSpec::DirectoryText() const {
  const char separator = Separator();
  std::string text;
  if (absolute_) text += separator;
  for (auto dir = dirs_.begin(); dir != dirs_.end(); ++dir) {
    if (dir != dirs_.begin()) text += separator;
    text += *dir;
  }
  return text;
}

std::string FileSpec::LocationText() const {
  std::string text;
  if (!drive_.empty()) {
    text = drive_;
    text += DRIVE_SEP_CHAR;
  }
  return text + DirectoryText();
}

std::string FileSpec::FileText() const {
  std::string text = baseName_;
  if (!extension_.empty()) {
    text += EXT_SEP_CHAR;
    text += extension_;
  }
  return text;
}

bool FileSpec::GetFileSpec(std::string* path) const {
  if (path == nullptr) return false;
  std::string text = LocationText();
  const std::string file = FileText();
  if (!file.empty()) {
    if (!text.empty() && !LocationIsRoot()) text += Separator();
    text += file;
  }
  if (text.empty()) return false;
  *path = std::move(text);
  return true;
}

bool FileSpec::GetLocation(std::string* location, bool trailingSeparator) const {
  if (location == nullptr) return false;
  std::string text = LocationText();
  if (trailingSeparator && !text.empty() && !LocationIsRoot()) {
    text += Separator();
  }
  *location = std::move(text);
  return true;
}

bool FileSpec::GetDirPath(std::string* dirPath, bool trailingSeparator) const {
  if (dirPath == nullptr || dirs_.empty()) return false;
  *dirPath = DirectoryText();
  if (trailingSeparator) *dirPath += Separator();
  return true;
}

bool FileSpec::GetFile(std::string* file) const { return CopyIfNotEmpty(FileText(), file); }

bool FileSpec::GetDrive(std::string* drive) const { return CopyIfNotEmpty(drive_, drive); }

bool FileSpec::GetFileBaseName(std::string* baseName) const {
  return CopyIfNotEmpty(baseName_, baseName);
}

bool FileSpec::GetFileExtension(std::string* extension) const {
  return CopyIfNotEmpty(extension_, extension);
}

bool FileSpec::SetDrive(const std::string& drive) {
  if (style_ == PathStyle::Native && !drive.empty()) return false;
  drive_ = drive;
  return true;
}

void FileSpec::SetFileBaseName(const std::string& baseName) { baseName_ = baseName; }

void FileSpec::SetFileExtension(const std::string& extension) { extension_ = extension; }

bool FileSpec::IsAbsolute(const char* path, PathStyle style) {
  return path != nullptr && StartsAbsolute(path, style);
}

bool FileSpec::IsAbsolute(const std::string& path, PathStyle style) {
  return StartsAbsolute(path, style);
}

bool FileSpec::empty() const {
  return drive_.empty() && dirs_.empty() && baseName_.empty() && extension_.empty();
}

void FileSpec::clear() {
  drive_.clear();
  dirs_.clear();
  baseName_.clear();
  extension_.clear();
  absolute_ = false;
}

std::string& FileSpec::DirFront() {
  RequireDirs(dirs_, "DirFront");
  return dirs_.front();
}

std::string& FileSpec::DirBack() {
  RequireDirs(dirs_, "DirBack");
  return dirs_.back();
}

const std::string& FileSpec::DirFront() const {
  RequireDirs(dirs_, "DirFront");
  return dirs_.front();
}

const std::string& FileSpec::DirBack() const {
  RequireDirs(dirs_, "DirBack");
  return dirs_.back();
}

void FileSpec::DirPushFront(const std::string& dir) { dirs_.push_front(dir); }

void FileSpec::DirPushBack(const std::string& dir) { dirs_.push_back(dir); }

void FileSpec::DirPopFront() {
  if (!dirs_.empty()) dirs_.pop_front();
}

void FileSpec::DirPopBack() {
  if (!dirs_.empty()) dirs_.pop_back();
}

FileSpec::DirIterator FileSpec::DirErase(DirConstIterator position) {
  if (position == dirs_.cend()) return dirs_.end();
  return dirs_.erase(position);
}

FileSpec::DirIterator FileSpec::DirErase(DirConstIterator first, DirConstIterator last) {
  return dirs_.erase(first, last);
}

void FileSpec::RemoveDotAndDotDot() {
  dirs_.remove(".");
  auto dir = dirs_.begin();
  while (dir != dirs_.end()) {
    const auto next = std::next(dir);
    if (next == dirs_.end()) break;
    if (*dir != ".." && *next == "..") {
      // Step back so that a name uncovered by the removal can cancel too.
      const bool atStart = dir == dirs_.begin();
      const auto before = atStart ? dirs_.end() : std::prev(dir);
      dirs_.erase(dir, std::next(next));
      dir = atStart ? dirs_.begin() : before;
    } else {
      dir = next;
    }
  }
}

bool FileSpec::operator==(const FileSpec& other) const {
  return drive_ == other.drive_ && absolute_ == other.absolute_ && dirs_ == other.dirs_ &&
         baseName_ == other.baseName_ && extension_ == other.extension_;
}

bool FileSpec::operator!=(const FileSpec& other) const { return !(*this == other); }

bool FileSpec::operator<(const FileSpec& other) const {
  if (drive_ != other.drive_) return drive_ < other.drive_;
  if (absolute_ != other.absolute_) return !absolute_;
  if (dirs_ != other.dirs_) return dirs_ < other.dirs_;
  if (baseName_ != other.baseName_) return baseName_ < other.baseName_;
  return extension_ < other.extension_;
}

}  // namespace dp
