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

UnzipHandle OpenArchive(const std::string& path) {
  zlib_filefunc64_def functions = zip_files::CloseOnExecFileFunctions();
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

}  // namespace

// Where each entry's directory record is, by its case-folded name; the first
// of several entries whose names differ only in case wins, as a search
// through the directory would find it.
struct ZipReader::EntryIndex {
  FileIdentity identity{};
  std::unordered_map<std::string, unz64_file_pos> positions;
};

bool ZipReader::Locate(void* archive, const std::string& entryName) {
  std::string wanted = FoldCase(entryName);
  std::replace(wanted.begin(), wanted.end(), '\\', '/');
  FileIdentity identity{};
  const bool identified = GetIdentity(workingPath_, &identity);
  bool fresh = false;
  if (!index_ || !identified || index_->identity != identity) index_.reset();
  for (;;) {
    if (!index_) {
      index_ = std::make_unique<EntryIndex>();
      index_->identity = identity;
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
        index_->positions.emplace(FoldCase(name), position);
      }
      fresh = true;
    }
    // The record found must still carry the name: a file rewritten in place
    // within one time-stamp tick keeps its identity.
    const auto found = index_->positions.find(wanted);
    char name[kNameBufferSize];
    unz_file_info64 entry{};
    if (found != index_->positions.end() && unzGoToFilePos64(archive, &found->second) == UNZ_OK &&
        unzGetCurrentFileInfo64(archive, &entry, name, sizeof name, nullptr, 0, nullptr, 0) ==
            UNZ_OK) {
      name[sizeof name - 1] = '\0';
      if (FoldCase(name) == wanted) return true;
    }
    if (fresh) return false;
    index_.reset();
  }
}

ZipReader::ZipReader() = default;

ZipReader::ZipReader(const std::string& archivePath) { Bind(archivePath); }

ZipReader::~ZipReader() { Bind(std::string()); }

void ZipReader::Bind(const std::string& archivePath) {
  if (workingPath_ != archivePath_) dp::FileSystem::Unlink(workingPath_.c_str());
  archivePath_ = archivePath;
  index_.reset();
  workingPath_ = archivePath.empty()
                     ? archivePath
                     : zip_files::MakeWorkingPath(archivePath, "ZipReadFile", s_trace);
}

bool ZipReader::ListContents(std::vector<std::string>& names) {
  const UnzipHandle archive = OpenArchive(workingPath_);
  if (!archive) {
    if (!IsEmptyArchive(workingPath_)) return false;
    names.clear();
    return true;
  }
  unz_global_info64 info{};
  if (unzGetGlobalInfo64(archive.get(), &info) != UNZ_OK) return false;
  std::vector<std::string> list;
  // The count comes from the file: trust it only as far as it is plausible.
  list.reserve(static_cast<std::size_t>(std::min<ZPOS64_T>(info.number_entry, 65536)));
  for (int status = unzGoToFirstFile(archive.get()); list.size() < info.number_entry;
       status = unzGoToNextFile(archive.get())) {
    if (status != UNZ_OK) return false;
    char name[kNameBufferSize];
    unz_file_info64 entry{};
    if (unzGetCurrentFileInfo64(archive.get(), &entry, name, sizeof name, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      return false;
    }
    name[sizeof name - 1] = '\0';
    list.emplace_back(name);
  }
  names.swap(list);
  return true;
}

bool ZipReader::Extract(const std::string& entryName, const std::string& outputPath) {
  const UnzipHandle archive = OpenArchive(workingPath_);
  if (!archive) return false;
  if (!Locate(archive.get(), entryName)) return false;
  std::unique_ptr<FILE, FileCloser> output(dp::FileSystem::qmfopen(outputPath, "wb"));
  if (!output) return false;
  if (unzOpenCurrentFile(archive.get()) != UNZ_OK) return false;
  bool copied = true;
  char buffer[kCopyBlockSize];
  for (;;) {
    const int read = unzReadCurrentFile(archive.get(), buffer, sizeof buffer);
    if (read == 0) break;
    if (read < 0 || std::fwrite(buffer, 1, static_cast<std::size_t>(read), output.get()) !=
                        static_cast<std::size_t>(read)) {
      copied = false;
      break;
    }
  }
  // A CRC mismatch shows only when the entry is closed.
  if (unzCloseCurrentFile(archive.get()) != UNZ_OK) copied = false;
  if (std::fclose(output.release()) != 0) copied = false;
  return copied;
}

}  // namespace du
