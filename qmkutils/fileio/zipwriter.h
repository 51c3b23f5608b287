// Adding files and directory trees to a zip archive.
//
// du::ZipWriter opens its archive for each call with minizip's append
// status as the mode: 0 creates the archive (replacing an existing file),
// 1 creates it after the existing bytes of the file, 2 adds entries to an
// existing archive. Entries are deflated at zlib's default level and carry
// no time stamp, attributes, extra fields or comment.
//
// AddAllFilesFromDir adds the files of a directory (whose path ends with a
// separator) as entries named by their file names; recursively, the files of
// each sub-directory are named "<sub>/<name>". The entries "." and ".." are
// skipped by name. Without recursion a sub-directory cannot be added as a
// file, so the call fails there. The first failure stops the walk, and the
// entries written before it stay in the archive.
//
// When the archive's path is not plain ASCII the writer works on a
// temporary copy with an ASCII path and copies it over the archive when it
// is destroyed: only then is the archive found at its path. Failures are
// results; only a temporary directory that is not plain ASCII either is
// traced (key "du", sub-key "ZipWriter"). Nothing throws. A writer belongs
// to one thread at a time.
#ifndef QMKUTILS_FILEIO_ZIPWRITER_H_
#define QMKUTILS_FILEIO_ZIPWRITER_H_

#include <string>

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT ZipWriter : public virtual RefCounted {
 public:
  // The modes, minizip's append statuses.
  static constexpr int kCreate = 0;
  static constexpr int kCreateAfter = 1;
  static constexpr int kAddInArchive = 2;

  explicit ZipWriter(const std::string& archivePath);
  ~ZipWriter() override;
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Adds the file under its file name.
  bool AddFile(const std::string& filePath, int mode);
  bool AddFile(const std::string& filePath, const std::string& nameInArchive, int mode);
  bool AddAllFilesFromDir(const std::string& directory, int mode, bool recursive);

 private:
  std::string workingPath_;
  std::string archivePath_;
};

using ZipWriterPtr = SmartPtr<ZipWriter>;

}  // namespace du

#endif  // QMKUTILS_FILEIO_ZIPWRITER_H_
