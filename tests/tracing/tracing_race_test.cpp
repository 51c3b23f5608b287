#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/recording_consumer.h"
#include "support/temp_dir.h"
#include "tracing/tracecontroller.h"
#include "tracing/tracer.h"

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

  const std::regex line(
      "(Info   |Warning) \\d+:\\d+:\\d\\d\\.\\d{3}  \\d+ \\w+ \\d+ \\d+ \\d+ test Race "
      "thread (\\d+) message (\\d+) ");
  std::vector<int> next(kWriters, 0);
  std::istringstream log(qmk_test::ReadFile(dir / "race.log"));
  int lines = 0;
  for (std::string text; std::getline(log, text); ++lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << text;
    const int t = std::stoi(match[2]);
    ASSERT_EQ(std::stoi(match[3]), next[t]++) << text;
    EXPECT_EQ(match[1] == "Warning", (next[t] - 1) % 3 == 0) << text;
  }
  EXPECT_EQ(lines, kWriters * kMessages);
}

}  // namespace
