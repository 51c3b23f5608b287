#include "qmkutils/tracing/tracecontroller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qmkutils/platform/singleton.h"
#include "qmkutils/tracing/debuglevels.h"
#include "qmkutils/tracing/tracer.h"
#include "support/plain_lines.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using qmk_test::RecordingConsumer;
using qmk_test::TraceLog;
using testing::ElementsAre;
using testing::HasSubstr;

const dp::QMTracer s_trace("test", "Controller");

// Counts how often it is written into a stream.
struct Expensive {
  mutable int* writes;
};
std::ostream& operator<<(std::ostream& out, const Expensive& value) {
  ++*value.writes;
  return out << "expensive";
}

// The newest consumer that accepts takes each message; without consumers,
// tracers build and format nothing.
TEST(TraceController, NewestAcceptingConsumerTakesEachMessageAndSilenceCostsNothing) {
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  auto older = std::make_shared<TraceLog>(), newer = std::make_shared<TraceLog>(),
       refusing = std::make_shared<TraceLog>();
  controller.AddConsumer(new RecordingConsumer(older));
  auto* newest = new RecordingConsumer(newer);
  controller.AddConsumer(newest);
  s_trace("one\n");
  controller.RemoveConsumer(newest);
  s_trace("two\n");
  controller.AddConsumer(new RecordingConsumer(refusing, false));  // passes it on
  s_trace(dp::Error, "three %d\n", 3);
  controller.RemoveConsumer(nullptr);  // not installed: nothing happens
  controller.RemoveAllConsumers();
  EXPECT_FALSE(controller.IsTracing());
  int writes = 0;
  s_trace(dp::Warning) << Expensive{&writes};
  EXPECT_EQ(writes, 0);

  EXPECT_THAT(newer->Texts(), ElementsAre("one\n"));
  EXPECT_THAT(older->Texts(), ElementsAre("two\n", "three 3\n"));
  EXPECT_THAT(refusing->Texts(), ElementsAre("three 3\n"));
  EXPECT_EQ(older->Records()[1].type, dp::Error);
  EXPECT_EQ(older->Records()[1].threadId, static_cast<int>(gettid()));

  qmk_test::ScopedTraceRecorder recorder;
  s_trace(dp::Warning) << Expensive{&writes} << ' ' << 42 << std::hex << ' ' << 255 << '\n';
  dp::QMDebugTracer("test", "Debug")() << "debug " << 1.5;
  dp::QMNullTracer()() << Expensive{&writes};
  dp::QMNullTracer()("%d", 1);
  s_trace(nullptr);  // a null format makes no message
  // A message cut short by an exception is dropped, not dispatched half written.
  auto risky = []() -> int { throw std::runtime_error("no value"); };
  EXPECT_THROW(s_trace(dp::Error) << "partial " << risky(), std::runtime_error);
  EXPECT_EQ(writes, 1);
  EXPECT_THAT(recorder.log().Texts(), ElementsAre("expensive 42 ff\n", "debug 1.5"));
  EXPECT_EQ(recorder.log().Records().back().type, dp::Debug);
}

TEST(TraceFormatter, CopiesCarryTheTextFormatMixesWithStreamingTimesAreCalendar) {
  dp::TraceFormatter formatter(5, dp::Info, 1, 2, "k", "s");
  EXPECT_FALSE(formatter.Format(static_cast<const char*>(nullptr)));
  formatter.Format("a%d", 1);
  formatter << "-b";
  const char* unknownConversion = "-%s|%k|%d";  // not a literal: the compiler would refuse it
  formatter.Format(unknownConversion, "c", 2);
  dp::TraceFormatter copy(formatter);
  copy << "+";
  EXPECT_EQ(formatter.GetMesg(), "a1-b-c|<unrecognised format string>|2");
  EXPECT_EQ(copy.GetMesg(), "a1-b-c|<unrecognised format string>|2+");
  formatter = dp::TraceFormatter(0, dp::kInertTraceType, 0, 0, "", "");
  copy = formatter;
  const auto epochMs = [] {
    using namespace std::chrono;
    return floor<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
  const int64_t before = epochMs(), now = dp::TraceFormatter::Now();
  EXPECT_TRUE(now >= before - 1 && now <= epochMs() + 1);  // the monotonic counter rounds
}

// In a child, whose controller reads "QMTRACE_DEBUG" when created: prints
// which masked debug messages were written.
void ReportMaskedMessages(const char* value) {
  setenv("QMTRACE_DEBUG", value, 1);
  auto log = std::make_shared<TraceLog>();
  dp::TraceController::Instance().AddConsumer(std::make_unique<RecordingConsumer>(log));
  const dp::QMDebugTracer exchange("dom", "Exchange");
  const dp::QMDebugTracer queue("dom", "Queue");
  for (int round = 0; round < 2; ++round) {  // the second round reads the cached masks
    exchange(2, "mask2 %d", round);
    exchange(4, "mask4 %d", round);
    queue(0xFFFFFFFF, "queue %d", round);
  }
  for (const auto& text : log->Texts()) std::fprintf(stderr, "[%s]", text.c_str());
  std::exit(0);
}

TEST(DebugLevels, ParsedFromTheEnvironmentRejectingAnyMalformedTextWhole) {
  const dp::DebugLevels levels =
      dp::DebugLevels::Parse(" dom::Exchange=0x3, du 4,x\t=\t010 ,y 0X1f ");
  EXPECT_THAT((std::vector{levels.Get("dom", "Exchange"), levels.Get("du", ""), levels.Get("x", ""),
                           levels.Get("y", "")}),
              ElementsAre(3u, 4u, 8u, 31u));
  // Only the exact name counts: no fallback from "key::subKey" to "key".
  EXPECT_EQ(levels.Get("du", "Symbol") + levels.Get("dom", "") + levels.Get("", "Exchange"), 0u);
  EXPECT_EQ(dp::DebugLevels::Parse("a=1,a=0xFFFFFFFF").Get("a", ""), 0xFFFFFFFFu);
  for (const char* malformed :
       {"a=1, b", "a=1 b=2", "a=1,", "a=0x", "a=99999999999", "=1", "a", "a=", "a=1;b=2", "a=08"}) {
    EXPECT_TRUE(dp::DebugLevels::Parse(malformed).IsEmpty()) << malformed;
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ReportMaskedMessages("dom::Exchange=0x3, du 4"), testing::ExitedWithCode(0),
              "^\\[mask2 0\\]\\[mask2 1\\]$");
  EXPECT_EXIT(ReportMaskedMessages("dom::Exchange=0x3, du"), testing::ExitedWithCode(0), "^$");
}

TEST(TraceController, InitFromEnvironmentPicksTheConsumer) {
  qmk_test::TempDir dir;
  qmk_test::ScopedEnvironment environment;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();

  environment.Set("QUILL_PROC_TRACE", "").Set("QUILL_TRACE", "");
  controller.InitFromEnvironment();
  EXPECT_FALSE(controller.IsTracing());
  environment.Set("QUILL_PROC_TRACE", dir / "proc.log").Set("QUILL_TRACE", dir / "ignored.log");
  controller.InitFromEnvironment();
  s_trace("per process\n");
  controller.RemoveAllConsumers();
  std::string procLog = "proc_";
  procLog += std::to_string(getpid()) + ".log";
  EXPECT_THAT(qmk_test::ReadFile(dir / procLog), HasSubstr(" test Controller per process \n"));
  environment.Set("QUILL_PROC_TRACE", "stderr");
  testing::internal::CaptureStderr();
  controller.InitFromEnvironment();
  s_trace(dp::Error, "to stderr\n");
  controller.RemoveAllConsumers();
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::StartsWith("Error  "));
  EXPECT_EQ(controller.AddFileConsumer("", true), nullptr);
  EXPECT_FALSE(controller.IsTracing());
}

