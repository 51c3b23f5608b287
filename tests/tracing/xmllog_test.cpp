// The XML trace log of a real process (`qmk demo`), rendered through the
// project's style sheet with xsltproc, and its plain-text fallback.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

using qmk_test::ChildProcess;

// The program's path when PATH holds it, else empty.
std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class XmlLogTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return dir_.path() + "/run.xml"; }

  // Runs the demo with QUILL_TRACE naming run.xml; returns the log's text.
  std::string RunDemo(std::vector<std::string> environment) {
    environment.insert(environment.end(), {"QUILL_TRACE=" + LogPath(), "QUILL_PROC_TRACE",
                                           "XDG_RUNTIME_DIR=" + dir_.path()});
    ChildProcess demo({QMK_TEST_TOOL, "demo"}, environment);
    EXPECT_EQ(demo.Finish(), 0) << demo.Err();
    EXPECT_EQ(demo.Out(), "") << "every line goes to the log";
    std::ostringstream log;
    log << std::ifstream(LogPath(), std::ios::binary).rdbuf();
    return log.str();
  }

  qmk_test::TempDir dir_{"qmk_xmllog_"};
};

TEST_F(XmlLogTest, RendersAsAnHtmlTableWithOneRowPerMessage) {
  const std::string xsltproc = FindProgram("xsltproc");
  if (xsltproc.empty()) GTEST_SKIP() << "xsltproc is not installed (Debian package xsltproc)";
  const std::string log = RunDemo({"QUILL_HOME=" QMK_TEST_BUILD_DIR});
  const std::string header =
      "<?xml version=\"1.0\"?>\n<?xml-stylesheet type=\"text/xsl\" "
      "href=\"file://" QMK_TEST_BUILD_DIR
      "/qmtrace/qmtrace.xsl\"?>\n<qmtrace:log xmlns:qmtrace=\"urn:qmkutils:qmtrace:1\">\n";
  EXPECT_EQ(log.substr(0, header.size()), header);
  EXPECT_TRUE(log.ends_with("</qmtrace:log>\n"));
  const std::size_t messages = Count(log, "<qmtrace:mesg ");

  if (const std::string xmllint = FindProgram("xmllint"); !xmllint.empty()) {
    ChildProcess lint({xmllint, "--noout", LogPath()}, {});
    EXPECT_EQ(lint.Finish(), 0) << lint.Err();
  }
  // xsltproc finds the style sheet through the log's own processing
  // instruction, as a browser does.
  ChildProcess render({xsltproc, LogPath()}, {});
  ASSERT_EQ(render.Finish(), 0) << render.Err();
  const std::string& html = render.Out();
  EXPECT_EQ(Count(html, "<tr class="), messages);
  EXPECT_EQ(Count(html, "<tr class=\"error\"><td>Error</td>"), Count(log, "type = \"Error\""));
  EXPECT_EQ(Count(html, "<tr class=\"warning\"><td>Warning</td>"),
            Count(log, "type = \"Warning\""));
  EXPECT_NE(html.find(">Markup such as &lt;b&gt;&amp;\"quoted\"&lt;/b&gt; is escaped in XML logs<"),
            std::string::npos);
  EXPECT_NE(html.find(">A line feed inside a message\nkeeps"), std::string::npos);
  EXPECT_NE(html.find("<td>dp</td><td>Thread</td><td class=\"message\"> Thread "),
            std::string::npos);
}

TEST_F(XmlLogTest, FallsBackToPlainLinesWithoutAStyleSheet) {
  const std::string user = dir_.path() + "/user", system = dir_.path() + "/system";
  std::filesystem::create_directories(user);
  std::filesystem::create_directories(system);
  const std::string log =
      RunDemo({"QUILL_HOME", "XDG_CONFIG_HOME=" + user, "XDG_CONFIG_DIRS=" + system});

  std::istringstream lines(log);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "Error: Qmtrace XSL file not available. Trace will be plain text.");
  int plainLines = 0;
  for (qmk_test::PlainLine fields; std::getline(lines, line); ++plainLines) {
    EXPECT_TRUE(qmk_test::ReadPlainLine(line, &fields)) << line;
  }
  EXPECT_GT(plainLines, 0);
  EXPECT_NE(log.find("Markup such as <b>&\"quoted\"</b> is escaped"), std::string::npos);
}

}  // namespace
