#include "qmkutils/platform/qmsysinfo.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <filesystem>
#include <regex>
#include <string>

#include "qmkutils/platform/system.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using dp::QmSysInfo;

TEST(QmSysInfo, MachineFacts) {
  std::string text;
  ASSERT_TRUE(QmSysInfo::GetHostname(text));
  EXPECT_FALSE(text.empty());
  ASSERT_TRUE(QmSysInfo::GetUsername(text));
  EXPECT_FALSE(text.empty());
  ASSERT_TRUE(QmSysInfo::GetOSName(text));
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.front(), '"');
  EXPECT_NE(text.back(), '"');

  // The release's three leading numbers, a blank, then the rest of it.
  ASSERT_TRUE(QmSysInfo::GetOSVersion(text));
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, std::regex(R"((\d+)\.(\d+)\.(\d+) (.*))"))) << text;
  utsname system{};
  ASSERT_EQ(uname(&system), 0);
  const std::string release = system.release;
  EXPECT_EQ(release.rfind(match[1].str() + "." + match[2].str(), 0), 0u) << release;
  EXPECT_NE(release.find(match[4].str()), std::string::npos);

  int width = -1, height = -1, bits = -1;
  EXPECT_FALSE(QmSysInfo::GetResolution(width, height, bits));
  EXPECT_EQ(width + height + bits, -3);
  text = "(untouched)";
  EXPECT_FALSE(QmSysInfo::GetDisplayType(text));
  EXPECT_EQ(text, "(untouched)");

  EXPECT_TRUE(dp::System::GetSystemUserName(&text));
  EXPECT_EQ(text, "username");
  EXPECT_FALSE(dp::System::GetSystemUserName(nullptr));
}

TEST(QmSysInfo, TessalineFromTheClassesRoot) {
  qmk_test::TempDir root;
  qmk_test::ScopedEnvironment environment;
  environment.Set("XDG_CONFIG_HOME", root / "user").Set("XDG_CONFIG_DIRS", root / "system");
  std::filesystem::create_directories(root / "system/zembra");
  const std::string store = root / "system/zembra/registry.ini";
  const std::string section =
      "[Classes\\CLSID\\{6E1F3C2A-8B4D-4F7E-9A51-3D2C7B8E0F14}\\InprocServer32]\n";
  std::string version = "(v)", directory = "(d)";

  EXPECT_FALSE(QmSysInfo::IsTessalineInstalled());
  EXPECT_FALSE(QmSysInfo::GetTessalineInfo(version, directory));
  // The key without the classes-root prefix is somebody else's.
  qmk_test::WriteFile(store, section.substr(0, 1) + section.substr(9) + "@=/x/t.so\n");
  EXPECT_FALSE(QmSysInfo::IsTessalineInstalled());

  qmk_test::WriteFile(store, section);
  EXPECT_TRUE(QmSysInfo::IsTessalineInstalled());
  EXPECT_FALSE(QmSysInfo::GetTessalineInfo(version, directory));
  EXPECT_EQ(version + directory, "(v)(d)");

  qmk_test::WriteFile(store, section + "@=C:\\Program Files\\Tess\\tess.dll\nVersion=4.x\n");
  EXPECT_FALSE(QmSysInfo::GetTessalineInfo(version, directory));
  EXPECT_EQ(version + directory, "(v)(d)");

  qmk_test::WriteFile(store, section + "@=/opt/tess/lib/libtess.so\nVersion=04.010.2.7 beta\n");
  EXPECT_TRUE(QmSysInfo::GetTessalineInfo(version, directory));
  EXPECT_EQ(version, "4.10.2.7");
  EXPECT_EQ(directory, "/opt/tess/lib");
}

}  // namespace
