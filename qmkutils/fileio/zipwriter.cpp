#include "qmkutils/fileio/zipwriter.h"

#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "qmkutils/fileio/findfile.h"
#include "qmkutils/fileio/internal/zipfiles.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/filesystem.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "ZipWriter");

constexpr unsigned kCopyBlockSize = 8192;

zipFile OpenArchive(const std::string& path, int mode) {
  zlib_filefunc64_def functions = zip_files::CloseOnExecFileFunctions();
  return zipOpen2_64(path.c_str(), mode, nullptr, &functions);
}

// The archive being written, which a directory walk must not add to itself.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

FileIdentity IdentityOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return {};
  return {status.st_dev, status.st_ino};
}

// Adds the regular file `filePath` as `name`; the entry is opened first,
// so a file that cannot be read leaves an empty entry behind. Anything but
// a regular file (a FIFO that would block, a device without end) counts as
// unreadable, and the archive itself is skipped. Only the bytes present
// when the file is opened are read, so a file that grows meanwhile cannot
// make the entry endless.
bool WriteEntry(zipFile archive, const std::string& filePath, const std::string& name,
                const FileIdentity& self) {
  struct stat status {};
  if (::stat(filePath.c_str(), &status) == 0 && status.st_dev == self.device &&
      status.st_ino == self.inode) {
    return true;
  }
  if (zipOpenNewFileInZip(archive, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                          Z_DEFLATED, Z_DEFAULT_COMPRESSION) != ZIP_OK) {
    return false;
  }
  const int fd = dp::FileSystem::qmopen(filePath.c_str(), O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) close(fd);
    zipCloseFileInZip(archive);
    return false;
  }
  bool written = true;
  char buffer[kCopyBlockSize];
  for (auto left = static_cast<std::uint64_t>(status.st_size); left > 0;) {
    const ssize_t got = ::read(fd, buffer, std::min<std::uint64_t>(left, sizeof buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      written = got == 0;  // the file shrank: what was there is written
      break;
    }
    if (zipWriteInFileInZip(archive, buffer, static_cast<unsigned>(got)) != ZIP_OK) {
      written = false;
      break;
    }
    left -= static_cast<std::uint64_t>(got);
  }
  close(fd);  // read only: nothing to lose
  return zipCloseFileInZip(archive) == ZIP_OK && written;
}

// Links to directories are not followed when recursing: a link to a parent
// would never end, and one to elsewhere would add what is not in the tree.
bool WriteDirectory(zipFile archive, const std::string& directory, const std::string& prefix,
                    bool recursive, const FileIdentity& self) {
  FindFile finder;
  finder.FindFirstFileName(directory + "*.*");
  for (; !finder.GetFoundName().empty(); finder.GetNextFileName()) {
    const std::string& name = finder.GetFoundName();
    if (name == "." || name == "..") continue;
    const std::string path = directory + name;
    if (recursive && dp::FileSystem::DirExists(path.c_str())) {
      struct stat status {};
      if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) continue;
      if (!WriteDirectory(archive, path + "/", prefix + name + "/", recursive, self)) return false;
    } else if (!WriteEntry(archive, path, prefix + name, self)) {
      return false;
    }
  }
  return true;
}

}  // namespace

ZipWriter::ZipWriter(const std::string& archivePath)
    : workingPath_(zip_files::MakeWorkingPath(archivePath, "ZipWriteFile", s_trace)),
      archivePath_(archivePath) {}

ZipWriter::~ZipWriter() {
  if (workingPath_ == archivePath_) return;
  // The working copy is the only good one until it is copied back.
  if (dp::FileSystem::CopyFile(workingPath_.c_str(), archivePath_.c_str())) {
    dp::FileSystem::Unlink(workingPath_.c_str());
  } else {
    s_trace(dp::Error, "Could not copy \"%s\" back to \"%s\"; the archive stays in the former.",
            workingPath_.c_str(), archivePath_.c_str());
  }
}

bool ZipWriter::AddFile(const std::string& filePath, int mode) {
  // The file part as dp::FileSpec gives it; a name it has no file part for
  // (".profile") is stored as it is written.
  std::string name;
  if (!dp::FileSpec(filePath).GetFile(&name)) {
    const std::size_t separator = filePath.find_last_of("/\\");
    name = filePath.substr(separator == std::string::npos ? 0 : separator + 1);
  }
  return AddFile(filePath, name, mode);
}

bool ZipWriter::AddFile(const std::string& filePath, const std::string& nameInArchive, int mode) {
  const zipFile archive = OpenArchive(workingPath_, mode);
  if (archive == nullptr) return false;
  const bool written = WriteEntry(archive, filePath, nameInArchive, IdentityOf(workingPath_));
  return zipClose(archive, nullptr) == ZIP_OK && written;
}

bool ZipWriter::AddAllFilesFromDir(const std::string& directory, int mode, bool recursive) {
  const zipFile archive = OpenArchive(workingPath_, mode);
  if (archive == nullptr) return false;
  const bool written =
      WriteDirectory(archive, directory, std::string(), recursive, IdentityOf(workingPath_));
  return zipClose(archive, nullptr) == ZIP_OK && written;
}

}  // namespace du
