#include "qmkutils/fileio/zipreader.h"

#include <minizip/unzip.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <vector>

#include "qmkutils/fileio/internal/zipfiles.h"
#include "qmkutils/platform/filesystem.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "ZipReader");

constexpr std::size_t kNameBufferSize = 1024;
constexpr unsigned kCopyBlockSize = 8192;

using FileIdentity = std::array<std::uint64_t, 5>;

struct UnzipCloser {
  void operator()(void* archive) const { unzClose(archive); }
};
using UnzipHandle = std::unique_ptr<void, UnzipCloser>;

struct FileCloser {
  void operator()(FILE* file) const { static_cast<void>(std::fclose(file)); }
};

// minizip refuses an archive without entries, which is only the record
// that ends every archive (22 bytes and a comment); it is a valid, empty one.
bool IsEmptyArchive(const std::string& path) {
  constexpr std::size_t kEndRecordSize = 22;
  constexpr std::size_t kMaxCommentSize = 65535;
  // Through the archive's own file functions, which refuse what is not a
  // regular file.
  const zlib_filefunc64_def functions = zip_files::CloseOnExecFileFunctions();
  void* stream = functions.zopen64_file(functions.opaque, path.c_str(),
                                        ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
  if (stream == nullptr) return false;
  std::vector<unsigned char> bytes(kEndRecordSize + kMaxCommentSize + 1);
  const std::size_t size = functions.zread_file(functions.opaque, stream, bytes.data(),
                                                static_cast<uLong>(bytes.size()));
  functions.zclose_file(functions.opaque, stream);
  if (size < kEndRecordSize || size > kEndRecordSize + kMaxCommentSize) return false;
  const auto field16 = [&](std::size_t offset) {
    return static_cast<std::size_t>(bytes[offset] | (bytes[offset + 1] << 8));
  };
  const unsigned char signature[] = {'P', 'K', 5, 6};
  // Everything but the comment length must be zero: no disks, no entries,
  // an empty central directory at offset 0.
  return std::equal(signature, signature + 4, bytes.begin()) &&
         std::all_of(bytes.begin() + 4, bytes.begin() + 20,
                     [](unsigned char b) { return b == 0; }) &&
         field16(20) == size - kEndRecordSize;
}

UnzipHandle OpenUnzip(const std::string& path, const std::uint64_t* generation) {
  zlib_filefunc64_def functions = zip_files::CloseOnExecFileFunctions(generation);
  return UnzipHandle(unzOpen2_64(path.c_str(), &functions));
}

// The same folding as minizip's case-insensitive name comparison: ASCII only.
std::string FoldCase(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

bool GetIdentity(const std::string& path, FileIdentity* identity) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  *identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
               static_cast<std::uint64_t>(status.st_size),
               static_cast<std::uint64_t>(status.st_mtim.tv_sec),
               static_cast<std::uint64_t>(status.st_mtim.tv_nsec)};
  return true;
}

bool ReadNames(void* archive, std::vector<std::string>* list) {
  unz_global_info64 info{};
  if (unzGetGlobalInfo64(archive, &info) != UNZ_OK) return false;
  // The count comes from the file: trust it only as far as it is plausible.
  list->reserve(static_cast<std::size_t>(std::min<ZPOS64_T>(info.number_entry, 65536)));
  for (int status = unzGoToFirstFile(archive); list->size() < info.number_entry;
       status = unzGoToNextFile(archive)) {
    if (status != UNZ_OK) return false;
    char name[kNameBufferSize];
    unz_file_info64 entry{};
    if (unzGetCurrentFileInfo64(archive, &entry, name, sizeof name, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      return false;
    }
    name[sizeof name - 1] = '\0';
    list->emplace_back(name);
  }
  return true;
}

// Copies the archive's current entry to `outputPath`; false when the output
// cannot be opened or the entry cannot be read or written whole.
bool CopyCurrentEntry(void* archive, const std::string& outputPath) {
  std::unique_ptr<FILE, FileCloser> output(dp::FileSystem::qmfopen(outputPath, "wb"));
  if (!output) return false;
  if (unzOpenCurrentFile(archive) != UNZ_OK) return false;
  bool copied = true;
  char buffer[kCopyBlockSize];
  for (;;) {
    const int read = unzReadCurrentFile(archive, buffer, sizeof buffer);
    if (read == 0) break;
    if (read < 0 || std::fwrite(buffer, 1, static_cast<std::size_t>(read), output.get()) !=
                        static_cast<std::size_t>(read)) {
      copied = false;
      break;
    }
  }
  // A CRC mismatch shows only when the entry is closed.
  if (unzCloseCurrentFile(archive) != UNZ_OK) copied = false;
  if (std::fclose(output.release()) != 0) copied = false;
  return copied;
}

}  // namespace

