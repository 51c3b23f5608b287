// The trace viewer (`qmk trace`) and traced processes (`qmk demo`), each a
// process of its own, meeting at the endpoint in a private runtime directory.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tool_test_support.h"
#include "tracing/viewerendpoint.h"

namespace {

using qmk_test::ChildProcess;
using qmk_test::PlainLine;
using qmk_test::ReadPlainLine;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// Everything one test starts shares a fresh runtime directory, so its
// processes find its viewer, and never a viewer of the user's.
class ViewerFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(runtime_.path().empty()); }

  std::vector<std::string> Environment() const {
    return {"XDG_RUNTIME_DIR=" + runtime_.path(), "QUILL_TRACE", "QUILL_PROC_TRACE"};
  }
  std::string Endpoint() const { return runtime_.path() + "/qmtracer"; }

  // A connection like the one a traced process makes; -1 when none.
  int Connect() const {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, Endpoint().c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    if (fd >= 0) close(fd);
    return -1;
  }

  // A viewer whose endpoint accepts connections, or null.
  std::unique_ptr<ChildProcess> StartViewer(std::vector<std::string> options) {
    options.insert(options.begin(), {QMK_TEST_TOOL, "trace"});
    auto viewer = std::make_unique<ChildProcess>(options, Environment());
    const auto deadline = std::chrono::steady_clock::now() + qmk_test::kPatience;
    while (viewer->Started() && !viewer->HasExited() &&
           std::chrono::steady_clock::now() < deadline) {
      if (const int probe = Connect(); probe >= 0) {
        close(probe);
        return viewer;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the viewer did not listen: " << viewer->Err();
    return nullptr;
  }

  std::unique_ptr<ChildProcess> StartDemo(bool stepping = false) {
    std::vector<std::string> argv = {QMK_TEST_TOOL, "demo"};
    if (stepping) argv.push_back("--step");
    return std::make_unique<ChildProcess>(argv, Environment(), stepping);
  }

  qmk_test::TempDir runtime_{"qmk_viewer_"};
};

class ViewerTest : public ViewerFixture {};
class ViewerRace : public ViewerFixture {};

TEST_F(ViewerTest, PrintsEveryLineOfATracedProcessUntilTerminated) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  auto demo = StartDemo();
  ASSERT_EQ(demo->Finish(), 0) << demo->Err();
  EXPECT_EQ(demo->Out(), "") << "with a viewer running, trace lines go only there";
  ASSERT_TRUE(viewer->WaitForOutput("qmk demo finished")) << viewer->Out();

  viewer->Signal(SIGTERM);
  EXPECT_EQ(viewer->Finish(), 0);
  EXPECT_FALSE(Exists(Endpoint()));
  int caughtExceptions = 0;
  for (const std::string& line : Lines(viewer->Out())) {
    PlainLine fields;
    ASSERT_TRUE(ReadPlainLine(line, &fields)) << line;
    EXPECT_EQ(fields.procId, std::to_string(demo->Pid()));
    caughtExceptions += fields.key == "dp" && fields.subKey == "Thread" &&
                        fields.text.find(" caught exception(\"worker 4 failed on purpose\").") !=
                            std::string::npos;
  }
  EXPECT_EQ(caughtExceptions, 1) << viewer->Out();
}

