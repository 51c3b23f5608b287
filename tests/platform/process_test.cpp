#include "qmkutils/platform/process.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "support/eventually.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::ReadFile;
using qmk_test::WriteFile;
using testing::Contains;

int ExitCode(dp::Process& process) {
  int code = 0;
  EXPECT_TRUE(
      qmk_test::Eventually([&] { return process.GetProcState(code) == dp::Process::kExited; }));
  return code;
}

TEST(Process, ProbeFindsScriptsRunsThemUnderTheShellWithTheWindowsCommandLineOrFails) {
  qmk_test::TempDir dir;
  WriteFile(dir / "tool.bat", "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n");
  ASSERT_EQ(mkdir((dir / "tool.exe").c_str(), 0755), 0);  // a probe passes over a directory
  qmk_test::ScopedTraceRecorder recorder;
  const std::string launched = "Successfully launched:\n    \"CMD /C \"" + (dir / "tool.bat");

  dp::Process quoted;
  ASSERT_TRUE(quoted.Run(dir / "tool", {"a \"b\"", "c"}));
  EXPECT_EQ(ExitCode(quoted), 0);
  EXPECT_EQ(ReadFile(dir / "args"), "a \"b\"\nc\n");
  EXPECT_THAT(recorder.log().Texts(), Contains(launched + "\" \"a \\\"b\\\"\" c\n"));

  dp::Process verbatim;
  const char* args[] = {"a \"b\"", "back\\\\\"slash\"", nullptr};
  ASSERT_TRUE(verbatim.Run((dir / "tool.bat").c_str(), args, 0, true));
  EXPECT_EQ(ExitCode(verbatim), 0);
  EXPECT_EQ(ReadFile(dir / "args"), "a\nb\nback\\slash\n");
  EXPECT_THAT(recorder.log().Texts(), Contains(launched + "\" a \"b\" back\\\\\"slash\"\n"));

  dp::Process missing;
  EXPECT_FALSE(missing.Run(dir / "nothing", {}));
  EXPECT_THAT(recorder.log().Texts(),
              Contains("FAILED to launch \"" + (dir / "nothing") +
                       "\" (no such file with either '.exe', '.cmd' or '.bat' extension).\n"));
  EXPECT_FALSE(missing.Run(dir / "bad.exe", {"x"}));
  EXPECT_EQ(recorder.log().Records().back().text,
            "FAILED to launch\n\t\"\"" + (dir / "bad.exe") +
                "\" x\"\nError\n\t\"No such file or directory\".");
  int code = 0;
  EXPECT_EQ(missing.GetProcState(code), dp::Process::kUnknown);
}

TEST(Process, StatesExitCodesKillsAndSignalsTheParentIgnores) {
  dp::Process process;
  int code = 7;
  EXPECT_FALSE(process.KillForcefully(dp::Process::kChildOnly));

  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "exit 3"}));
  EXPECT_EQ(ExitCode(process), 3);
  EXPECT_FALSE(process.KillForcefully(dp::Process::kChildOnly));  // never a reaped id
  EXPECT_EQ(process.GetProcState(code), dp::Process::kExited);
  // Exited but not reaped yet: nothing left to kill, whole tree or not.
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
  EXPECT_TRUE(process.KillForcefully(dp::Process::kChildOnly));
  EXPECT_EQ(ExitCode(process), -1);

  // Ignored in the parent, SIGPIPE must still kill the child's shell.
  const sighandler_t saved = signal(SIGPIPE, SIG_IGN);
  const bool started = process.Run("/bin/sh", {"-c", "kill -PIPE $$; exit 5"});
  signal(SIGPIPE, saved);
  ASSERT_TRUE(started);
  EXPECT_EQ(ExitCode(process), -1);
}

