#include "qmkutils/fileio/findfile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace {

using du::FindFile;
using ::testing::ElementsAre;
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
  using Pair = std::pair<const char*, const char*>;  // pattern, name
  for (const auto& [pattern, name] :
       {Pair{"*.*", "noextension"}, Pair{"*.*", ".."}, Pair{"*.txt", "A.TXT"}, Pair{"a?c", "abc"},
        Pair{"a**b", "ab"}, Pair{"*x*y*", "axbxcy"}, Pair{"\xc3\xa9*", "\xc3\xa9t"}}) {
    EXPECT_TRUE(FindFile::MatchesWildcard(pattern, name)) << pattern << " " << name;
  }
  for (const auto& [pattern, name] :
       {Pair{"*.txt", "a.txt.bak"}, Pair{"a?c", "ac"}, Pair{"*a", "ab"}, Pair{"*.*.*", "a.b"},
        Pair{"abc", "abcd"}, Pair{"?", ""}, Pair{"\xc3\xa9", "\xc3\x89"}}) {
    EXPECT_FALSE(FindFile::MatchesWildcard(pattern, name)) << pattern << " " << name;
  }
  // Back-tracking stays linear: this would take ages with naive recursion.
  EXPECT_FALSE(FindFile::MatchesWildcard("*a*a*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(FindFileTest, ListsMatchesSortedWithTheSearchPathAsLocation) {
  qmk_test::TempDir dir, other;
  for (const char* name : {"b.txt", "A.TXT", "c", ".profile", "abc.tar.gz"}) {
    qmk_test::WriteFile(dir / name, "x");
  }
  FindFile finder;
  EXPECT_TRUE(finder.GetNextFileName().empty());  // no search yet
  EXPECT_THAT(FoundNames(finder, dir / "*.*"),
              ElementsAre(".", "..", ".profile", "A.TXT", "abc.tar.gz", "b.txt", "c"));
  EXPECT_THAT(FoundNames(finder, dir / "?"), ElementsAre(".", "c"));
  EXPECT_THAT(FoundNames(finder, dir / "B.TXT"), ElementsAre("b.txt"));
  EXPECT_THAT(FoundNames(finder, dir / "missing/*.*"), IsEmpty());

  std::string path;
  ASSERT_TRUE(finder.FindFirstFileName(dir / "a*.gz").GetFileSpec(&path));
  EXPECT_EQ(path, dir / "abc.tar.gz");
  // A new search replaces the open one.
  qmk_test::WriteFile(other / "z", "x");
  EXPECT_THAT(FoundNames(finder, other / "?"), ElementsAre(".", "z"));
  // Past the end, and after a failed search, the result stays empty.
  EXPECT_TRUE(finder.GetNextFileName().empty());
  EXPECT_TRUE(finder.FindFirstFileName(du::Symbol(dir / "nothing")).empty());
  EXPECT_TRUE(finder.GetNextFileName().empty());
}

}  // namespace