TEST_F(ViewerTest, FiltersByTypeAndKey) {
  struct Filter {
    std::vector<std::string> options;
    PlainLine expected;
  };
  const PlainLine error = {"Error", "", "", "demo", "Worker", "Worker 4 throws on purpose"};
  const PlainLine caught = {"Info", "", "", "dp", "Thread", " Thread "};
  const Filter filters[] = {{{"--type", "ERROR"}, error},
                            {{"--key", "nothing,dp::Thread"}, caught},
                            {{"--key=dp"}, caught}};
  for (const Filter& filter : filters) {
    std::vector<std::string> options = filter.options;
    options.insert(options.end(), {"--count", "1", "--color", "never"});
    auto viewer = StartViewer(options);
    ASSERT_TRUE(viewer);
    auto demo = StartDemo();
    EXPECT_EQ(demo->Finish(), 0);
    EXPECT_EQ(viewer->Finish(), 0) << "--count ends the viewer";
    const std::vector<std::string> lines = Lines(viewer->Out());
    ASSERT_EQ(lines.size(), 1u) << filter.options[0] << ":\n" << viewer->Out();
    PlainLine line;
    ASSERT_TRUE(ReadPlainLine(lines[0], &line)) << lines[0];
    EXPECT_EQ(line.type, filter.expected.type) << lines[0];
    EXPECT_EQ(line.procId, std::to_string(demo->Pid()));
    EXPECT_EQ(line.key + "::" + line.subKey, filter.expected.key + "::" + filter.expected.subKey);
    EXPECT_EQ(line.text.rfind(filter.expected.text, 0), 0u) << lines[0];
    EXPECT_FALSE(Exists(Endpoint()));
  }
}

// The viewer reads the plain layout exactly: two adjacent blanks are an
// empty key or sub-key, not a separator run. Malformed records, a peer that
// hangs up at once, and lines that are not trace lines pass without harm.
TEST_F(ViewerTest, ParsesLinesExactlyAndSkipsMalformedRecords) {
  auto viewer =
      StartViewer({"--key", "dp", "--type", "warning,Info", "--color", "always", "--count", "2"});
  ASSERT_TRUE(viewer);
  const int hangUp = Connect();
  const int peer = Connect();
  ASSERT_GE(peer, 0);
  close(hangUp);
  auto sendRaw = [&](const std::string& bytes) {
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  };
  auto sendLine = [&](const std::string& line) {
    ASSERT_TRUE(dp::TraceViewerEndpoint::SendLine(peer, line)) << line;
  };
  const std::string valid = "Info    1:2:03.004  5 Dec 2026 10 11 dp X skipped\n";
  sendRaw("abc");
  sendRaw(std::string("\x02\0\0\0", 4) + char(valid.size()) + std::string(3, '\0') + valid);
  sendRaw(std::string("\x01\0\0\0\x05\0\0\0", 8) + valid);
  sendRaw(std::string("\x01\0\0\0\x88\x13\0\0", 8) + std::string(5000, 'x'));
  sendLine("not a trace line\n");
  sendLine("Info    1:2:03.004  5 Dec 2026 10 11  dp empty key, sub-key dp\n");
  sendLine("Info    1:2:03.004 5 Dec 2026 10 11 dp X one blank before the day\n");
  sendLine("Error   1:2:03.004  5 Dec 2026 10 11 dp X an unwanted type\n");
  const std::string first = "Warning 1:2:03.004  5 Dec 2026 10 11 dp  empty sub-key,  two  blanks";
  const std::string second = "Info    0:0:00.000  0 Jan 1900 10 11 dp X last";
  sendLine(first + "\n");
  sendLine(second + "\n");

  EXPECT_EQ(viewer->Finish(), 0);
  EXPECT_EQ(viewer->Out(), "\x1b[33m" + first + "\x1b[0m\n" + second + "\n");
  close(peer);
}

TEST_F(ViewerTest, KilledViewerDisturbsNoTracedProcessAndIsReplaced) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  // The stepping demo stops before its second step: it has sent its first
  // line and will send the rest to a viewer that is dead by then.
  auto demo = StartDemo(/*stepping=*/true);
  ASSERT_TRUE(viewer->WaitForOutput("qmk demo started")) << viewer->Err();
  viewer->Signal(SIGKILL);
  EXPECT_EQ(viewer->Finish(), 128 + SIGKILL);
  struct stat endpoint;
  ASSERT_EQ(lstat(Endpoint().c_str(), &endpoint), 0) << "a killed viewer leaves its endpoint";
  EXPECT_TRUE(S_ISSOCK(endpoint.st_mode));

  demo->CloseInput();
  EXPECT_EQ(demo->Finish(), 0) << "not killed by SIGPIPE: " << demo->Err();
  EXPECT_EQ(demo->Out(), "");

  auto next = StartViewer({"--key", "dp::Thread", "--count", "1"});
  ASSERT_TRUE(next) << "the stale endpoint is replaced";
  EXPECT_EQ(StartDemo()->Finish(), 0);
  EXPECT_EQ(next->Finish(), 0);
  EXPECT_NE(next->Out().find("caught exception"), std::string::npos) << next->Out();
}