TEST(Process, TiedStreamsIncludingAFifoAreHandedToTheChildOrRefusedWithTheirTraceLines) {
  qmk_test::TempDir dir;
  qmk_test::ScopedTraceRecorder recorder;
  dp::Process process;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  // A directory is refused for input too, where it opens.
  for (const auto& [stream, name, path, code] :
       {std::tuple{dp::Process::kStdErr, "stderr", "missing/err", ENOENT},
        std::tuple{dp::Process::kStdIn, "stdin", "sub", EISDIR},
        std::tuple{dp::Process::kStdOut, "stdout", "sub", EISDIR}}) {
    EXPECT_FALSE(process.Tie(stream, dir / path));
    std::string text = "Could not tie child process ";
    text.append(name).append(" to \"").append(dir / path).append("\" (code ");
    text.append(std::to_string(code)).append(").\n");
    EXPECT_THAT(recorder.log().Texts(), Contains(text));
  }

  WriteFile(dir / "out", "old contents");
  ASSERT_TRUE(process.Tie(dp::Process::kStdOut, dir / "out"));
  EXPECT_EQ(ReadFile(dir / "out"), "");
  WriteFile(dir / "in", "hello\nworld\n");
  ASSERT_TRUE(process.Tie(dp::Process::kStdIn, dir / "in") &&
              process.Tie(dp::Process::kStdErr, dir / "err"));
  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "cat; echo oops >&2"}));
  EXPECT_EQ(ExitCode(process), 0);
  EXPECT_EQ(ReadFile(dir / "out"), "hello\nworld\n");
  EXPECT_EQ(ReadFile(dir / "err"), "oops\n");
  // A FIFO without a writer: the tie does not wait, the child reads blocking.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_TRUE(process.Tie(dp::Process::kStdIn, dir / "fifo"));
  const int writer = open((dir / "fifo").c_str(), O_WRONLY | O_CLOEXEC);  // the tie is reading
  ASSERT_GE(writer, 0);
  EXPECT_EQ(write(writer, "piped\n", 6), 6);
  close(writer);
  ASSERT_TRUE(process.Tie(dp::Process::kStdOut, dir / "out"));
  ASSERT_TRUE(process.Run("/bin/sh", {"-c", "cat; cat /proc/self/fdinfo/0"}));
  EXPECT_EQ(ExitCode(process), 0);
  const std::string out = ReadFile(dir / "out");
  const std::size_t at = out.find("flags:");
  ASSERT_EQ(out.rfind("piped\n", 0), 0u) << out;
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(std::stoi(out.substr(at + 6), nullptr, 8) & O_NONBLOCK, 0) << out;  // octal
}

// Exists and is no zombie.
bool IsLive(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t nameEnd = stat.rfind(')');
  return nameEnd != std::string::npos && stat.size() > nameEnd + 2 && stat[nameEnd + 2] != 'Z';
}

std::string Terminated(int pid) {
  std::string text = "Group Terminated process ";
  return text.append(std::to_string(pid)).append(".\n");
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
  const auto sleeper = std::find(texts.begin(), texts.end(), Terminated(grandchild));
  EXPECT_TRUE(std::find(texts.begin(), sleeper, Terminated(process.GetProcId())) < sleeper &&
              sleeper != texts.end());
  EXPECT_EQ(ExitCode(process), -1);
  EXPECT_TRUE(qmk_test::Eventually([&] { return !IsLive(grandchild); }));
}

// Children abandoned while running, by many threads at once, are all reaped
// by later uses of the class.
TEST(ProcessRace, AbandonedChildrenAreReaped) {
  std::atomic<int> started{0};
  qmk_test::RunThreads(8, [&](int) {
    for (int i = 0; i < 15; ++i) {
      dp::Process process;
      if (process.Run("/bin/sh", {"-c", "exit 0"})) started.fetch_add(1);
    }
  });
  EXPECT_EQ(started.load(), 8 * 15);
  EXPECT_TRUE(qmk_test::Eventually([] {
    { dp::Process sweeper; }
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
  }));
}

}  // namespace
