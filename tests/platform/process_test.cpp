#include "qmkutils/platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "support/eventually.h"
#include "support/recording_consumer.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::ReadFile;
using qmk_test::WriteFile;

// Waits for the child to exit and returns its exit code.
int ExitCode(dp::Process& process) {
  int code = 0;
  EXPECT_TRUE(
      qmk_test::Eventually([&] { return process.GetProcState(code) == dp::Process::kExited; }));
  return code;
}

bool HasText(const qmk_test::TraceLog& log, const std::string& text) {
  const std::vector<std::string> texts = log.Texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(Process, ScriptFoundByProbeRunsUnderTheShellWithTheWindowsCommandLine) {
  qmk_test::TempDir dir;
  WriteFile(dir / "tool.bat", "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n");
  ASSERT_EQ(mkdir((dir / "tool.exe").c_str(), 0755), 0);  // a probe passes over a directory
  qmk_test::ScopedTraceRecorder recorder;

  dp::Process quoted;
  ASSERT_TRUE(quoted.Run(dir / "tool", {"a \"b\"", "c"}));
  EXPECT_EQ(ExitCode(quoted), 0);
  EXPECT_EQ(ReadFile(dir / "args"), "a \"b\"\nc\n");
  EXPECT_TRUE(HasText(recorder.log(), "Successfully launched:\n    \"CMD /C \"" +
                                          (dir / "tool.bat") + "\" \"a \\\"b\\\"\" c\n"));

  dp::Process verbatim;
  const char* args[] = {"a \"b\"", "back\\\\\"slash\"", nullptr};
  ASSERT_TRUE(verbatim.Run((dir / "tool.bat").c_str(), args, 0, true));
  EXPECT_EQ(ExitCode(verbatim), 0);
  EXPECT_EQ(ReadFile(dir / "args"), "a\nb\nback\\slash\n");
  EXPECT_TRUE(HasText(recorder.log(), "Successfully launched:\n    \"CMD /C \"" +
                                          (dir / "tool.bat") + "\" a \"b\" back\\\\\"slash\"\n"));
}

TEST(Process, StateBeforeRunWhileRunningAfterExitAndAfterKill) {
  dp::Process process;
  int code = 7;
  EXPECT_EQ(process.GetProcState(code), dp::Process::kUnknown);
  EXPECT_EQ(code, 7);
  EXPECT_EQ(process.GetProcId(), 0);
  EXPECT_FALSE(process.KillForcefully(dp::Process::kChildOnly));

  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "exit 3"}));
  EXPECT_GT(process.GetProcId(), 0);
  EXPECT_EQ(ExitCode(process), 3);
  EXPECT_EQ(process.GetProcState(code), dp::Process::kExited);  // kept after the reap
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(process.KillForcefully(dp::Process::kChildOnly));  // never a reaped id

  // Exited but not reaped yet (waitid with WNOWAIT leaves it to the object):
  // there is nothing left to kill, whole tree or not.
  for (const auto option : {dp::Process::kChildOnly, dp::Process::kProcessTree}) {
    ASSERT_TRUE(process.Run("/bin/sh", {"-c", "exit 4"}));
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(process.GetProcId()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(process.KillForcefully(option));
    EXPECT_EQ(process.GetProcState(code), dp::Process::kExited);
    EXPECT_EQ(code, 4);
  }

  ASSERT_TRUE(process.Run("/bin/sleep", {"60"}));
  EXPECT_EQ(process.GetProcState(code), dp::Process::kRunning);
  EXPECT_EQ(code, dp::Process::kStillActive);
  EXPECT_FALSE(process.KillNicely(dp::Process::kChildOnly));
  EXPECT_TRUE(process.KillForcefully(dp::Process::kChildOnly));
  EXPECT_EQ(ExitCode(process), -1);
}

TEST(Process, TiedStreamsAreCreatedTruncatedAndHandedToTheChild) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  dp::Process process;
  struct stat info {};

  ASSERT_TRUE(process.Tie(dp::Process::kStdOut, dir / "created"));
  EXPECT_EQ(stat((dir / "created").c_str(), &info), 0);
  WriteFile(dir / "out", "old contents");
  ASSERT_TRUE(process.Tie(dp::Process::kStdOut, dir / "out"));
  EXPECT_EQ(ReadFile(dir / "out"), "");

  EXPECT_FALSE(process.Tie(dp::Process::kStdIn, dir / "missing"));
  EXPECT_TRUE(HasText(recorder.log(), "Could not tie child process stdin to \"" +
                                          (dir / "missing") + "\" (code 2).\n"));
  EXPECT_FALSE(process.Tie(dp::Process::kStdErr, dir / "missing/err"));
  EXPECT_TRUE(HasText(recorder.log(), "Could not tie child process stderr to \"" +
                                          (dir / "missing/err") + "\" (code 2).\n"));

  // A directory is no stream, for input (refused after opening) or output.
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  EXPECT_FALSE(process.Tie(dp::Process::kStdIn, dir / "sub"));
  EXPECT_TRUE(HasText(recorder.log(), "Could not tie child process stdin to \"" + (dir / "sub") +
                                          "\" (code " + std::to_string(EISDIR) + ").\n"));
  EXPECT_FALSE(process.Tie(dp::Process::kStdOut, dir / "sub"));
  EXPECT_TRUE(HasText(recorder.log(), "Could not tie child process stdout to \"" + (dir / "sub") +
                                          "\" (code " + std::to_string(EISDIR) + ").\n"));

  WriteFile(dir / "in", "hello\nworld\n");
  ASSERT_TRUE(process.Tie(dp::Process::kStdIn, dir / "in"));
  ASSERT_TRUE(process.Tie(dp::Process::kStdErr, dir / "err"));
  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "cat; echo oops >&2"}));
  EXPECT_EQ(ExitCode(process), 0);
  EXPECT_EQ(ReadFile(dir / "out"), "hello\nworld\n");
  EXPECT_EQ(ReadFile(dir / "err"), "oops\n");
  EXPECT_EQ(ReadFile(dir / "created"), "");  // replaced by the later tie
}

