// The trace viewer (`qmk trace`) and traced processes (`qmk demo`), each a
// process of its own, meeting at the endpoint in a private runtime directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qmkutils/tracing/viewerendpoint.h"
#include "support/child_process.h"
#include "support/plain_lines.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using dp::TraceViewerEndpoint;
using qmk_test::ChildProcess;
using qmk_test::PlainLines;

// Everything one test starts shares a fresh runtime directory, so its
// processes find its viewer, and never a viewer of the user's.
class ViewerFixture : public ::testing::Test {
 protected:
  ViewerFixture() {
    environment_.Set("XDG_RUNTIME_DIR", runtime_.path()).Set("QUILL_TRACE", "");
    environment_.Set("QUILL_PROC_TRACE", "");
  }

  static bool EndpointExists() { return std::filesystem::exists(TraceViewerEndpoint::GetPath()); }

  static std::unique_ptr<ChildProcess> Qmk(std::vector<std::string> args) {
    args.insert(args.begin(), QMK_TEST_TOOL);
    return std::make_unique<ChildProcess>(args);
  }

  // A viewer whose endpoint accepts connections, or null.
  static std::unique_ptr<ChildProcess> StartViewer(std::vector<std::string> options) {
    options.insert(options.begin(), "trace");
    auto viewer = Qmk(options);
    const auto deadline = std::chrono::steady_clock::now() + qmk_test::kPatience;
    while (!viewer->HasExited() && std::chrono::steady_clock::now() < deadline) {
      if (const int probe = TraceViewerEndpoint::Connect(); probe >= 0) {
        close(probe);
        return viewer;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the viewer did not listen: " << viewer->Err();
    return nullptr;
  }

  qmk_test::TempDir runtime_;
  qmk_test::ScopedEnvironment environment_;
};

class ViewerTest : public ViewerFixture {};
class ViewerRace : public ViewerFixture {};

TEST_F(ViewerTest, PrintsEveryLineOfATracedProcessAndRefusesASecondViewer) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  auto second = Qmk({"trace"});
  EXPECT_EQ(second->Finish(), 1);
  EXPECT_NE(second->Err().find("another trace viewer is listening"), std::string::npos)
      << second->Err();

  // The first viewer still listens and gets everything.
  auto demo = Qmk({"demo"});
  ASSERT_EQ(demo->Finish(), 0) << demo->Err();
  EXPECT_EQ(demo->Out(), "") << "with a viewer running, trace lines go only there";
  ASSERT_TRUE(viewer->WaitForOutput("qmk demo finished")) << viewer->Out();
  kill(viewer->Pid(), SIGTERM);
  EXPECT_EQ(viewer->Finish(), 0);
  EXPECT_FALSE(EndpointExists());
  int caughtExceptions = 0;
  for (const auto& line : PlainLines(viewer->Out())) {
    EXPECT_EQ(line.procId, std::to_string(demo->Pid()));
    caughtExceptions +=
        line.key == "dp" && line.subKey == "Thread" &&
        line.text.find(" caught exception(\"worker 4 failed on purpose\").") != std::string::npos;
  }
  EXPECT_EQ(caughtExceptions, 1) << viewer->Out();
}

TEST_F(ViewerTest, FiltersByTypeAndKey) {
  const std::pair<std::vector<std::string>, std::string> filters[] = {
      {{"--type", "ERROR"}, "Error demo::Worker Worker 4 throws on purpose"},
      {{"--key", "nothing,dp::Thread"}, "Info dp::Thread  Thread "},
      {{"--key=dp"}, "Info dp::Thread  Thread "}};
  for (auto [options, expected] : filters) {
    options.insert(options.end(), {"--count", "1", "--color", "never"});
    auto viewer = StartViewer(options);
    ASSERT_TRUE(viewer);
    EXPECT_EQ(Qmk({"demo"})->Finish(), 0);
    EXPECT_EQ(viewer->Finish(), 0) << "--count ends the viewer";
    const auto lines = PlainLines(viewer->Out());
    ASSERT_EQ(lines.size(), 1u) << options[0] << ":\n" << viewer->Out();
    const auto& [type, procId, key, subKey, text] = lines[0];
    EXPECT_TRUE((type + " " + key + "::" + subKey + " " + text).starts_with(expected))
        << viewer->Out();
    EXPECT_FALSE(EndpointExists());
  }
}

// The viewer reads the plain layout exactly: two adjacent blanks are an
// empty key or sub-key, not a separator run. Malformed records and lines
// that are not trace lines pass without harm (as StartViewer's probe, which
// hangs up at once, does). Nothing a line holds reaches the terminal raw.
TEST_F(ViewerTest, ParsesLinesExactlySkipsMalformedRecordsAndShowsControlsEscaped) {
  auto viewer =
      StartViewer({"--key", "dp", "--type", "warning,Info", "--color", "always", "--count", "2"});
  ASSERT_TRUE(viewer);
  const int peer = TraceViewerEndpoint::Connect();
  ASSERT_GE(peer, 0);
  auto sendRaw = [&](const std::string& bytes) {
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  };
  auto sendLine = [&](const std::string& line) {
    ASSERT_TRUE(TraceViewerEndpoint::SendLine(peer, line)) << line;
  };
  const std::string valid = "Info    1:2:03.004  5 Dec 2026 10 11 dp X skipped\n";
  sendRaw("abc");
  sendRaw(std::string("\x02\0\0\0", 4) + char(valid.size()) + std::string(3, '\0') + valid);
  sendRaw(std::string("\x01\0\0\0\x05\0\0\0", 8) + valid);
  sendRaw(std::string("\x01\0\0\0\x88\x13\0\0", 8) + std::string(5000, 'x'));
  sendLine("not a trace line\n");
  sendLine("Info    1:2:03.004  5 Dec 2026 10 11  dp empty key, sub-key dp\n");
  sendLine("Error   1:2:03.004  5 Dec 2026 10 11 dp X an unwanted type\n");
  const std::string first = "Warning 1:2:03.004  5 Dec 2026 10 11 dp  empty sub-key,  two  blanks";
  // A terminal title (OSC 0), C0 and C1 controls, a byte that is not UTF-8,
  // and a backslash, among text that passes unchanged.
  const std::string second =
      "Info    0:0:00.000  0 Jan 1900 10 11 dp X last \x1b]0;x\x07 \x01 \xC2\x85 \xFF "
      "Grüße € 😀 a\\b";
  const std::string shown =
      "Info    0:0:00.000  0 Jan 1900 10 11 dp X last \\x1b]0;x\\x07 \\x01 \\u0085 \\xff "
      "Grüße € 😀 a\\\\b";
  sendLine(first + "\n");
  sendLine(second + "\n");

  EXPECT_EQ(viewer->Finish(), 0);
  EXPECT_EQ(viewer->Out(), "\x1b[33m" + first + "\x1b[0m\n" + shown + "\n");
  close(peer);
}

TEST_F(ViewerTest, KilledViewerDisturbsNoTracedProcessAndIsReplaced) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  // The stepping demo waits for Enter before its second step; once Finish
  // ends its input, it sends the rest to a viewer that is dead by then.
  auto demo = Qmk({"demo", "--step"});
  ASSERT_TRUE(viewer->WaitForOutput("qmk demo started")) << viewer->Err();
  kill(viewer->Pid(), SIGKILL);
  EXPECT_EQ(viewer->Finish(), 128 + SIGKILL);
  ASSERT_TRUE(std::filesystem::is_socket(TraceViewerEndpoint::GetPath()))
      << "a killed viewer leaves its endpoint";
  EXPECT_EQ(demo->Finish(), 0) << "not killed by SIGPIPE: " << demo->Err();
  EXPECT_EQ(demo->Out(), "");

