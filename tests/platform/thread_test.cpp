#include "qmkutils/platform/thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/eventually.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"

namespace {

using testing::ElementsAre;

class FunctionThread : public dp::Thread {
 public:
  explicit FunctionThread(std::function<void()> body) : body_(std::move(body)) {}
  ~FunctionThread() override { WaitForThreadToTerminate(); }
  void Run() override { body_(); }

 private:
  std::function<void()> body_;
};

// What ran, one character each: 'r' for Run, digits for exit calls.
std::mutex s_callsMutex;
std::string s_calls;
template <char kName>
void Record() {
  std::lock_guard<std::mutex> guard(s_callsMutex);
  s_calls += kName;
}
std::string TakeCalls() {
  std::lock_guard<std::mutex> guard(s_callsMutex);
  return std::exchange(s_calls, {});
}
void ExitThrows() { throw std::runtime_error("exit call failed"); }

class SelfDeleting : public dp::Thread {
 public:
  explicit SelfDeleting(std::atomic<bool>* done) : done_(done) {}
  void Run() override {
    std::atomic<bool>* done = done_;
    delete this;
    *done = true;
  }

 private:
  std::atomic<bool>* done_;
};

TEST(Thread, StartsOnceAtATimeAndKnowsItselfOnItsOwnThread) {
  qmk_test::ScopedTraceRecorder recorder;
  EXPECT_EQ(dp::Thread::GetCurrentThread(), nullptr);
  std::atomic<dp::Thread*> seen{nullptr};
  std::atomic<unsigned> idInside{0};
  std::atomic<bool> release{false};
  FunctionThread thread([&] {
    seen = dp::Thread::GetCurrentThread();
    idInside = dp::Thread::GetCurrentThreadId();
    while (!release) std::this_thread::yield();
  });
  for (bool waitForStart : {true, false}) {
    release = false;
    ASSERT_TRUE(thread.Start(waitForStart));
    const unsigned id = thread.GetThreadId();  // known as soon as Start returns
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(thread.ThreadIsRunning());
    EXPECT_FALSE(thread.Start(true));
    release = true;
    thread.WaitForThreadToTerminate();
    EXPECT_EQ(seen.load(), &thread);
    EXPECT_EQ(idInside.load(), id);
    EXPECT_EQ(thread.GetThreadId(), 0u);
    EXPECT_FALSE(thread.ThreadIsRunning());
  }
  const std::string running = "Failed to create thread - thread is already running.\n";
  EXPECT_THAT(recorder.log().Texts(), ElementsAre(running, running));

  // Deleted by its own Run, the object must not wait for its own thread.
  std::atomic<bool> done{false};
  (new SelfDeleting(&done))->Start(true);
  EXPECT_TRUE(qmk_test::Eventually([&] { return done.load(); }));
}

TEST(Thread, ExitCallsRunAfterRunWhicheverCopyScheduledThemAndExceptionsAreTraced) {
  qmk_test::ScopedTraceRecorder recorder;
  TakeCalls();
  {
    FunctionThread original([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      Record<'r'>();
    });
    dp::Thread copy(original);
    original.ScheduleAtThreadExitCall(5, &Record<'5'>);
    copy.ScheduleAtThreadExitCall(5, &Record<'6'>);  // equal longevity: the newest runs first
    copy.ScheduleAtThreadExitCall(1, &Record<'1'>);
    original.ScheduleAtThreadExitCall(2, &ExitThrows);
    copy.ScheduleAtThreadExitCall(3, &ExitThrows);
    copy.CancelAtThreadExitCall(&ExitThrows);  // every entry of it
    ASSERT_TRUE(original.Start(true));
    EXPECT_EQ(copy.GetThreadId(), original.GetThreadId());
  }
  EXPECT_EQ(TakeCalls(), "r165");  // all done before the destruction returned

  std::atomic<bool> release{false};
  FunctionThread failing([&] {
    while (!release) std::this_thread::yield();
    throw std::runtime_error("x");
  });
  failing.ScheduleAtThreadExitCall(1, &Record<'1'>);
  failing.ScheduleAtThreadExitCall(2, &ExitThrows);
  failing.ScheduleAtThreadExitCall(3, &Record<'3'>);
  ASSERT_TRUE(failing.Start(true));
  const unsigned id = failing.GetThreadId();
  release = true;
  failing.WaitForThreadToTerminate();
  EXPECT_EQ(TakeCalls(), "1");  // the failing exit call ended the list
  std::atomic<unsigned> unknownId{0};
  FunctionThread unknown([&] {
    unknownId = dp::Thread::GetCurrentThreadId();
    throw 7;
  });
  ASSERT_TRUE(unknown.Start(true));
  unknown.WaitForThreadToTerminate();
  dp::Thread plain;
  ASSERT_TRUE(plain.Start(true));
  plain.WaitForThreadToTerminate();

  const auto texts = recorder.log().Texts();
  ASSERT_EQ(texts.size(), 4u);
  const std::string plainId = texts[3].substr(8, texts[3].find(' ', 8) - 8);
  // An exception from Run clears the id before the exit calls run.
  EXPECT_THAT(
      texts,
      ElementsAre(" Thread " + std::to_string(id) + " caught exception(\"x\").\n",
                  " Thread 0 caught exception(\"exit call failed\").\n",
                  " Thread " + std::to_string(unknownId.load()) + " caught unknown exception.\n",
                  " Thread " + plainId +
                      " caught exception(\"dp::Thread::Run() has not been overridden\").\n"));
}

TEST(ThreadRace, ManyWaitersAndSchedulersOnOneThread) {
  for (int round = 0; round < 20; ++round) {
    static std::atomic<int> s_exitCalls;
    s_exitCalls = 0;
    std::atomic<bool> release{false};
    FunctionThread target([&] {
      while (!release) std::this_thread::yield();
    });
    qmk_test::RunThreads(8, [&](int i) {
      target.ScheduleAtThreadExitCall(static_cast<unsigned>(i), [] { ++s_exitCalls; });
    });
    ASSERT_TRUE(target.Start(round % 2 == 0));
    // Eight waiters, and one more thread that lets the target end.
    qmk_test::RunThreads(9, [&](int i) {
      if (i == 8) {
        release = true;
        return;
      }
      target.WaitForThreadToTerminate();
      EXPECT_FALSE(target.ThreadIsRunning());
      EXPECT_EQ(s_exitCalls.load(), 8);
    });
  }
}

TEST(ThreadRace, ConcurrentStartsRunOneThreadAtATime) {
  std::atomic<int> runs{0};
  std::atomic<int> running{0};
  FunctionThread target([&] {
    EXPECT_EQ(++running, 1);
    ++runs;
    --running;
  });
  std::atomic<int> started{0};
  qmk_test::RunThreads(6, [&](int) {
    for (int round = 0; round < 300; ++round) {
      if (target.Start(round % 2 == 0)) ++started;
      if (round % 3 == 0) target.WaitForThreadToTerminate();
    }
  });
  target.WaitForThreadToTerminate();
  EXPECT_EQ(runs.load(), started.load());
  EXPECT_GT(started.load(), 0);
}

}  // namespace
