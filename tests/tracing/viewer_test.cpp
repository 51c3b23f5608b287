// The viewer's endpoint, and the viewer (`qmk trace`) and traced processes
// (`qmk demo`) meeting at it in a private runtime directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
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

// Records of a wrong version or length are sent to a real viewer below.
TEST(TraceViewerEndpoint, RecordLayout) {
  std::string_view line;
  EXPECT_FALSE(TraceViewerEndpoint::DecodeRecord("", &line));
  const std::string record("\1\0\0\0\1\0\0\0x", 9);  // the line points into it
  EXPECT_TRUE(TraceViewerEndpoint::DecodeRecord(record, &line));
  EXPECT_EQ(line, "x");
  EXPECT_FALSE(TraceViewerEndpoint::SendLine(-1, std::string(1024, 'x')));
}

// Both the viewer's directory and a traced process's connection accept only
// a real directory of this user that nobody else may enter; a refused
// endpoint is never even connected to.
TEST(TraceViewerEndpoint, UsesOnlyPrivateDirectoriesAndSocketsOfThisUser) {
  qmk_test::TempDir runtime;  // mode 0700, as mkdtemp makes it
  qmk_test::TempDir elsewhere;
  qmk_test::ScopedEnvironment environment;
  const std::string fallback = "/tmp/qmtracer-" + std::to_string(geteuid()) + "/qmtracer";
  environment.Set("XDG_RUNTIME_DIR", "");
  EXPECT_EQ(TraceViewerEndpoint::GetPath(), fallback);
  ASSERT_EQ(symlink(runtime.path().c_str(), (runtime / "link").c_str()), 0);
  for (const std::string& refused : {runtime / "link", runtime / "missing"}) {
    environment.Set("XDG_RUNTIME_DIR", refused);
    EXPECT_EQ(TraceViewerEndpoint::GetPath(), fallback) << refused;
  }
  environment.Set("XDG_RUNTIME_DIR", runtime.path());
  const std::string path = runtime / "qmtracer";
  EXPECT_EQ(TraceViewerEndpoint::GetPath(), path);
  std::string error;
  const int listener = TraceViewerEndpoint::Listen(&error);
  ASSERT_GE(listener, 0) << error;
  auto connectionWaits = [&] {
    pollfd waiting{listener, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1;
  };
  close(TraceViewerEndpoint::Connect(path));
  ASSERT_TRUE(connectionWaits());

  close(accept(listener, nullptr, nullptr));

  ASSERT_EQ(symlink(path.c_str(), (elsewhere / "qmtracer").c_str()), 0);
  EXPECT_EQ(TraceViewerEndpoint::Connect(elsewhere / "qmtracer"), -1) << "a symlink";
  for (mode_t mode : {0777, 0750, 0701, 0730}) {
    ASSERT_EQ(chmod(runtime.path().c_str(), mode), 0);
    EXPECT_EQ(TraceViewerEndpoint::GetPath(), fallback) << std::oct << mode;
    EXPECT_EQ(TraceViewerEndpoint::Connect(path), -1) << std::oct << mode;
  }
  ASSERT_EQ(chmod(runtime.path().c_str(), 0700), 0);
  if (geteuid() == 0) {
    for (const std::string& squatted : {runtime.path(), path}) {
      ASSERT_EQ(chown(squatted.c_str(), 4242, -1), 0);
      EXPECT_EQ(TraceViewerEndpoint::Connect(path), -1) << squatted << " owned by 4242";
      EXPECT_EQ(TraceViewerEndpoint::GetPath() == fallback, squatted == runtime.path());
      ASSERT_EQ(chown(squatted.c_str(), 0, -1), 0);
    }
  }
  EXPECT_FALSE(connectionWaits()) << "no refused endpoint was connected to";
  close(listener);
}

// A fresh runtime directory per test: its processes never find a user's viewer.
class ViewerFixture : public ::testing::Test {
 protected:
  ViewerFixture() {
    environment_.Set("XDG_RUNTIME_DIR", runtime_.path());
    environment_.Set("QUILL_TRACE", "").Set("QUILL_PROC_TRACE", "");
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
    bool listening = false;
    qmk_test::Eventually([&] {
      const int probe = TraceViewerEndpoint::Connect();
      if ((listening = probe >= 0)) close(probe);
      return listening || viewer->HasExited();
    });
    if (listening) return viewer;
    ADD_FAILURE() << "the viewer did not listen: " << viewer->Err();
    return nullptr;
  }

  qmk_test::TempDir runtime_;
  qmk_test::ScopedEnvironment environment_;
};

class ViewerTest : public ViewerFixture {};
class ViewerRace : public ViewerFixture {};

// Two adjacent blanks are an empty key or sub-key; malformed records and
// non-trace lines pass without harm; nothing reaches the terminal raw.
TEST_F(ViewerTest, ParsesLinesExactlySkipsMalformedRecordsAndShowsControlsEscaped) {
  auto viewer =
      StartViewer({"--key=dp", "--type", "warning,Info", "--color", "always", "--count", "2"});
  ASSERT_TRUE(viewer);
  const int peer = TraceViewerEndpoint::Connect();
  auto sendLine = [&](const std::string& line) {
    ASSERT_TRUE(TraceViewerEndpoint::SendLine(peer, line)) << line;
  };
  const std::string valid = "Info    1:2:03.004  5 Dec 2026 10 11 dp X skipped\n";
  for (const std::string& bytes :
       {std::string("abc"),
        std::string("\x02\0\0\0", 4) + char(valid.size()) + std::string(3, '\0') + valid,
        std::string("\x01\0\0\0\x05\0\0\0", 8) + valid,
        std::string("\x01\0\0\0\x88\x13\0\0", 8) + std::string(5000, 'x')}) {
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  sendLine("not a trace line\n");
  sendLine("Info    1:2:03.004  5 Dec 2026 10 11  dp empty key, sub-key dp\n");
  sendLine("Error   1:2:03.004  5 Dec 2026 10 11 dp X an unwanted type\n");
  const std::string first = "Warning 1:2:03.004  5 Dec 2026 10 11 dp  empty sub-key,  two  blanks";
  const std::string second = "Info    0:0:00.000  0 Jan 1900 10 11 dp X last \x1b]0;x\x07 é";
  const std::string shown = "Info    0:0:00.000  0 Jan 1900 10 11 dp X last \\x1b]0;x\\x07 é";
  sendLine(first + "\n");
  sendLine(second + "\n");

  EXPECT_EQ(viewer->Finish(), 0);
  EXPECT_EQ(viewer->Out(), "\x1b[33m" + first + "\x1b[0m\n" + shown + "\n");
  close(peer);
}

TEST_F(ViewerTest, KilledViewerDisturbsNoTracedProcessAndIsReplaced) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  // Its second step waits for Enter, i.e. for Finish: the viewer is dead by then.
  auto demo = Qmk({"demo", "--step"});
  ASSERT_TRUE(viewer->WaitForOutput("qmk demo started")) << viewer->Err();
  kill(viewer->Pid(), SIGKILL);
  EXPECT_EQ(viewer->Finish(), 128 + SIGKILL);
  ASSERT_TRUE(std::filesystem::is_socket(TraceViewerEndpoint::GetPath()))
      << "a killed viewer leaves its endpoint";
  EXPECT_EQ(demo->Finish(), 0) << "not killed by SIGPIPE: " << demo->Err();
  EXPECT_EQ(demo->Out(), "");

  auto next = StartViewer({"--key", "nothing,dp::Thread", "--count", "1"});
  ASSERT_TRUE(next) << "the stale endpoint is replaced";
  EXPECT_EQ(Qmk({"demo"})->Finish(), 0);
  EXPECT_EQ(next->Finish(), 0);
  const auto lines = PlainLines(next->Out());
  ASSERT_EQ(lines.size(), 1u) << next->Out();
  EXPECT_EQ(lines[0].key + "::" + lines[0].subKey, "dp::Thread");
  EXPECT_FALSE(EndpointExists());
}

TEST_F(ViewerTest, EndsCleanlyWhenItsOutputBlocksOrCloses) {
  const std::string line = "Info    1:2:03.004  5 Dec 2026 10 11 k s " + std::string(900, 'x');
  auto blocked = StartViewer({});
  ASSERT_TRUE(blocked);
  int peer = TraceViewerEndpoint::Connect();
  ASSERT_GE(peer, 0);
  // Nobody reads the viewer's output: fill its pipe, then its socket.
  qmk_test::Eventually([&] {
    if (TraceViewerEndpoint::SendLine(peer, line + "\n", false)) return false;
    pollfd room{peer, POLLOUT, 0};
    return poll(&room, 1, 500) == 0;
  });
  kill(blocked->Pid(), SIGTERM);
  EXPECT_TRUE(blocked->WaitForExit()) << "SIGTERM did not end a viewer with a full pipe";
  close(peer);
  EXPECT_EQ(blocked->Finish(), 0);
  EXPECT_FALSE(EndpointExists());

  auto closed = StartViewer({});
  ASSERT_TRUE(closed);
  closed->CloseOutput();
  peer = TraceViewerEndpoint::Connect();
  ASSERT_GE(peer, 0);
  qmk_test::Eventually([&] {
    TraceViewerEndpoint::SendLine(peer, line + "\n");
    return closed->HasExited();
  });
  close(peer);
  EXPECT_EQ(closed->Finish(), 0) << "no death by SIGPIPE";
  EXPECT_FALSE(EndpointExists());
}

TEST_F(ViewerTest, RejectsUnknownCommandsAndOptions) {
  const std::vector<std::string> usages[] = {{"bogus"},
                                             {"trace", "--type", "Fatal"},
                                             {"trace", "--count", "0"},
                                             {"trace", "--key", "a,,b"},
                                             {"trace", "--color"},
                                             {"demo", "--fast"}};
  for (const auto& args : usages) EXPECT_EQ(Qmk(args)->Finish(), 2) << args[0] << args.back();

  auto help = Qmk({"help"});
  EXPECT_EQ(help->Finish(), 0);
  EXPECT_TRUE(help->Out().starts_with("Usage: qmk"));
}

// Many processes trace at once; every line arrives whole, none is lost, and
// all go to the one viewer that listens.
TEST_F(ViewerRace, ManyTracedProcessesAtOnceReachTheOneViewer) {
  auto viewer = StartViewer({"--color", "never"});
  ASSERT_TRUE(viewer);
  auto second = Qmk({"trace"});
  EXPECT_EQ(second->Finish(), 1);
  EXPECT_THAT(second->Err(), testing::HasSubstr("another trace viewer is listening"));

  std::vector<std::unique_ptr<ChildProcess>> demos;
  for (int i = 0; i < 12; ++i) demos.push_back(Qmk({"demo"}));
  // The viewer's output is read while the demos run, so it never stalls them.
  for (const auto& demo : demos) {
    const std::string pid = std::to_string(demo->Pid());
    ASSERT_TRUE(viewer->WaitForOutput(pid + " " + pid + " demo Main qmk demo finished"));
  }
  for (const auto& demo : demos) {
    EXPECT_EQ(demo->Finish(), 0) << demo->Err();
    EXPECT_EQ(demo->Out(), "") << "with a viewer running, trace lines go only there";
  }
  kill(viewer->Pid(), SIGINT);
  EXPECT_EQ(viewer->Finish(), 0);
  EXPECT_FALSE(EndpointExists());

  std::map<std::string, int> linesPerProcess, caughtPerProcess;
  for (const auto& line : PlainLines(viewer->Out())) {
    ++linesPerProcess[line.procId];
    caughtPerProcess[line.procId] +=
        line.key == "dp" && line.subKey == "Thread" &&
        line.text.find(" caught exception(\"worker 4 failed on purpose\").") != std::string::npos;
  }
  ASSERT_EQ(linesPerProcess.size(), demos.size());
  for (const auto& [pid, lines] : linesPerProcess) {
    EXPECT_EQ(lines, linesPerProcess.begin()->second) << "process " << pid;
    EXPECT_EQ(caughtPerProcess[pid], 1) << "process " << pid;
  }
}

}  // namespace
