#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "installer/scratch_home.h"
#include "qmkutils/installer/installer.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using installer::InstallerBom;
using installer::InstallerItem;
using installer::InstallerPackage;
using installer::UpdateList;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kAnyBuild[4] = {-1, -1, -1, -1};

std::unique_ptr<InstallerBom> NewBom() {
  return std::unique_ptr<InstallerBom>(InstallerBom::Construct());
}

std::string Written(const InstallerPackage& package) {
  std::ostringstream out;
  package.SerialOutput(out);
  return out.str();
}

InstallerItem ItemWithBuild(const std::string& build) {
  InstallerItem item;
  std::istringstream in(build + "\n");
  item.SerialInput(in, 'b');
  EXPECT_FALSE(in.fail()) << build;
  return item;
}

std::vector<std::string> Names(const UpdateList& list) {
  std::vector<std::string> names;
  for (const InstallerPackage* package : list) names.push_back(package->GetPackageName());
  return names;
}

TEST(BomRecord, ReadsEveryKeyAndWritesTheInstalledSideByteForByte) {
  auto bom = NewBom();
  std::istringstream in(
      "p tools.bom\r\n"
      "i 3.1\r\n"
      "b 7.0.-1.12\n"
      "e x86e_linux/tool\n"
      "s scripts/start tool.sh\n"
      "m Draw/Shape/Circle\n"
      "m Draw\n"
      "m Draw/Shape/\n"
      "m Text//Wrap/Words\n"
      "d 1.0 1.2.3.4 base.bom\n"
      "S 2.5 -1.-1.0.0 strings.bom\n"
      "P trailing text ignored\n"
      "p other.bom\n"
      "m Only/Download/Side\n"
      "P\n");
  bom->ReadPackage(in, false);
  bom->ReadPackage(in, true);
  bom->ReadPackage(in, false);
  EXPECT_TRUE(in.fail()) << "reading ends when no record follows";

  InstallerPackage* tools = bom->GetPackageForPackageName("tools.bom");
  ASSERT_NE(tools, nullptr);
  EXPECT_TRUE(tools->IsProgram());
  EXPECT_EQ(tools->GetInstalledItem()->GetStartScript(), "scripts/start tool.sh");
  EXPECT_TRUE(tools->GetInstalledItem()->IsExecutable());
  const auto& strings = *std::next(tools->beginInstalledDependencies());
  EXPECT_TRUE(strings->IsLocaleDependent());
  const installer::InstallerFunction& wrap = **std::prev(tools->endInstalledFunctions());
  EXPECT_EQ(wrap.GetModuleName(), "Text");
  EXPECT_EQ(wrap.GetDataType(), "");
  EXPECT_EQ(wrap.GetFunctionName(), "Wrap/Words");
  EXPECT_TRUE(tools->ImplementsFunction("Draw", "Shape", "Circle"));
  EXPECT_FALSE(tools->ImplementsFunction("Draw", "Shape", "Square"));

  // No start script is written, and the localised dependency becomes "d".
  EXPECT_EQ(Written(*tools),
            "p tools.bom\n"
            "m Draw/Shape/Circle\n"
            "m Draw//\n"
            "m Draw/Shape/\n"
            "m Text//Wrap/Words\n"
            "i 3.1\n"
            "b 7.0.-1.12\n"
            "e x86e_linux/tool\n"
            "d 1.0 1.2.3.4 base.bom\n"
            "d 2.5 -1.-1.0.0 strings.bom\n"
            "P\n");
  // A package known only from its download side writes no item.
  InstallerPackage* other = bom->GetPackageForPackageName("other.bom");
  EXPECT_EQ(other->GetInstalledItem(), nullptr);
  EXPECT_TRUE(other->ImplementsFunction("Only", "Download", "Side"));
  EXPECT_EQ(Written(*other), "p other.bom\nP\n");
  EXPECT_EQ(bom->GetPackageForProgram("x86e_linux/tool"), tools);
}

