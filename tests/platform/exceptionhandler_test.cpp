#include "qmkutils/platform/exceptionhandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "qmkutils/platform/stackwalker.h"
#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/sanitizers.h"

namespace qmk_crash_test {

// A page without access rights: no sanitizer diagnoses this first.
__attribute__((noinline)) void CrashBySegv() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

__attribute__((noinline)) void CrashByAbort() { std::abort(); }

__attribute__((noinline)) bool WalkHere(dp::CallStackReporter& reporter) {
  const bool shown = reporter.ShowCallStack();
  asm volatile("");  // keeps the call from becoming a tail call
  return shown;
}

}  // namespace qmk_crash_test

namespace {

// What a forked child with the handler installed wrote before `crash` ended
// it, and the ending signal (0 for none).
std::pair<std::string, int> CrashInChild(void (*crash)()) {
  std::pair<std::string, int> report;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return report;
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    dp::ExceptionHandler::SetProgrammeName("crash test");
    if (dp::ExceptionHandler::AddExceptionHandler(true)) crash();
    _exit(99);
  }
  close(fds[1]);
  pollfd out{fds[0], POLLIN, 0};
  char buffer[4096];
  while (poll(&out, 1, 120000) > 0) {
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    report.first.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  const int code = qmk_test::Reap(pid);
  report.second = code > 128 ? code - 128 : 0;
  return report;
}

// Whether `parts` are in `text` in that order.
bool InOrder(const std::string& text, const std::vector<std::string>& parts) {
  std::size_t at = 0;
  for (const std::string& part : parts) {
    at = text.find(part, at);
    if (at == std::string::npos) return false;
    at += part.size();
  }
  return true;
}

TEST(ExceptionHandler, CrashReportsTheStackAndEndsByTheOriginalSignal) {
#ifdef QMK_TEST_THREAD_SANITIZER
  GTEST_SKIP() << "the report allocates inside the handler, which ThreadSanitizer rejects";
#endif
  for (const auto& [crash, signal, frame] :
       {std::tuple{&qmk_crash_test::CrashBySegv, SIGSEGV, "qmk_crash_test::CrashBySegv()"},
        std::tuple{&qmk_crash_test::CrashByAbort, SIGABRT, "qmk_crash_test::CrashByAbort()"}}) {
    const auto [out, status] = CrashInChild(crash);
    EXPECT_EQ(status, signal) << frame;
    EXPECT_TRUE(
        InOrder(out, {"OnLoadModule\n", "InExecptionHandler 1\n", "OnCallStackEntry\n", "#0 ",
                      frame, "ShowCallStack retured 1\n", "\n>>\tPress return to finish....\n"}))
        << out;
  }
}

TEST(QmStackWalker, ReportsModulesAndFramesToTheTraceAndMarkersToStandardOutput) {
  qmk_test::ScopedTraceRecorder recorder;
  dp::QmStackWalker walker(false, dp::Warning);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(walker.LoadModules());
  const std::string markers = testing::internal::GetCapturedStdout();
  const auto records = recorder.log().Records();
  ASSERT_GE(records.size(), 2u);
  std::string modules = "Modules of process ";
  EXPECT_EQ(records[0].text, modules.append(std::to_string(getpid())).append(":\n"));
  EXPECT_TRUE(records[0].type == dp::Warning && records[0].key == "QmStackWalker");
  // Without echo, one marker per module and no report lines.
  std::string expected;
  for (std::size_t i = 1; i < records.size(); ++i) expected += "OnLoadModule\n";
  EXPECT_EQ(markers, expected);

  testing::internal::CaptureStdout();
  EXPECT_TRUE(qmk_crash_test::WalkHere(walker));
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("OnCallStackEntry\n", 0), 0u);
  const std::string first = recorder.log().Records()[records.size()].text;
  EXPECT_TRUE(InOrder(first, {"#0 ", "qmk_crash_test::WalkHere(dp::CallStackReporter&)"})) << first;
}

}  // namespace
