#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "examples/plugin/greeter.h"
#include "installer/scratch_home.h"
#include "qmkutils/installer/installer.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/temp_dir.h"

namespace {

using installer::FunctionManager;
using installer::InstallerBom;
using installer::InstallerPackage;
using installer::UpdateList;
using qmk_test::ReadFile;
using qmk_test::WriteFile;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int kAnyBuild[4] = {-1, -1, -1, -1};
constexpr char kLibrary[] = "x86e_linux/obj/libgreeter_plugin.so";

namespace fs = std::filesystem;

std::unique_ptr<InstallerBom> InitializedBom() {
  std::unique_ptr<InstallerBom> bom(InstallerBom::Construct());
  EXPECT_EQ(bom->Initialize(nullptr, kAnyBuild, "app"), installer::kInitialized);
  return bom;
}

TEST(PackageInstall, InstallsTheSamplePackageAndCreatesItsComponents) {
  qmk_test::ScratchHome downloads;
  const std::string library = downloads.Write(kLibrary, "an older library");
  const std::string archive =
      downloads.Archive("greeter.zip", {{"bom/app/greeter.bom", ReadFile(QMK_GREETER_BOM)},
                                        {kLibrary, ReadFile(QMK_GREETER_PLUGIN)}});
  {
    qmk_test::ScopedTraceRecorder traces;
    auto bom = InitializedBom();
    InstallerPackage package("greeter.bom", bom.get());
    EXPECT_FALSE(package.InstallDownloadFile(archive)) << "the result is always false";
    ASSERT_NE(package.GetInstalledItem(), nullptr) << "the installed bom is read back";
    EXPECT_EQ(package.GetInstalledItem()->GetComponentName(), kLibrary);
    EXPECT_THAT(traces.log().Texts(), Contains("Output file " + library + " allready exists\n"));
    EXPECT_THAT(traces.log().Texts(), Contains("Contains 2 entries\n"));
    EXPECT_FALSE(fs::exists(downloads.home() + "/quill_lock")) << "released after installing";
  }
  EXPECT_EQ(ReadFile(library), ReadFile(QMK_GREETER_PLUGIN));

  // A second package with its own copy of the library, to see the order of
  // termination.
  const std::string second = downloads.home() + "/second.so";
  fs::copy_file(library, second);
  downloads.Write("bom/app/second.bom",
                  "p second.bom\nm greetings/text/Wave\ni 1.0\nb 1.0.0.0\nl second.so\nP\n");
  qmk_test::ScopedTraceRecorder traces;
  {
    std::unique_ptr<FunctionManager> manager(FunctionManager::Construct());
    ASSERT_EQ(manager->InitializeInstalled(nullptr, kAnyBuild, "app"), installer::kInitialized);
    EXPECT_TRUE(manager->IsReady());
    EXPECT_TRUE(manager->HasFunction("greetings", "", "Goodbye"));
    EXPECT_FALSE(manager->HasFunction("greetings", "image", ""));
    UpdateList updates;
    du::SmartPtr<du::RefCounted> component;
    ASSERT_TRUE(manager->GetFunction("greetings", "text", "Goodbye", &updates, &component));
    EXPECT_THAT(updates, IsEmpty());
    const auto* greeter = dynamic_cast<const greeter::Greeter*>(component.Get());
    ASSERT_NE(greeter, nullptr);
    EXPECT_EQ(greeter->Greet("Ada"), "Goodbye, Ada!");
    component.Reset();
    // Neither package lists "Wave" as a whole module, so LoadModule finds
    // nothing; the second package is loaded through its function.
    EXPECT_TRUE(manager->LoadModule("greetings", &updates));
    ASSERT_TRUE(manager->GetFunction("greetings", "text", "Wave", &updates, &component));
    EXPECT_EQ(component.Get(), nullptr) << "the library makes no Wave";
    EXPECT_FALSE(manager->GetFunction("greetings", "audio", "Hello", &updates, &component));
    std::string build;
    EXPECT_TRUE(manager->GetProgramBuild("second.so", &build));
    EXPECT_EQ(build, "1.0.0.0");
  }
  std::vector<std::string> lifecycle;
  for (const auto& record : traces.log().Records())
    if (record.key == "greeter") lifecycle.push_back(record.text);
  EXPECT_EQ(lifecycle, (std::vector<std::string>{"init " + library + "\n", "init " + second + "\n",
                                                 "terminate " + second + "\n",
                                                 "terminate " + library + "\n"}));
}

TEST(PackageInstall, RefusesUnsafeArchivesAndAHeldLock) {
  qmk_test::ScratchHome downloads;
  auto bom = InitializedBom();
  InstallerPackage package("evil.bom", bom.get());
  for (const char* name :
       {"../outside.txt", "lib/../../outside.txt", "/outside.txt", "C:/outside.txt"}) {
    qmk_test::ScopedTraceRecorder traces;
    package.InstallDownloadFile(downloads.Archive(
        "evil.zip", {{"bom/app/evil.bom", "p evil.bom\ni 1.0\nb 1.0.0.0\nP\n"}, {name, "x"}}));
    EXPECT_FALSE(fs::exists(downloads / "outside.txt")) << name;
    EXPECT_FALSE(fs::exists(downloads.home() + "/bom")) << name << ": nothing is installed";
    EXPECT_EQ(package.GetInstalledItem(), nullptr);
  }
  qmk_test::ScopedTraceRecorder traces;
  WriteFile(downloads / "not.zip", "not an archive");
  package.InstallDownloadFile(downloads / "not.zip");
  EXPECT_THAT(traces.log().Texts(),
              Contains("Failed to open file \"" + (downloads / "not.zip") + "\"\n"));

  // Another installer holds the lock: nothing is written.
  const std::string good = downloads.Archive("good.zip", {{"data.txt", "x"}});
  bom.reset();
  fs::create_directory(downloads.home() + "/quill_lock");
  bom = InitializedBom();
  InstallerPackage blocked("good.bom", bom.get());
  blocked.InstallDownloadFile(good);
  EXPECT_THAT(traces.log().Texts(), Contains("Failed to obtain file system lock...\n"));
  EXPECT_FALSE(fs::exists(downloads.home() + "/data.txt"));
  EXPECT_TRUE(fs::exists(downloads.home() + "/quill_lock")) << "another's lock stays";
}

// Installers in many threads, each with its own bom, race for the
// installation lock without retries. Every archive writes the same two
// files with its own mark; whoever installs last must leave both files
// from the same archive.
TEST(PackageInstallRace, TheInstallationLockKeepsEachArchiveWhole) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 15;
  qmk_test::ScratchHome downloads;
  std::vector<std::string> archives;
  for (int t = 0; t < kThreads; ++t) {
    const std::string mark = std::to_string(t);
    archives.push_back(downloads.Archive(
        "p" + mark + ".zip",
        {{"bom/app/shared.bom", "p shared.bom\ni " + mark + ".0\nb 1.0.0.0\nl data.txt\nP\n"},
         {"data.txt", std::string(20000, static_cast<char>('a' + t))}}));
  }
  std::atomic<int> installed{0};
  qmk_test::RunThreads(kThreads, [&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      std::unique_ptr<InstallerBom> bom(InstallerBom::Construct());
      bom->Initialize(nullptr, kAnyBuild, "app");
      InstallerPackage package("shared.bom", bom.get());
      package.InstallDownloadFile(archives[t]);
      if (package.GetInstalledItem() != nullptr) ++installed;
    }
  });
  EXPECT_GT(installed.load(), 0);
  EXPECT_FALSE(fs::exists(downloads.home() + "/quill_lock"));
  const std::string bomText = ReadFile(downloads.home() + "/bom/app/shared.bom");
  ASSERT_THAT(bomText, HasSubstr("\ni "));
  const int mark = bomText[bomText.find("\ni ") + 3] - '0';
  EXPECT_EQ(ReadFile(downloads.home() + "/data.txt"),
            std::string(20000, static_cast<char>('a' + mark)));
}

}  // namespace
