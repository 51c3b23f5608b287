#include "zip_command.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/fileio/internal/zipextract.h"
#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/fileio/zipwriter.h"
#include "qmkutils/platform/filesystem.h"

namespace qmk {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kUsage =
    "Usage: qmk zip list ARCHIVE\n"
    "       qmk zip add ARCHIVE PATH...\n"
    "       qmk zip extract ARCHIVE [FOLDER]\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return kUsageError;
}

int Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "qmk zip: %s \"%s\"\n", what, path.c_str());
  return kFailed;
}

int List(const std::string& archive) {
  du::ZipReader reader(archive);
  std::vector<std::string> names;
  if (!reader.ListContents(names)) return Fail("cannot read the archive", archive);
  for (const std::string& name : names) std::printf("%s\n", name.c_str());
  return kDone;
}

int Add(const std::string& archive, const std::vector<std::string>& paths) {
  du::ZipWriter writer(archive);
  int mode = dp::FileSystem::FileExists(archive.c_str()) ? du::ZipWriter::kAddInArchive
                                                         : du::ZipWriter::kCreate;
  for (std::string path : paths) {
    bool added = false;
    if (dp::FileSystem::DirExists(path.c_str())) {
      if (path.back() != '/') path += '/';
      added = writer.AddAllFilesFromDir(path, mode, true);
    } else {
      added = writer.AddFile(path, mode);
    }
    if (!added) return Fail("cannot add", path);
    mode = du::ZipWriter::kAddInArchive;
  }
  return kDone;
}

int Extract(const std::string& archive, const std::string& folder) {
  if (!dp::FileSystem::DirExists(folder.c_str())) return Fail("no such folder", folder);
  du::ZipReader reader(archive);
  std::string error;
  if (!du::zip_extract::ExtractAll(reader, folder, &error)) {
    std::fprintf(stderr, "qmk zip: \"%s\": %s\n", archive.c_str(), error.c_str());
    return kFailed;
  }
  return kDone;
}

}  // namespace

int RunZipCommand(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string_view action = argv[0];
  const std::string archive = argv[1];
  if (action == "list" && argc == 2) return List(archive);
  if (action == "add" && argc >= 3)
    return Add(archive, std::vector<std::string>(argv + 2, argv + argc));
  if (action == "extract" && argc <= 3) return Extract(archive, argc == 3 ? argv[2] : ".");
  return Usage();
}

}  // namespace qmk