TEST_F(ViewerTest, SecondViewerFailsAndLeavesTheFirstListening) {
  auto first = StartViewer({"--key", "dp::Thread", "--count", "1"});
  ASSERT_TRUE(first);
  ChildProcess second({QMK_TEST_TOOL, "trace"}, Environment());
  EXPECT_EQ(second.Finish(), 1);
  EXPECT_NE(second.Err().find("another trace viewer is listening"), std::string::npos)
      << second.Err();
  EXPECT_EQ(second.Out(), "");

  EXPECT_EQ(StartDemo()->Finish(), 0);
  EXPECT_EQ(first->Finish(), 0);
  EXPECT_NE(first->Out().find("caught exception"), std::string::npos) << first->Out();
}

TEST_F(ViewerTest, EndsCleanlyWhenItsOutputCloses) {
  auto viewer = StartViewer({});
  ASSERT_TRUE(viewer);
  viewer->CloseOutput();
  const int peer = Connect();
  ASSERT_GE(peer, 0);
  // The first line it cannot write ends it; until then, send more.
  const auto deadline = std::chrono::steady_clock::now() + qmk_test::kPatience;
  while (!viewer->HasExited() && std::chrono::steady_clock::now() < deadline) {
    dp::TraceViewerEndpoint::SendLine(peer, "Info    1:2:03.004  5 Dec 2026 10 11 k s text\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  close(peer);
  EXPECT_EQ(viewer->Finish(), 0) << "no death by SIGPIPE";
  EXPECT_FALSE(Exists(Endpoint()));
}

TEST_F(ViewerTest, RejectsUnknownCommandsAndOptions) {
  const std::vector<std::vector<std::string>> wrong = {
      {"bogus"}, {"trace", "--type", "Fatal"}, {"trace", "--count", "0"},
      {"trace", "--key", "a,,b"}, {"trace", "--color"}, {"demo", "--fast"}};
  for (std::vector<std::string> args : wrong) {
    args.insert(args.begin(), QMK_TEST_TOOL);
    ChildProcess tool(args, Environment());
    EXPECT_EQ(tool.Finish(), 2) << args[1];
    EXPECT_EQ(tool.Out(), "") << args[1];
    EXPECT_FALSE(Exists(Endpoint()));
  }
  ChildProcess help({QMK_TEST_TOOL, "help"}, Environment());
  EXPECT_EQ(help.Finish(), 0);
  EXPECT_EQ(help.Out().rfind("Usage: qmk", 0), 0u);
}

// Many processes trace at once; every line arrives whole, none is lost.
TEST_F(ViewerRace, ManyTracedProcessesAtOnce) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  std::vector<std::unique_ptr<ChildProcess>> demos;
  for (int i = 0; i < 12; ++i) demos.push_back(StartDemo());
  // The viewer's output is read while the demos run, so it never stalls them.
  for (const auto& demo : demos) {
    const std::string pid = std::to_string(demo->Pid());
    ASSERT_TRUE(viewer->WaitForOutput(pid + " " + pid + " demo Main qmk demo finished"));
  }
  for (const auto& demo : demos) EXPECT_EQ(demo->Finish(), 0) << demo->Err();
  viewer->Signal(SIGINT);
  EXPECT_EQ(viewer->Finish(), 0);

  std::map<std::string, int> linesPerProcess;
  for (const std::string& line : Lines(viewer->Out())) {
    PlainLine fields;
    ASSERT_TRUE(ReadPlainLine(line, &fields)) << line;
    ++linesPerProcess[fields.procId];
  }
  ASSERT_EQ(linesPerProcess.size(), demos.size());
  for (const auto& [pid, lines] : linesPerProcess) {
    EXPECT_EQ(lines, linesPerProcess.begin()->second) << "process " << pid;
  }
}

}  // namespace
