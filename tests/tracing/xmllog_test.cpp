// The XML trace log of `qmk demo`, rendered through its style sheet, and the
// plain-text fallback.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/child_process.h"
#include "support/plain_lines.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::ChildProcess;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class XmlLogTest : public ::testing::Test {
 protected:
  std::string RunDemo() {
    environment_.Set("QUILL_TRACE", log_).Set("QUILL_PROC_TRACE", "");
    environment_.Set("XDG_RUNTIME_DIR", dir_.path());
    ChildProcess demo({QMK_TEST_TOOL, "demo"});
    EXPECT_EQ(demo.Finish(), 0) << demo.Err();
    EXPECT_EQ(demo.Out(), "") << "every line goes to the log";
    return qmk_test::ReadFile(log_);
  }

  qmk_test::TempDir dir_;
  const std::string log_ = dir_ / "run.xml";
  qmk_test::ScopedEnvironment environment_;
};

// Without a style sheet the log is plain lines; with one, its URL in the
// header leads to a home with a blank in its path.
TEST_F(XmlLogTest, FallsBackToPlainLinesOrRendersAsAnHtmlTableWithOneRowPerMessage) {
  environment_.Set("QUILL_HOME", "").Set("XDG_CONFIG_HOME", dir_ / "none");
  environment_.Set("XDG_CONFIG_DIRS", dir_ / "none");
  const std::string plain = RunDemo();
  const std::string notice = "Error: Qmtrace XSL file not available. Trace will be plain text.\n";
  ASSERT_TRUE(plain.starts_with(notice)) << plain;
  EXPECT_GT(qmk_test::PlainLines(plain.substr(notice.size())).size(), 0u);
  EXPECT_NE(plain.find("Markup such as <b>&\"quoted\"</b> is escaped"), std::string::npos);

  const std::string home = dir_ / "home dir";
  std::filesystem::create_directories(home + "/qmtrace");
  std::filesystem::copy_file(QMK_TEST_BUILD_DIR "/qmtrace/qmtrace.xsl",
                             home + "/qmtrace/qmtrace.xsl");
  environment_.Set("QUILL_HOME", home);
  const std::string log = RunDemo();
  EXPECT_TRUE(log.starts_with(
      "<?xml version=\"1.0\"?>\n<?xml-stylesheet type=\"text/xsl\" href=\"file://" + dir_.path() +
      "/home%20dir/qmtrace/qmtrace.xsl\"?>\n"
      "<qmtrace:log xmlns:qmtrace=\"urn:qmkutils:qmtrace:1\">\n"))
      << log;
  EXPECT_TRUE(log.ends_with("</qmtrace:log>\n"));

  // xsltproc finds the style sheet as a browser does, and fails on a malformed log.
  ChildProcess render({"xsltproc", log_});
  if (!render.Started()) GTEST_SKIP() << "xsltproc is not installed (Debian package xsltproc)";
  ASSERT_EQ(render.Finish(), 0) << render.Err();
  const std::string& html = render.Out();
  EXPECT_EQ(Count(html, "<tr class="), Count(log, "<qmtrace:mesg "));
  EXPECT_EQ(Count(html, "<tr class=\"error\"><td>Error</td>"), Count(log, "type = \"Error\""));
  EXPECT_NE(html.find(">Markup such as &lt;b&gt;&amp;\"quoted\"&lt;/b&gt; is escaped in XML logs<"),
            std::string::npos);
  EXPECT_NE(html.find(">A line feed inside a message\nkeeps"), std::string::npos);
  EXPECT_NE(html.find("<td>dp</td><td>Thread</td><td class=\"message\"> Thread "),
            std::string::npos);
}

}  // namespace