// The flags of the child's standard input, as /proc shows them in octal.
int StdInFlags(const std::string& fdinfo) {
  const std::size_t at = fdinfo.find("flags:");
  return at == std::string::npos ? -1 : std::stoi(fdinfo.substr(at + 6), nullptr, 8);
}

TEST(Process, InputTiedToAFifoWithoutAWriterDoesNotWaitAndReadsBlocking) {
  qmk_test::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  dp::Process process;
  ASSERT_TRUE(process.Tie(dp::Process::kStdIn, dir / "fifo"));  // would block without a writer
  {
    // The tied end is open for reading, so opening the writer does not wait.
    const int writer = open((dir / "fifo").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(write(writer, "piped\n", 6), 6);
    close(writer);
  }
  ASSERT_TRUE(process.Tie(dp::Process::kStdOut, dir / "out"));
  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "cat; cat /proc/self/fdinfo/0"}));
  EXPECT_EQ(ExitCode(process), 0);
  const std::string out = ReadFile(dir / "out");
  ASSERT_EQ(out.rfind("piped\n", 0), 0u) << out;
  const int flags = StdInFlags(out.substr(6));
  EXPECT_GE(flags, 0) << out;
  EXPECT_EQ(flags & O_NONBLOCK, 0) << out;
}

// Ignores a signal in this process for the life of the object.
class IgnoredSignal {
 public:
  explicit IgnoredSignal(int signal) : signal_(signal) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(signal_, &ignore, &saved_);
  }
  ~IgnoredSignal() { sigaction(signal_, &saved_, nullptr); }
  IgnoredSignal(const IgnoredSignal&) = delete;
  IgnoredSignal& operator=(const IgnoredSignal&) = delete;

 private:
  int signal_;
  struct sigaction saved_ {};
};

TEST(Process, ChildStartsWithDefaultSignalActionsThoughTheParentIgnoresThem) {
  const IgnoredSignal ignorePipe(SIGPIPE);
  dp::Process process;
  // A shell cannot undo a disposition that was ignored when it started: it
  // survives its own SIGPIPE (exit 5) unless the signal came in at default.
  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "kill -PIPE $$; exit 5"}));
  EXPECT_EQ(ExitCode(process), -1);
}

TEST(Process, MissingProgramsFailWithTheirTraceLines) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  dp::Process process;
  EXPECT_FALSE(process.Run(dir / "nothing", {}));
  EXPECT_TRUE(HasText(recorder.log(), "FAILED to launch \"" + (dir / "nothing") +
                                          "\" (no such file with either '.exe', '.cmd' or "
                                          "'.bat' extension).\n"));
  EXPECT_FALSE(process.Run(dir / "bad.exe", {"x"}));
  const auto records = recorder.log().Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().type, dp::Error);
  EXPECT_EQ(records.back().text, "FAILED to launch\n\t\"\"" + (dir / "bad.exe") +
                                     "\" x\"\nError\n\t\"No such file or directory\".");
  int code = 0;
  EXPECT_EQ(process.GetProcState(code), dp::Process::kUnknown);
}

// The parent id of `pid`, or 0 when it is gone or a zombie.
bool IsLive(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t nameEnd = stat.rfind(')');
  return nameEnd != std::string::npos && stat.size() > nameEnd + 2 && stat[nameEnd + 2] != 'Z';
}

TEST(Process, KillForcefullyOfATreeKillsParentsBeforeChildren) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  dp::Process process;
  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "sleep 60 & echo $! > " + (dir / "pid") + "; wait"}));
  ASSERT_TRUE(
      qmk_test::Eventually([&] { return ReadFile(dir / "pid").find('\n') != std::string::npos; }));
  const int grandchild = std::stoi(ReadFile(dir / "pid"));
  ASSERT_TRUE(IsLive(grandchild));

  EXPECT_TRUE(process.KillForcefully(dp::Process::kProcessTree));
  const std::vector<std::string> texts = recorder.log().Texts();
  const auto child =
      std::find(texts.begin(), texts.end(),
                "Group Terminated process " + std::to_string(process.GetProcId()) + ".\n");
  const auto sleeper = std::find(texts.begin(), texts.end(),
                                 "Group Terminated process " + std::to_string(grandchild) + ".\n");
  EXPECT_TRUE(child < sleeper && sleeper != texts.end());
  EXPECT_EQ(ExitCode(process), -1);
  EXPECT_TRUE(qmk_test::Eventually([&] { return !IsLive(grandchild); }));
}

// Children abandoned while running, by many threads at once, are all reaped
// by later uses of the class.
TEST(ProcessRace, AbandonedChildrenAreReaped) {
  constexpr int kThreads = 8;
  constexpr int kChildrenPerThread = 15;
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kChildrenPerThread; ++i) {
        dp::Process process;
        if (process.Run("/bin/sh", {"-c", "exit 0"})) started.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(started.load(), kThreads * kChildrenPerThread);
  EXPECT_TRUE(qmk_test::Eventually([] {
    { dp::Process sweeper; }
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
  }));
}

}  // namespace
