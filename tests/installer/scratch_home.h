// A scratch folder for the installer tests with an installation home below
// it, which QUILL_HOME names for the helper's lifetime.
#ifndef QMKUTILS_TESTS_INSTALLER_SCRATCH_HOME_H_
#define QMKUTILS_TESTS_INSTALLER_SCRATCH_HOME_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "qmkutils/fileio/zipwriter.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace qmk_test {

class ScratchHome {
 public:
  ScratchHome() {
    std::filesystem::create_directories(home());
    environment_.Set("QUILL_HOME", home());
  }
  std::string home() const { return root_ / "home"; }
  // A path in the scratch folder, beside (not below) the home.
  std::string operator/(const std::string& name) const { return root_ / name; }

  // Writes `name` below the home, making its folders; returns its path.
  std::string Write(const std::string& name, const std::string& text) const {
    const std::filesystem::path path = home() + "/" + name;
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path, text);
    return path;
  }

  // An archive in the scratch folder of (entry name, contents) pairs.
  std::string Archive(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& entries) const {
    du::ZipWriter writer(root_ / name);
    int mode = du::ZipWriter::kCreate;
    for (const auto& [entry, contents] : entries) {
      WriteFile(root_ / "source", contents);
      EXPECT_TRUE(writer.AddFile(root_ / "source", entry, mode)) << entry;
      mode = du::ZipWriter::kAddInArchive;
    }
    return root_ / name;
  }

 private:
  TempDir root_;
  ScopedEnvironment environment_;
};

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_INSTALLER_SCRATCH_HOME_H_