// Traces from its destructor, which runs before the controller's.
struct TracesWhileDestroyed {
  ~TracesWhileDestroyed() { s_trace(dp::Warning, "destroyed\n"); }
};
unsigned GetLongevity(TracesWhileDestroyed*) { return 0xFFFFFFFE; }

// Registered before the controller exists, so it runs after its destruction.
void TraceAfterTheController() {
  try {
    s_trace("too late\n");
  } catch (const dp::DeadReference& e) {
    std::fprintf(stderr, "[%s]", e.what());
  }
}

TEST(TraceController, OutlivesOtherSingletonsAndRefusesUseAfterwards) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  qmk_test::ScopedEnvironment environment;
  environment.Set("QUILL_HOME", QMK_TEST_BUILD_DIR);
  // The child re-runs this test from the start: the name must not vary.
  const std::string log = QMK_TEST_BUILD_DIR "/tests/tracing/exit-trace.xml";
  std::remove(log.c_str());
  EXPECT_EXIT(
      {
        std::atexit(&TraceAfterTheController);
        dp::TraceController::Instance().AddFileConsumer(log, false);
        dp::Singleton<TracesWhileDestroyed>::Instance();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "\\[Dead Reference Detected\\]");
  const std::string xml = qmk_test::ReadFile(log);
  std::remove(log.c_str());
  EXPECT_THAT(xml, HasSubstr("destroyed\n</qmtrace:mesg>\n</qmtrace:log>\n"));
}

TEST(TracingRace, LinesStayWholeAndInOrderWhileConsumersComeAndGo) {
  constexpr int kWriters = 8, kMessages = 3000;

  qmk_test::TempDir dir;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(dir / "race.log", false);

  const dp::QMTracer trace("test", "Race");
  const dp::QMDebugTracer debug("test", "Race");
  std::atomic<int> writersLeft{kWriters};
  qmk_test::RunThreads(kWriters + 1, [&](int t) {
    if (t < kWriters) {
      for (int i = 0; i < kMessages; ++i) {
        if (i % 3 == 0)
          trace(dp::Warning) << "thread " << t << " message " << i << '\n';
        else
          trace("thread %d message %d\n", t, i);
        debug(1, "never written: no debug level is set\n");
      }
      --writersLeft;
      return;
    }
    // Meanwhile a consumer that refuses everything is added and removed, and
    // the debug levels are read, all under the same lock as the writers.
    auto seen = std::make_shared<qmk_test::TraceLog>();
    while (writersLeft > 0) {
      auto* passer = new qmk_test::RecordingConsumer(seen, false);
      controller.AddConsumer(passer);
      EXPECT_EQ(controller.GetDebugLevel("test", "Race"), 0u);
      controller.RemoveConsumer(passer);
    }
  });
  controller.RemoveAllConsumers();

  // Every line whole (the reader fails the test on any other), each
  // thread's messages complete and in order.
  const auto lines = qmk_test::PlainLines(qmk_test::ReadFile(dir / "race.log"));
  std::vector<int> next(kWriters, 0);
  for (const auto& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.text.c_str(), "thread %d message %d ", &t, &i), 2) << line.text;
    ASSERT_TRUE(t >= 0 && t < kWriters) << line.text;
    ASSERT_EQ(i, next[t]++) << line.text;
    EXPECT_EQ(line.key + "::" + line.subKey, "test::Race");
    EXPECT_EQ(line.type == "Warning", i % 3 == 0) << line.text;
  }
  EXPECT_EQ(static_cast<int>(lines.size()), kWriters * kMessages);
}

}  // namespace