  auto next = StartViewer({"--key", "dp::Thread", "--count", "1"});
  ASSERT_TRUE(next) << "the stale endpoint is replaced";
  EXPECT_EQ(Qmk({"demo"})->Finish(), 0);
  EXPECT_EQ(next->Finish(), 0);
  EXPECT_NE(next->Out().find("caught exception"), std::string::npos) << next->Out();
}

// Standard output cannot hold the viewer: a reader that stops reading does
// not keep it from SIGTERM, and a reader that goes away ends it.
TEST_F(ViewerTest, EndsCleanlyWhenItsOutputBlocksOrCloses) {
  const std::string line = "Info    1:2:03.004  5 Dec 2026 10 11 k s " + std::string(900, 'x');
  auto blocked = StartViewer({});
  ASSERT_TRUE(blocked);
  int peer = TraceViewerEndpoint::Connect();
  ASSERT_GE(peer, 0);
  // Nobody reads the viewer's output: once its pipe is full, the viewer
  // takes no more records, and the socket stays full.
  auto deadline = std::chrono::steady_clock::now() + qmk_test::kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (TraceViewerEndpoint::SendLine(peer, line + "\n", false)) continue;
    pollfd room{peer, POLLOUT, 0};
    if (poll(&room, 1, 500) == 0) break;
  }
  kill(blocked->Pid(), SIGTERM);
  deadline = std::chrono::steady_clock::now() + qmk_test::kPatience;
  while (!blocked->HasExited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(blocked->HasExited()) << "SIGTERM did not end a viewer with a full pipe";
  close(peer);
  EXPECT_EQ(blocked->Finish(), 0);
  EXPECT_FALSE(EndpointExists());

  auto closed = StartViewer({});
  ASSERT_TRUE(closed);
  closed->CloseOutput();
  peer = TraceViewerEndpoint::Connect();
  ASSERT_GE(peer, 0);
  // The first line it cannot write ends it; until then, send more.
  deadline = std::chrono::steady_clock::now() + qmk_test::kPatience;
  while (!closed->HasExited() && std::chrono::steady_clock::now() < deadline) {
    TraceViewerEndpoint::SendLine(peer, line + "\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  close(peer);
  EXPECT_EQ(closed->Finish(), 0) << "no death by SIGPIPE";
  EXPECT_FALSE(EndpointExists());
}

TEST_F(ViewerTest, RejectsUnknownCommandsAndOptions) {
  const std::vector<std::vector<std::string>> wrong = {{"bogus"},
                                                       {"trace", "--type", "Fatal"},
                                                       {"trace", "--count", "0"},
                                                       {"trace", "--key", "a,,b"},
                                                       {"trace", "--color"},
                                                       {"demo", "--fast"}};
  for (const auto& args : wrong) EXPECT_EQ(Qmk(args)->Finish(), 2) << args[0] << args.back();
  auto help = Qmk({"help"});
  EXPECT_EQ(help->Finish(), 0);
  EXPECT_TRUE(help->Out().starts_with("Usage: qmk"));
}

// Many processes trace at once; every line arrives whole, none is lost.
TEST_F(ViewerRace, ManyTracedProcessesAtOnce) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  std::vector<std::unique_ptr<ChildProcess>> demos;
  for (int i = 0; i < 12; ++i) demos.push_back(Qmk({"demo"}));
  // The viewer's output is read while the demos run, so it never stalls them.
  for (const auto& demo : demos) {
    const std::string pid = std::to_string(demo->Pid());
    ASSERT_TRUE(viewer->WaitForOutput(pid + " " + pid + " demo Main qmk demo finished"));
  }
  for (const auto& demo : demos) EXPECT_EQ(demo->Finish(), 0) << demo->Err();
  kill(viewer->Pid(), SIGINT);
  EXPECT_EQ(viewer->Finish(), 0);

  std::map<std::string, int> linesPerProcess;
  for (const auto& line : PlainLines(viewer->Out())) ++linesPerProcess[line.procId];
  ASSERT_EQ(linesPerProcess.size(), demos.size());
  for (const auto& [pid, lines] : linesPerProcess) {
    EXPECT_EQ(lines, linesPerProcess.begin()->second) << "process " << pid;
  }
}

}  // namespace