TEST(BomRecord, AMalformedLineEndsTheRecordKeepingWhatWasRead) {
  const std::vector<std::string> badLines = {
      "x something",   "mDraw/Shape/Circle", "i 1",    "i 1.2.3",
      "b 1.2.3",       "b 1.2.3.4x",         "i +1.2", "b 1..2.3",
      "d 1.0 1.2.3.4", "d 1.0 base.bom",     "\n",     "i 99999999999.0"};
  for (const std::string& bad : badLines) {
    auto bom = NewBom();
    std::istringstream in("p a.bom\nm Kept/Type/Fn\ni 4.2\n" + bad + "\nm Lost/Type/Fn\nP\n");
    bom->ReadPackage(in, false);
    EXPECT_TRUE(in.fail()) << bad;
    InstallerPackage* package = bom->GetPackageForPackageName("a.bom");
    ASSERT_NE(package, nullptr) << bad;
    EXPECT_TRUE(package->ImplementsFunction("Kept", "Type", "Fn")) << bad;
    EXPECT_FALSE(package->ImplementsFunction("Lost", "Type", "Fn")) << bad;
    EXPECT_EQ(package->GetInstalledItem()->GetVersion()[0], 4) << bad;
  }
  auto bom = NewBom();
  std::istringstream notRecord("P\n");
  bom->ReadPackage(notRecord, false);
  EXPECT_TRUE(notRecord.fail());
  EXPECT_EQ(bom->beginPackages(), bom->endPackages());
}

TEST(VersionRules, CompareBuildsPositionByPosition) {
  struct Case {
    const char* own;
    const char* other;
    bool shouldUpgrade;
  };
  for (const Case& c : {Case{"1.2.3.4", "1.2.3.4", false}, Case{"1.2.3.4", "1.2.3.5", true},
                        Case{"1.2.3.5", "1.2.3.4", true}, Case{"-1.-1.3.4", "1.2.3.4", true},
                        Case{"-1.2.3.4", "-1.2.3.4", false}, Case{"1.2.3.4", "-1.-1.-1.-1", true},
                        Case{"1.2.3.4", "-1.-1.-1.4", true}}) {
    EXPECT_EQ(ItemWithBuild(c.own).ShouldUpgrade(ItemWithBuild(c.other)), c.shouldUpgrade)
        << c.own << " against " << c.other;
  }
  struct Compatibility {
    int build[4];
    bool buildCompatible;
    bool isBuildCompatible;
  };
  const InstallerItem item = ItemWithBuild("5.3.2.1");
  for (const Compatibility& c :
       {Compatibility{{5, 3, 2, 1}, true, true}, Compatibility{{5, 3, 2, 2}, true, false},
        Compatibility{{5, 3, 1, 9}, false, true}, Compatibility{{5, 4, 0, 0}, true, false},
        Compatibility{{4, 9, 9, 9}, false, true}, Compatibility{{6, 0, 0, 0}, false, false}}) {
    EXPECT_EQ(item.BuildCompatible(c.build), c.buildCompatible) << c.build[0] << c.build[1];
    EXPECT_EQ(item.IsBuildCompatible(c.build), c.isBuildCompatible) << c.build[0] << c.build[1];
  }

  auto bom = NewBom();
  std::istringstream in("p a.bom\nb 1.0.0.0\nP\np a.bom\nb 2.0.0.0\nP\n");
  bom->ReadPackage(in, false);
  InstallerPackage* package = bom->GetPackageForPackageName("a.bom");
  const int newer[4] = {2, 1, 0, 0};
  const int other[4] = {3, 0, 0, 0};
  EXPECT_TRUE(package->DownloadCompatibleWithBuildVersion(other)) << "no download side";
  bom->ReadPackage(in, true);
  EXPECT_EQ(bom->GetPackageForPackageName("a.bom"), package) << "one object for both sides";
  EXPECT_TRUE(package->UpdateAvailable());
  EXPECT_TRUE(package->DownloadCompatibleWithBuildVersion(newer));
  EXPECT_FALSE(package->DownloadCompatibleWithBuildVersion(other));
  EXPECT_TRUE(package->DownloadCompatibleWithBuildVersion(kAnyBuild));
}

