#include "qmkutils/fileio/zipwriter.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <cstdio>
#include <memory>

#include "qmkutils/fileio/findfile.h"
#include "qmkutils/fileio/internal/zipfiles.h"
#include "qmkutils/platform/filesystem.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "ZipWriter");

constexpr unsigned kCopyBlockSize = 8192;

zipFile OpenArchive(const std::string& path, int mode) {
  zlib_filefunc64_def functions = zip_files::CloseOnExecFileFunctions();
  return zipOpen2_64(path.c_str(), mode, nullptr, &functions);
}

bool WriteEntry(zipFile archive, const std::string& filePath, const std::string& name) {
  if (zipOpenNewFileInZip(archive, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                          Z_DEFLATED, Z_DEFAULT_COMPRESSION) != ZIP_OK) {
    return false;
  }
  FILE* file = dp::FileSystem::qmfopen(filePath, "rb");
  if (file == nullptr) {
    zipCloseFileInZip(archive);
    return false;
  }
  bool written = true;
  char buffer[kCopyBlockSize];
  for (;;) {
    const std::size_t read = std::fread(buffer, 1, sizeof buffer, file);
    if (read > 0 && zipWriteInFileInZip(archive, buffer, static_cast<unsigned>(read)) != ZIP_OK) {
      written = false;
      break;
    }
    if (read < sizeof buffer) {
      if (std::ferror(file) != 0) written = false;
      break;
    }
  }
  static_cast<void>(std::fclose(file));  // read only: nothing to lose
  return zipCloseFileInZip(archive) == ZIP_OK && written;
}

// Adds the entries of `directory` (ending with a separator) named with the
// `prefix` of their level inside the archive.
bool WriteDirectory(zipFile archive, const std::string& directory, const std::string& prefix,
                    bool recursive) {
  FindFile finder;
  finder.FindFirstFileName(directory + "*.*");
  for (; !finder.GetFoundName().empty(); finder.GetNextFileName()) {
    const std::string& name = finder.GetFoundName();
    if (name == "." || name == "..") continue;
    const std::string path = directory + name;
    if (recursive && dp::FileSystem::DirExists(path.c_str())) {
      if (!WriteDirectory(archive, path + "/", prefix + name + "/", recursive)) return false;
    } else if (!WriteEntry(archive, path, prefix + name)) {
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
  dp::FileSystem::CopyFile(workingPath_.c_str(), archivePath_.c_str());
  dp::FileSystem::Unlink(workingPath_.c_str());
}

bool ZipWriter::AddFile(const std::string& filePath, int mode) {
  // The text after the last separator: a FileSpec would drop a dot ending it.
  const std::size_t separator = filePath.find_last_of("/\\");
  return AddFile(filePath, filePath.substr(separator == std::string::npos ? 0 : separator + 1),
                 mode);
}

bool ZipWriter::AddFile(const std::string& filePath, const std::string& nameInArchive, int mode) {
  const zipFile archive = OpenArchive(workingPath_, mode);
  if (archive == nullptr) return false;
  const bool written = WriteEntry(archive, filePath, nameInArchive);
  return zipClose(archive, nullptr) == ZIP_OK && written;
}

bool ZipWriter::AddAllFilesFromDir(const std::string& directory, int mode, bool recursive) {
  const zipFile archive = OpenArchive(workingPath_, mode);
  if (archive == nullptr) return false;
  const bool written = WriteDirectory(archive, directory, std::string(), recursive);
  return zipClose(archive, nullptr) == ZIP_OK && written;
}

}  // namespace du
