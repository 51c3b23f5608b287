#include "qmkutils/platform/exceptionhandler.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "qmkutils/platform/stackwalker.h"
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

// Runs `crash` with the handler installed, no input for the report to wait
// for and its report on standard error, where death tests read it.
void CrashWithHandler(void (*crash)()) {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  dp::ExceptionHandler::SetProgrammeName("crash test");
  if (dp::ExceptionHandler::AddExceptionHandler(true)) crash();
}

TEST(ExceptionHandler, CrashReportsTheStackAndEndsByTheOriginalSignal) {
#ifdef QMK_TEST_THREAD_SANITIZER
  GTEST_SKIP() << "the report allocates inside the handler, which ThreadSanitizer rejects";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the trace controller runs a thread
  // The report's parts in order, then the crashing function's frame.
  for (const auto& [crash, signal, frame] :
       {std::tuple{&qmk_crash_test::CrashBySegv, SIGSEGV, "CrashBySegv"},
        std::tuple{&qmk_crash_test::CrashByAbort, SIGABRT, "CrashByAbort"}}) {
    EXPECT_EXIT(CrashWithHandler(crash), testing::KilledBySignal(signal),
                std::string("OnLoadModule\n.*InExecptionHandler 1\n.*OnCallStackEntry\n.*#0 "
                            ".*qmk_crash_test::") +
                    frame +
                    "\\(\\).*ShowCallStack retured 1\n.*\n>>\tPress return to finish"
                    "\\.\\.\\.\\.\n");
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
  EXPECT_THAT(first,
              testing::ContainsRegex("#0 .*qmk_crash_test::WalkHere\\(dp::CallStackReporter&\\)"));
}

}  // namespace
