// Enumerating the directory entries that match a wildcard path.
//
// du::FindFile takes a path whose last name may hold the wildcards `*` (any
// run of characters, also none) and `?` (exactly one character), and
// returns the matching entries of that directory one by one. Names compare
// without regard to ASCII case, and the pattern "*.*" matches every name,
// also one without a dot, as on the platform the library first ran on. The
// entries "." and ".." are returned when the pattern matches them; callers
// that walk a tree skip them by name. The matches come sorted by name
// (byte order), so the order does not depend on the file system.
//
// Each match is returned as the search path with its last name replaced by
// the entry's name. When there is no (further) match, or the directory
// cannot be read, the result is empty; nothing throws and nothing is traced.
// The directory is read in full when the search starts.
//
// A FindFile belongs to one thread at a time.
#ifndef QMKUTILS_FILEIO_FINDFILE_H_
#define QMKUTILS_FILEIO_FINDFILE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

class QMK_EXPORT FindFile {
 public:
  FindFile() = default;
  ~FindFile() = default;
  FindFile(const FindFile&) = delete;
  FindFile& operator=(const FindFile&) = delete;

  // Starts a new search (closing the one in progress); the first match.
  const dp::FileSpec& FindFirstFileName(const char* searchPath);
  const dp::FileSpec& FindFirstFileName(const std::string& searchPath);
  const dp::FileSpec& FindFirstFileName(const du::Symbol& searchPath);
  // The next match; empty when there is none or no search is open.
  const dp::FileSpec& GetNextFileName();
  // The current match's name exactly as the directory holds it ("" when
  // there is none). Prefer it to the FileSpec's file part: a FileSpec drops
  // a dot that ends a name, and writes the match "." as the directory itself.
  const std::string& GetFoundName() const { return foundName_; }

  // Whether `name` matches the wildcard `pattern` as described above.
  static bool MatchesWildcard(const std::string& pattern, const std::string& name);

 private:
  void SetResult(const std::string& name);

  dp::FileSpec search_;
  dp::FileSpec result_;
  std::string foundName_;
  // The open search: the sorted matches and the next one to return.
  bool searchOpen_ = false;
  std::vector<std::string> matches_;
  std::size_t next_ = 0;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_FINDFILE_H_
