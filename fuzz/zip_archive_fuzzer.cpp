// Fuzzes du::ZipReader and whole-archive extraction over arbitrary bytes.
//
// Input: the bytes of the archive. They are opened as a zip archive and
// every entry is extracted below a scratch folder that holds a symbolic link
// pointing out of it. Whatever the bytes, nothing may crash, hang or leak,
// and nothing may appear outside the destination: the scratch root must hold
// only the archive, the destination and an empty "outside" folder, and the
// destination only folders and regular files besides the planted link.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "qmkutils/fileio/internal/zipextract.h"
#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/platform/filesystem.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "zip_archive: %s\n", what.c_str());
  std::abort();
}

class Scratch {
 public:
  Scratch() {
    root_ = dp::FileSystem::MkTempDir("zipfuzz");
    if (root_.empty()) Fail("cannot create the scratch folder");
    archive_ = root_ + "/archive.zip";
    dest_ = root_ + "/dest";
    outside_ = root_ + "/outside";
    fs::create_directory(outside_);
  }
  ~Scratch() { dp::FileSystem::DeletePath(root_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  void Reset(const std::uint8_t* data, std::size_t size) const {
    std::error_code ignored;
    fs::remove_all(dest_, ignored);
    fs::create_directory(dest_);
    fs::create_directory_symlink(outside_, dest_ + "/link");
    FILE* file = dp::FileSystem::qmfopen(archive_, "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
      Fail("cannot write the archive");
    }
  }

  void CheckNothingEscaped() const {
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(root_)) top.insert(entry.path().string());
    if (top != std::set<std::string>{archive_, dest_, outside_})
      Fail("wrote beside the destination");
    if (!fs::is_empty(outside_)) Fail("wrote through the link");
    for (const auto& entry : fs::recursive_directory_iterator(dest_)) {
      const fs::file_status status = entry.symlink_status();
      if (fs::is_symlink(status) && entry.path() != dest_ + "/link") Fail("made a symbolic link");
      if (!fs::is_symlink(status) && !fs::is_directory(status) && !fs::is_regular_file(status)) {
        Fail("made a special file");
      }
    }
  }

  const std::string& archive() const { return archive_; }
  const std::string& dest() const { return dest_; }

 private:
  std::string root_, archive_, dest_, outside_;
};

// A ".." between separators of either kind, the way an extraction on any
// system could read it.
bool HasParentComponent(std::string_view name) {
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch s_scratch;
  s_scratch.Reset(data, size);
  du::ZipReader reader(s_scratch.archive());
  std::vector<std::string> names;
  if (reader.ListContents(names)) {
    for (const std::string& name : names) {
      if (du::zip_extract::UnsafeNameReason(name) == nullptr && HasParentComponent(name)) {
        Fail("accepted a name that climbs out");
      }
    }
  }
  std::string error;
  du::zip_extract::ExtractAll(reader, s_scratch.dest(), &error);
  s_scratch.CheckNothingEscaped();
  return 0;
}
