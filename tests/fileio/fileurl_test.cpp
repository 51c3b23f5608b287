#include "qmkutils/fileio/fileurl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

TEST(FileUrlTest, EscapesEverythingButUnreservedCharacters) {
  struct Case {
    std::string in;
    std::size_t start, count;
    const char* out;
  };
  const Case cases[] = {
      {"AZaz09-_.!~*'()", 0, std::string::npos, "AZaz09-_.!~*'()"},
      {"a b/c?d=e&f#g%h", 0, std::string::npos, "a%20b%2fc%3fd%3de%26f%23g%25h"},
      {std::string("\x00\x7f\xc3\xff", 4), 0, std::string::npos, "%00%7f%c3%ff"},
      {"abcdef", 2, 3, "cde"},
      {"abcdef", 4, 100, "ef"},
  };
  std::string out = "stale";
  for (const Case& c : cases) {
    du::URI_Escape(out, c.in, c.start, c.count);
    EXPECT_EQ(out, c.out) << "start " << c.start << ", count " << c.count;
  }
}

TEST(FileUrlTest, BuildsFileUrlsFromPaths) {
  struct Case {
    const char* source;
    const char* base;
    const char* url;
  };
  const Case cases[] = {
      {"", "", ""},
      {"http://host/x", "", "http://host/x"},
      {"ab://", "", "ab://"},
      {"/a/./b/../c", "", "file:///a/c"},
      {"/../a b", "", "file:///a b"},
      {"C:\\d\\f", "", "file:///C:/d/f"},
      {"c:/d/../../f", "", "file:///c:/f"},
      {"\\\\server\\share\\f", "", "file://///server/share/f"},
      {"..\\..\\x", "\\\\server\\share", "file://///server/share/x"},
      {"//tmp//a/", "", "file:///tmp/a/"},
      {"./sub\\f.txt", "/base/", "file:///base/sub/f.txt"},
      {"../../../f", "/base/dir", "file:///f"},
      {"f", "file:///u/v", "file:///u/v/f"},
      {"../f", "http://host/a/b", "http://host/a/f"},
      {"../../y", "C:\\base", "file:///C:/y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(du::GetURLForFileSource(c.source, c.base), c.url)
        << "source \"" << c.source << "\", base \"" << c.base << "\"";
  }
  // Without a base a relative source joins the current directory.
  qmk_test::TempDir dir;
  const std::string previous = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path());
  const du::Symbol url = du::GetURLForFileSource("sub/../f.txt");
  std::filesystem::current_path(previous);
  EXPECT_EQ(url, "file://" + dir.path() + "/f.txt");
}

}  // namespace
