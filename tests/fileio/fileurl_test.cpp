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
      {"caf\xc3\xa9", 0, std::string::npos, "caf%c3%a9"},
      {std::string("\x00\x01\x7f\xff", 4), 0, std::string::npos, "%00%01%7f%ff"},
      {"abcdef", 2, 3, "cde"},
      {"abcdef", 4, 100, "ef"},
      {"abcdef", 6, 1, ""},
      {"abcdef", 60, std::string::npos, ""},
      {"", 0, 0, ""},
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
      {"/data/a", "", "file:///data/a"},
      {"/", "", "file:///"},
      {"/a/./b/../c", "", "file:///a/c"},
      {"/../a", "", "file:///a"},
      {"/a b", "", "file:///a b"},
      {"C:\\d\\f", "", "file:///C:/d/f"},
      {"c:/d/../../f", "", "file:///c:/f"},
      {"\\\\server\\share\\f", "", "file://///server/share/f"},
      {"..\\..\\x", "\\\\server\\share", "file://///server/share/x"},
      {"//tmp//a/", "", "file:///tmp/a/"},
      {"f.txt", "/base/dir", "file:///base/dir/f.txt"},
      {"f.txt", "/base/dir/", "file:///base/dir/f.txt"},
      {"../f.txt", "/base/dir", "file:///base/f.txt"},
      {"./sub\\f.txt", "/base", "file:///base/sub/f.txt"},
      {"../../../f", "/base", "file:///f"},
      {"f", "file:///u/v", "file:///u/v/f"},
      {"../f", "http://host/a/b", "http://host/a/f"},
      {"x\\y", "C:\\base", "file:///C:/base/x/y"},
      {"../../y", "C:\\base", "file:///C:/y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(du::GetURLForFileSource(c.source, c.base), c.url)
        << "source \"" << c.source << "\", base \"" << c.base << "\"";
  }
}

TEST(FileUrlTest, RelativeSourceWithoutBaseJoinsTheCurrentDirectory) {
  qmk_test::TempDir dir;
  const std::string previous = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path());
  const du::Symbol url = du::GetURLForFileSource("sub/../f.txt");
  std::filesystem::current_path(previous);
  EXPECT_EQ(url, "file://" + dir.path() + "/f.txt");
}

}  // namespace