TEST(InstallerBomInit, InstalledSideReadsTheBomDirectoryOnce) {
  qmk_test::ScratchHome installation;
  installation.Write("bom/app/b.bom", "p b.bom\ni 1.0\nb 2.0.0.0\nl lib/b.so\nP\n");
  installation.Write("bom/app/a.bom", "p a.bom\ni 1.0\nb 2.1.0.0\ne bin/a\ns bin/a.sh\nP\n");
  installation.Write("bom/app/ignored.BOM", "p ignored.bom\nP\n");
  ASSERT_EQ(mkfifo((installation.home() + "/bom/app/fifo.bom").c_str(), 0600), 0)
      << "a FIFO is passed over, not waited on";
  auto bom = NewBom();
  UpdateList list;
  const int current[4] = {2, 0, 0, 0};
  EXPECT_EQ(bom->Initialize(&list, current, "app"), installer::kInitialized);
  EXPECT_EQ(bom->Initialize(&list, current, "app"), installer::kAlreadyInitializedOrNoHome);
  EXPECT_THAT(Names(list), ElementsAre("a.bom", "b.bom"));
  EXPECT_EQ(bom->beginPackages()->first, "a.bom") << "files are read in name order";
  EXPECT_EQ(bom->GetPackageForPackageName("ignored.bom"), nullptr);
  InstallerPackage* a = bom->GetPackageForPackageName("a.bom");
  EXPECT_EQ(a->GetProgramName(), installation.home() + "/bin/a");
  EXPECT_EQ(a->GetStartScript(), installation.home() + "/bin/a.sh");
  EXPECT_EQ(bom->GetPackageForPackageName("b.bom")->GetProgramName(), "");

  const std::string written = installation.home() + "/all.bom";
  ASSERT_TRUE(bom->WritePackageFile(written));
  EXPECT_EQ(qmk_test::ReadFile(written),
            "p a.bom\ni 1.0\nb 2.1.0.0\ne bin/a\nP\np b.bom\ni 1.0\nb 2.0.0.0\nl lib/b.so\nP\n");
  EXPECT_FALSE(NewBom()->WritePackageFile(written)) << "not initialised";

  const int newer[4] = {2, 0, 0, 1};
  EXPECT_EQ(NewBom()->Initialize(&list, newer, "app"), installer::kBuildNotCompatible);
  qmk_test::ScopedEnvironment noHome;
  noHome.Set("QUILL_HOME", "")
      .Set("XDG_CONFIG_HOME", installation.home())
      .Set("XDG_CONFIG_DIRS", installation.home());
  EXPECT_EQ(NewBom()->Initialize(nullptr, kAnyBuild, "app"),
            installer::kAlreadyInitializedOrNoHome);
}

TEST(InstallerBomInit, DownloadSideListsUpdatesAndChecksBuilds) {
  qmk_test::ScratchHome installation;
  installation.Write("bom/app/a.bom", "p a.bom\ni 1.0\nb 2.0.0.0\nl lib/a.so\nP\n");
  installation.Write("bom/app/b.bom", "p b.bom\ni 1.0\nb 2.0.0.0\nl lib/b.so\nP\n");
  const std::string list = installation.Write("list.txt",
                                              "p b.bom\ni 1.1\nb 2.0.0.0\nl lib/b.so\nP\n"
                                              "p a.bom\ni 1.1\nb 2.0.1.0\nl lib/a.so\nP\n"
                                              "p new.bom\ni 1.0\nb 2.0.0.3\nl lib/new.so\nP\n");
  auto bom = NewBom();
  UpdateList updates;
  const int build[4] = {2, 0, 1, 0};
  ASSERT_EQ(bom->Initialize(list, "app", &updates, build), installer::kInitialized);
  EXPECT_THAT(Names(updates), ElementsAre("a.bom"));
  EXPECT_EQ(bom->GetDownloadURL(), list);
  EXPECT_EQ(bom->beginPackages()->first, "b.bom") << "the list is read before the boms";
  EXPECT_EQ(bom->GetPackageForPackageName("new.bom")->GetDownloadFileName(),
            list + "/x86e_linux/new.zip");
  EXPECT_EQ(bom->GetPackageForPackageName("a.bom")->GetDownloadItem()->GetBuild()[2], 1);

  const int otherMajor[4] = {3, 0, 0, 0};
  EXPECT_EQ(NewBom()->Initialize(list, "app", &updates, otherMajor),
            installer::kBuildNotCompatible);
  // A missing home is made, with its parents.
  qmk_test::ScopedEnvironment deeper;
  deeper.Set("QUILL_HOME", installation.home() + "/x/y");
  EXPECT_EQ(NewBom()->Initialize(list, "app", nullptr, kAnyBuild), installer::kInitialized);
  EXPECT_TRUE(std::filesystem::is_directory(installation.home() + "/x/y"));
}

