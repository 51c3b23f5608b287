#include "qmkutils/platform/filespec.h"

#include <gtest/gtest.h>

#include <list>
#include <stdexcept>
#include <string>

namespace {

using dp::FileSpec;
using Dirs = std::list<std::string>;
using Getter = bool (FileSpec::*)(std::string*) const;

constexpr dp::PathStyle kWin = dp::PathStyle::Windows;
constexpr const char* kNone = "<none>";

// kNone when the getter fails, which also proves it left the output alone.
std::string Get(const FileSpec& parsed, Getter getter = &FileSpec::GetFileSpec) {
  std::string text = kNone;
  (parsed.*getter)(&text);
  return text;
}

std::string Location(const FileSpec& parsed, bool trailingSeparator) {
  std::string text = kNone;
  parsed.GetLocation(&text, trailingSeparator);
  return text;
}

Dirs DirsOf(const FileSpec& parsed) { return Dirs(parsed.DirBegin(), parsed.DirEnd()); }

TEST(FileSpecWindows, ParsesDrivesAndMixedSeparatorsAndWritesBackslashes) {
  const FileSpec parsed("C:/data\\x.tar.gz", kWin);
  EXPECT_EQ("C", Get(parsed, &FileSpec::GetDrive));
  EXPECT_EQ("x", Get(parsed, &FileSpec::GetFileBaseName));
  EXPECT_EQ("tar.gz", Get(parsed, &FileSpec::GetFileExtension));
  EXPECT_EQ(Dirs{"data"}, DirsOf(parsed));
  EXPECT_EQ("C:\\data\\x.tar.gz", Get(parsed));
  EXPECT_EQ("C:\\data\\", Location(parsed, true));
  // A drive-relative path gains a separator; a root gets exactly one.
  EXPECT_TRUE(FileSpec("C:x", kWin).IsRelative());
  EXPECT_EQ("C:\\x", Get(FileSpec("C:x", kWin)));
  EXPECT_EQ("C:\\", Location(FileSpec("C:\\x", kWin), true));
  EXPECT_EQ("\\x", Get(FileSpec("/x", kWin)));
  EXPECT_TRUE(FileSpec::IsAbsolute("C:x", kWin));
  EXPECT_FALSE(FileSpec::IsAbsolute("1:x", kWin) || FileSpec::IsAbsolute(nullptr, kWin));
}

TEST(FileSpecNative, SameCasesWithoutDrives) {
  const FileSpec parsed("/data/x.tar.gz");
  EXPECT_EQ(Dirs{"data"}, DirsOf(parsed));
  EXPECT_EQ("/data/x.tar.gz", Get(parsed));
  EXPECT_EQ(parsed, FileSpec("\\data\\x.tar.gz"));
  // "C:" is an ordinary name, never a drive.
  FileSpec colon("C:/x");
  EXPECT_EQ(kNone, Get(colon, &FileSpec::GetDrive));
  EXPECT_EQ(Dirs{"C:"}, DirsOf(colon));
  EXPECT_EQ("C:/x", Get(colon));
  EXPECT_FALSE(colon.SetDrive("D") || FileSpec::IsAbsolute("C:x"));
  EXPECT_TRUE(FileSpec::IsAbsolute("\\x"));
  EXPECT_EQ("/", Get(FileSpec("/")));
  // The file part splits at its first dot; a dot file survives a round trip.
  const FileSpec dotFile("/home/u/.profile");
  EXPECT_EQ(kNone, Get(dotFile, &FileSpec::GetFileBaseName));
  EXPECT_EQ(".profile", Get(dotFile, &FileSpec::GetFile));
  EXPECT_EQ("/home/u/.profile", Get(dotFile));
}

TEST(FileSpecStyles, DoubledSeparatorsDotsEqualityAndOrdering) {
  const FileSpec windows("a\\\\b\\", kWin);
  const FileSpec native("a//b/");
  for (const FileSpec* parsed : {&windows, &native}) {
    EXPECT_EQ((Dirs{"a", "", "b"}), DirsOf(*parsed));
    EXPECT_EQ(kNone, Get(*parsed, &FileSpec::GetFile));
  }
  EXPECT_EQ("a\\\\b", Get(windows));
  EXPECT_EQ("a//b", Get(native));
  // Uncancelled parents stay.
  FileSpec parsed("../a/./b/../c");
  parsed.RemoveDotAndDotDot();
  EXPECT_EQ((Dirs{"..", "a"}), DirsOf(parsed));
  FileSpec chain("a/b/../../c/d/./../");
  chain.RemoveDotAndDotDot();
  EXPECT_EQ(Dirs{"c"}, DirsOf(chain));
  // Relative sorts before absolute on the same drive, whatever the directories.
  EXPECT_LT(FileSpec("C:z\\z\\z", kWin), FileSpec("C:\\a", kWin));
  EXPECT_FALSE(FileSpec("C:\\a", kWin) < FileSpec("C:z\\z\\z", kWin));
  EXPECT_LT(FileSpec("D:\\z", kWin), FileSpec("E:a", kWin));
  EXPECT_LT(FileSpec("a/b.x"), FileSpec("a/b.y"));
  EXPECT_FALSE(FileSpec("a/B") == FileSpec("a/b") || FileSpec("/a") == FileSpec("a"));
  // A drive is what tells the styles' parses apart.
  EXPECT_NE(FileSpec("C:/a"), FileSpec("C:/a", kWin));
}

TEST(FileSpecStyles, PartialUpdatesAndFailures) {
  FileSpec parsed("C:\\old\\name.txt", kWin);
  EXPECT_FALSE(parsed.SetFileSpec("") || parsed.SetLocation("") || parsed.SetFile(""));
  EXPECT_EQ("C:\\old\\name.txt", Get(parsed));
  ASSERT_TRUE(parsed.SetDirPath("D:/new/dir") && parsed.SetFile("E:\\ignored\\other.cfg"));
  EXPECT_EQ("D:\\new\\dir\\other.cfg", Get(parsed));
  EXPECT_FALSE(parsed.GetFileSpec(nullptr) || parsed.GetLocation(nullptr, false));
  FileSpec copy = parsed;
  copy = "x/y";
  EXPECT_EQ("x\\y", Get(copy));
  copy.clear();
  EXPECT_EQ(kNone, Get(copy));
  copy.DirPopFront();
  copy.DirPopBack();
  EXPECT_THROW(copy.DirFront(), std::out_of_range);
  EXPECT_EQ(copy.DirEnd(), copy.DirErase(copy.DirEnd()));
  copy.DirPushBack("m");
  copy.DirPushBack("n");
  EXPECT_EQ("m\\n", Location(copy, false)) << "clear() keeps the style";
}

}  // namespace
