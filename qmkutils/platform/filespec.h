// A parsed file path: an optional drive letter, a list of directory names, a
// file base name and an extension, and whether the path is absolute.
//
// A FileSpec reads and writes paths in one of two styles, chosen when it is
// built and kept by copies. The native style (the default) writes `/`, accepts
// both `/` and `\` as separators when parsing, knows no drive letters (a
// leading "X:" is an ordinary name) and calls a path absolute when it starts
// with a separator. The Windows style, for paths taken from Windows-authored
// data, also reads a leading letter and colon as the drive and writes `\`.
// Because both separators split a path in either style, a Linux file name that
// contains a literal backslash cannot pass through a FileSpec: it comes out as
// two names.
//
// Parsing never fails on odd text: doubled separators give empty directory
// names, which are kept, so such paths are written back as they were read. The
// file part splits at its first dot ("a.tar.gz" is "a" with the extension
// "tar.gz"; ".profile" is an empty base name with the extension "profile") and
// is written back whenever either half is non-empty. A dot that ends a file
// name ("a.") is not kept. A root location is written with one separator:
// "/x", and "C:\x" in the Windows style.
//
// Read back in the same style, the text of GetFileSpec gives an equal
// FileSpec when the path has a file part; without one, GetFileSpec writes no
// trailing separator, and it is GetLocation's text with the separator that
// reads back. The exception is a drive-relative path without directories: a
// separator follows its colon ("C:x" is written "C:\x"), so it reads back
// absolute.
//
// Equality and ordering look at the parsed fields only, never at the style, so
// "/a/b" read natively equals "\a\b" read in the Windows style. Comparisons are
// case-sensitive. A FileSpec is a value: not safe for concurrent mutation.
#ifndef QMKUTILS_PLATFORM_FILESPEC_H_
#define QMKUTILS_PLATFORM_FILESPEC_H_

#include <cstddef>
#include <iterator>
#include <list>
#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

enum class PathStyle { Native, Windows };

class QMK_EXPORT FileSpec {
 public:
  using DirIterator = std::list<std::string>::iterator;
  using DirConstIterator = std::list<std::string>::const_iterator;

  // The native characters; the Windows style writes ALT_DIR_SEP_CHAR instead.
  static constexpr char DIR_SEP_CHAR = '/';
  static constexpr char ALT_DIR_SEP_CHAR = '\\';
  static constexpr char DRIVE_SEP_CHAR = ':';
  static constexpr char EXT_SEP_CHAR = '.';

  FileSpec() = default;
  explicit FileSpec(PathStyle style);
  // A null or empty text gives an empty FileSpec.
  FileSpec(const char* path, PathStyle style = PathStyle::Native);
  FileSpec(const std::string& path, PathStyle style = PathStyle::Native);

  // Assigning text keeps this FileSpec's style; like SetFileSpec, null or
  // empty text changes nothing.
  FileSpec& operator=(const char* path);
  FileSpec& operator=(const std::string& path);

  // Replaces the whole path. False for empty text, and then nothing changes.
  bool SetFileSpec(const std::string& path);
  // Replaces drive, directories and the absolute flag and keeps the file part;
  // a last name without a trailing separator counts as a directory too. False
  // for empty text, and then nothing changes.
  bool SetDirPath(const std::string& path);
  bool SetLocation(const std::string& path);
  // Replaces base name and extension from the last name of the text, leaving
  // everything else. False for empty text, and then nothing changes.
  bool SetFile(const std::string& path);

  PathStyle GetStyle() const { return style_; }

  // Every getter returns false for a null output and leaves the output
  // untouched whenever it returns false.
  // False when the written path would be empty.
  bool GetFileSpec(std::string* path) const;
  // Drive and directories; the trailing separator is added to non-empty text
  // that does not already end in the root separator.
  bool GetLocation(std::string* location, bool trailingSeparator) const;
  // Directories without the drive; false when there are none.
  bool GetDirPath(std::string* dirPath, bool trailingSeparator) const;
  // Base name and extension; false when both are empty.
  bool GetFile(std::string* file) const;
  bool GetDrive(std::string* drive) const;
  bool GetFileBaseName(std::string* baseName) const;
  bool GetFileExtension(std::string* extension) const;

  // The native style has no drives: a non-empty drive is refused (false) there.
  bool SetDrive(const std::string& drive);
  void SetFileBaseName(const std::string& baseName);
  // The extension without its dot.
  void SetFileExtension(const std::string& extension);

  bool IsAbsolute() const { return absolute_; }
  bool IsRelative() const { return !absolute_; }
  void MarkAsAbsolute() { absolute_ = true; }
  void MarkAsRelative() { absolute_ = false; }
  // True when the text starts with a separator or, in the Windows style, with
  // a drive letter and colon (so "C:x" counts). False for null or empty text.
  static bool IsAbsolute(const char* path, PathStyle style = PathStyle::Native);
  static bool IsAbsolute(const std::string& path, PathStyle style = PathStyle::Native);

  // True when drive, directories, base name and extension are all empty,
  // whatever the absolute flag says.
  bool empty() const;
  // Empties every field and makes the path relative; the style stays.
  void clear();

  // The directory names from the root (or the current directory) downwards.
  DirIterator DirBegin() { return dirs_.begin(); }
  DirIterator DirEnd() { return dirs_.end(); }
  DirConstIterator DirBegin() const { return dirs_.begin(); }
  DirConstIterator DirEnd() const { return dirs_.end(); }
  // Throw std::out_of_range on an empty list.
  std::string& DirFront();
  std::string& DirBack();
  const std::string& DirFront() const;
  const std::string& DirBack() const;
  void DirPushFront(const std::string& dir);
  void DirPushBack(const std::string& dir);
  // Do nothing on an empty list.
  void DirPopFront();
  void DirPopBack();
  // Inserts before `position`; returns the first inserted name, or `position`.
  template <std::input_iterator Iterator>
  DirIterator DirInsert(DirConstIterator position, Iterator first, Iterator last) {
    return dirs_.insert(position, first, last);
  }
  // Return the name after the erased ones; erasing DirEnd() does nothing.
  DirIterator DirErase(DirConstIterator position);
  DirIterator DirErase(DirConstIterator first, DirConstIterator last);
  std::size_t DirCount() const { return dirs_.size(); }

  // Drops every "." and cancels each name followed by ".."; leading ".." that
  // have nothing to cancel stay, and the file part is not touched.
  void RemoveDotAndDotDot();

  bool operator==(const FileSpec& other) const;
  bool operator!=(const FileSpec& other) const;
  // A strict weak ordering: drive, then relative before absolute, then the
  // directories lexicographically, then base name, then extension.
  bool operator<(const FileSpec& other) const;

 private:
  char Separator() const;
  bool LocationIsRoot() const;
  std::string DirectoryText() const;
  std::string LocationText() const;
  std::string FileText() const;

  PathStyle style_ = PathStyle::Native;
  std::string drive_;
  std::list<std::string> dirs_;
  std::string baseName_;
  std::string extension_;
  bool absolute_ = false;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_FILESPEC_H_
