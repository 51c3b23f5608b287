#include "qmkutils/platform/qmsysinfo.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using dp::QmSysInfo;

TEST(QmSysInfo, MachineFacts) {
  std::string text;
  for (auto getter : {QmSysInfo::GetHostname, QmSysInfo::GetUsername, QmSysInfo::GetOSName}) {
    text.clear();
    ASSERT_TRUE(getter(text) && !text.empty());
  }
  EXPECT_TRUE(text.front() != '"' && text.back() != '"') << text;  // the OS name, unquoted

  // The release's three leading numbers, a blank, then the rest of it.
  ASSERT_TRUE(QmSysInfo::GetOSVersion(text));
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, std::regex(R"((\d+)\.(\d+)\.(\d+) (.*))"))) << text;
  utsname system{};
  ASSERT_EQ(uname(&system), 0);
  const std::string release = system.release;
  EXPECT_EQ(release.rfind(match[1].str() + "." + match[2].str(), 0), 0u) << release;
  EXPECT_NE(release.find(match[4].str()), std::string::npos);
}

TEST(QmSysInfo, TessalineFromTheClassesRoot) {
  qmk_test::TempDir root;
  qmk_test::ScopedEnvironment environment;
  environment.Set("XDG_CONFIG_HOME", root / "user").Set("XDG_CONFIG_DIRS", root / "system");
  std::filesystem::create_directories(root / "system/zembra");
  const std::string section =
      "[Classes\\CLSID\\{6E1F3C2A-8B4D-4F7E-9A51-3D2C7B8E0F14}\\InprocServer32]\n";
  EXPECT_FALSE(QmSysInfo::IsTessalineInstalled());
  // The key without the classes-root prefix is somebody else's; a Windows
  // path gives no directory.
  for (const auto& [store, installed, info] :
       {std::tuple{section.substr(0, 1) + section.substr(9) + "@=/x/t.so\n", false, "(v)(d)"},
        std::tuple{section, true, "(v)(d)"},
        std::tuple{section + "@=C:\\Program Files\\Tess\\tess.dll\nVersion=4.x\n", true, "(v)(d)"},
        std::tuple{section + "@=/opt/tess/lib/libtess.so\nVersion=04.010.2.7 beta\n", true,
                   "4.10.2.7/opt/tess/lib"}}) {
    qmk_test::WriteFile(root / "system/zembra/registry.ini", store);
    std::string version = "(v)", directory = "(d)";
    EXPECT_EQ(QmSysInfo::IsTessalineInstalled(), installed) << store;
    const bool found = QmSysInfo::GetTessalineInfo(version, directory);
    EXPECT_EQ(found, std::string(info) != "(v)(d)") << store;
    EXPECT_EQ(version + directory, info) << store;
  }
}

}  // namespace
