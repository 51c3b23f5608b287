#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"
#include "support/plain_lines.h"
#include "support/recording_consumer.h"
#include "support/temp_dir.h"

namespace {

TEST(TracingRace, LinesStayWholeAndInOrderWhileConsumersComeAndGo) {
  constexpr int kWriters = 8;
  constexpr int kMessages = 3000;
  qmk_test::TempDir dir;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(dir / "race.log", false);

  const dp::QMTracer trace("test", "Race");
  const dp::QMDebugTracer debug("test", "Race");
  std::atomic<int> writersLeft{kWriters};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMessages; ++i) {
        if (i % 3 == 0) {
          trace(dp::Warning) << "thread " << t << " message " << i << '\n';
        } else {
          trace("thread %d message %d\n", t, i);
        }
        debug(1, "never written: no debug level is set\n");
      }
      --writersLeft;
    });
  }
  // Meanwhile a consumer that refuses everything is added and removed, and
  // the debug levels are read, all under the same lock as the writers.
  threads.emplace_back([&] {
    auto seen = std::make_shared<qmk_test::TraceLog>();
    while (writersLeft > 0) {
      auto* passer = new qmk_test::RecordingConsumer(seen, false);
      controller.AddConsumer(passer);
      EXPECT_EQ(controller.GetDebugLevel("test", "Race"), 0u);
      controller.RemoveConsumer(passer);
    }
  });
  for (auto& thread : threads) thread.join();
  controller.RemoveAllConsumers();

  // Every line whole (the reader fails the test on any other), each
  // thread's messages complete and in order.
  const auto lines = qmk_test::PlainLines(qmk_test::ReadFile(dir / "race.log"));
  std::vector<int> next(kWriters, 0);
  for (const auto& line : lines) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.text.c_str(), "thread %d message %d ", &t, &i), 2) << line.text;
    ASSERT_TRUE(t >= 0 && t < kWriters) << line.text;
    ASSERT_EQ(i, next[t]++) << line.text;
    EXPECT_EQ(line.key + "::" + line.subKey, "test::Race");
    EXPECT_EQ(line.type == "Warning", i % 3 == 0) << line.text;
  }
  EXPECT_EQ(static_cast<int>(lines.size()), kWriters * kMessages);
}

}  // namespace
