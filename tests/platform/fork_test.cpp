// Forking while other threads hold the library's locks: every child must be
// able to trace, use the environment and user data, create singletons and
// start threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/utilities/userdata.h"
#include "support/child_process.h"
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

// This toolchain's AddressSanitizer does not hold its allocator's locks
// across fork: a child can hang in malloc on a lock that a parent thread
// held, whatever the library does.
#ifdef QMK_TEST_ADDRESS_SANITIZER
constexpr bool kMallocIsForkSafe = false;
#else
constexpr bool kMallocIsForkSafe = true;
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
  if (!kMallocIsForkSafe) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
  qmk_test::TempDir dir;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(dir / "fork.log", false);
  dp::Environment::Put("QMK_FORK_TEST", "set");
  ASSERT_EQ(dp::Process::GetCurrentProcId(), getpid());  // cached before the forks

  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < 4; ++i) {
    busy.emplace_back([&stop, i] {
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
  }

  int hung = 0;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) RunChild();
    const int status = qmk_test::Reap(pid, std::chrono::seconds(10));
    if (status != 0) ++hung;
    EXPECT_EQ(status, 0) << "child " << i;
    if (hung > 1) break;
  }
  stop = true;
  for (auto& thread : busy) thread.join();
  controller.RemoveAllConsumers();
  EXPECT_EQ(dp::Process::GetCurrentProcId(), getpid());
}

}  // namespace
