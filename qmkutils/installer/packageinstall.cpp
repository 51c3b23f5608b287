// Installing a downloaded package archive below the installation home.
//
// Every entry is written to home + "/" + its name. Names are untrusted: an
// archive holding a name that is absolute, starts with a drive or has a
// ".." component is refused as a whole before anything is written. An
// existing file is replaced by a new one (unlinked first), never rewritten
// in place: a process may have the old library mapped, and the old file may
// be a link to somewhere outside the home. A name ending in "/" only makes
// its folder. Files stored with execute permission by a Unix archiver keep
// it, so installed programs can run.
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "qmkutils/fileio/internal/zipextract.h"
#include "qmkutils/fileio/internal/zipfiles.h"
#include "qmkutils/installer/installerbom.h"
#include "qmkutils/installer/installerpackage.h"
#include "qmkutils/installer/internal/bomtext.h"
#include "qmkutils/installer/internal/makedirectories.h"
#include "qmkutils/platform/filesystem.h"

namespace installer {

namespace {

using bom_text::Trace;

constexpr std::size_t kNameBufferSize = 1024;
constexpr std::size_t kChunkSize = 8192;
constexpr unsigned kUnixArchiver = 3;  // "version made by" high byte

bool HasBomExtension(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
         path.compare(dot + 1, std::string::npos, "bom") == 0;
}

// The current entry's name, or false when it cannot be read.
bool CurrentEntryName(unzFile archive, std::string* name, unz_file_info64* info) {
  char buffer[kNameBufferSize] = {};
  if (unzGetCurrentFileInfo64(archive, info, buffer, sizeof buffer - 1, nullptr, 0, nullptr, 0) !=
      UNZ_OK)
    return false;
  *name = buffer;
  return true;
}

// Whether every entry name stays below the home, traced otherwise.
bool AllNamesSafe(unzFile archive) {
  std::string name;
  unz_file_info64 info{};
  for (int status = unzGoToFirstFile(archive); status == UNZ_OK;
       status = unzGoToNextFile(archive)) {
    if (!CurrentEntryName(archive, &name, &info)) return false;
    if (const char* reason = du::zip_extract::UnsafeNameReason(name)) {
      Trace()(dp::Error, "Refusing the archive: entry \"%s\": %s\n", name.c_str(), reason);
      return false;
    }
  }
  return true;
}

// Copies the open entry into `target`, replacing what is there.
void WriteEntry(unzFile archive, const std::string& target, const unz_file_info64& info) {
  if (FILE* existing = dp::FileSystem::qmfopen(target, "rb")) {
    (void)std::fclose(existing);
    Trace()(dp::Info, "Output file %s allready exists\n", target.c_str());
  }
  unlink(target.c_str());
  FILE* out = dp::FileSystem::qmfopen(target, "wb");
  if (out == nullptr) {
    Trace()(dp::Error, "Failed to create output file %s\n", target.c_str());
    return;
  }
  char chunk[kChunkSize];
  int got = 0;
  while ((got = unzReadCurrentFile(archive, chunk, sizeof chunk)) > 0) {
    if (std::fwrite(chunk, 1, static_cast<std::size_t>(got), out) != static_cast<std::size_t>(got))
      Trace()(dp::Error, "error in writing extracted file\n");
  }
  if (got < 0) Trace()(dp::Error, "Failed to read the archive entry for %s\n", target.c_str());
  const unsigned unixMode = static_cast<unsigned>(info.external_fa >> 16);
  struct stat status {};
  if ((info.version >> 8) == kUnixArchiver && (unixMode & 0111) != 0 &&
      fstat(fileno(out), &status) == 0)
    fchmod(fileno(out), status.st_mode | ((status.st_mode & 0444) >> 2));
  if (std::fclose(out) != 0) Trace()(dp::Error, "error in writing extracted file\n");
}

}  // namespace

bool InstallerPackage::InstallDownloadFile(const du::Symbol& path) {
  return InstallDownloadFile(path.safe_c_str());
}

bool InstallerPackage::InstallDownloadFile(const std::string& path) {
  return InstallDownloadFile(path.c_str());
}

bool InstallerPackage::InstallDownloadFile(const char* path) {
  if (path == nullptr) path = "";
  Trace()(dp::Info, "Package \"%s\" needs to install from file %s\n", packageName_.c_str(), path);
  if (bom_ == nullptr || !bom_->lock_.ObtainLock()) {
    Trace()(dp::Error, "Failed to obtain file system lock...\n");
    return false;
  }
  zlib_filefunc64_def functions = du::zip_files::CloseOnExecFileFunctions();
  if (unzFile archive = unzOpen2_64(path, &functions)) {
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(archive, &global) == UNZ_OK) {
      Trace()(dp::Info, "Contains %d entries\n", static_cast<int>(global.number_entry));
      if (AllNamesSafe(archive)) InstallEntries(archive);
    } else {
      Trace()(dp::Error, "Failed to get globaleInfo\n");
    }
    unzClose(archive);
  } else {
    Trace()(dp::Error, "Failed to open file \"%s\"\n", path);
  }
  bom_->lock_.ReleaseLock();
  return false;
}

void InstallerPackage::InstallEntries(void* opaqueArchive) {
  const auto archive = static_cast<unzFile>(opaqueArchive);
  std::string name;
  unz_file_info64 info{};
  for (int status = unzGoToFirstFile(archive); status == UNZ_OK;
       status = unzGoToNextFile(archive)) {
    if (!CurrentEntryName(archive, &name, &info)) {
      Trace()(dp::Error, "Failed to read an entry's name\n");
      return;
    }
    Trace()(dp::Debug, "Got filename %s\n", name.c_str());
    const std::string target = bom_->GetQuillHome() + "/" + name;
    Trace()(dp::Debug, "Need to install to %s %x\n", target.c_str(),
            static_cast<unsigned>(info.external_fa));
    const std::string folder = target.substr(0, target.rfind('/'));
    if (!MakeDirectoryWithParents(folder)) {
      Trace()(dp::Error, "Failed to Made directory %s to install into\n", folder.c_str());
      continue;
    }
    Trace()(dp::Debug, "Made directory %s to install into\n", folder.c_str());
    if (name.back() == '/' || name.back() == '\\') continue;
    if (unzOpenCurrentFile(archive) != UNZ_OK) {
      Trace()(dp::Error, "Failed to open the archive entry for %s\n", target.c_str());
      continue;
    }
    WriteEntry(archive, target, info);
    if (unzCloseCurrentFile(archive) == UNZ_CRCERROR)
      Trace()(dp::Error, "The archive entry for %s is corrupt\n", target.c_str());
    if (HasBomExtension(target)) {
      Trace()(dp::Info, "This is a bom file so lets re-read it\n");
      RereadBom(target);
    }
  }
}

void InstallerPackage::RereadBom(const std::string& path) {
  installedItem_.reset();
  std::string text;
  if (!bom_text::ReadSmallFile(path, &text)) return;
  std::istringstream in(text);
  SerialInput(in, false);
}

}  // namespace installer
