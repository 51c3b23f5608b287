// Listing and extracting the entries of a zip archive.
//
// du::ZipReader keeps its archive open from one call to the next and checks
// at every call that the file is still the one it opened (device, inode,
// size, modification time), opening it again when it differs or after any
// failure; ListContents always opens it afresh. So an archive replaced or
// rewritten between calls is seen as it is now. Entries are found without
// regard to case, and a name written with backslashes finds the entry
// stored with forward slashes. An
// archive with no entries lists as an empty list. Anything that is not a
// readable zip archive (another kind of file, a truncated or corrupt one, a
// FIFO, device or folder, which are never waited on) makes the call return
// false; a corrupt entry leaves a partial output file and false.
//
// Extract finds entries through an index of the open archive's names, built
// on first use and dropped with the opening; an entry missing from it is
// looked for again in a fresh opening. Extracting every entry of a large
// archive so costs one opening and one pass over its directory.
//
// The caller chooses every output path: Extract writes exactly the file it
// is given and never interprets entry names as paths.
//
// When the archive's path is not plain ASCII the reader works on a temporary
// copy with an ASCII path (taken when it is bound, removed when it is bound
// again or destroyed). Failures are results; only a temporary directory that
// is not plain ASCII either is traced (key "du", sub-key "ZipReader").
// Nothing throws. A reader belongs to one thread at a time.
#ifndef QMKUTILS_FILEIO_ZIPREADER_H_
#define QMKUTILS_FILEIO_ZIPREADER_H_

#include <memory>
#include <string>
#include <vector>

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT ZipReader : public virtual RefCounted {
 public:
  ZipReader();
  explicit ZipReader(const std::string& archivePath);
  ~ZipReader() override;
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  void Bind(const std::string& archivePath);
  // Replaces `names` with the entry names in archive order; false (and
  // `names` untouched) when the archive cannot be read.
  bool ListContents(std::vector<std::string>& names);
  // Writes the entry's bytes to `outputPath` (created or emptied); false when
  // the entry does not exist (no file is created), the output cannot be
  // opened, or the entry cannot be read or written whole.
  bool Extract(const std::string& entryName, const std::string& outputPath);

 private:
  struct OpenArchive;

  // The open archive, opened again unless the cached one is still the file
  // at the working path (`fresh` tells which); null when it cannot be opened.
  void* Open(bool* fresh);
  // Makes the entry current in the open archive; false when it is absent.
  bool Locate(const std::string& entryName);

  std::string workingPath_;
  std::string archivePath_;
  std::unique_ptr<OpenArchive> open_;
};

using ZipReaderPtr = SmartPtr<ZipReader>;

}  // namespace du

#endif  // QMKUTILS_FILEIO_ZIPREADER_H_
