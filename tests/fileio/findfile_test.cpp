#include "qmkutils/fileio/findfile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using du::FindFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::vector<std::string> FoundNames(FindFile& finder, const std::string& searchPath) {
  std::vector<std::string> names;
  for (finder.FindFirstFileName(searchPath); !finder.GetFoundName().empty();
       finder.GetNextFileName()) {
    names.push_back(finder.GetFoundName());
  }
  return names;
}

TEST(FindFileTest, WildcardsMatchAsOnWindows) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.*", "noextension", true},
      {"*.*", ".profile", true},
      {"*.*", "..", true},
      {"*", "", true},
      {"*.txt", "A.TXT", true},
      {"*.txt", "a.txt.bak", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a?c", "abbc", false},
      {"A*C", "abbbc", true},
      {"*a", "ba", true},
      {"*a", "ab", false},
      {"a**b", "ab", true},
      {"*.*.*", "a.b", false},
      {"*x*y*", "axbxcy", true},
      {"abc", "ABC", true},
      {"abc", "abcd", false},
      {"?", "", false},
      {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true},
      {"\xc3\xa9", "\xc3\x89", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindFile::MatchesWildcard(c.pattern, c.name), c.matches)
        << "pattern \"" << c.pattern << "\", name \"" << c.name << "\"";
  }
  // Back-tracking stays linear: this would take ages with naive recursion.
  EXPECT_FALSE(FindFile::MatchesWildcard("*a*a*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(FindFileTest, ListsMatchesSortedWithTheSearchPathAsLocation) {
  qmk_test::TempDir dir;
  for (const char* name : {"b.txt", "A.TXT", "c", "c.", ".profile", "abc.tar.gz"}) {
    qmk_test::WriteFile(dir / name, "x");
  }
  FindFile finder;
  EXPECT_THAT(FoundNames(finder, dir / "*.*"),
              ElementsAre(".", "..", ".profile", "A.TXT", "abc.tar.gz", "b.txt", "c", "c."));
  EXPECT_THAT(FoundNames(finder, dir / "*.txt"), ElementsAre("A.TXT", "b.txt"));
  EXPECT_THAT(FoundNames(finder, dir / "?"), ElementsAre(".", "c"));
  EXPECT_THAT(FoundNames(finder, dir / "B.TXT"), ElementsAre("b.txt"));
  EXPECT_THAT(FoundNames(finder, dir / "zz*"), IsEmpty());
  EXPECT_THAT(FoundNames(finder, dir / "missing/*.*"), IsEmpty());

  std::string path;
  ASSERT_TRUE(finder.FindFirstFileName(dir / "a*.gz").GetFileSpec(&path));
  EXPECT_EQ(path, dir / "abc.tar.gz");
  EXPECT_TRUE(finder.GetNextFileName().empty());
  // Past the end, and after a failed search, the result stays empty.
  EXPECT_TRUE(finder.GetNextFileName().empty());
  EXPECT_TRUE(finder.FindFirstFileName(du::Symbol(dir / "nothing")).empty());
  EXPECT_TRUE(finder.GetNextFileName().empty());
}

TEST(FindFileTest, RelativeSearchReadsTheCurrentDirectory) {
  qmk_test::TempDir dir;
  qmk_test::WriteFile(dir / "only.one", "x");
  const std::string previous = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path());
  FindFile finder;
  std::string path;
  const bool found = finder.FindFirstFileName("*.one").GetFileSpec(&path);
  std::filesystem::current_path(previous);
  ASSERT_TRUE(found);
  EXPECT_EQ(path, "only.one");
}

TEST(FindFileTest, NewSearchReplacesTheOpenOne) {
  qmk_test::TempDir first, second;
  for (const char* name : {"1", "2", "3"}) qmk_test::WriteFile(first / name, "x");
  qmk_test::WriteFile(second / "z", "x");
  FindFile finder;
  finder.FindFirstFileName(first / "?");
  EXPECT_THAT(FoundNames(finder, second / "?"), ElementsAreArray({".", "z"}));
  FindFile unused;
  EXPECT_TRUE(unused.GetNextFileName().empty());
}

}  // namespace