// The archive as last opened, with the identity its file had then, and
// where each entry's directory record is, by its case-folded name (built on
// first use; the first of several entries whose names differ only in case
// wins, as a search through the directory would find it).
struct ZipReader::OpenArchive {
  FileIdentity identity{};
  bool identified = false;
  // Advanced at every call, so that no block read in an earlier call is
  // trusted (a file rewritten in place within one time-stamp tick keeps its
  // identity); declared before the handle, which reads it until closed.
  std::uint64_t generation = 0;
  UnzipHandle handle;
  bool indexed = false;
  std::unordered_map<std::string, unz64_file_pos> positions;
};

void* ZipReader::Open(bool* fresh) {
  FileIdentity identity{};
  const bool identified = GetIdentity(workingPath_, &identity);
  *fresh = !open_ || !identified || !open_->identified || open_->identity != identity;
  if (*fresh) {
    // The old handle goes first: a failed opening leaves nothing cached.
    open_.reset();
    auto opened = std::make_unique<OpenArchive>();
    opened->handle = OpenUnzip(workingPath_, &opened->generation);
    if (!opened->handle) return nullptr;
    open_ = std::move(opened);
    // Identified before opening: a file replaced in between differs at the
    // next call and is opened again. Without an identity the handle serves
    // this call only.
    open_->identity = identity;
    open_->identified = identified;
  }
  ++open_->generation;
  return open_->handle.get();
}

bool ZipReader::Locate(const std::string& entryName) {
  std::string wanted = FoldCase(entryName);
  std::replace(wanted.begin(), wanted.end(), '\\', '/');
  void* archive = open_->handle.get();
  if (!open_->indexed) {
    open_->indexed = true;
    for (int status = unzGoToFirstFile(archive); status == UNZ_OK;
         status = unzGoToNextFile(archive)) {
      char name[kNameBufferSize];
      unz_file_info64 entry{};
      unz64_file_pos position{};
      if (unzGetCurrentFileInfo64(archive, &entry, name, sizeof name, nullptr, 0, nullptr, 0) !=
              UNZ_OK ||
          unzGetFilePos64(archive, &position) != UNZ_OK) {
        break;
      }
      name[sizeof name - 1] = '\0';
      open_->positions.emplace(FoldCase(name), position);
    }
  }
  // The record found must still carry the name: a file rewritten in place
  // within one time-stamp tick keeps its identity.
  const auto found = open_->positions.find(wanted);
  char name[kNameBufferSize];
  unz_file_info64 entry{};
  if (found == open_->positions.end() || unzGoToFilePos64(archive, &found->second) != UNZ_OK ||
      unzGetCurrentFileInfo64(archive, &entry, name, sizeof name, nullptr, 0, nullptr, 0) !=
          UNZ_OK) {
    return false;
  }
  name[sizeof name - 1] = '\0';
  return FoldCase(name) == wanted;
}

ZipReader::ZipReader() = default;

ZipReader::ZipReader(const std::string& archivePath) { Bind(archivePath); }

ZipReader::~ZipReader() { Bind(std::string()); }

void ZipReader::Bind(const std::string& archivePath) {
  open_.reset();
  if (workingPath_ != archivePath_) dp::FileSystem::Unlink(workingPath_.c_str());
  archivePath_ = archivePath;
  workingPath_ = archivePath.empty()
                     ? archivePath
                     : zip_files::MakeWorkingPath(archivePath, "ZipReadFile", s_trace);
}

bool ZipReader::ListContents(std::vector<std::string>& names) {
  // Listed from a fresh opening: minizip keeps where the directory is, and a
  // file rewritten in place within one time-stamp tick keeps its identity
  // while its directory may have moved. Extract verifies what it finds.
  open_.reset();
  bool fresh = false;
  void* archive = Open(&fresh);
  if (archive == nullptr) {
    if (!IsEmptyArchive(workingPath_)) return false;
    names.clear();
    return true;
  }
  std::vector<std::string> list;
  if (!ReadNames(archive, &list)) {
    open_.reset();
    return false;
  }
  names.swap(list);
  return true;
}

bool ZipReader::Extract(const std::string& entryName, const std::string& outputPath) {
  // An entry missing from a handle kept from an earlier call is looked for
  // again in a fresh opening, which also drops a directory read before the
  // file was rewritten in place.
  for (;;) {
    bool fresh = false;
    if (Open(&fresh) == nullptr) return false;
    if (Locate(entryName)) break;
    open_.reset();
    if (fresh) return false;
  }
  if (!CopyCurrentEntry(open_->handle.get(), outputPath)) {
    open_.reset();
    return false;
  }
  return true;
}

}  // namespace du