TEST(Availability, FollowsInstalledAndLocalisedDependencies) {
  qmk_test::ScratchHome installation;
  qmk_test::ScopedEnvironment language;
  language.Set("QUILL_LANG", "de");
  installation.Write("bom/app/app.bom",
                     "p app.bom\ni 1.0\nb 1.0.0.0\nd 1.0 1.0.0.0 base.bom\n"
                     "S 1.0 1.0.0.0 text.bom\nP\n");
  installation.Write("bom/app/base.bom",
                     "p base.bom\ni 1.0\nb 1.0.0.0\nd 1.0 1.0.0.0 app.bom\nP\n");
  installation.Write("bom/app/text.bom", "p text.bom\ni 1.0\nb 1.0.0.0\nP\n");
  installation.Write("bom/app/broken.bom",
                     "p broken.bom\ni 1.0\nb 1.0.0.0\nd 1.0 1.0.0.0 gone.bom\nP\n");
  installation.Write("bom/app/half.bom",
                     "p half.bom\ni 1.0\nb 1.0.0.0\nd 1.0 1.0.0.0 nowhere.bom\nP\n");
  const std::string list = installation.Write("list.txt",
                                              "p text_de.bom\ni 1.0\nb 1.0.0.0\nP\n"
                                              "p nowhere.bom\nP\n");
  auto bom = NewBom();
  ASSERT_EQ(bom->Initialize(list, "app", nullptr, kAnyBuild), installer::kInitialized);

  // base.bom and app.bom depend on each other: the cycle counts as
  // available, and only the German text package is missing.
  UpdateList updates;
  EXPECT_FALSE(bom->GetPackageForPackageName("app.bom")->IsPackageAvailable(&updates));
  EXPECT_THAT(Names(updates), ElementsAre("text_de.bom"));
  updates.clear();
  EXPECT_TRUE(bom->GetPackageForPackageName("base.bom")->IsPackageAvailable(&updates));
  EXPECT_THAT(updates, IsEmpty());
  // A dependency that no record names; one known by name only.
  updates.insert(bom->GetPackageForPackageName("text.bom"));
  EXPECT_FALSE(bom->GetPackageForPackageName("broken.bom")->IsPackageAvailable(&updates));
  EXPECT_FALSE(bom->GetPackageForPackageName("half.bom")->IsPackageAvailable(&updates));
  EXPECT_THAT(updates, IsEmpty()) << "a dependency missing on both sides empties the list";
  // Not installed but downloadable: listed itself.
  EXPECT_FALSE(bom->GetPackageForPackageName("text_de.bom")->IsPackageAvailable(&updates));
  EXPECT_THAT(Names(updates), Contains("text_de.bom"));
}

TEST(FunctionManagerState, SurvivesBomFilesAddedMidLoopAndASecondInitialisation) {
  qmk_test::ScratchHome installation;
  const std::string list =
      installation.Write("list.txt", "p a.bom\nm Tools\ni 1.0\nb 1.0.0.0\nP\n");
  std::unique_ptr<installer::FunctionManager> manager(installer::FunctionManager::Construct());
  UpdateList updates;
  ASSERT_EQ(manager->InitializeFromUrl(list, "app", false, &updates, kAnyBuild, nullptr),
            installer::kInitialized);
  // Looking for a.bom on disk reads these too, growing the package list
  // that LoadModule walks.
  for (char c = 'a'; c <= 'z'; ++c) {
    const std::string name = std::string(1, c) + "x.bom";
    installation.Write("bom/app/" + name, "p " + name + "\ni 1.0\nb 1.0.0.0\nP\n");
  }
  EXPECT_TRUE(manager->LoadModule("Tools", &updates));
  EXPECT_THAT(Names(updates), ElementsAre("a.bom"));
  // The packages in the list stay valid: the manager keeps its bom.
  EXPECT_EQ(manager->InitializeInstalled(&updates, kAnyBuild, "app"),
            installer::kAlreadyInitializedOrNoHome);
  EXPECT_TRUE(manager->LoadModule("Tools", &updates));
  EXPECT_THAT(Names(updates), ElementsAre("a.bom"));
}

}  // namespace
