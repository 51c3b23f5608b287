#include "qmkutils/utilities/qmtrb.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using Args = std::vector<std::string>;

du::SmartPtr<du::Qmtrb> Load(const std::string& text) {
  std::istringstream in(text);
  return du::SmartPtr<du::Qmtrb>(new du::Qmtrb(in, du::kNoPseudoLocalization));
}

// The LocalizerError text of loading `in` (or the file `path`), or "loaded".
std::string LoadError(std::istream&& in, const std::string& path = "") {
  try {
    if (path.empty()) du::Qmtrb{in, du::kNoPseudoLocalization};
    if (!path.empty()) du::Qmtrb::Open(path, du::kNoPseudoLocalization);
    return "loaded";
  } catch (const du::LocalizerError& error) {
    return error.what();
  }
}
std::string LoadError(const std::string& text) { return LoadError(std::istringstream(text)); }

// Gives its text, then fails as a device would.
struct FailingBuffer : std::streambuf {
  explicit FailingBuffer(std::string text) : text(std::move(text)) {
    setg(this->text.data(), this->text.data(), this->text.data() + this->text.size());
  }
  int_type underflow() override { throw std::runtime_error("read error"); }
  std::string text;
};

std::string Build(const du::Qmtrb& file, const char* tag, const Args& args = {}) {
  std::ostringstream out;
  try {
    file.BuildLocalizedString(out, tag, args);
  } catch (const du::LocalizerError& error) {
    return std::string("error: ") + error.what() + " / wrote: " + out.str();
  }
  return out.str();
}

TEST(QmtrbTest, PlaceholdersTakeTheirArgumentsAndTheCountMustMatch) {
  const auto file = Load(
      "two.value=From {0} to {1}, {0} again\n"
      "second.value=<{1}>\n"
      "literal.value={x} {} {0 {{0}} {99999999999} {4000000000} {2147483647}\n"
      "padded.value={01}\n"
      "none.value=plain\n");
  EXPECT_EQ(Build(*file, "two", {"A", "B"}), "From A to B, A again");
  EXPECT_EQ(Build(*file, "two", {"A"}),
            "error: could not build localized string for tag \"two\" (Incorrect number of "
            "arguments: got 1, expected 2). / wrote: ");
  EXPECT_EQ(Build(*file, "second", {"never", "shown"}), "<shown>");
  EXPECT_EQ(Build(*file, "literal", {"z"}),
            "{x} {} {0 {z} {99999999999} {4000000000} {2147483647}");
  EXPECT_EQ(Build(*file, "padded", {"a", "b"}), "b");
  EXPECT_EQ(Build(*file, "none"), "plain");
  EXPECT_EQ(Build(*file, "nope"), "error: Unknown tag \"nope\". / wrote: ");
  // The largest index that is still a placeholder.
  EXPECT_EQ(Load("big.value={2147483646}")->FindTemplate("big")->GetExpectedArgumentCount(),
            2147483647);

  std::string order;
  for (const auto& message : file->GetTemplates()) order += message.GetTag().view().front();
  EXPECT_EQ(order, "tslpn");
}

TEST(QmtrbTest, LinesCommentsEscapesByteOrderMarkAndLineEnds) {
  const auto file = Load(
      "\xEF\xBB\xBF# a comment before the first entry\r\n"
      "#another\r\n"
      "a.value=x # not a comment = still.text\r\n"
      "a.note=ignored, as every attribute but value\n"
      "esc.value=\\\"q\\\" \\? \\\\ [\\n] [\\r] [\\t] \\q \\{0} end\\\n"
      "b.c.value=the tag is b, the attribute c.value\n"
      "cr.value=one CR dropped\r\r\n"
      "#a comment after the entries\n"
      "last.value=no line end");
  EXPECT_EQ(Build(*file, "a"), "x # not a comment = still.text");
  EXPECT_EQ(Build(*file, "esc", {"v"}), "\"q\" ? \\ [\n] [\r] [\t] \\q \\v end\\");
  EXPECT_EQ(Build(*file, "b"), "error: Unknown tag \"b\". / wrote: ");
  EXPECT_EQ(Build(*file, "cr"), "one CR dropped\r");
  EXPECT_EQ(Build(*file, "last"), "no line end");

  // Whatever its next two bytes, a leading 0xEF is skipped with them.
  EXPECT_EQ(Build(*Load("\xEFxxa.value=1"), "a"), "1");
  // One blank last line is the end of the file.
  for (const char* text : {"a.value=1\n\n", "a.value=1\r\n\r\n"})
    EXPECT_EQ(LoadError(text), "loaded");
}

TEST(QmtrbTest, MalformedFilesReadErrorsAndDuplicateTags) {
  const std::string kNoContent = "No recognizable content.";
  for (const char* text :
       {"", "\xEF\xBB\xBF", "# only a comment\n", "a.name=only other attributes\na.comment=x\n",
        "a.value=1\nno dot here\nb.value=2\n", "a.value=1\nb.no equals sign\n", "a=1.value\n",
        "a.value=1\n\nb.value=2\n", "\na.value=1\n", "a.value=1\n\n\n"}) {
    EXPECT_EQ(LoadError(text), kNoContent) << text;
  }
  EXPECT_EQ(LoadError("a.value=1\nb.value=2\na.value=3\n"), "Duplicate tag \"a\".");
  // The loader stops at the first malformed line, before a later duplicate.
  EXPECT_EQ(LoadError("a.value=1\nbad\na.value=1\n"), kNoContent);
  // A read error is no end of file: what came before it does not load.
  FailingBuffer buffer("a.value=1\nb.value=2\n");
  EXPECT_EQ(LoadError(std::istream(&buffer)), kNoContent);
  // A directory fails as an unreadable file; the texts for a missing and a
  // malformed file are checked through the localizer.
  qmk_test::TempDir dir;
  EXPECT_EQ(
      LoadError(std::istringstream(), dir.path()),
      "Failed to load string resource file\"" + dir.path() + "\" (No recognizable content.).");
}

}  // namespace
