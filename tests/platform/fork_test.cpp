// Forking while other threads hold the library's locks: every child must be
// able to trace, use the environment and user data, create singletons and
// start threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/utilities/userdata.h"
#include "support/child_process.h"
#include "support/run_threads.h"
#include "support/sanitizers.h"
#include "support/temp_dir.h"

namespace {

const dp::QMTracer s_trace("test", "Fork");

// ThreadSanitizer makes every fork of a busy process slow.
#ifdef QMK_TEST_THREAD_SANITIZER
constexpr int kChildren = 20;
#else
constexpr int kChildren = 300;
#endif

class Worker : public dp::Thread {
 public:
  ~Worker() override { WaitForThreadToTerminate(); }
  void Run() override { s_trace("child's thread %u\n", GetCurrentThreadId()); }
};

// Created in children only, to exercise the singleton lifetime lock there.
struct ChildSingleton {};
unsigned GetLongevity(ChildSingleton*) { return 1; }

du::UserData s_sharedUserData;

// What a child does; its exit status says how far it got.
[[noreturn]] void RunChild() {
  if (dp::Process::GetCurrentProcId() != getpid()) _exit(10);  // the parent's cached id
  s_trace("child %d starts\n", dp::Process::GetCurrentProcId());
  if (dp::Environment::Get("QMK_FORK_TEST").empty()) _exit(11);
  dp::Environment::Put("QMK_FORK_TEST_CHILD", "1");
  const du::UserData::Key key = du::UserData::GetId("fork-child");
  s_sharedUserData.AddUserData(key, &s_sharedUserData);
  if (s_sharedUserData.GetUserData(key) != &s_sharedUserData) _exit(13);
  dp::Singleton<ChildSingleton>::Instance();
  Worker worker;
  if (!worker.Start(true)) _exit(12);
  worker.WaitForThreadToTerminate();
  std::exit(0);  // runs the exit handlers: singletons, the controller, its log
}

TEST(ForkRace, ChildrenForkedAmidTracingAndEnvironmentUseNeverHang) {
#ifdef QMK_TEST_ADDRESS_SANITIZER
  // This toolchain's AddressSanitizer does not hold its allocator's locks
  // across fork: a child can hang in malloc on a lock that a parent thread
  // held, whatever the library does.
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
  qmk_test::TempDir dir;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(dir / "fork.log", false);
  dp::Environment::Put("QMK_FORK_TEST", "set");
  ASSERT_EQ(dp::Process::GetCurrentProcId(), getpid());  // cached before the forks

  // Four threads keep the library's locks busy while the last one forks.
  std::atomic<bool> stop{false};
  qmk_test::RunThreads(5, [&stop](int i) {
    if (i == 4) {
      for (int n = 0, hung = 0; n < kChildren && hung < 2; ++n) {
        const pid_t pid = fork();
        if (pid == 0) RunChild();
        const int status = pid < 0 ? -1 : qmk_test::Reap(pid, std::chrono::seconds(10));
        hung += status != 0;
        EXPECT_EQ(status, 0) << "child " << n;
      }
      stop = true;
      return;
    }
    const std::string name = "QMK_FORK_TEST_" + std::to_string(i);
    for (int n = 0; !stop.load(std::memory_order_relaxed); ++n) {
      s_trace("busy %d round %d\n", i, n);
      dp::Environment::Put(name, std::to_string(n));
      (void)dp::Environment::Get(name);
      s_sharedUserData.AddUserData(du::UserData::GetId(name), &stop);
      if (n % 64 == 0) {
        Worker worker;
        worker.Start(true);
      }
    }
  });
  controller.RemoveAllConsumers();
  EXPECT_EQ(dp::Process::GetCurrentProcId(), getpid());
}

}  // namespace
